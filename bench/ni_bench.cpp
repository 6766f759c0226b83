// Loopback round trips and one-way throughput of NI handles against plain
// blocking sockets that carry the same 4-byte length framing, written here
// with one gathering send per message (the floor any framing layer can
// reach on this machine).
//
//   build/release/ni_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "ni/ni.h"
#include "ni/ni_cxx.h"
#include "platform/socket.h"

namespace {

namespace platform = parcel::platform;
using parcel::ni::Handle;

constexpr std::size_t kMaxMessage = std::size_t{1} << 20;

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

struct NiPair {
  Handle listener, client, server;
  NiPair() {
    Handle::Listen("127.0.0.1", 0, NI_LISTEN_IPV4, &listener);
    Handle::Connect("127.0.0.1", listener.Port(), NI_BLOCK, &client);
    listener.Accept(NI_BLOCK, &server);
  }
};

void BM_PlainRoundTrip(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  PlainPair pair;
  std::thread echo([&] {
    std::vector<unsigned char> buffer(kMaxMessage);
    for (;;) {
      std::size_t n = ReceiveFrame(pair.server, &buffer);
      if (n == static_cast<std::size_t>(-1) || !SendFrame(pair.server, buffer.data(), n)) return;
    }
  });
  std::vector<unsigned char> message(size, 'm'), answer(kMaxMessage);
  for (auto _ : state) {
    if (!SendFrame(pair.client, message.data(), size) ||
        ReceiveFrame(pair.client, &answer) != size) {
      state.SkipWithError("plain round trip failed");
      break;
    }
  }
  platform::SocketShutdown(pair.client, 1);
  echo.join();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size * 2));
}

void BM_NiRoundTrip(benchmark::State& state) {
  const auto size = static_cast<int>(state.range(0));
  NiThreadsOn();
  NiPair pair;
  std::thread echo([&] {
    std::vector<unsigned char> buffer(kMaxMessage);
    int n = 0;
    while (pair.server.Read(buffer.data(), static_cast<int>(buffer.size()), NI_BLOCK, &n) ==
               NI_OK &&
           pair.server.Write(buffer.data(), n) == NI_OK) {
    }
  });
  std::vector<unsigned char> message(static_cast<std::size_t>(size), 'm'), answer(kMaxMessage);
  for (auto _ : state) {
    int n = 0;
    if (pair.client.Write(message.data(), size) != NI_OK ||
        pair.client.Read(answer.data(), static_cast<int>(answer.size()), NI_BLOCK, &n) != NI_OK ||
        n != size) {
      state.SkipWithError("NI round trip failed");
      break;
    }
  }
  NiShutdownWrite(pair.client.get());
  echo.join();
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * size * 2);
}

// One-way: 1 MiB messages from the client, read by the server; the server
// acknowledges every 64th so that the measured time covers the transfer.
constexpr int kAckEvery = 64;

void BM_PlainOneWay(benchmark::State& state) {
  PlainPair pair;
  std::thread reader([&] {
    std::vector<unsigned char> buffer(kMaxMessage);
    for (int count = 1;; ++count) {
      if (ReceiveFrame(pair.server, &buffer) == static_cast<std::size_t>(-1)) return;
      if (count % kAckEvery == 0 && !SendFrame(pair.server, "a", 1)) return;
    }
  });
  std::vector<unsigned char> message(kMaxMessage, 'm'), ack(16);
  std::int64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < kAckEvery; ++i) SendFrame(pair.client, message.data(), message.size());
    ReceiveFrame(pair.client, &ack);
    sent += kAckEvery;
  }
  platform::SocketShutdown(pair.client, 1);
  reader.join();
  state.SetBytesProcessed(sent * static_cast<std::int64_t>(kMaxMessage));
}

void BM_NiOneWay(benchmark::State& state) {
  NiThreadsOn();
  NiPair pair;
  std::thread reader([&] {
    std::vector<unsigned char> buffer(kMaxMessage);
    int n = 0;
    for (int count = 1;; ++count) {
      if (pair.server.Read(buffer.data(), static_cast<int>(buffer.size()), NI_BLOCK, &n) != NI_OK) {
        return;
      }
      if (count % kAckEvery == 0 && pair.server.Write("a", 1) != NI_OK) return;
    }
  });
  std::vector<unsigned char> message(kMaxMessage, 'm');
  char ack[16];
  std::int64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < kAckEvery; ++i)
      pair.client.Write(message.data(), static_cast<int>(message.size()));
    int n = 0;
    pair.client.Read(ack, sizeof ack, NI_BLOCK, &n);
    sent += kAckEvery;
  }
  NiShutdownWrite(pair.client.get());
  reader.join();
  state.SetBytesProcessed(sent * static_cast<std::int64_t>(kMaxMessage));
}

BENCHMARK(BM_PlainRoundTrip)->Arg(64)->Arg(4096)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_NiRoundTrip)->Arg(64)->Arg(4096)->Arg(1 << 20)->UseRealTime();
BENCHMARK(BM_PlainOneWay)->UseRealTime();
BENCHMARK(BM_NiOneWay)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
