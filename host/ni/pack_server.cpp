// The packing server's event loop and workers.
#include "host/ni/pack_server.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "errinfo/errinfo.h"
#include "host/access_log.h"
#include "host/ni/pack_protocol.h"
#include "ni/ni.h"

namespace parcel::host {
namespace {

using Clock = std::chrono::steady_clock;

// Connections accepted at most per wake-up of the listener, so that a burst
// of connections cannot starve those already open.
constexpr int kAcceptBurst = 64;
// After a failed accept (out of descriptors, say) the listener rests this long.
constexpr auto kAcceptPause = std::chrono::milliseconds(200);
// A connection closed after an error report waits this long for the report
// to leave.
constexpr auto kCloseLinger = std::chrono::seconds(2);
constexpr int kMaxEvents = 256;

// Messages the out-queue of a connection holds: the largest answer in pieces.
int QueueLength() { return static_cast<int>(PiecesOf(kMaxAnswer)) + 2; }

}  // namespace

struct NiPackServer::Impl {
  struct Connection {
    std::uint64_t serial = 0;
    std::string remote;
    TransferAssembler assembler{0};
    bool busy = false;                // a request of it is with the workers
    bool closing = false;             // its sending side is shut once its queue is empty
    bool discarding = false;          // sending side shut: what still comes is dropped
    bool draining = false;            // an answer is leaving
    Clock::time_point active;         // last whole message in or answer out
    Clock::time_point request_start;  // when the running request was taken
    std::uint64_t request_bytes = 0;
  };
  struct Job {
    NI_HANDLE handle;
    std::uint64_t serial;
    std::string request;
  };
  // A response on its way from a worker to the loop. It views the
  // interpreter's buffer: the worker keeps its lease until the loop has
  // queued the bytes (`*queued`), so the response is copied once, into the
  // connection's queue, and a slow client holds no interpreter.
  struct Done {
    NI_HANDLE handle;
    std::uint64_t serial;
    std::string_view response;  // empty: the module gave none
    bool* queued;
  };

  Impl(InterpreterPool* p, NiServeOptions o) : pool(p), options(std::move(o)) {}

  InterpreterPool* pool;
  NiServeOptions options;
  NI_SELSET* set = nullptr;
  NI_HANDLE listener = NI_NO_HANDLE;
  NI_HANDLE wake_in = NI_NO_HANDLE;   // the loop reads here
  NI_HANDLE wake_out = NI_NO_HANDLE;  // workers and Stop write here
  unsigned short bound_port = 0;
  bool has_local = false;
  bool started = false;
  bool ni_started = false;

  std::thread loop;
  std::vector<std::thread> workers;

  // Loop thread only.
  std::unordered_map<NI_HANDLE, Connection> connections;
  std::uint64_t next_serial = 1;
  bool accepting = true;
  Clock::time_point accept_resume{};
  Clock::time_point next_sweep{};
  std::size_t in_flight = 0;  // requests with the workers

  std::mutex mutex;  // guards what follows
  std::condition_variable job_ready;
  std::deque<Job> jobs;
  std::deque<Done> done;
  std::condition_variable handed;  // a response was queued
  bool workers_end = false;
  bool loop_ended = false;  // responses are no longer taken
  std::atomic<bool> stopping{false};
  Clock::time_point stop_deadline{};

  std::mutex wake_mutex;
  // A wake-up byte is on its way: at most one is, so the write never finds
  // the socket full and never fails (a failure would write the process's
  // error information, which belongs to the loop thread).
  std::atomic<bool> wake_pending{false};
  std::mutex log_mutex;

  std::atomic<std::uint64_t> accepted{0}, answered{0}, refused{0}, timed_out{0}, open{0},
      running{0};

  bool Listen(std::string* error);
  bool MakeWakePair(std::string* error);
  void Wake();
  void Loop();
  void Work();
  void Accept();
  void Read(NI_HANDLE handle, Connection& connection);
  void Refuse(NI_HANDLE handle, Connection& connection, int code, const std::string& text,
              bool close);
  void Answer(const Done& answer);
  void Close(NI_HANDLE handle);
  void Sweep(Clock::time_point now);
  void Log(const Connection& connection, int status, std::uint64_t bytes_out);
  int WaitTimeout(Clock::time_point now) const;
};

bool NiPackServer::Impl::Listen(std::string* error) {
  const std::string& address = options.listen;
  const bool any = address.empty() || address == "*";
  int what = NI_LISTEN_TCP;
  if (!any) what = address.find(':') != std::string::npos ? NI_LISTEN_IPV6 : NI_LISTEN_IPV4;
  const auto port = static_cast<unsigned short>(options.port);
  int rc = NI_OK;
  if (options.local_socket) {
    rc = NiListen(any ? nullptr : address.c_str(), port, what | NI_LISTEN_LOCAL, &listener);
    has_local = rc == NI_OK;
  }
  // Systems without local stream sockets (and ports whose socket file is
  // another program's) still serve over TCP.
  if (!has_local && rc != NIESERV_USED) {
    rc = NiListen(any ? nullptr : address.c_str(), port, what, &listener);
  }
  if (rc != NI_OK) {
    *error = "cannot listen on " + (any ? std::string("*") : address) + " port " +
             std::to_string(options.port) + ": " + NiErrorText(rc) + " (" + NiErrorName(rc) + ")";
    return false;
  }
  NiHandlePort(listener, &bound_port);
  return true;
}

// The loop sleeps in its select set; a loopback connection of its own wakes
// it when workers finish or the server stops.
bool NiPackServer::Impl::MakeWakePair(std::string* error) {
  NI_HANDLE spare = NI_NO_HANDLE;
  unsigned short port = 0;
  int rc = NiListen("127.0.0.1", 0, NI_LISTEN_IPV4, &spare);
  if (rc == NI_OK) rc = NiHandlePort(spare, &port);
  if (rc == NI_OK) rc = NiConnect("127.0.0.1", port, 5000, &wake_out);
  if (rc == NI_OK) rc = NiAccept(spare, 5000, &wake_in);
  if (spare != NI_NO_HANDLE) NiClose(spare);
  if (rc == NI_OK) rc = NiSetParam(wake_out, NI_PARAM_BLOCKING, 0);
  if (rc != NI_OK) {
    *error = std::string("cannot make the server's wake-up connection: ") + NiErrorText(rc);
    return false;
  }
  return true;
}

void NiPackServer::Impl::Wake() {
  if (wake_pending.exchange(true)) return;
  std::lock_guard<std::mutex> lock(wake_mutex);
  int written = 0;
  (void)NiWriteRaw(wake_out, "w", 1, 0, &written);
}

int NiPackServer::Impl::WaitTimeout(Clock::time_point now) const {
  Clock::time_point until = next_sweep;
  if (!accepting && !stopping) until = std::min(until, accept_resume);
  if (until <= now) return 0;
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count() + 1;
  return static_cast<int>(std::min<long long>(ms, 1000));
}

void NiPackServer::Impl::Log(const Connection& connection, int status, std::uint64_t bytes_out) {
  if (options.quiet) return;
  AccessRecord record;
  record.time = std::chrono::system_clock::now();
  record.id = std::to_string(connection.serial);
  record.remote = connection.remote;
  record.method = "NI";
  record.path = "process";
  record.status = status;
  record.bytes = bytes_out;
  record.milliseconds =
      std::chrono::duration<double, std::milli>(Clock::now() - connection.request_start).count();
  const std::string line = AccessLogLine(record);
  std::lock_guard<std::mutex> lock(log_mutex);
  std::fprintf(stdout, "%s\n", line.c_str());
  std::fflush(stdout);
}

void NiPackServer::Impl::Close(NI_HANDLE handle) {
  NiClose(handle);  // also takes it out of the set
  connections.erase(handle);
  open.store(connections.size(), std::memory_order_relaxed);
}

void NiPackServer::Impl::Refuse(NI_HANDLE handle, Connection& connection, int code,
                                const std::string& text, bool close) {
  refused.fetch_add(1, std::memory_order_relaxed);
  ErrISetSys(kServerComponent, 0, "pack_server.cpp", __LINE__, 0, text.c_str(), code, "", "", 0, "",
             "", "", "");
  const int rc = NiSendError(handle, code, 0);
  connection.request_start = Clock::now();
  Log(connection, code, 0);
  if (rc != NI_OK && rc != NIETIMEOUT) {
    Close(handle);
    return;
  }
  if (close) {
    connection.closing = true;
    connection.active = Clock::now();
    NiSelSet(set, handle, NI_SEL_WRITE);
  }
}

void NiPackServer::Impl::Accept() {
  for (int k = 0; k < kAcceptBurst; ++k) {
    NI_HANDLE handle = NI_NO_HANDLE;
    const int rc = NiAccept(listener, 0, &handle);
    if (rc == NIETIMEOUT) return;
    if (rc != NI_OK && rc != NIEINVAL && rc != NIEINTERN) continue;  // gone before taken
    if (rc != NI_OK) {
      // Out of descriptors or handles: rest the listener instead of spinning
      // on a connection that cannot be taken.
      accepting = false;
      accept_resume = Clock::now() + kAcceptPause;
      NiSelSet(set, listener, 0);
      return;
    }
    if (connections.size() >= options.max_connections || NiSetBuffered(handle) != NI_OK) {
      NiClose(handle);
      refused.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    NiSetParam(handle, NI_PARAM_MAX_QUEUE, QueueLength());
    NiSetParam(handle, NI_PARAM_WARN_QUEUE, 0);
    Connection& connection = connections[handle];
    connection.serial = next_serial++;
    connection.assembler = TransferAssembler(options.max_request);
    connection.active = Clock::now();
    char remote[128] = "";
    if (NiHandleAddress(handle, NI_END_PEER, remote, sizeof remote) == NI_OK) {
      connection.remote = remote;
    }
    accepted.fetch_add(1, std::memory_order_relaxed);
    open.store(connections.size(), std::memory_order_relaxed);
    if (NiSelSet(set, handle, NI_SEL_READ) != NI_OK) Close(handle);
  }
}

void NiPackServer::Impl::Read(NI_HANDLE handle, Connection& connection) {
  for (;;) {
    NIBUF* message = nullptr;
    const int rc = NiReceive(handle, &message, 0);
    if (rc == NIETIMEOUT) return;
    if (rc == NIETOO_BIG) {
      Refuse(handle, connection, NIETOO_BIG,
             "a message longer than 8 MiB: larger requests travel as a TransLarge header and "
             "pieces",
             true);
      return;
    }
    if (rc == NIEINTERN) {
      // A frame length with its top bit set: bytes that are no frame. The
      // peer hears why before the connection closes.
      Refuse(handle, connection, NIEINVAL, "bytes that are not a frame of the buffered layer",
             true);
      return;
    }
    if (rc != NI_OK) {
      // Gone, broken, or the peer reported an error of its own.
      Close(handle);
      return;
    }
    const std::string_view bytes(static_cast<const char*>(NiBufData(message)),
                                 static_cast<std::size_t>(NiBufLength(message)));
    TransferAssembler::Step step = TransferAssembler::Step::kMore;
    try {
      step = connection.assembler.Add(bytes);
    } catch (const std::bad_alloc&) {
      NiBufFree(&message);
      Refuse(handle, connection, NIEINTERN, "the server has no memory for the request", true);
      return;
    }
    NiBufFree(&message);
    connection.active = Clock::now();
    switch (step) {
      case TransferAssembler::Step::kMore: continue;
      case TransferAssembler::Step::kTooLarge:
        Refuse(handle, connection, NIETOO_BIG,
               "the request is larger than the server's limit of " +
                   std::to_string(options.max_request) + " bytes",
               true);
        return;
      case TransferAssembler::Step::kMalformed:
        Refuse(handle, connection, NIEINVAL, "a TransLarge header or piece that is malformed",
               true);
        return;
      case TransferAssembler::Step::kDone: break;
    }
    connection.busy = true;
    connection.request_start = Clock::now();
    ++in_flight;
    running.store(in_flight, std::memory_order_relaxed);
    Job job{handle, connection.serial, connection.assembler.Take()};
    connection.request_bytes = job.request.size();
    NiSelSet(set, handle, 0);  // nothing more is read until the answer is out
    {
      std::lock_guard<std::mutex> lock(mutex);
      jobs.push_back(std::move(job));
    }
    job_ready.notify_one();
    return;
  }
}

void NiPackServer::Impl::Answer(const Done& answer) {
  --in_flight;
  running.store(in_flight, std::memory_order_relaxed);
  auto found = connections.find(answer.handle);
  if (found == connections.end() || found->second.serial != answer.serial) return;
  Connection& connection = found->second;
  connection.busy = false;
  connection.active = Clock::now();
  if (answer.response.empty()) {
    Refuse(answer.handle, connection, NIEINTERN, "the module gave no response", false);
  } else {
    const int rc = SendTransfer(answer.handle, answer.response, 0);
    if (rc != NI_OK) {
      Close(answer.handle);
      return;
    }
    answered.fetch_add(1, std::memory_order_relaxed);
    Log(connection, 0, answer.response.size());
    connection.draining = true;
  }
  if (stopping) {
    connection.closing = true;
    NiSelSet(set, answer.handle, NI_SEL_WRITE);
  } else if (!connection.closing) {
    NiSelSet(set, answer.handle, NI_SEL_READ | NI_SEL_WRITE);
  }
}

void NiPackServer::Impl::Sweep(Clock::time_point now) {
  const auto idle = std::chrono::seconds(options.idle_timeout_seconds);
  std::vector<NI_HANDLE> expired;
  for (auto& [handle, connection] : connections) {
    if (connection.busy) continue;
    if ((connection.closing && now - connection.active >= kCloseLinger) ||
        (!connection.closing && now - connection.active >= idle)) {
      expired.push_back(handle);
    }
  }
  for (NI_HANDLE handle : expired) {
    if (!connections[handle].closing) timed_out.fetch_add(1, std::memory_order_relaxed);
    Close(handle);
  }
  next_sweep = now + std::chrono::seconds(1);
}

void NiPackServer::Impl::Loop() {
  std::vector<NI_SEL_EVENT> events(kMaxEvents);
  next_sweep = Clock::now() + std::chrono::seconds(1);
  bool wound_down = false;
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (stopping && !wound_down) {
      // No new connections, no new requests: idle connections go now,
      // busy ones once their answer is out.
      wound_down = true;
      NiClose(listener);
      listener = NI_NO_HANDLE;
      std::vector<NI_HANDLE> idle;
      for (auto& [handle, connection] : connections) {
        if (!connection.busy) idle.push_back(handle);
      }
      for (NI_HANDLE handle : idle) {
        if (connections[handle].draining) {
          connections[handle].closing = true;
          NiSelSet(set, handle, NI_SEL_WRITE);
        } else {
          Close(handle);
        }
      }
    }
    if (stopping && (connections.empty() || now >= stop_deadline) && in_flight == 0) break;
    if (stopping && now >= stop_deadline) break;
    if (!accepting && !stopping && now >= accept_resume) {
      accepting = true;
      NiSelSet(set, listener, NI_SEL_READ);
    }
    int count = 0;
    const int rc =
        NiSelWait(set, stopping ? 100 : WaitTimeout(now), events.data(), kMaxEvents, &count);
    if (rc != NI_OK && rc != NIETIMEOUT) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    for (int i = 0; i < count; ++i) {
      const NI_HANDLE handle = events[i].handle;
      if (handle == wake_in) {
        // Cleared before the queue of finished requests is taken below, so
        // a worker that finishes after that wakes the loop again.
        wake_pending.store(false);
        char drain[256];
        int received = 0;
        while (NiReadRaw(wake_in, drain, sizeof drain, 0, &received) == NI_OK && received > 0) {
        }
        continue;
      }
      if (handle == listener) {
        if (!stopping) Accept();
        continue;
      }
      auto found = connections.find(handle);
      if (found == connections.end()) continue;
      Connection& connection = found->second;
      if (connection.discarding) {
        // Read to the end, so that the peer gets what was sent, not a reset
        // for data it sent after the refusal.
        NIBUF* message = nullptr;
        int got = NI_OK;
        while ((got = NiReceive(handle, &message, 0)) == NI_OK) NiBufFree(&message);
        if (got == NIECONN_BROKEN) {
          Close(handle);  // the peer has read and closed
        } else if (got != NIETIMEOUT) {
          // What comes is no stream of messages: it is left unread until
          // the linger ends, since closing over unread bytes resets the
          // connection and may take the report with it.
          NiSelSet(set, handle, 0);
        }
        continue;
      }
      if ((events[i].events & NI_SEL_WRITE) != 0 && !connection.busy) {
        // The queue is empty: the answer or the error report is out.
        if (connection.closing) {
          NiShutdownWrite(handle);
          connection.discarding = true;
          connection.active = Clock::now();
          NiSelSet(set, handle, NI_SEL_READ);
          continue;
        }
        connection.draining = false;
        connection.active = Clock::now();
        NiSelSet(set, handle, NI_SEL_READ);
      }
      if ((events[i].events & NI_SEL_READ) != 0 && !connection.busy && !connection.closing) {
        Read(handle, connection);
      }
    }
    std::deque<Done> finished;
    {
      std::lock_guard<std::mutex> lock(mutex);
      finished.swap(done);
    }
    for (const Done& answer : finished) {
      Answer(answer);
      std::lock_guard<std::mutex> lock(mutex);
      *answer.queued = true;
    }
    if (!finished.empty()) handed.notify_all();
    if (Clock::now() >= next_sweep) Sweep(Clock::now());
  }
  std::vector<NI_HANDLE> rest;
  for (auto& entry : connections) rest.push_back(entry.first);
  for (NI_HANDLE handle : rest) Close(handle);
  {
    std::lock_guard<std::mutex> lock(mutex);
    loop_ended = true;
    for (const Done& answer : done) *answer.queued = true;
    done.clear();
  }
  handed.notify_all();
}

void NiPackServer::Impl::Work() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex);
      job_ready.wait(lock, [this] { return workers_end || !jobs.empty(); });
      if (jobs.empty()) return;
      job = std::move(jobs.front());
      jobs.pop_front();
    }
    InterpreterPool::Lease interpreter = pool->Acquire();
    struct ResetAtEnd {
      Interpreter& interpreter;
      ~ResetAtEnd() { interpreter.Reset(); }
    } reset{*interpreter};
    std::string_view response;
    interpreter->Process(job.request.data(), static_cast<std::uint32_t>(job.request.size()),
                         &response);
    job.request = std::string();
    bool queued = false;
    std::unique_lock<std::mutex> lock(mutex);
    if (loop_ended) continue;
    done.push_back({job.handle, job.serial, response, &queued});
    lock.unlock();
    Wake();
    lock.lock();
    handed.wait(lock, [&] { return queued; });
  }
}

NiPackServer::NiPackServer(InterpreterPool* pool, NiServeOptions options)
    : impl_(std::make_unique<Impl>(pool, std::move(options))) {}

NiPackServer::~NiPackServer() {
  if (impl_->started) Stop(std::chrono::milliseconds(0));
}

bool NiPackServer::Start(std::string* error) {
  Impl& s = *impl_;
  NiThreadsOn();
  const int handles =
      static_cast<int>(std::min<std::size_t>(s.options.max_connections + 16, std::size_t{1} << 20));
  if (int rc = NiInitHandles(handles); rc != NI_OK) {
    *error = std::string("cannot start the network library: ") + NiErrorText(rc);
    return false;
  }
  s.ni_started = true;
  auto fail = [&] {
    for (NI_HANDLE* h : {&s.listener, &s.wake_in, &s.wake_out}) {
      if (*h != NI_NO_HANDLE) NiClose(*h);
      *h = NI_NO_HANDLE;
    }
    if (s.set != nullptr) NiSelDestroySet(&s.set);
    NiExit();
    s.ni_started = false;
    return false;
  };
  if (!s.Listen(error) || !s.MakeWakePair(error)) return fail();
  if (NiSelNewSet(&s.set) != NI_OK || NiSelSet(s.set, s.listener, NI_SEL_READ) != NI_OK ||
      NiSelSet(s.set, s.wake_in, NI_SEL_READ) != NI_OK) {
    *error = "cannot make the server's select set";
    return fail();
  }
  s.started = true;
  for (std::size_t k = 0; k < std::max<std::size_t>(1, s.options.workers); ++k) {
    s.workers.emplace_back([&s] { s.Work(); });
  }
  s.loop = std::thread([&s] { s.Loop(); });
  return true;
}

unsigned short NiPackServer::port() const { return impl_->bound_port; }
bool NiPackServer::local_socket() const { return impl_->has_local; }

void NiPackServer::Stop(std::chrono::milliseconds grace) {
  Impl& s = *impl_;
  if (!s.started) return;
  s.started = false;
  s.stop_deadline = Clock::now() + grace;
  s.stopping = true;
  s.Wake();
  s.loop.join();
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.workers_end = true;
    s.jobs.clear();
  }
  s.job_ready.notify_all();
  for (std::thread& worker : s.workers) worker.join();
  s.workers.clear();
  if (s.listener != NI_NO_HANDLE) NiClose(s.listener);
  NiClose(s.wake_in);
  NiClose(s.wake_out);
  s.listener = s.wake_in = s.wake_out = NI_NO_HANDLE;
  NiSelDestroySet(&s.set);
  NiExit();
}

NiServerCounters NiPackServer::counters() const {
  const Impl& s = *impl_;
  return {s.accepted.load(), s.open.load(),      s.answered.load(),
          s.refused.load(),  s.timed_out.load(), s.running.load()};
}

}  // namespace parcel::host
