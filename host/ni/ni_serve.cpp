// serve over NI: starting the server, and running it alone.
#include "host/ni/ni_serve.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "host/access_log.h"
#include "host/exit_codes.h"
#include "host/module.h"
#include "host/path_text.h"
#include "platform/shutdown_signal.h"

namespace parcel::host {
namespace {

void Message(const std::string& text) {
  std::fprintf(stderr, "parcel-host: %s\n", text.c_str());
  std::fflush(stderr);
}

// Woken by the stop request.
struct StopRequest {
  std::mutex mutex;
  std::condition_variable asked;
  bool stop = false;
  static void Signal(void* context) {
    auto* request = static_cast<StopRequest*>(context);
    {
      std::lock_guard<std::mutex> lock(request->mutex);
      request->stop = true;
    }
    request->asked.notify_all();
  }
};

}  // namespace

std::size_t ServeThreads(const ServeOptions& options) {
  return options.threads != 0 ? options.threads
                              : std::max<std::size_t>(2, std::thread::hardware_concurrency());
}

NiServeOptions NiOptionsOf(const ServeOptions& options, std::size_t workers) {
  NiServeOptions ni;
  ni.listen = options.ni_listen;
  ni.port = options.ni_port < 0 ? 0 : options.ni_port;
  ni.local_socket = options.ni_local;
  ni.max_connections = options.max_connections;
  ni.max_request = options.max_upload;
  ni.idle_timeout_seconds = options.ni_idle_timeout_seconds;
  ni.workers = workers;
  ni.quiet = options.quiet;
  return ni;
}

bool WritePortFile(const std::string& file, int port, std::string* error) {
  const std::filesystem::path target = PathFromUtf8(file);
  std::filesystem::path temp = target;
  temp += ".tmp";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (out.is_open()) out << port << '\n';
    out.close();
    if (out.fail()) {
      *error = "cannot write " + QuotedPath(target);
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

int StartNiService(const ServeOptions& options, NiPackServer* server) {
  std::string error;
  if (!server->Start(&error)) {
    Message(error);
    return kExitListen;
  }
  if (!options.ni_port_file.empty() &&
      !WritePortFile(options.ni_port_file, server->port(), &error)) {
    Message(error);
    return kExitOutput;
  }
  const std::string& listen = options.ni_listen;
  const std::string host = listen.empty() || listen == "*"         ? "*"
                           : listen.find(':') != std::string::npos ? "[" + listen + "]"
                                                                   : listen;
  std::printf("{\"event\":\"listening\",\"ni\":%s,\"ni_port\":%d,\"local_socket\":%s}\n",
              JsonString(host + ":" + std::to_string(server->port())).c_str(), server->port(),
              server->local_socket() ? "true" : "false");
  std::fflush(stdout);
  return kExitOk;
}

int ServeNiOnly(const ServeOptions& options) {
  StopRequest request;
  if (!platform::WatchShutdownSignal(&StopRequest::Signal, &request)) {
    Message("cannot watch for the stop request");
    return kExitInternal;
  }
  struct EndWatch {
    ~EndWatch() { platform::EndShutdownWatch(); }
  } end_watch;

  Module module;
  InterpreterPool pool;
  std::string error;
  const std::size_t threads = ServeThreads(options);
  if (int code = LoadInterpreters(options.module, threads, &module, &pool, &error);
      code != kExitOk) {
    Message(error);
    return code;
  }
  NiPackServer server(&pool, NiOptionsOf(options, threads));
  if (int code = StartNiService(options, &server); code != kExitOk) return code;
  {
    std::unique_lock<std::mutex> lock(request.mutex);
    request.asked.wait(lock, [&] { return request.stop; });
  }
  server.Stop(std::chrono::seconds(options.shutdown_grace_seconds));
  std::printf("{\"event\":\"stopped\"}\n");
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace parcel::host
