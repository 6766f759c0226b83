// parcel-host serve on Linux: the HTTP routes over the interpreter pool and
// the output store, the access log, and shutdown on SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/access_log.h"
#include "host/exit_codes.h"
#include "host/interpreter_pool.h"
#include "host/module.h"
#include "host/ni/ni_serve.h"
#include "host/path_text.h"
#include "host/serve/archive_listing.h"
#include "host/serve/http_front.h"
#include "host/serve/multipart.h"
#include "host/serve/output_store.h"
#include "host/serve/pack_service.h"
#include "host/serve/serve.h"
#include "host/serve/upload.h"
#include "host/serve/upload_page.h"
#include "host/system_message.h"

namespace parcel::host {
namespace {

constexpr const char* kTokenHeader = "x-parcel-token";
constexpr std::string_view kTokenCookie = "parcel_token";
constexpr std::string_view kOutputPrefix = "/output/";
// "/output/NAME/entries" lists archive NAME. The token cookie's path
// (/output/NAME) covers it, so the page's request carries the cookie.
constexpr std::string_view kEntriesSuffix = "/entries";
// The names of empty files left out go into one header of at most this many
// bytes; the count header tells how many there were in all.
constexpr std::size_t kMaxEmptyNamesHeader = 4096;
// How often expired archives are removed when no upload does it.
constexpr int kSweepSeconds = 10;

void Message(const std::string& text) {
  std::fprintf(stderr, "parcel-host: %s\n", text.c_str());
  std::fflush(stderr);
}

HttpResponse Text(int status, const std::string& message) {
  HttpResponse response;
  response.SetText(status, message);
  return response;
}

// Values of every cookie named `name` in the request's Cookie fields.
std::vector<std::string> CookieValues(const HttpRequest& req, std::string_view name) {
  std::vector<std::string> values;
  for (const auto& [field, header] : req.headers) {
    if (field != "cookie") continue;
    std::size_t at = 0;
    while (at < header.size()) {
      std::size_t end = header.find(';', at);
      if (end == std::string::npos) end = header.size();
      std::string_view pair(header.data() + at, end - at);
      while (!pair.empty() && pair.front() == ' ') pair.remove_prefix(1);
      if (pair.size() > name.size() && pair.substr(0, name.size()) == name &&
          pair[name.size()] == '=') {
        values.emplace_back(pair.substr(name.size() + 1));
      }
      at = end + 1;
    }
  }
  return values;
}

HttpResponse FromReply(const ServiceReply& reply) {
  HttpResponse response;
  response.status = reply.status;
  response.body = reply.body;
  response.AddHeader("Content-Type", reply.content_type);
  if (reply.status >= 500) {
    Message(reply.body.substr(0, reply.body.find('\n')) +
            (reply.log.empty() ? "" : " (" + reply.log + ")"));
  }
  if (reply.retry_after.count() > 0) {
    response.AddHeader("Retry-After", std::to_string(reply.retry_after.count()));
  }
  return response;
}

class Service;

// An upload to /compress: parsed part by part as it arrives, packed on a
// worker once complete.
class CompressBody : public RequestBody {
 public:
  CompressBody(Service* service, std::string_view boundary, std::string owner);
  bool Write(std::string_view bytes) override;
  HttpResponse Refusal() override;
  HttpResponse Finish() override;

 private:
  Service* service_;
  MultipartParser parser_;
  UploadCollector collector_;
  std::string owner_;
};

// A request in the transfer form to /process.
class ProcessBody : public RequestBody {
 public:
  explicit ProcessBody(Service* service) : service_(service) {}
  bool Write(std::string_view bytes) override {
    request_.append(bytes);
    return true;
  }
  HttpResponse Refusal() override { return Text(500, "the request could not be read"); }
  HttpResponse Finish() override;

 private:
  Service* service_;
  std::string request_;
};

class Service : public RequestHandler {
 public:
  Service(const ServeOptions& options, PackService* service, InterpreterPool* pool,
          OutputStore* store)
      : options_(options),
        service_(service),
        pool_(pool),
        store_(store),
        page_(UploadPage({options.max_upload, options.max_files, options.expiry_seconds})) {}

  void set_front(const HttpFront* front) { front_ = front; }
  const ServeOptions& options() const { return options_; }
  PackService& service() { return *service_; }

  Exchange OnHead(const HttpRequest& request, const HttpClient& client) override;
  void OnLog(const AccessRecord& record) override;

  // The answer to a compression request.
  HttpResponse Packed(const ServiceReply& reply, const std::vector<std::string>& empty_files);

 private:
  // Opens archive `name` for the request's token (header or cookies).
  bool Open(const HttpRequest& request, const std::string& name, OutputStore::Download* download);
  HttpResponse Download(const HttpRequest& request);
  HttpResponse Entries(const HttpRequest& request, const std::string& name);
  HttpResponse Health();

  const ServeOptions& options_;
  PackService* service_;
  InterpreterPool* pool_;
  OutputStore* store_;
  const HttpFront* front_ = nullptr;
  const std::string page_;
};

CompressBody::CompressBody(Service* service, std::string_view boundary, std::string owner)
    : service_(service),
      parser_(boundary),
      collector_({service->options().max_files, service->options().max_upload}),
      owner_(std::move(owner)) {}

bool CompressBody::Write(std::string_view bytes) {
  const MultipartParser::Result result = parser_.Feed(bytes, collector_);
  return result == MultipartParser::Result::kMore || result == MultipartParser::Result::kDone;
}

HttpResponse CompressBody::Refusal() {
  switch (collector_.error()) {
    case UploadError::kTooLarge: return Text(413, collector_.message());
    case UploadError::kBadRequest: return Text(400, collector_.message());
    case UploadError::kNone:
    default: return Text(400, "the multipart/form-data body is malformed");
  }
}

HttpResponse CompressBody::Finish() {
  if (parser_.Finish() != MultipartParser::Result::kDone) return Refusal();
  if (!collector_.Finish()) return Refusal();
  const std::vector<std::string> empty_files = collector_.EmptyFiles();
  return service_->Packed(service_->service().Compress(collector_.TakeRequest(), owner_),
                          empty_files);
}

HttpResponse ProcessBody::Finish() {
  if (request_.empty()) return Text(400, "send a request in the transfer form as the body");
  return FromReply(service_->service().Process(std::move(request_)));
}

HttpResponse Service::Packed(const ServiceReply& reply,
                             const std::vector<std::string>& empty_files) {
  HttpResponse response = FromReply(reply);
  if (reply.status == 200 && !empty_files.empty()) {
    // The module leaves empty files out of the archive; the client learns
    // which.
    response.AddHeader("X-Parcel-Empty-Files", std::to_string(empty_files.size()));
    std::string names;
    for (const std::string& name : empty_files) {
      std::string encoded = PercentEncode(name);
      if (names.size() + encoded.size() + 2 > kMaxEmptyNamesHeader) break;
      if (!names.empty()) names += ", ";
      names += encoded;
    }
    response.AddHeader("X-Parcel-Empty-File-Names", names);
  }
  if (reply.archive_name.empty()) return response;
  if (!options_.public_downloads) {
    response.AddHeader("X-Parcel-Token", reply.token);
    // Scoped to the one archive, so each archive's cookie stands beside the
    // others and goes only with its own download.
    response.AddHeader("Set-Cookie", std::string(kTokenCookie) + "=" + reply.token +
                                         "; Path=/output/" + reply.archive_name +
                                         "; Max-Age=" + std::to_string(options_.expiry_seconds) +
                                         "; HttpOnly; SameSite=Strict");
  }
  // An archive whose token never reached the client can never be fetched:
  // it goes at once instead of holding its room until it expires.
  OutputStore* store = store_;
  std::string name = reply.archive_name;
  response.on_delivery = [store, name](bool delivered) {
    if (!delivered) store->Remove(name);
  };
  return response;
}

Exchange Service::OnHead(const HttpRequest& request, const HttpClient& client) {
  Exchange exchange;
  const std::string& method = request.method;
  const std::string& path = request.path;
  const bool get = method == "GET" || method == "HEAD";
  auto answer = [&](HttpResponse response) {
    if (method == "HEAD") response.head_only = true;
    exchange.answer = std::move(response);
    return std::move(exchange);
  };
  auto not_allowed = [&](const char* allow) {
    HttpResponse response = Text(405, std::string("use ") + allow);
    response.AddHeader("Allow", allow);
    return answer(std::move(response));
  };

  if (path == "/compress" || path == "/process") {
    if (method != "POST") return not_allowed("POST");
    if (path == "/process") {
      exchange.body = std::make_unique<ProcessBody>(this);
      return exchange;
    }
    std::string boundary;
    const std::string* type = request.Header("content-type");
    if (type == nullptr || !MultipartBoundary(*type, &boundary)) {
      return answer(Text(415, "send the files as multipart/form-data, one file field per file"));
    }
    if (boundary.empty()) return answer(Text(400, "the multipart/form-data body is malformed"));
    exchange.body = std::make_unique<CompressBody>(this, boundary, client.address);
    return exchange;
  }
  if (path == "/") {
    if (!get) return not_allowed("GET, HEAD");
    HttpResponse page;
    page.body = page_;
    page.AddHeader("Content-Type", "text/html; charset=utf-8");
    return answer(std::move(page));
  }
  if (path == "/healthz") {
    if (!get) return not_allowed("GET, HEAD");
    return answer(Health());
  }
  if (path.size() > kOutputPrefix.size() &&
      path.compare(0, kOutputPrefix.size(), kOutputPrefix) == 0) {
    if (!get) return not_allowed("GET, HEAD");
    if (path.size() > kOutputPrefix.size() + kEntriesSuffix.size() &&
        path.compare(path.size() - kEntriesSuffix.size(), kEntriesSuffix.size(), kEntriesSuffix) ==
            0) {
      return answer(Entries(
          request, path.substr(kOutputPrefix.size(),
                               path.size() - kOutputPrefix.size() - kEntriesSuffix.size())));
    }
    return answer(Download(request));
  }
  return answer(Text(404, "not found"));
}

HttpResponse NoArchive() {
  // A wrong token and an unknown name look alike, so nobody learns which
  // names exist.
  return Text(404,
              "no archive of that name for this download token (header X-Parcel-Token or "
              "cookie parcel_token): it never existed, has expired or is another's");
}

bool Service::Open(const HttpRequest& request, const std::string& name,
                   OutputStore::Download* download) {
  std::vector<std::string> tokens;
  if (const std::string* token = request.Header(kTokenHeader)) tokens.push_back(*token);
  for (std::string& value : CookieValues(request, kTokenCookie)) tokens.push_back(std::move(value));
  if (tokens.empty()) tokens.emplace_back();

  OutputStore::GetStatus status = OutputStore::GetStatus::kNotFound;
  // A name with a slash in it is no archive name and never matches.
  if (name.find('/') == std::string::npos) {
    for (const std::string& token : tokens) {
      status = store_->Get(name, token, !options_.public_downloads, download);
      if (status != OutputStore::GetStatus::kForbidden) break;
    }
  }
  return status == OutputStore::GetStatus::kFound;
}

HttpResponse Service::Download(const HttpRequest& request) {
  const std::string name = request.path.substr(kOutputPrefix.size());
  OutputStore::Download download;
  if (!Open(request, name, &download)) return NoArchive();
  HttpResponse response;
  response.AddHeader("Content-Type", "application/zip");
  response.AddHeader("Content-Disposition", "attachment; filename=\"" + name + "\"");
  response.AddHeader("Cache-Control", "private, no-store");
  response.AddHeader("Accept-Ranges", "bytes");
  response.file = download.file;
  response.file_length = download.size;
  const std::string* range = request.Header("range");
  // Without a validator to compare, a conditional range gets the whole archive.
  if (range == nullptr || request.method != "GET" || request.Header("if-range") != nullptr) {
    return response;
  }
  const RangeAnswer wanted = ResolveRange(*range, download.size);
  switch (wanted.kind) {
    case RangeAnswer::kPart:
      response.status = 206;
      response.file_offset = wanted.range.first;
      response.file_length = wanted.range.length;
      response.AddHeader("Content-Range",
                         "bytes " + std::to_string(wanted.range.first) + "-" +
                             std::to_string(wanted.range.first + wanted.range.length - 1) + "/" +
                             std::to_string(download.size));
      return response;
    case RangeAnswer::kUnsatisfiable: {
      HttpResponse refused = Text(
          416, "the range lies outside the archive of " + std::to_string(download.size) + " bytes");
      refused.AddHeader("Content-Range", "bytes */" + std::to_string(download.size));
      return refused;
    }
    case RangeAnswer::kWhole:
    default: return response;
  }
}

HttpResponse Service::Entries(const HttpRequest& request, const std::string& name) {
  OutputStore::Download download;
  if (!Open(request, name, &download)) return NoArchive();
  std::vector<ZipEntry> entries;
  std::string error;
  if (!ListArchive(download.file.get(), download.size, kMaxListedDirectory, &entries, &error)) {
    Message("cannot list " + name + ": " + error);
    return Text(500, "the archive's listing cannot be read");
  }
  HttpResponse response;
  response.AddHeader("Content-Type", "application/json");
  response.AddHeader("Cache-Control", "private, no-store");
  response.body = ListingJson(name, download.size, download.expires_in, entries);
  return response;
}

HttpResponse Service::Health() {
  OutputStore::Stats stats = store_->stats();
  const HttpFront::Stats front = front_ != nullptr ? front_->stats() : HttpFront::Stats{};
  HttpResponse response;
  response.AddHeader("Content-Type", "application/json");
  response.body = "{\"status\":\"ok\",\"workers\":" + std::to_string(pool_->size()) +
                  ",\"busy\":" + std::to_string(pool_->busy()) +
                  ",\"connections\":" + std::to_string(front.connections) +
                  ",\"requests_in_flight\":" + std::to_string(front.requests_in_flight) +
                  ",\"upload_bytes_held\":" + std::to_string(front.body_bytes_held) +
                  ",\"archives\":" + std::to_string(stats.archives) +
                  ",\"store_bytes\":" + std::to_string(stats.bytes) +
                  ",\"store_limit\":" + std::to_string(options_.store_bytes) + "}\n";
  return response;
}

void Service::OnLog(const AccessRecord& record) {
  if (options_.quiet) return;
  std::string line = AccessLogLine(record) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

// Stops the server on SIGINT or SIGTERM, and sweeps the store meanwhile.
// The signals are blocked in every thread and taken here with sigtimedwait,
// so no handler runs in the middle of a request.
class SignalWaiter {
 public:
  explicit SignalWaiter(OutputStore* store) : store_(store) {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
  }
  // Blocks the signals in the calling thread and the threads it starts later.
  // Requires: called before any other thread starts.
  bool Block() { return pthread_sigmask(SIG_BLOCK, &signals_, nullptr) == 0; }

  // `also_stop`, when set, stops the NI server once the front is told to.
  void Start(HttpFront* front, std::function<void()> also_stop) {
    front_ = front;
    also_stop_ = std::move(also_stop);
    thread_ = std::thread([this] { Run(); });
  }
  // After the front returned: ends the waiter.
  void Finish() {
    finished_ = true;
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
  }

 private:
  void Run() {
    const timespec interval{kSweepSeconds, 0};
    for (;;) {
      int got = sigtimedwait(&signals_, nullptr, &interval);
      if (got == SIGINT || got == SIGTERM) {
        if (!finished_) {
          Message(std::string("stopping on ") + (got == SIGINT ? "SIGINT" : "SIGTERM") +
                  "; requests in flight are finished first");
          front_->Stop();
          if (also_stop_) also_stop_();
        }
        return;
      }
      if (got < 0 && errno == EAGAIN) store_->Sweep();
    }
  }

  HttpFront* front_ = nullptr;
  std::function<void()> also_stop_;
  OutputStore* store_;
  sigset_t signals_;
  std::thread thread_;
  std::atomic<bool> finished_{false};
};

std::string UrlOf(const std::string& address, int port) {
  bool v6 = address.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port) + "/";
}

}  // namespace

int Serve(const ServeOptions& options) {
  OutputStore store;
  SignalWaiter waiter(&store);
  if (!waiter.Block()) {
    Message("cannot block SIGINT and SIGTERM");
    return kExitInternal;
  }
  ::signal(SIGPIPE, SIG_IGN);
  // A file size limit makes a write fail (EFBIG, answered 507) instead of
  // ending the process.
  ::signal(SIGXFSZ, SIG_IGN);

  Module module;
  InterpreterPool pool;
  std::string error;
  const std::size_t threads = ServeThreads(options);
  if (int code = LoadInterpreters(options.module, threads, &module, &pool, &error);
      code != kExitOk) {
    Message(error);
    return code;
  }
  OutputStore::Options store_options;
  store_options.directory = PathFromUtf8(options.store);
  store_options.max_bytes = options.store_bytes;
  store_options.owner_bytes = options.client_store_bytes;
  store_options.expiry = std::chrono::seconds(options.expiry_seconds);
  if (!store.Open(store_options, &error)) {
    Message(error);
    return kExitOutput;
  }

  PackService service(&pool, &store);
  Service routes(options, &service, &pool, &store);
  HttpFront::Options front_options;
  front_options.workers = threads;
  front_options.head_timeout = std::chrono::seconds(options.head_timeout_seconds);
  front_options.idle_timeout = std::chrono::seconds(options.idle_timeout_seconds);
  front_options.min_rate = options.min_rate;
  front_options.rate_grace = front_options.head_timeout;
  front_options.max_body = options.max_upload;
  front_options.max_body_bytes_held = std::max(options.max_held, options.max_upload);
  front_options.max_connections = options.max_connections;
  front_options.max_connections_per_client = options.max_client_connections;
  front_options.shutdown_grace = std::chrono::seconds(options.shutdown_grace_seconds);
  HttpFront front(front_options, &routes);
  routes.set_front(&front);

  if (!front.Listen(options.listen, options.port, &error)) {
    Message(error);
    return kExitListen;
  }
  const int port = front.port();
  if (!options.port_file.empty() && !WritePortFile(options.port_file, port, &error)) {
    Message(error);
    return kExitOutput;
  }
  std::printf("{\"event\":\"listening\",\"url\":%s,\"port\":%d,\"workers\":%zu,\"store\":%s}\n",
              JsonString(UrlOf(options.listen, port)).c_str(), port, threads,
              JsonString(store.directory().string()).c_str());
  std::fflush(stdout);
  // The NI server shares the interpreters; it has workers of its own.
  std::unique_ptr<NiPackServer> ni;
  const auto grace = std::chrono::seconds(options.shutdown_grace_seconds);
  if (options.ni_port >= 0) {
    ni = std::make_unique<NiPackServer>(&pool, NiOptionsOf(options, threads));
    if (int code = StartNiService(options, ni.get()); code != kExitOk) return code;
  }

  waiter.Start(&front, ni ? std::function<void()>([&] { ni->Stop(grace); }) : nullptr);
  front.Run();  // returns once stopped and the requests in flight finished or the grace ran out
  waiter.Finish();
  if (ni) ni->Stop(grace);
  std::printf("{\"event\":\"stopped\"}\n");
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace parcel::host
