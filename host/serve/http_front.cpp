// The HTTP front: one event loop over every connection and a pool of worker
// threads for complete requests.
#include "host/serve/http_front.h"

#include <sys/types.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <ctime>
#include <deque>
#include <mutex>
#include <random>
#include <thread>
#include <unordered_map>

#include "host/serve/tcp_delivery.h"
#include "platform/event_set.h"
#include "platform/monotonic_clock.h"
#include "platform/resolver.h"
#include "platform/socket.h"

namespace parcel::host {
namespace {

using platform::SocketHandle;
using Micros = std::int64_t;

constexpr std::size_t kReadPiece = 64 * 1024;
constexpr std::size_t kFilePiece = 256 * 1024;
// Deadlines are checked this often; the loop wakes for nothing else.
constexpr Micros kTick = 100'000;
// After an answer that ends the connection: how long, and how much, the
// client may go on sending before the connection closes. Closing while it
// still sends would make its system reset the connection, and a reset can
// discard the answer before the client reads it.
constexpr Micros kLinger = 2'000'000;
constexpr std::uint64_t kLingerBytes = 4u << 20;
// How long the client's TCP has to acknowledge an answer whose delivery
// matters before it counts as lost.
constexpr Micros kDeliveryTimeout = 10'000'000;
// Accepting pauses this long when the process has no descriptor left.
constexpr Micros kAcceptPause = 100'000;
// Chunked bodies reserve held bytes in steps of this size.
constexpr std::uint64_t kHoldStep = 1u << 20;
constexpr char kContinue[] = "HTTP/1.1 100 Continue\r\n\r\n";

Micros Now() { return platform::MonotonicMicroseconds(); }
Micros ToMicros(std::chrono::milliseconds ms) { return static_cast<Micros>(ms.count()) * 1000; }

std::string AddressText(const platform::SocketAddress& address) {
  const std::uint8_t* a = address.address;
  const bool mapped = address.family == platform::kSocketFamilyIPv6 &&
                      std::all_of(a, a + 10, [](std::uint8_t b) { return b == 0; }) &&
                      a[10] == 0xff && a[11] == 0xff;
  if (address.family == platform::kSocketFamilyIPv4 || mapped) {
    const std::uint8_t* v4 = mapped ? a + 12 : a;
    return std::to_string(v4[0]) + "." + std::to_string(v4[1]) + "." + std::to_string(v4[2]) + "." +
           std::to_string(v4[3]);
  }
  if (address.family == platform::kSocketFamilyIPv6) {
    char text[64];
    if (platform::AddressToNumericText(a, text, sizeof text) == 0) return text;
  }
  return "unknown";
}

enum class Phase {
  kIdle,       // waiting for the first byte of a request
  kHead,       // reading a request head, until head deadline
  kBody,       // reading a body into the handler's RequestBody, at the minimum rate
  kWorking,    // the complete request is with a worker; nothing is read
  kWriting,    // writing an answer, at the minimum rate
  kLingering,  // the answer ended the connection: dropping what still comes until the client
               // closes, a limit is reached or a delivery is settled
};

struct Connection {
  SocketHandle socket = platform::kInvalidSocket;
  std::uint64_t serial = 0;
  std::string peer;
  Phase phase = Phase::kIdle;
  short watching = -1;
  bool closed = false;
  bool peer_eof = false;
  Micros deadline = 0;       // idle, head or linger deadline
  Micros phase_started = 0;  // start of a body or an answer, for the rate check
  std::string in;            // received bytes not parsed yet
  RequestHeadParser parser;

  // The request being served.
  bool in_request = false;
  HttpRequest request;
  HttpClient client;
  Micros request_started = 0;
  std::unique_ptr<RequestBody> body;
  BodyDecoder decoder = BodyDecoder::WithLength(0);
  std::uint64_t held = 0;  // body bytes counted against the global cap

  // The answer being written.
  int status = 0;
  std::string out;
  std::size_t out_at = 0;
  std::shared_ptr<std::FILE> file;
  std::uint64_t file_left = 0;
  std::uint64_t answer_bytes = 0;  // body bytes the answer carries
  std::uint64_t written = 0;       // bytes of this answer written
  std::size_t head_bytes = 0;
  bool close_after = false;

  // An answer whose delivery is being confirmed.
  std::function<void(bool)> on_delivery;
  std::function<void(bool)> next_on_delivery;
  Micros delivery_deadline = 0;
  std::uint64_t lingered = 0;
};

struct Job {
  std::uint64_t serial;
  std::unique_ptr<RequestBody> body;
};

struct Completion {
  std::uint64_t serial;
  HttpResponse response;
};

std::string NewRequestIdPrefix() {
  std::random_device source;
  char text[16];
  std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(source()));
  return text;
}

}  // namespace

void HttpResponse::SetText(int code, const std::string& message) {
  status = code;
  body = message + "\n";
  file.reset();
  headers.erase(std::remove_if(headers.begin(), headers.end(),
                               [](const auto& h) { return h.first == "Content-Type"; }),
                headers.end());
  AddHeader("Content-Type", "text/plain; charset=utf-8");
}

class HttpFront::Impl {
 public:
  Impl(Options options, RequestHandler* handler) : options_(options), handler_(handler) {}
  ~Impl();

  bool Listen(const std::string& address, int port, std::string* error, int* bound);
  void Run();
  void Stop();
  Stats stats() const {
    return Stats{connection_count_.load(), in_flight_.load(), held_total_.load()};
  }

 private:
  bool MakeWakePair();
  void Wake();
  void Accept(Micros now);
  void OnEvent(Connection* c, short events);
  void ReadSome(Connection* c);
  void OnPeerEof(Connection* c);
  void ProcessInput(Connection* c);
  void StartRequest(Connection* c);
  void FeedBody(Connection* c);
  bool Hold(Connection* c, std::uint64_t bytes);
  void Submit(Connection* c);
  void Answer(Connection* c, HttpResponse response);
  void AnswerError(Connection* c, int status, const std::string& message);
  void WriteSome(Connection* c);
  void FinishAnswer(Connection* c);
  void BeginLinger(Connection* c);
  void SettleDelivery(Connection* c, bool delivered);
  void EndRequest(Connection* c, bool answered);
  void Close(Connection* c);
  void Watch(Connection* c, short events);
  void Tick(Micros now);
  void BeginShutdown(Micros now);
  void DrainCompletions();
  void WorkerLoop();
  std::string NextRequestId() { return id_prefix_ + "-" + std::to_string(next_request_++); }

  Options options_;
  RequestHandler* handler_;
  platform::EventSet* events_ = nullptr;
  SocketHandle listener_ = platform::kInvalidSocket;
  SocketHandle wake_read_ = platform::kInvalidSocket;
  SocketHandle wake_write_ = platform::kInvalidSocket;
  int listener_tag_ = 0;
  int wake_tag_ = 0;
  bool accept_paused_ = false;
  Micros accept_resume_ = 0;

  std::uint64_t next_serial_ = 1;
  std::unordered_map<std::uint64_t, std::unique_ptr<Connection>> connections_;
  std::unordered_map<std::string, std::size_t> per_client_;
  std::vector<std::uint64_t> closed_;  // freed after the current batch of events
  std::size_t outstanding_ = 0;        // jobs submitted and not yet answered
  bool stopping_ = false;
  Micros shutdown_deadline_ = 0;
  const std::string id_prefix_ = NewRequestIdPrefix();
  std::uint64_t next_request_ = 1;

  std::atomic<bool> stop_requested_{false};
  std::atomic<std::size_t> connection_count_{0};
  std::atomic<std::size_t> in_flight_{0};
  std::atomic<std::uint64_t> held_total_{0};

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::deque<Job> jobs_;
  std::vector<Completion> done_;
  bool workers_stop_ = false;
  std::vector<std::thread> workers_;
};

HttpFront::Impl::~Impl() {
  for (SocketHandle s : {listener_, wake_read_, wake_write_}) {
    if (s != platform::kInvalidSocket) platform::SocketClose(s);
  }
  if (events_ != nullptr) platform::EventSetDestroy(events_);
}

bool HttpFront::Impl::Listen(const std::string& address, int port, std::string* error, int* bound) {
  if (platform::EventSetCreate(&events_) != 0 || !MakeWakePair()) {
    *error = "cannot set up the event loop";
    return false;
  }
  platform::HostEntry host;
  if (platform::ResolveHostName(address.c_str(), 0, &host) != 0 || host.addresses.empty()) {
    *error = "cannot resolve " + address;
    return false;
  }
  for (const platform::NetworkAddress& candidate : host.addresses) {
    platform::SocketAddress socket_address;
    const bool mapped = std::all_of(candidate.begin(), candidate.begin() + 10,
                                    [](std::uint8_t b) { return b == 0; }) &&
                        candidate[10] == 0xff && candidate[11] == 0xff;
    socket_address.family = mapped ? platform::kSocketFamilyIPv4 : platform::kSocketFamilyIPv6;
    std::copy(candidate.begin() + (mapped ? 12 : 0), candidate.end(), socket_address.address);
    socket_address.port = static_cast<std::uint16_t>(((port & 0xff) << 8) | ((port >> 8) & 0xff));
    SocketHandle s = platform::kInvalidSocket;
    if (platform::SocketOpen(socket_address.family, platform::kSocketTypeStream, 0, nullptr, &s) !=
        0) {
      continue;
    }
    platform::SocketAddress local;
    if (platform::SocketSetOption(s, platform::SocketOption::kReuseAddress, 1) == 0 &&
        platform::SocketBind(s, socket_address) == 0 && platform::SocketListen(s, 1024) == 0 &&
        platform::SocketSetBlocking(s, false) == 0 &&
        platform::SocketLocalAddress(s, &local) == 0) {
      listener_ = s;
      *bound = ((local.port & 0xff) << 8) | (local.port >> 8);
      break;
    }
    platform::SocketClose(s);
  }
  if (listener_ == platform::kInvalidSocket) {
    *error = "cannot listen on " + address + " port " + std::to_string(port);
    return false;
  }
  return platform::EventSetWatch(events_, listener_, platform::kPollRead, &listener_tag_) == 0 &&
         platform::EventSetWatch(events_, wake_read_, platform::kPollRead, &wake_tag_) == 0;
}

// Workers wake the loop through a loopback connection to itself: a byte
// written on one end makes the other readable.
bool HttpFront::Impl::MakeWakePair() {
  SocketHandle listener = platform::kInvalidSocket;
  platform::SocketAddress address;
  address.family = platform::kSocketFamilyIPv4;
  address.address[0] = 127;
  address.address[3] = 1;
  bool ok =
      platform::SocketOpen(address.family, platform::kSocketTypeStream, 0, nullptr, &listener) ==
          0 &&
      platform::SocketBind(listener, address) == 0 && platform::SocketListen(listener, 1) == 0 &&
      platform::SocketLocalAddress(listener, &address) == 0 &&
      platform::SocketOpen(address.family, platform::kSocketTypeStream, 0, nullptr, &wake_write_) ==
          0 &&
      platform::SocketConnect(wake_write_, address) == 0 &&
      platform::SocketAccept(listener, &wake_read_, nullptr) == 0 &&
      platform::SocketSetBlocking(wake_read_, false) == 0 &&
      platform::SocketSetBlocking(wake_write_, false) == 0;
  if (listener != platform::kInvalidSocket) platform::SocketClose(listener);
  return ok;
}

void HttpFront::Impl::Wake() {
  const char byte = 1;
  std::size_t sent = 0;
  // A full pipe means a wake-up is pending already.
  (void)platform::SocketSend(wake_write_, &byte, 1, &sent);
}

void HttpFront::Impl::Stop() {
  stop_requested_ = true;
  Wake();
}

void HttpFront::Impl::Run() {
  for (std::size_t i = 0; i < std::max<std::size_t>(options_.workers, 1); ++i) {
    workers_.emplace_back([this] { WorkerLoop(); });
  }
  std::vector<platform::SocketEvent> ready(256);
  Micros last_tick = Now();
  for (;;) {
    Micros now = Now();
    if (stop_requested_ && !stopping_) BeginShutdown(now);
    if (stopping_ && connections_.empty() && outstanding_ == 0) break;
    if (stopping_ && now >= shutdown_deadline_) break;
    std::size_t count = 0;
    if (platform::EventSetWait(events_, static_cast<int>(kTick / 1000), ready.data(), ready.size(),
                               &count) != 0) {
      count = 0;
    }
    now = Now();
    for (std::size_t i = 0; i < count; ++i) {
      void* tag = ready[i].tag;
      if (tag == &listener_tag_) {
        Accept(now);
      } else if (tag == &wake_tag_) {
        char drain[256];
        std::size_t got = 0;
        while (platform::SocketReceive(wake_read_, drain, sizeof drain, false, &got) == 0 &&
               got == sizeof drain) {
        }
      } else {
        auto* c = static_cast<Connection*>(tag);
        if (!c->closed) OnEvent(c, ready[i].events);
      }
    }
    DrainCompletions();
    if (now - last_tick >= kTick) {
      last_tick = now;
      Tick(now);
    }
    for (std::uint64_t serial : closed_) connections_.erase(serial);
    closed_.clear();
  }

  // What is left after the grace time is closed; jobs not started are dropped.
  std::vector<Connection*> left;
  for (auto& [serial, c] : connections_) left.push_back(c.get());
  for (Connection* c : left) Close(c);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    outstanding_ -= jobs_.size();
    jobs_.clear();
    workers_stop_ = true;
  }
  work_ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  DrainCompletions();
  connections_.clear();
}

void HttpFront::Impl::BeginShutdown(Micros now) {
  stopping_ = true;
  shutdown_deadline_ = now + ToMicros(options_.shutdown_grace);
  if (listener_ != platform::kInvalidSocket) {
    platform::EventSetForget(events_, listener_);
    platform::SocketClose(listener_);
    listener_ = platform::kInvalidSocket;
  }
  // Connections without a request in flight go now.
  std::vector<Connection*> idle;
  for (auto& [serial, c] : connections_) {
    if ((c->phase == Phase::kIdle || c->phase == Phase::kHead) && !c->on_delivery) {
      idle.push_back(c.get());
    }
  }
  for (Connection* c : idle) Close(c);
}

void HttpFront::Impl::Accept(Micros now) {
  for (int i = 0; i < 64 && !stopping_; ++i) {
    SocketHandle s = platform::kInvalidSocket;
    platform::SocketAddress peer;
    const int rc = platform::SocketAccept(listener_, &s, &peer);
    if (rc == platform::kWsaEINTR) continue;
    if (rc == platform::kWsaEMFILE || rc == platform::kWsaENOBUFS) {
      // No descriptor left: the waiting connection would keep the listener
      // readable and the loop spinning, so accepting pauses briefly.
      platform::EventSetWatch(events_, listener_, 0, &listener_tag_);
      accept_paused_ = true;
      accept_resume_ = now + kAcceptPause;
      return;
    }
    if (rc != 0) return;
    platform::SocketSetBlocking(s, false);
    platform::SocketSetOption(s, platform::SocketOption::kNoDelay, 1);
    auto owned = std::make_unique<Connection>();
    Connection* c = owned.get();
    c->socket = s;
    c->serial = next_serial_++;
    c->peer = AddressText(peer);
    c->deadline = now + ToMicros(options_.head_timeout);
    connections_.emplace(c->serial, std::move(owned));
    ++connection_count_;
    const std::size_t from_client = ++per_client_[c->peer];
    if (connections_.size() > options_.max_connections ||
        from_client > options_.max_connections_per_client) {
      // Refused before anything is read: the answer stands alone.
      c->in_request = true;
      c->request_started = now;
      c->client.address = c->peer;
      c->client.request_id = NextRequestId();
      ++in_flight_;
      HttpResponse busy;
      busy.SetText(503, connections_.size() > options_.max_connections
                            ? "the server has too many connections; try again"
                            : "too many connections from this address; try again");
      busy.AddHeader("Retry-After", "5");
      busy.close = true;
      Answer(c, std::move(busy));
      continue;
    }
    Watch(c, platform::kPollRead);
  }
}

void HttpFront::Impl::Watch(Connection* c, short events) {
  if (c->closed || c->watching == events) return;
  if (platform::EventSetWatch(events_, c->socket, events, c) == 0) c->watching = events;
}

void HttpFront::Impl::OnEvent(Connection* c, short events) {
  if (events & platform::kPollError) {
    Close(c);
    return;
  }
  switch (c->phase) {
    case Phase::kIdle:
    case Phase::kHead:
    case Phase::kLingering:
      if (events & (platform::kPollRead | platform::kPollHangUp)) ReadSome(c);
      break;
    case Phase::kBody:
      if ((events & platform::kPollWrite) && c->out_at < c->out.size()) WriteSome(c);
      if (!c->closed && c->phase == Phase::kBody &&
          (events & (platform::kPollRead | platform::kPollHangUp))) {
        ReadSome(c);
      }
      break;
    case Phase::kWriting:
      if (events & platform::kPollWrite) {
        WriteSome(c);
        if (!c->closed && c->phase == Phase::kIdle) ProcessInput(c);
      } else if (events & platform::kPollHangUp) {
        Close(c);
      }
      break;
    case Phase::kWorking:
      // Only errors and hang-ups are watched: the client is gone.
      if (events & platform::kPollHangUp) Close(c);
      break;
    default: break;
  }
}

void HttpFront::Impl::ReadSome(Connection* c) {
  char buffer[kReadPiece];
  std::size_t got = 0;
  const int rc = platform::SocketReceive(c->socket, buffer, sizeof buffer, false, &got);
  if (rc == platform::kWsaEWOULDBLOCK || rc == platform::kWsaEINTR) return;
  if (rc != 0) {
    Close(c);
    return;
  }
  if (got == 0) {
    OnPeerEof(c);
    return;
  }
  if (c->phase == Phase::kLingering) {
    c->lingered += got;
    if (c->lingered > kLingerBytes && !c->on_delivery) Close(c);
    return;
  }
  c->in.append(buffer, got);
  ProcessInput(c);
}

void HttpFront::Impl::OnPeerEof(Connection* c) {
  c->peer_eof = true;
  switch (c->phase) {
    case Phase::kHead:
      if (c->in.find_first_not_of("\r\n") != std::string::npos) {
        AnswerError(c, 400, "the request head was cut short");
        return;
      }
      [[fallthrough]];
    case Phase::kIdle:
    case Phase::kLingering:
      if (c->on_delivery) {
        // A client that read its answer and closed has acknowledged it
        // already; otherwise the connection stays until Tick settles it.
        const Delivery state = CheckDelivery(c->socket);
        if (state == Delivery::kPending) {
          c->phase = Phase::kLingering;
          Watch(c, 0);
          return;
        }
        SettleDelivery(c, state == Delivery::kDelivered);
      }
      Close(c);
      return;
    case Phase::kBody:
      // The body was cut short: nothing of it can be answered.
      Close(c);
      return;
    default: Watch(c, 0); return;
  }
}

void HttpFront::Impl::ProcessInput(Connection* c) {
  for (;;) {
    if (c->closed) return;
    if (c->phase == Phase::kIdle) {
      if (c->in.empty() || stopping_) return;
      c->phase = Phase::kHead;
      c->request_started = Now();
      c->deadline = c->request_started + ToMicros(options_.head_timeout);
      Watch(c, platform::kPollRead);
    }
    if (c->phase == Phase::kHead) {
      switch (c->parser.Parse(c->in)) {
        case RequestHeadParser::Result::kNeedMore: return;
        case RequestHeadParser::Result::kError:
          AnswerError(c, c->parser.status(), c->parser.message());
          continue;
        case RequestHeadParser::Result::kDone:
        default:
          c->in.erase(0, c->parser.consumed());
          c->request = c->parser.TakeRequest();
          c->parser = RequestHeadParser();
          StartRequest(c);
          continue;
      }
    }
    if (c->phase == Phase::kBody) {
      FeedBody(c);
      if (c->phase == Phase::kBody) return;
      continue;
    }
    return;
  }
}

void HttpFront::Impl::StartRequest(Connection* c) {
  const Micros now = Now();
  c->in_request = true;
  ++in_flight_;
  c->client.address = c->peer;
  c->client.request_id = NextRequestId();
  const HttpRequest& r = c->request;
  // Limits are applied before anything of the body is read or asked for.
  if (r.content_length && *r.content_length > options_.max_body) {
    AnswerError(c, 413,
                "the request body of " + std::to_string(*r.content_length) +
                    " bytes is larger than the upload limit of " +
                    std::to_string(options_.max_body) + " bytes");
    return;
  }
  Exchange exchange;
  try {
    exchange = handler_->OnHead(r, c->client);
  } catch (const std::exception& failure) {
    AnswerError(c, 500, std::string("internal error: ") + failure.what());
    return;
  }
  if (exchange.answer) {
    // A body nobody reads leaves the connection out of step.
    if (r.has_body()) exchange.answer->close = true;
    Answer(c, std::move(*exchange.answer));
    return;
  }
  if (!exchange.body) {
    AnswerError(c, 500, "internal error: the request has no handler");
    return;
  }
  if (!Hold(c, r.content_length.value_or(0))) return;
  c->body = std::move(exchange.body);
  c->decoder = r.chunked ? BodyDecoder::Chunked() : BodyDecoder::WithLength(*r.content_length);
  c->phase = Phase::kBody;
  c->phase_started = now;
  if (r.expect_continue && c->in.empty()) {
    c->out.assign(kContinue);
    c->out_at = 0;
    WriteSome(c);
  }
}

bool HttpFront::Impl::Hold(Connection* c, std::uint64_t bytes) {
  if (bytes <= c->held) return true;
  const std::uint64_t more = bytes - c->held;
  if (held_total_.load() + more > options_.max_body_bytes_held) {
    HttpResponse busy;
    busy.SetText(503, "the server holds as many uploads as it can; try again shortly");
    busy.AddHeader("Retry-After", "2");
    busy.close = true;
    Answer(c, std::move(busy));
    return false;
  }
  held_total_ += more;
  c->held = bytes;
  return true;
}

void HttpFront::Impl::FeedBody(Connection* c) {
  std::string_view data = c->in;
  std::size_t used_total = 0;
  for (;;) {
    std::string_view piece;
    std::size_t used = 0;
    const BodyDecoder::Result result = c->decoder.Decode(data, &piece, &used);
    if (result == BodyDecoder::Result::kError) {
      AnswerError(c, 400, "the chunked body is malformed");
      return;
    }
    if (!piece.empty()) {
      const std::uint64_t decoded = c->decoder.decoded();
      if (decoded > options_.max_body) {
        AnswerError(c, 413,
                    "the request body is larger than the upload limit of " +
                        std::to_string(options_.max_body) + " bytes");
        return;
      }
      if (c->request.chunked && !Hold(c, (decoded + kHoldStep - 1) / kHoldStep * kHoldStep)) {
        return;
      }
      if (!c->body->Write(piece)) {
        HttpResponse refusal = c->body->Refusal();
        refusal.close = true;
        Answer(c, std::move(refusal));
        return;
      }
    }
    data.remove_prefix(used);
    used_total += used;
    if (result == BodyDecoder::Result::kDone) {
      c->in.erase(0, used_total);
      Submit(c);
      return;
    }
    if (data.empty()) break;
  }
  c->in.clear();
}

void HttpFront::Impl::Submit(Connection* c) {
  c->phase = Phase::kWorking;
  // An answer to 100-continue not yet written is not wanted any more.
  c->out.clear();
  c->out_at = 0;
  Watch(c, 0);
  ++outstanding_;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    jobs_.push_back(Job{c->serial, std::move(c->body)});
  }
  work_ready_.notify_one();
}

void HttpFront::Impl::WorkerLoop() {
  for (;;) {
    Job job;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_ready_.wait(lock, [this] { return workers_stop_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      job = std::move(jobs_.front());
      jobs_.pop_front();
    }
    HttpResponse response;
    try {
      response = job.body->Finish();
    } catch (const std::bad_alloc&) {
      response = HttpResponse();
      response.SetText(503, "the server is out of memory; try again");
    } catch (const std::exception& failure) {
      response = HttpResponse();
      response.SetText(500, std::string("internal error: ") + failure.what());
    }
    job.body.reset();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_.push_back(Completion{job.serial, std::move(response)});
    }
    Wake();
  }
}

void HttpFront::Impl::DrainCompletions() {
  std::vector<Completion> done;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done.swap(done_);
  }
  for (Completion& completion : done) {
    --outstanding_;
    auto it = connections_.find(completion.serial);
    if (it == connections_.end() || it->second->closed) {
      // The client went away while its request was worked on.
      if (completion.response.on_delivery) completion.response.on_delivery(false);
      continue;
    }
    Connection* c = it->second.get();
    held_total_ -= c->held;
    c->held = 0;
    Answer(c, std::move(completion.response));
    if (!c->closed && c->phase == Phase::kIdle) ProcessInput(c);
  }
}

void HttpFront::Impl::AnswerError(Connection* c, int status, const std::string& message) {
  if (!c->in_request) {
    // A head that could not be read: the request is logged all the same.
    c->in_request = true;
    ++in_flight_;
    c->client.address = c->peer;
    c->client.request_id = NextRequestId();
    c->request.method = c->parser.request().method;
    c->request.path = c->parser.request().path;
  }
  HttpResponse response;
  response.SetText(status, message);
  response.close = true;
  Answer(c, std::move(response));
}

void HttpFront::Impl::Answer(Connection* c, HttpResponse response) {
  if (c->closed) {
    if (response.on_delivery) response.on_delivery(false);
    return;
  }
  if (stopping_ || (c->in_request && !c->request.keep_alive)) response.close = true;
  const std::uint64_t length = response.file ? response.file_length : response.body.size();
  std::string head = "HTTP/1.1 " + std::to_string(response.status) + " " +
                     ReasonPhrase(response.status) + "\r\nDate: " + HttpDate(std::time(nullptr)) +
                     "\r\n";
  if (!c->client.request_id.empty()) head += "X-Request-Id: " + c->client.request_id + "\r\n";
  head += "X-Content-Type-Options: nosniff\r\n";
  for (const auto& [name, value] : response.headers) head += name + ": " + value + "\r\n";
  head += "Content-Length: " + std::to_string(length) + "\r\n";
  if (response.close) {
    head += "Connection: close\r\n";
  } else if (c->request.minor_version == 0) {
    head += "Connection: keep-alive\r\n";
  }
  head += "\r\n";
  // An answer to 100-continue still unwritten goes first.
  c->out.erase(0, c->out_at);
  c->out_at = 0;
  c->out += head;
  c->head_bytes = c->out.size();
  c->answer_bytes = response.head_only ? 0 : length;
  if (!response.head_only && !response.file) c->out += response.body;
  c->file_left = 0;
  c->file.reset();
  if (!response.head_only && response.file && length > 0) {
    if (::fseeko(response.file.get(), static_cast<off_t>(response.file_offset), SEEK_SET) != 0) {
      Close(c);
      return;
    }
    c->file = std::move(response.file);
    c->file_left = length;
  }
  c->status = response.status;
  c->close_after = response.close;
  c->next_on_delivery = std::move(response.on_delivery);
  c->body.reset();
  c->phase = Phase::kWriting;
  c->phase_started = Now();
  c->written = 0;
  WriteSome(c);
}

void HttpFront::Impl::WriteSome(Connection* c) {
  for (;;) {
    if (c->out_at == c->out.size()) {
      if (c->phase == Phase::kBody) {
        // The 100 Continue is out; back to reading alone.
        c->out.clear();
        c->out_at = 0;
        Watch(c, platform::kPollRead);
        return;
      }
      if (c->file_left == 0) {
        FinishAnswer(c);
        return;
      }
      c->out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(kFilePiece, c->file_left)));
      const std::size_t got = std::fread(c->out.data(), 1, c->out.size(), c->file.get());
      if (got == 0) {
        Close(c);
        return;
      }
      c->out.resize(got);
      c->out_at = 0;
      c->file_left -= got;
    }
    std::size_t sent = 0;
    const int rc = platform::SocketSend(c->socket, c->out.data() + c->out_at,
                                        c->out.size() - c->out_at, &sent);
    if (rc == platform::kWsaEINTR) continue;
    if (rc == platform::kWsaEWOULDBLOCK) {
      Watch(c, c->phase == Phase::kBody ? platform::kPollRead | platform::kPollWrite
                                        : platform::kPollWrite);
      return;
    }
    if (rc != 0) {
      Close(c);
      return;
    }
    c->out_at += sent;
    c->written += sent;
  }
}

void HttpFront::Impl::FinishAnswer(Connection* c) {
  c->out.clear();
  c->out_at = 0;
  c->file.reset();
  if (c->next_on_delivery) {
    // A later answer on the connection settles an earlier one: it was
    // acknowledged, or the connection could not have gone on.
    if (c->on_delivery) SettleDelivery(c, true);
    c->on_delivery = std::move(c->next_on_delivery);
    c->next_on_delivery = nullptr;
    c->delivery_deadline = Now() + kDeliveryTimeout;
  }
  EndRequest(c, true);
  if (c->close_after) {
    BeginLinger(c);
    return;
  }
  c->phase = Phase::kIdle;
  c->deadline = Now() + ToMicros(options_.idle_timeout);
  Watch(c, c->peer_eof ? 0 : platform::kPollRead);
  if (c->peer_eof && c->in.empty()) OnPeerEof(c);
}

void HttpFront::Impl::EndRequest(Connection* c, bool answered) {
  if (!c->in_request) return;
  c->in_request = false;
  --in_flight_;
  AccessRecord record;
  record.time = std::chrono::system_clock::now();
  record.remote = c->peer;
  record.method = c->request.method;
  record.path = c->request.path;
  record.status = c->status;
  record.id = c->client.request_id;
  const std::uint64_t body_written = c->written > c->head_bytes ? c->written - c->head_bytes : 0;
  record.bytes = answered ? c->answer_bytes : std::min(body_written, c->answer_bytes);
  record.milliseconds = static_cast<double>(Now() - c->request_started) / 1000.0;
  handler_->OnLog(record);
  held_total_ -= c->held;
  c->held = 0;
  c->request = HttpRequest();
  c->client = HttpClient();
  c->status = 0;
  c->body.reset();
}

void HttpFront::Impl::BeginLinger(Connection* c) {
  platform::SocketShutdown(c->socket, 1);
  c->phase = Phase::kLingering;
  c->deadline = Now() + kLinger;
  c->lingered = 0;
  if (c->peer_eof) {
    OnPeerEof(c);
  } else {
    Watch(c, platform::kPollRead);
  }
}

void HttpFront::Impl::SettleDelivery(Connection* c, bool delivered) {
  std::function<void(bool)> settle = std::move(c->on_delivery);
  c->on_delivery = nullptr;
  if (settle) settle(delivered);
}

void HttpFront::Impl::Close(Connection* c) {
  if (c->closed) return;
  if (c->on_delivery) SettleDelivery(c, CheckDelivery(c->socket) == Delivery::kDelivered);
  if (c->next_on_delivery) {
    c->next_on_delivery(false);
    c->next_on_delivery = nullptr;
  }
  if (c->in_request) {
    if (c->status == 0) c->status = 499;  // the client went before the answer
    EndRequest(c, false);
  }
  c->closed = true;
  platform::EventSetForget(events_, c->socket);
  platform::SocketClose(c->socket);
  c->socket = platform::kInvalidSocket;
  held_total_ -= c->held;
  c->held = 0;
  auto client = per_client_.find(c->peer);
  if (client != per_client_.end() && --client->second == 0) per_client_.erase(client);
  --connection_count_;
  closed_.push_back(c->serial);
}

void HttpFront::Impl::Tick(Micros now) {
  if (accept_paused_ && now >= accept_resume_ && listener_ != platform::kInvalidSocket) {
    accept_paused_ = false;
    platform::EventSetWatch(events_, listener_, platform::kPollRead, &listener_tag_);
  }
  std::vector<Connection*> all;
  all.reserve(connections_.size());
  for (auto& [serial, c] : connections_) {
    if (!c->closed) all.push_back(c.get());
  }
  const auto rate_deadline = [this](Micros started, std::uint64_t bytes) {
    return started + ToMicros(options_.rate_grace) +
           static_cast<Micros>(bytes * 1'000'000 / std::max<std::uint64_t>(options_.min_rate, 1));
  };
  for (Connection* c : all) {
    if (c->on_delivery) {
      const Delivery state = CheckDelivery(c->socket);
      if (state != Delivery::kPending || now >= c->delivery_deadline) {
        SettleDelivery(c, state == Delivery::kDelivered);
      }
    }
    switch (c->phase) {
      case Phase::kIdle:
        if (now >= c->deadline || stopping_) Close(c);
        break;
      case Phase::kHead:
        if (stopping_) {
          Close(c);
        } else if (now >= c->deadline) {
          AnswerError(c, 408, "the request head did not arrive in time");
        }
        break;
      case Phase::kBody:
        if (now > rate_deadline(c->phase_started, c->decoder.decoded())) {
          AnswerError(c, 408, "the request body comes too slowly");
        }
        break;
      case Phase::kWriting:
        if (now > rate_deadline(c->phase_started, c->written)) Close(c);
        break;
      case Phase::kLingering:
        if (!c->on_delivery && (c->peer_eof || now >= c->deadline)) Close(c);
        break;
      case Phase::kWorking:
      default: break;
    }
  }
}

HttpFront::HttpFront(Options options, RequestHandler* handler)
    : impl_(std::make_unique<Impl>(options, handler)) {}

HttpFront::~HttpFront() = default;

bool HttpFront::Listen(const std::string& address, int port, std::string* error) {
  return impl_->Listen(address, port, error, &port_);
}

void HttpFront::Run() { impl_->Run(); }

void HttpFront::Stop() { impl_->Stop(); }

HttpFront::Stats HttpFront::stats() const { return impl_->stats(); }

}  // namespace parcel::host
