// The serve host's HTTP front: one thread watches every connection for
// readiness, reads request heads and bodies as they come and writes answers
// as the clients take them, so a connection costs a worker only while a
// complete request is being worked on. Deadlines bound the head, a minimum
// rate bounds bodies and answers, keep-alive connections idle briefly, and
// connections are capped per client address and in total.
#ifndef PARCEL_HOST_SERVE_HTTP_FRONT_H_
#define PARCEL_HOST_SERVE_HTTP_FRONT_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/access_log.h"
#include "host/serve/http_message.h"

namespace parcel::host {

// An answer. The front adds the status line, Date, X-Request-Id,
// X-Content-Type-Options: nosniff, Content-Length and, when the connection
// ends after it, Connection: close.
struct HttpResponse {
  int status = 200;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // Instead of `body`: `file_length` bytes of `file` from `file_offset`,
  // read as the client takes them.
  std::shared_ptr<std::FILE> file;
  std::uint64_t file_offset = 0;
  std::uint64_t file_length = 0;
  bool head_only = false;  // the answer to HEAD: the fields of the body, not the body
  bool close = false;      // the connection ends after this answer
  // Called once on the front's thread when it is known whether the client's
  // TCP acknowledged every byte of the answer (true) or the connection
  // failed first (false).
  std::function<void(bool delivered)> on_delivery;

  void SetText(int code, const std::string& message);
  void AddHeader(std::string name, std::string value) {
    headers.emplace_back(std::move(name), std::move(value));
  }
};

// The client of a request.
struct HttpClient {
  std::string address;     // numeric text of the peer address
  std::string request_id;  // 8 hex digits fixed per process, '-', a decimal count
};

// Receives a request body on the front's thread, then finishes the request
// on a worker thread.
class RequestBody {
 public:
  virtual ~RequestBody() = default;
  // More content. False refuses the rest of the body; Refusal answers.
  virtual bool Write(std::string_view bytes) = 0;
  // The answer after Write returned false. Front's thread.
  virtual HttpResponse Refusal() = 0;
  // The body is complete: the request's work, on a worker thread.
  virtual HttpResponse Finish() = 0;
};

// What to do with a request whose head has been read.
struct Exchange {
  std::optional<HttpResponse> answer;  // answer now; a body is not read
  std::unique_ptr<RequestBody> body;   // or read the body into this first
};

class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  // A request head was read. Front's thread: must not block.
  virtual Exchange OnHead(const HttpRequest& request, const HttpClient& client) = 0;
  // A request ended (answered, or its connection failed). Front's thread.
  virtual void OnLog(const AccessRecord& record) = 0;
};

class HttpFront {
 public:
  struct Options {
    std::size_t workers = 2;
    std::chrono::milliseconds head_timeout{10000};  // from a request's first byte to its blank line
    std::chrono::milliseconds idle_timeout{5000};   // a connection waiting for a request
    // Bodies and answers must move at least `min_rate` bytes a second on
    // average once `rate_grace` has passed.
    std::uint64_t min_rate = 4096;
    std::chrono::milliseconds rate_grace{10000};
    std::uint64_t max_body = 64u << 20;  // larger bodies are refused with 413
    // Request bodies held at once, counted by their (declared) length; a
    // body that does not fit is refused with 503 and Retry-After.
    std::uint64_t max_body_bytes_held = 256u << 20;
    std::size_t max_connections = 1024;
    std::size_t max_connections_per_client = 64;
    // After Stop: how long requests in flight may take to finish.
    std::chrono::milliseconds shutdown_grace{30000};
  };

  struct Stats {
    std::size_t connections = 0;
    std::size_t requests_in_flight = 0;  // heads read, answers not yet written
    std::uint64_t body_bytes_held = 0;
  };

  // `handler` is borrowed and must outlive the front.
  HttpFront(Options options, RequestHandler* handler);
  ~HttpFront();
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // Listens on `address` (a numeric address or a host name) and `port` (0:
  // any free port). False with a message when it cannot.
  bool Listen(const std::string& address, int port, std::string* error);
  int port() const { return port_; }

  // Serves until Stop, then stops accepting, closes idle connections, lets
  // the requests in flight finish within the shutdown grace, closes what is
  // left and returns. Requires: Listen succeeded.
  void Run();

  // Begins the shutdown. Thread-safe; not for signal handlers.
  void Stop();

  // Thread-safe.
  Stats stats() const;

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
  int port_ = 0;
};

}  // namespace parcel::host

#endif  // PARCEL_HOST_SERVE_HTTP_FRONT_H_
