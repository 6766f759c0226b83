// The network library's public operations over real loopback connections:
// TCP on IPv4 and IPv6 and local stream sockets.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ni/ni.h"
#include "ni/ni_cxx.h"
#include "ni/nii.h"
#include "platform/process.h"
#include "platform/socket.h"
#include "platform/system_info.h"
#include "tests/ni_test_util.h"

namespace {

using parcel::ni::Handle;

enum class Transport { kIPv4, kIPv6, kLocal };

const char* Name(Transport transport) {
  switch (transport) {
    case Transport::kIPv4: return "IPv4";
    case Transport::kIPv6: return "IPv6";
    case Transport::kLocal: return "Local";
  }
  return "?";
}

// A port for local sockets that parallel test processes do not share.
unsigned short LocalPort() {
  static int next = 0;
  return static_cast<unsigned short>(20000 + (parcel::platform::ProcessId() * 7 + next++) % 40000);
}

class NiTransfer : public parcel::testing::NiTest {
 protected:
  void SetUp() override {
    NiTest::SetUp();
    NiThreadsOn();
    ASSERT_EQ(NiInit(), NI_OK);
  }
  // A connected pair over `transport`: client and the server's accepted end.
  // Skips the test where the system has no such transport.
  bool Connect(Transport transport, int timeout = NI_BLOCK) {
    int rc = NIEINVAL;
    switch (transport) {
      case Transport::kIPv4: rc = Handle::Listen("127.0.0.1", 0, NI_LISTEN_IPV4, &listener_); break;
      case Transport::kIPv6: rc = Handle::Listen("::1", 0, NI_LISTEN_IPV6, &listener_); break;
      case Transport::kLocal:
        rc = Handle::Listen(nullptr, LocalPort(), NI_LISTEN_LOCAL, &listener_);
        break;
    }
    if (rc != NI_OK) {
      skip_reason_ = std::string("no ") + Name(transport) + " listener here: " + NiErrorName(rc);
      return false;
    }
    const unsigned short port = listener_.Port();
    rc = transport == Transport::kLocal
             ? Handle::ConnectLocal(port, timeout, &client_)
             : Handle::Connect(transport == Transport::kIPv4 ? "127.0.0.1" : "::1", port, timeout,
                               &client_);
    EXPECT_EQ(rc, NI_OK) << NiErrorName(rc);
    EXPECT_EQ(listener_.Accept(5000, &server_), NI_OK);
    return rc == NI_OK && static_cast<bool>(server_);
  }
  // The system socket of a handle, for reading the wire directly.
  static parcel::platform::SocketHandle SocketOf(const Handle& handle) {
    NiHdl* record = nullptr;
    EXPECT_EQ(NiIHandle(handle.get(), &record, "NiTest"), QEL_O_K);
    return parcel::ni::SiHandleOf(record->sock);
  }

  Handle listener_, client_, server_;
  std::string skip_reason_;
};

#define CONNECT_OR_SKIP(transport)                         \
  do {                                                     \
    if (!Connect(transport)) GTEST_SKIP() << skip_reason_; \
  } while (0)

TEST_F(NiTransfer, MessageOnTheWireIsLengthThenPayload) {
  CONNECT_OR_SKIP(Transport::kIPv4);
  ASSERT_EQ(client_.Write("0123456789", 10), NI_OK);
  char wire[14];
  std::size_t got = 0, total = 0;
  while (total < sizeof wire) {
    ASSERT_EQ(parcel::platform::SocketReceive(SocketOf(server_), wire + total, sizeof wire - total,
                                              false, &got),
              0);
    ASSERT_GT(got, 0u);
    total += got;
  }
  EXPECT_EQ(std::string(wire, 14), std::string("\0\0\0\x0a", 4) + "0123456789");
}

TEST_F(NiTransfer, PeerClosingDuringAReadBreaksIt) {
  CONNECT_OR_SKIP(Transport::kIPv4);
  std::thread closer([this] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client_.Close();
  });
  char buffer[16];
  int received = -1;
  EXPECT_EQ(server_.Read(buffer, sizeof buffer, NI_BLOCK, &received), NIECONN_BROKEN);
  EXPECT_EQ(received, 0);
  closer.join();
}

TEST_F(NiTransfer, HalfClosedConnectionGivesWhatCameThenBreaks) {
  CONNECT_OR_SKIP(Transport::kIPv4);
  ASSERT_EQ(client_.Write("last words", 10), NI_OK);
  ASSERT_EQ(NiShutdownWrite(client_.get()), NI_OK);
  char buffer[16];
  int received = 0;
  ASSERT_EQ(server_.Read(buffer, sizeof buffer, 5000, &received), NI_OK);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(received)), "last words");
  EXPECT_EQ(server_.Read(buffer, sizeof buffer, 5000, &received), NIECONN_BROKEN);
  // The other direction still works.
  ASSERT_EQ(server_.Write("reply", 5), NI_OK);
  ASSERT_EQ(client_.Read(buffer, sizeof buffer, 5000, &received), NI_OK);
  EXPECT_EQ(received, 5);
}

TEST_F(NiTransfer, WriteAfterThePeerClosedIsBrokenNotASignal) {
  CONNECT_OR_SKIP(Transport::kIPv4);
  server_.Close();
  std::vector<char> block(1 << 16, 'w');
  int rc = NI_OK;
  for (int i = 0; i < 100 && rc == NI_OK; ++i) {
    rc = client_.Write(block.data(), static_cast<int>(block.size()), 5000);
  }
  EXPECT_EQ(rc, NIECONN_BROKEN) << NiErrorName(rc);
}

TEST_F(NiTransfer, PingIsAnsweredByThePeersRead) {
  CONNECT_OR_SKIP(Transport::kIPv4);
  std::thread reader([this] {
    char buffer[16];
    int received = 0;
    EXPECT_EQ(server_.Read(buffer, sizeof buffer, 5000, &received), NI_OK);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(received)), "after");
  });
  EXPECT_EQ(client_.Ping(5000), NI_OK);
  EXPECT_EQ(client_.Write("after", 5), NI_OK);
  reader.join();
}

TEST_F(NiTransfer, ConnectFailuresAndPortsInUse) {
  CONNECT_OR_SKIP(Transport::kIPv4);
  const unsigned short taken = listener_.Port();
  Handle second;
  EXPECT_EQ(Handle::Listen("127.0.0.1", taken, NI_LISTEN_IPV4, &second), NIESERV_USED);
  listener_.Close();
  Handle refused;
  EXPECT_EQ(Handle::Connect("127.0.0.1", taken, NI_BLOCK, &refused), NIECONN_REFUSED);
  EXPECT_FALSE(refused);
  EXPECT_EQ(Handle::Connect("no-such-host.invalid", 80, NI_BLOCK, &refused), NIEHOST_UNKNOWN);
  // A non-blocking connect to a closed port fails at its first transfer.
  ASSERT_EQ(Handle::Connect("127.0.0.1", taken, 0, &refused), NI_OK);
  int rc = NIETIMEOUT;
  for (int i = 0; i < 100 && rc == NIETIMEOUT; ++i) rc = NiCheckConnect(refused.get(), 100);
  EXPECT_EQ(rc, NIECONN_REFUSED) << NiErrorName(rc);
}

TEST_F(NiTransfer, NonBlockingConnectIsFinishedByTheFirstTransfer) {
  ASSERT_EQ(Handle::Listen("127.0.0.1", 0, NI_LISTEN_IPV4, &listener_), NI_OK);
  ASSERT_EQ(Handle::Connect("127.0.0.1", listener_.Port(), 0, &client_), NI_OK);
  int written = 0, rc;
  while ((rc = client_.Write("early", 5, 100, &written)) == NIETIMEOUT) {
  }
  ASSERT_EQ(rc, NI_OK);
  ASSERT_EQ(listener_.Accept(5000, &server_), NI_OK);
  char buffer[8];
  int received = 0;
  ASSERT_EQ(server_.Read(buffer, sizeof buffer, 5000, &received), NI_OK);
  EXPECT_EQ(received, 5);
  NiHdl* record = nullptr;
  ASSERT_EQ(NiIHandle(client_.get(), &record, "NiTest"), QEL_O_K);
  EXPECT_EQ(record->state, NI_CONNECTED);
}

TEST_F(NiTransfer, WaitTellsWhichHandlesAreReady) {
  CONNECT_OR_SKIP(Transport::kIPv4);
  NI_WAIT_ENTRY entries[3] = {{server_.get(), NI_WAIT_READ, 0},
                              {client_.get(), NI_WAIT_READ | NI_WAIT_WRITE, 0},
                              {listener_.get(), NI_WAIT_READ, 0}};
  int ready = 0;
  ASSERT_EQ(NiWait(entries, 3, 1000, &ready), NI_OK);
  EXPECT_EQ(ready, 1);
  EXPECT_EQ(entries[1].revents, NI_WAIT_WRITE);
  ASSERT_EQ(client_.Write("x", 1), NI_OK);
  ASSERT_EQ(NiWait(entries, 1, 5000, &ready), NI_OK);
  EXPECT_EQ(entries[0].revents, NI_WAIT_READ);
  entries[0].events = NI_WAIT_READ;
  char buffer[4];
  int received = 0;
  ASSERT_EQ(server_.Read(buffer, sizeof buffer, 0, &received), NI_OK);
  EXPECT_EQ(NiWait(entries, 1, 0, &ready), NIETIMEOUT);
  entries[0].handle = 4000;
  EXPECT_EQ(NiWait(entries, 1, 0, &ready), NIEINVAL);
}

// --- Streams of random messages --------------------------------------------------

struct StreamCase {
  Transport transport;
  bool blocking;
};

class NiStream : public NiTransfer, public ::testing::WithParamInterface<StreamCase> {};

// Message `index` of a stream: its size (0 to 1 MiB, spread evenly over the
// powers of two, so that small and large messages both occur often) and its
// bytes.
std::size_t MessageSize(std::mt19937& random) {
  const int bits = static_cast<int>(random() % 21);
  const std::size_t top = std::size_t{1} << bits;
  return std::min<std::size_t>(top / 2 + random() % (top / 2 + 1), std::size_t{1} << 20);
}

unsigned char MessageByte(int index, std::size_t at) {
  return static_cast<unsigned char>((index * 131 + at * 7 + (at >> 9)) & 0xFF);
}

TEST_P(NiStream, RandomMessagesInRandomSplitsArriveIdentical) {
  const StreamCase param = GetParam();
  CONNECT_OR_SKIP(param.transport);
  const int blocking = param.blocking ? 1 : 0;
  ASSERT_EQ(client_.SetParam(NI_PARAM_BLOCKING, blocking), NI_OK);
  ASSERT_EQ(server_.SetParam(NI_PARAM_BLOCKING, blocking), NI_OK);
  constexpr int kMessages = 10000;
  const unsigned seed = static_cast<unsigned>(parcel::platform::ProcessId());

  std::atomic<int> writer_failures{0};
  std::thread writer([&] {
    std::mt19937 random(seed);
    std::mt19937 timing(seed + 1);
    std::vector<unsigned char> message;
    for (int i = 0; i < kMessages; ++i) {
      message.resize(MessageSize(random));
      for (std::size_t at = 0; at < message.size(); ++at) message[at] = MessageByte(i, at);
      std::size_t sent = 0;
      int rc;
      do {
        const int timeout = timing() % 4 == 0 ? NI_BLOCK : static_cast<int>(timing() % 3);
        int written = 0;
        rc = client_.Write(message.data() + sent, static_cast<int>(message.size() - sent), timeout,
                           &written);
        sent += static_cast<std::size_t>(written);
      } while (rc == NIETIMEOUT);
      if (rc != NI_OK || sent != message.size()) {
        ++writer_failures;
        return;
      }
    }
  });

  std::mt19937 random(seed);
  std::mt19937 timing(seed + 2);
  std::vector<unsigned char> buffer(1 << 20);
  int mismatches = 0;
  for (int i = 0; i < kMessages && mismatches == 0; ++i) {
    const std::size_t size = MessageSize(random);
    std::size_t got = 0;
    int rc;
    do {
      // Buffers of random size cut the message into pieces.
      const std::size_t room =
          std::min<std::size_t>(buffer.size(), 1 + timing() % (std::size_t{1} << (timing() % 21)));
      const int timeout = timing() % 4 == 0 ? NI_BLOCK : static_cast<int>(timing() % 3);
      int received = 0;
      rc = server_.Read(buffer.data(), static_cast<int>(room), timeout, &received);
      for (int k = 0; k < received; ++k) {
        if (buffer[static_cast<std::size_t>(k)] !=
            MessageByte(i, got + static_cast<std::size_t>(k))) {
          ++mismatches;
          break;
        }
      }
      if (received > 0) got += static_cast<std::size_t>(received);
    } while (rc == NIETIMEOUT || rc == NIETOO_SMALL);
    ASSERT_EQ(rc, NI_OK) << "message " << i << ": " << NiErrorName(rc);
    ASSERT_EQ(got, size) << "message " << i;
  }
  writer.join();
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(writer_failures.load(), 0);
}

std::string StreamName(const ::testing::TestParamInfo<StreamCase>& param_info) {
  return std::string(Name(param_info.param.transport)) +
         (param_info.param.blocking ? "Blocking" : "NonBlocking");
}

INSTANTIATE_TEST_SUITE_P(
    Transports, NiStream,
    ::testing::Values(StreamCase{Transport::kIPv4, true}, StreamCase{Transport::kIPv4, false},
                      StreamCase{Transport::kIPv6, true}, StreamCase{Transport::kIPv6, false},
                      StreamCase{Transport::kLocal, true}, StreamCase{Transport::kLocal, false}),
    &StreamName);

// --- Resources ---------------------------------------------------------------------

TEST_F(NiTransfer, ThousandConnectionsLeaveNothingBehind) {
  ASSERT_EQ(Handle::Listen("127.0.0.1", 0, NI_LISTEN_IPV4, &listener_), NI_OK);
  const int descriptors = parcel::platform::OpenDescriptorCount();
  const std::int64_t blocks = parcel::ni::NiILiveBlocks();
  for (int i = 0; i < 1000; ++i) {
    Handle client, server;
    ASSERT_EQ(Handle::Connect("127.0.0.1", listener_.Port(), NI_BLOCK, &client), NI_OK);
    ASSERT_EQ(listener_.Accept(5000, &server), NI_OK);
    ASSERT_EQ(client.Write(&i, sizeof i), NI_OK);
    int echo = -1, received = 0;
    ASSERT_EQ(server.Read(&echo, sizeof echo, 5000, &received), NI_OK);
    ASSERT_EQ(echo, i);
  }
  EXPECT_EQ(parcel::platform::OpenDescriptorCount(), descriptors);
  EXPECT_EQ(parcel::ni::NiILiveBlocks(), blocks);
}

}  // namespace
