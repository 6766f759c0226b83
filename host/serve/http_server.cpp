// parcel-host serve on Linux: the HTTP routes over the interpreter pool and
// the output store, the access log, and shutdown on SIGINT or SIGTERM.
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include <httplib.h>

#include "host/exit_codes.h"
#include "host/module.h"
#include "host/path_text.h"
#include "host/serve/access_log.h"
#include "host/serve/interpreter_pool.h"
#include "host/serve/output_store.h"
#include "host/serve/pack_service.h"
#include "host/serve/serve.h"
#include "host/serve/upload.h"
#include "host/serve/upload_page.h"
#include "host/system_message.h"

namespace parcel::host {
namespace {

using std::chrono::steady_clock;

constexpr const char* kTokenHeader = "X-Parcel-Token";
constexpr std::string_view kTokenCookie = "parcel_token";
constexpr std::size_t kDownloadChunk = 64u << 10;
// How often expired archives are removed when no upload does it.
constexpr int kSweepSeconds = 10;

void Message(const std::string& text) {
  std::fprintf(stderr, "parcel-host: %s\n", text.c_str());
  std::fflush(stderr);
}

void SetText(httplib::Response& res, int status, const std::string& message) {
  res.status = status;
  res.set_content(message + "\n", "text/plain; charset=utf-8");
}

// Values of every cookie named `name` in the request's Cookie headers.
std::vector<std::string> CookieValues(const httplib::Request& req, std::string_view name) {
  std::vector<std::string> values;
  for (std::size_t i = 0, n = req.get_header_value_count("Cookie"); i < n; ++i) {
    std::string header = req.get_header_value("Cookie", i);
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

// Reads and drops what is left of a body the handler does not want, up to
// `limit` bytes, so the connection stays in step for its next request.
void Drain(const httplib::ContentReader& reader, std::uint64_t limit) {
  std::uint64_t seen = 0;
  reader([&](const char*, std::size_t n) { return (seen += n) <= limit; });
}

// The parts of the request's time line that the logger needs: routing
// starts a request on its worker thread, and the logger ends it there.
thread_local steady_clock::time_point t_started;
thread_local bool t_routed = false;

class Server {
 public:
  Server(const ServeOptions& options, PackService* service, InterpreterPool* pool,
         OutputStore* store)
      : options_(options), service_(service), pool_(pool), store_(store) {}

  void Install(httplib::Server& http);
  std::size_t in_flight() const { return in_flight_.load(); }

 private:
  void Compress(const httplib::Request& req, httplib::Response& res,
                const httplib::ContentReader& reader);
  void ProcessRaw(const httplib::Request& req, httplib::Response& res,
                  const httplib::ContentReader& reader);
  void Download(const httplib::Request& req, httplib::Response& res);
  void Health(httplib::Response& res);
  void Log(const httplib::Request& req, const httplib::Response& res);
  void Apply(const ServiceReply& reply, httplib::Response& res);

  const ServeOptions& options_;
  PackService* service_;
  InterpreterPool* pool_;
  OutputStore* store_;
  std::atomic<std::size_t> in_flight_{0};
  std::mutex log_mutex_;
};

void Server::Install(httplib::Server& http) {
  http.set_pre_routing_handler([this](const httplib::Request&, httplib::Response& res) {
    t_started = steady_clock::now();
    t_routed = true;
    ++in_flight_;
    res.set_header("X-Content-Type-Options", "nosniff");
    return httplib::Server::HandlerResponse::Unhandled;
  });
  http.set_logger(
      [this](const httplib::Request& req, const httplib::Response& res) { Log(req, res); });
  // Statuses the library sets itself (400 for a request it cannot read, 404
  // for an unknown path, 413) get a message; the handlers' own bodies stay.
  http.set_error_handler([](const httplib::Request&, httplib::Response& res) {
    if (!res.body.empty() || res.content_length_ != 0) return;
    switch (res.status) {
      case 404: SetText(res, 404, "not found"); break;
      case 413: SetText(res, 413, "the request body is larger than the upload limit"); break;
      case 400: SetText(res, 400, "the request cannot be read"); break;
      default: SetText(res, res.status, "the request failed"); break;
    }
  });
  http.set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr failure) {
        std::string what = "unknown exception";
        try {
          std::rethrow_exception(failure);
        } catch (const std::bad_alloc&) {
          what = "out of memory";
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        Message("internal error: " + what);
        SetText(res, 500, "internal error: " + what);
      });

  http.Get("/", [](const httplib::Request&, httplib::Response& res) {
    std::string_view page = UploadPage();
    res.set_content(page.data(), page.size(), "text/html; charset=utf-8");
  });
  http.Get("/healthz", [this](const httplib::Request&, httplib::Response& res) { Health(res); });
  http.Post("/compress",
            [this](const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& reader) { Compress(req, res, reader); });
  http.Post("/process",
            [this](const httplib::Request& req, httplib::Response& res,
                   const httplib::ContentReader& reader) { ProcessRaw(req, res, reader); });
  for (const char* path : {"/compress", "/process"}) {
    http.Get(path, [](const httplib::Request&, httplib::Response& res) {
      res.set_header("Allow", "POST");
      SetText(res, 405, "use POST");
    });
  }
  // One path level after /output/: the name is looked up in the store, and
  // a decoded path with a slash in it never matches.
  http.Get("/output/([^/]+)",
           [this](const httplib::Request& req, httplib::Response& res) { Download(req, res); });
}

void Server::Apply(const ServiceReply& reply, httplib::Response& res) {
  res.status = reply.status;
  res.set_content(reply.body, reply.content_type);
  if (reply.status >= 500) Message(reply.body.substr(0, reply.body.find('\n')));
  if (reply.retry_after.count() > 0) {
    res.set_header("Retry-After", std::to_string(reply.retry_after.count()));
  }
  if (!reply.archive_name.empty() && !options_.public_downloads) {
    res.set_header(kTokenHeader, reply.token);
    // Scoped to the one archive, so each archive's cookie stands beside the
    // others and goes only with its own download.
    res.set_header("Set-Cookie", std::string(kTokenCookie) + "=" + reply.token + "; Path=/output/" +
                                     reply.archive_name +
                                     "; Max-Age=" + std::to_string(options_.expiry_seconds) +
                                     "; HttpOnly; SameSite=Strict");
  }
}

void Server::Compress(const httplib::Request& req, httplib::Response& res,
                      const httplib::ContentReader& reader) {
  if (!req.is_multipart_form_data()) {
    Drain(reader, options_.max_upload);
    SetText(res, 415, "send the files as multipart/form-data, one file field per file");
    return;
  }
  UploadCollector collector({options_.max_files, options_.max_upload});
  // Past a limit the rest of the body is read and dropped, up to the limit
  // once more, before the answer: a server that closes while the client is
  // still sending makes the client's system reset the connection, and the
  // client never sees the 413.
  std::uint64_t dropped = 0;
  auto keep_going = [&](bool ok, std::size_t size) {
    if (ok) return true;
    if (collector.error() != UploadError::kTooLarge) return false;
    dropped += size;
    return dropped <= options_.max_upload;
  };
  bool read = reader(
      [&](const httplib::MultipartFormData& part) {
        return keep_going(collector.BeginPart(part.name, part.filename), 0);
      },
      [&](const char* data, std::size_t size) {
        return keep_going(collector.AddContent(std::string_view(data, size)), size);
      });
  if (read && collector.Finish()) {
    Apply(service_->Compress(collector.TakeRequest()), res);
    return;
  }
  // The rest of a refused body is not read: the connection closes after the
  // answer.
  res.set_header("Connection", "close");
  switch (collector.error()) {
    case UploadError::kTooLarge: SetText(res, 413, collector.message()); break;
    case UploadError::kBadRequest: SetText(res, 400, collector.message()); break;
    case UploadError::kNone:
    default:
      if (res.status == 413) {
        SetText(res, 413,
                "the upload is larger than the limit of " + std::to_string(options_.max_upload) +
                    " bytes");
      } else {
        SetText(res, 400, "the multipart/form-data body is malformed");
      }
      break;
  }
}

void Server::ProcessRaw(const httplib::Request&, httplib::Response& res,
                        const httplib::ContentReader& reader) {
  std::string request;
  bool too_large = false;
  std::uint64_t dropped = 0;  // as in Compress: read on past the limit before answering
  bool read = reader([&](const char* data, std::size_t size) {
    if (!too_large && size > options_.max_upload - request.size()) {
      too_large = true;
      std::string().swap(request);
    }
    if (too_large) return (dropped += size) <= options_.max_upload;
    request.append(data, size);
    return true;
  });
  if (too_large || res.status == 413) {
    res.set_header("Connection", "close");
    SetText(res, 413,
            "the request is larger than the upload limit of " +
                std::to_string(options_.max_upload) + " bytes");
    return;
  }
  if (!read) {
    SetText(res, 400, "the request body could not be read");
    return;
  }
  if (request.empty()) {
    SetText(res, 400, "send a request in the transfer form as the body");
    return;
  }
  Apply(service_->Process(std::move(request)), res);
}

void Server::Download(const httplib::Request& req, httplib::Response& res) {
  const std::string name = req.matches[1];
  std::vector<std::string> tokens;
  if (req.has_header(kTokenHeader)) tokens.push_back(req.get_header_value(kTokenHeader));
  for (std::string& value : CookieValues(req, kTokenCookie)) tokens.push_back(std::move(value));
  if (tokens.empty()) tokens.emplace_back();

  OutputStore::Download download;
  OutputStore::GetStatus status = OutputStore::GetStatus::kNotFound;
  for (const std::string& token : tokens) {
    status = store_->Get(name, token, !options_.public_downloads, &download);
    if (status != OutputStore::GetStatus::kForbidden) break;
  }
  switch (status) {
    case OutputStore::GetStatus::kFound: break;
    case OutputStore::GetStatus::kForbidden:
      SetText(res, 403,
              "this archive is served only with the download token of the upload that "
              "made it (header X-Parcel-Token or cookie parcel_token)");
      return;
    case OutputStore::GetStatus::kNotFound:
    default: SetText(res, 404, "no archive of that name: it never existed or has expired"); return;
  }
  res.set_header("Content-Disposition", "attachment; filename=\"" + name + "\"");
  res.set_header("Cache-Control", "private, no-store");
  std::shared_ptr<std::FILE> file = download.file;
  res.set_content_provider(static_cast<std::size_t>(download.size), "application/zip",
                           [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
                             char buffer[kDownloadChunk];
                             if (::fseeko(file.get(), static_cast<off_t>(offset), SEEK_SET) != 0)
                               return false;
                             std::size_t got =
                                 std::fread(buffer, 1, std::min(length, sizeof buffer), file.get());
                             return got > 0 && sink.write(buffer, got);
                           });
}

void Server::Health(httplib::Response& res) {
  OutputStore::Stats stats = store_->stats();
  res.set_content("{\"status\":\"ok\",\"workers\":" + std::to_string(pool_->size()) +
                      ",\"busy\":" + std::to_string(pool_->busy()) +
                      ",\"requests_in_flight\":" + std::to_string(in_flight_.load()) +
                      ",\"archives\":" + std::to_string(stats.archives) +
                      ",\"store_bytes\":" + std::to_string(stats.bytes) +
                      ",\"store_limit\":" + std::to_string(options_.store_bytes) + "}\n",
                  "application/json");
}

void Server::Log(const httplib::Request& req, const httplib::Response& res) {
  AccessRecord record;
  record.time = std::chrono::system_clock::now();
  if (t_routed) {
    record.milliseconds =
        std::chrono::duration<double, std::milli>(steady_clock::now() - t_started).count();
    t_routed = false;
    --in_flight_;
  }
  if (options_.quiet) return;
  record.remote = req.remote_addr;
  record.method = req.method;
  record.path = req.path;
  record.status = res.status;
  if (req.method != "HEAD")
    record.bytes = res.content_provider_ ? res.content_length_ : res.body.size();
  std::string line = AccessLogLine(record) + "\n";
  std::lock_guard<std::mutex> lock(log_mutex_);
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

// Stops the server on SIGINT or SIGTERM, and sweeps the store meanwhile.
// The signals are blocked in every thread and taken here with sigtimedwait,
// so no handler runs in the middle of a request.
class SignalWaiter {
 public:
  SignalWaiter(httplib::Server* http, OutputStore* store) : http_(http), store_(store) {
    sigemptyset(&signals_);
    sigaddset(&signals_, SIGINT);
    sigaddset(&signals_, SIGTERM);
  }
  // Blocks the signals in the calling thread and the threads it starts later.
  // Requires: called before any other thread starts.
  bool Block() { return pthread_sigmask(SIG_BLOCK, &signals_, nullptr) == 0; }

  void Start() {
    thread_ = std::thread([this] { Run(); });
  }
  // After listen returned: ends the waiter.
  void Finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      listening_ = false;
    }
    changed_.notify_all();
    pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
  }

 private:
  void Run() {
    const timespec interval{kSweepSeconds, 0};
    for (;;) {
      int got = sigtimedwait(&signals_, nullptr, &interval);
      if (got == SIGINT || got == SIGTERM) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (listening_) {
          Message(std::string("stopping on ") + (got == SIGINT ? "SIGINT" : "SIGTERM") +
                  "; requests in flight are finished first");
        }
        break;
      }
      if (got < 0 && errno == EAGAIN) store_->Sweep();
    }
    // A signal that comes before the listening loop has begun would find
    // nothing to stop: stop again until listen has returned.
    std::unique_lock<std::mutex> lock(mutex_);
    while (listening_) {
      http_->stop();
      changed_.wait_for(lock, std::chrono::milliseconds(50));
    }
  }

  httplib::Server* http_;
  OutputStore* store_;
  sigset_t signals_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool listening_ = true;
};

// Writes the port as a line into `file`, which appears whole or not at all:
// a client may be waiting for it to exist.
bool WritePortFile(const std::string& file, int port, std::string* error) {
  const std::filesystem::path target = PathFromUtf8(file);
  std::filesystem::path temp = target;
  temp += ".tmp";
  errno = 0;
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (out.is_open()) out << port << '\n';
    out.close();
    if (out.fail()) {
      *error = "cannot write " + QuotedPath(target) + ": " + ErrnoMessage("write failed");
      std::error_code ignored;
      std::filesystem::remove(temp, ignored);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(temp, target, ec);
  if (ec) {
    *error = "cannot write " + QuotedPath(target) + ": " + ec.message();
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
}

std::string UrlOf(const std::string& address, int port) {
  bool v6 = address.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port) + "/";
}

}  // namespace

int Serve(const ServeOptions& options) {
  httplib::Server http;
  OutputStore store;
  SignalWaiter waiter(&http, &store);
  if (!waiter.Block()) {
    Message("cannot block SIGINT and SIGTERM");
    return kExitInternal;
  }
  ::signal(SIGPIPE, SIG_IGN);

  Module module;
  std::string error;
  if (!module.Load(options.module, &error)) {
    Message("cannot load module: " + error);
    return kExitModule;
  }
  const std::size_t threads = options.threads != 0
                                  ? options.threads
                                  : std::max<std::size_t>(2, std::thread::hardware_concurrency());
  InterpreterPool pool;
  if (!pool.Create(module, threads, &error)) {
    Message(error);
    return kExitModule;
  }
  OutputStore::Options store_options;
  store_options.directory = PathFromUtf8(options.store);
  store_options.max_bytes = options.store_bytes;
  store_options.expiry = std::chrono::seconds(options.expiry_seconds);
  if (!store.Open(store_options, &error)) {
    Message(error);
    return kExitOutput;
  }

  PackService service(&pool, &store);
  Server server(options, &service, &pool, &store);
  server.Install(http);
  http.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  http.set_payload_max_length(static_cast<std::size_t>(options.max_upload));
  http.set_read_timeout(30);
  http.set_write_timeout(30);
  http.set_keep_alive_timeout(2);
  // SO_REUSEADDR alone: the library's default adds SO_REUSEPORT, with which a
  // second server would share the port and take some of this one's clients.
  int listening_socket = -1;
  http.set_socket_options([&listening_socket](int sock) {
    int yes = 1;
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listening_socket = sock;
  });

  int port = options.port;
  bool bound = port == 0 ? (port = http.bind_to_any_port(options.listen)) > 0
                         : http.bind_to_port(options.listen, port);
  if (!bound) {
    Message("cannot listen on " + options.listen + " port " + std::to_string(options.port));
    return kExitListen;
  }
  // The library listens with a backlog of 5, too short for a burst of
  // clients: connections beyond it are dropped or reset before a worker
  // could queue them. Listening again only raises the backlog.
  ::listen(listening_socket, SOMAXCONN);
  if (!options.port_file.empty() && !WritePortFile(options.port_file, port, &error)) {
    Message(error);
    return kExitOutput;
  }
  std::printf("{\"event\":\"listening\",\"url\":%s,\"port\":%d,\"workers\":%zu,\"store\":%s}\n",
              JsonString(UrlOf(options.listen, port)).c_str(), port, threads,
              JsonString(store.directory().string()).c_str());
  std::fflush(stdout);

  waiter.Start();
  http.listen_after_bind();  // returns once stopped and every request in flight has finished
  waiter.Finish();
  std::printf("{\"event\":\"stopped\"}\n");
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace parcel::host
