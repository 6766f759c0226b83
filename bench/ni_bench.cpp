// Loopback messaging of the network library against plain blocking sockets
// that carry the same 4-byte length framing (written here with one
// gathering send per message: the floor any framing layer can reach on this
// machine) and, where they were found at configure time, two general
// messaging libraries (ZeroMQ REQ/REP, nng req/rep).
//
// Every case is one process: the benchmark thread is the client, one thread
// of ours serves (echo for round trips; for one-way, a reader that answers
// every 64th message), over 127.0.0.1 with TCP_NODELAY. The messaging
// libraries run their own I/O threads besides, as they always do.
//
// Round trips report trips per second (rt/s) and the p50/p99 latency of
// single trips (p50_us, p99_us); one-way reports bytes per second.
//
//   build/release/ni_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if PARCEL_BENCH_ZMQ
#include <zmq.h>
#endif
#if PARCEL_BENCH_NNG
#include <nng/nng.h>
#include <nng/protocol/pair0/pair.h>
#include <nng/protocol/reqrep0/rep.h>
#include <nng/protocol/reqrep0/req.h>
#endif

#include "bench/ni_bench_util.h"
#include "ni/ni.h"
#include "ni/ni_cxx.h"
#include "platform/socket.h"

namespace {

namespace platform = parcel::platform;
using parcel::bench::LatencySamples;
using parcel::ni::Handle;

constexpr std::size_t kMaxMessage = std::size_t{1} << 20;
constexpr long kFailed = -1;

// --- Plain sockets with the same framing ---------------------------------------

bool ReceiveAll(platform::SocketHandle socket, void* data, std::size_t length) {
  auto* at = static_cast<unsigned char*>(data);
  while (length > 0) {
    std::size_t got = 0;
    if (platform::SocketReceive(socket, at, length, false, &got) != 0 || got == 0) return false;
    at += got;
    length -= got;
  }
  return true;
}

bool SendFrame(platform::SocketHandle socket, const void* data, std::size_t length) {
  unsigned char header[4] = {
      static_cast<unsigned char>(length >> 24), static_cast<unsigned char>(length >> 16),
      static_cast<unsigned char>(length >> 8), static_cast<unsigned char>(length)};
  platform::SocketBuffer pieces[2] = {{header, 4}, {data, length}};
  std::size_t total = 4 + length, sent = 0;
  while (sent < total) {
    std::size_t n = 0;
    if (sent < 4) {
      platform::SocketBuffer rest[2] = {{header + sent, 4 - sent}, pieces[1]};
      if (platform::SocketSendV(socket, rest, 2, &n) != 0) return false;
    } else {
      if (platform::SocketSend(socket, static_cast<const unsigned char*>(data) + (sent - 4),
                               total - sent, &n) != 0) {
        return false;
      }
    }
    sent += n;
  }
  return true;
}

std::size_t ReceiveFrame(platform::SocketHandle socket, std::vector<unsigned char>* buffer) {
  unsigned char header[4];
  if (!ReceiveAll(socket, header, 4)) return static_cast<std::size_t>(-1);
  const std::size_t length = std::size_t{header[0]} << 24 | std::size_t{header[1]} << 16 |
                             std::size_t{header[2]} << 8 | header[3];
  if (length > buffer->size() || !ReceiveAll(socket, buffer->data(), length)) {
    return static_cast<std::size_t>(-1);
  }
  return length;
}

struct PlainPair {
  platform::SocketHandle client = platform::kInvalidSocket;
  platform::SocketHandle server = platform::kInvalidSocket;
  PlainPair() {
    platform::SocketStartup(2, 0);
    platform::SocketHandle listener;
    platform::SocketOpen(platform::kSocketFamilyIPv4, platform::kSocketTypeStream, 0, nullptr,
                         &listener);
    platform::SocketAddress address;
    address.family = platform::kSocketFamilyIPv4;
    const unsigned char loopback[4] = {127, 0, 0, 1};
    std::memcpy(address.address, loopback, 4);
    platform::SocketBind(listener, address);
    platform::SocketListen(listener, 1);
    platform::SocketLocalAddress(listener, &address);
    platform::SocketOpen(platform::kSocketFamilyIPv4, platform::kSocketTypeStream, 0, nullptr,
                         &client);
    platform::SocketSetOption(client, platform::SocketOption::kNoDelay, 1);
    platform::SocketConnect(client, address);
    platform::SocketAccept(listener, &server, nullptr);
    platform::SocketSetOption(server, platform::SocketOption::kNoDelay, 1);
    platform::SocketClose(listener);
  }
  ~PlainPair() {
    platform::SocketClose(client);
    platform::SocketClose(server);
    platform::SocketCleanup();
  }
};

// One NI connection over loopback: listener, client end, server end.
struct NiPair {
  Handle listener, client, server;
  NiPair() {
    NiThreadsOn();
    Handle::Listen("127.0.0.1", 0, NI_LISTEN_IPV4, &listener);
    Handle::Connect("127.0.0.1", listener.Port(), NI_BLOCK, &client);
    listener.Accept(NI_BLOCK, &server);
  }
  bool ok() const { return client && server; }
};

// --- Transports -------------------------------------------------------------------
//
// A transport is one connected pair. The client calls ClientSend and
// ClientReceive (the length of the message received, kFailed on failure);
// the server thread calls ServerReceive, ServerData and ServerSend. Stop,
// from the client's thread, makes the server's pending or next receive fail,
// which ends the server loop.

// Round trips answer each request; one-way sends many messages in a row,
// which request/reply sockets refuse, so the messaging libraries use their
// pair sockets for it.
enum class Pattern { kRequestReply, kOneWay };

class PlainTransport {
 public:
  explicit PlainTransport(Pattern) {}
  bool ok() const {
    return pair_.client != platform::kInvalidSocket && pair_.server != platform::kInvalidSocket;
  }
  bool ClientSend(const unsigned char* data, std::size_t length) {
    return SendFrame(pair_.client, data, length);
  }
  long ClientReceive() { return Received(ReceiveFrame(pair_.client, &client_buffer_)); }
  long ServerReceive() { return Received(ReceiveFrame(pair_.server, &server_buffer_)); }
  const unsigned char* ServerData() const { return server_buffer_.data(); }
  bool ServerSend(const unsigned char* data, std::size_t length) {
    return SendFrame(pair_.server, data, length);
  }
  void Stop() { platform::SocketShutdown(pair_.client, 1); }

 private:
  static long Received(std::size_t n) {
    return n == static_cast<std::size_t>(-1) ? kFailed : static_cast<long>(n);
  }
  PlainPair pair_;
  std::vector<unsigned char> client_buffer_ = std::vector<unsigned char>(kMaxMessage);
  std::vector<unsigned char> server_buffer_ = std::vector<unsigned char>(kMaxMessage);
};

// NI plain handles: NiWrite, and NiRead into the caller's buffer, blocking.
class NiTransport {
 public:
  explicit NiTransport(Pattern) {}
  bool ok() const { return pair_.ok(); }
  bool ClientSend(const unsigned char* data, std::size_t length) {
    return pair_.client.Write(data, static_cast<int>(length)) == NI_OK;
  }
  long ClientReceive() { return Read(pair_.client, &client_buffer_); }
  long ServerReceive() { return Read(pair_.server, &server_buffer_); }
  const unsigned char* ServerData() const { return server_buffer_.data(); }
  bool ServerSend(const unsigned char* data, std::size_t length) {
    return pair_.server.Write(data, static_cast<int>(length)) == NI_OK;
  }
  void Stop() { NiShutdownWrite(pair_.client.get()); }

 private:
  static long Read(const Handle& handle, std::vector<unsigned char>* buffer) {
    int n = 0;
    return handle.Read(buffer->data(), static_cast<int>(buffer->size()), NI_BLOCK, &n) == NI_OK
               ? n
               : kFailed;
  }
  NiPair pair_;
  std::vector<unsigned char> client_buffer_ = std::vector<unsigned char>(kMaxMessage);
  std::vector<unsigned char> server_buffer_ = std::vector<unsigned char>(kMaxMessage);
};

// NI buffered handles: NiWrite queues what the socket does not take, and
// NiReceive hands out the library's buffer of each whole message. Round
// trips write without waiting, as a buffered program does; one-way writes
// wait for the queue, which holds one message by default.
class NiBufferedTransport {
 public:
  explicit NiBufferedTransport(Pattern pattern)
      : write_timeout_(pattern == Pattern::kOneWay ? NI_BLOCK : 0) {
    ok_ = pair_.ok() && NiSetBuffered(pair_.client.get()) == NI_OK &&
          NiSetBuffered(pair_.server.get()) == NI_OK;
  }
  ~NiBufferedTransport() {
    NiBufFree(&client_message_);
    NiBufFree(&server_message_);
  }
  NiBufferedTransport(const NiBufferedTransport&) = delete;
  NiBufferedTransport& operator=(const NiBufferedTransport&) = delete;
  bool ok() const { return ok_; }
  bool ClientSend(const unsigned char* data, std::size_t length) {
    return Write(pair_.client.get(), data, length);
  }
  long ClientReceive() { return Receive(pair_.client.get(), &client_message_); }
  long ServerReceive() { return Receive(pair_.server.get(), &server_message_); }
  const unsigned char* ServerData() const {
    return static_cast<const unsigned char*>(NiBufData(server_message_));
  }
  bool ServerSend(const unsigned char* data, std::size_t length) {
    return Write(pair_.server.get(), data, length);
  }
  void Stop() { NiShutdownWrite(pair_.client.get()); }

 private:
  bool Write(NI_HANDLE handle, const unsigned char* data, std::size_t length) const {
    int written = 0;
    const int rc = NiWrite(handle, data, static_cast<int>(length), write_timeout_, &written);
    return rc == NI_OK || rc == NIEQUE_FULL;
  }
  static long Receive(NI_HANDLE handle, NIBUF** message) {
    NiBufFree(message);
    if (NiReceive(handle, message, NI_BLOCK) != NI_OK) return kFailed;
    return NiBufLength(*message);
  }
  NiPair pair_;
  int write_timeout_;
  bool ok_ = false;
  NIBUF* client_message_ = nullptr;
  NIBUF* server_message_ = nullptr;
};

#if PARCEL_BENCH_ZMQ
// ZeroMQ: REQ/REP for round trips, PAIR for one-way; zmq_send copies the
// message in, zmq_recv copies it out into our buffer.
class ZmqTransport {
 public:
  explicit ZmqTransport(Pattern pattern) : context_(zmq_ctx_new()) {
    const bool rr = pattern == Pattern::kRequestReply;
    server_ = zmq_socket(context_, rr ? ZMQ_REP : ZMQ_PAIR);
    client_ = zmq_socket(context_, rr ? ZMQ_REQ : ZMQ_PAIR);
    const int zero = 0;
    char endpoint[128] = {};
    std::size_t endpoint_size = sizeof endpoint;
    ok_ = server_ != nullptr && client_ != nullptr &&
          zmq_setsockopt(server_, ZMQ_LINGER, &zero, sizeof zero) == 0 &&
          zmq_setsockopt(client_, ZMQ_LINGER, &zero, sizeof zero) == 0 &&
          zmq_bind(server_, "tcp://127.0.0.1:*") == 0 &&
          zmq_getsockopt(server_, ZMQ_LAST_ENDPOINT, endpoint, &endpoint_size) == 0 &&
          zmq_connect(client_, endpoint) == 0;
  }
  ~ZmqTransport() {
    if (client_ != nullptr) zmq_close(client_);
    if (server_ != nullptr) zmq_close(server_);
    zmq_ctx_term(context_);
  }
  ZmqTransport(const ZmqTransport&) = delete;
  ZmqTransport& operator=(const ZmqTransport&) = delete;
  bool ok() const { return ok_; }
  bool ClientSend(const unsigned char* data, std::size_t length) {
    return Send(client_, data, length);
  }
  long ClientReceive() { return Receive(client_, &client_buffer_); }
  long ServerReceive() { return Receive(server_, &server_buffer_); }
  const unsigned char* ServerData() const { return server_buffer_.data(); }
  bool ServerSend(const unsigned char* data, std::size_t length) {
    return Send(server_, data, length);
  }
  // Blocking calls then fail with ETERM.
  void Stop() { zmq_ctx_shutdown(context_); }

 private:
  static bool Send(void* socket, const unsigned char* data, std::size_t length) {
    return zmq_send(socket, data, length, 0) == static_cast<int>(length);
  }
  static long Receive(void* socket, std::vector<unsigned char>* buffer) {
    const int n = zmq_recv(socket, buffer->data(), buffer->size(), 0);
    return n < 0 || static_cast<std::size_t>(n) > buffer->size() ? kFailed : n;
  }
  void* context_;
  void* server_ = nullptr;
  void* client_ = nullptr;
  bool ok_ = false;
  std::vector<unsigned char> client_buffer_ = std::vector<unsigned char>(kMaxMessage);
  std::vector<unsigned char> server_buffer_ = std::vector<unsigned char>(kMaxMessage);
};
#endif

#if PARCEL_BENCH_NNG
// nng: req/rep for round trips, pair for one-way; nng_send copies the
// message in, nng_recv copies it out into our buffer. The receive limit
// (1 MB by default) is lifted.
class NngTransport {
 public:
  explicit NngTransport(Pattern pattern) {
    const bool rr = pattern == Pattern::kRequestReply;
    nng_listener listener;
    int port = 0;
    ok_ = (rr ? nng_rep0_open(&server_) : nng_pair0_open(&server_)) == 0 &&
          (rr ? nng_req0_open(&client_) : nng_pair0_open(&client_)) == 0 &&
          nng_socket_set_size(server_, NNG_OPT_RECVMAXSZ, 0) == 0 &&
          nng_socket_set_size(client_, NNG_OPT_RECVMAXSZ, 0) == 0 &&
          nng_listen(server_, "tcp://127.0.0.1:0", &listener, 0) == 0 &&
          nng_listener_get_int(listener, NNG_OPT_TCP_BOUND_PORT, &port) == 0 &&
          nng_dial(client_, ("tcp://127.0.0.1:" + std::to_string(port)).c_str(), nullptr, 0) == 0;
  }
  ~NngTransport() {
    nng_close(client_);
    nng_close(server_);
  }
  NngTransport(const NngTransport&) = delete;
  NngTransport& operator=(const NngTransport&) = delete;
  bool ok() const { return ok_; }
  bool ClientSend(const unsigned char* data, std::size_t length) {
    return Send(client_, data, length);
  }
  long ClientReceive() { return Receive(client_, &client_buffer_); }
  long ServerReceive() { return Receive(server_, &server_buffer_); }
  const unsigned char* ServerData() const { return server_buffer_.data(); }
  bool ServerSend(const unsigned char* data, std::size_t length) {
    return Send(server_, data, length);
  }
  // A blocked nng_recv on a closed socket fails with NNG_ECLOSED.
  void Stop() { nng_close(server_); }

 private:
  static bool Send(nng_socket socket, const unsigned char* data, std::size_t length) {
    return nng_send(socket, const_cast<unsigned char*>(data), length, 0) == 0;
  }
  static long Receive(nng_socket socket, std::vector<unsigned char>* buffer) {
    std::size_t n = buffer->size();
    return nng_recv(socket, buffer->data(), &n, 0) == 0 ? static_cast<long>(n) : kFailed;
  }
  nng_socket server_ = NNG_SOCKET_INITIALIZER;
  nng_socket client_ = NNG_SOCKET_INITIALIZER;
  bool ok_ = false;
  std::vector<unsigned char> client_buffer_ = std::vector<unsigned char>(kMaxMessage);
  std::vector<unsigned char> server_buffer_ = std::vector<unsigned char>(kMaxMessage);
};
#endif

// --- The cases ---------------------------------------------------------------------

template <class Transport>
void Echo(Transport* transport) {
  for (;;) {
    const long n = transport->ServerReceive();
    if (n < 0 || !transport->ServerSend(transport->ServerData(), static_cast<std::size_t>(n))) {
      return;
    }
  }
}

// Round trips of one message size (the benchmark's argument).
template <class Transport>
void RoundTrip(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  Transport transport(Pattern::kRequestReply);
  if (!transport.ok()) {
    state.SkipWithError("connection failed");
    return;
  }
  std::thread server([&] { Echo(&transport); });
  const std::vector<unsigned char> message(size, 'm');
  LatencySamples latency_ns;
  latency_ns.Reserve(1 << 16);
  for (auto _ : state) {
    const auto begin = std::chrono::steady_clock::now();
    if (!transport.ClientSend(message.data(), size) ||
        transport.ClientReceive() != static_cast<long>(size)) {
      state.SkipWithError("round trip failed");
      break;
    }
    latency_ns.Add((std::chrono::steady_clock::now() - begin).count());
  }
  transport.Stop();
  server.join();
  const auto trips = static_cast<double>(state.iterations());
  state.counters["rt/s"] = benchmark::Counter(trips, benchmark::Counter::kIsRate);
  state.counters["p50_us"] = static_cast<double>(latency_ns.Percentile(50)) / 1000.0;
  state.counters["p99_us"] = static_cast<double>(latency_ns.Percentile(99)) / 1000.0;
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(size) * 2);
}

// One-way: 1 MiB messages from the client, read by the server, which
// answers every 64th with one byte so that the measured time covers the
// transfer.
constexpr int kAckEvery = 64;

template <class Transport>
void ReadAndAcknowledge(Transport* transport) {
  const unsigned char ack = 'a';
  for (int count = 1;; ++count) {
    if (transport->ServerReceive() < 0) return;
    if (count % kAckEvery == 0 && !transport->ServerSend(&ack, 1)) return;
  }
}

template <class Transport>
void OneWay(benchmark::State& state) {
  Transport transport(Pattern::kOneWay);
  if (!transport.ok()) {
    state.SkipWithError("connection failed");
    return;
  }
  std::thread reader([&] { ReadAndAcknowledge(&transport); });
  const std::vector<unsigned char> message(kMaxMessage, 'm');
  std::int64_t sent = 0;
  for (auto _ : state) {
    bool ok = true;
    for (int i = 0; ok && i < kAckEvery; ++i)
      ok = transport.ClientSend(message.data(), kMaxMessage);
    if (!ok || transport.ClientReceive() != 1) {
      state.SkipWithError("one-way transfer failed");
      break;
    }
    sent += kAckEvery;
  }
  transport.Stop();
  reader.join();
  state.SetBytesProcessed(sent * static_cast<std::int64_t>(kMaxMessage));
}

template <class Transport>
void Register(const char* name) {
  benchmark::RegisterBenchmark((std::string("RoundTrip/") + name).c_str(), RoundTrip<Transport>)
      ->Arg(64)
      ->Arg(4096)
      ->Arg(1 << 20)
      ->UseRealTime();
  benchmark::RegisterBenchmark((std::string("OneWay1MiB/") + name).c_str(), OneWay<Transport>)
      ->UseRealTime();
}

}  // namespace

int main(int argc, char** argv) {
  Register<PlainTransport>("plain_socket");
  Register<NiTransport>("ni_plain");
  Register<NiBufferedTransport>("ni_buffered");
#if PARCEL_BENCH_ZMQ
  Register<ZmqTransport>("zeromq");
#endif
#if PARCEL_BENCH_NNG
  Register<NngTransport>("nng");
#endif
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
