// The buffered message layer: queues, whole messages, check and version
// messages, error reports, hostile control messages, buffer references and
// select sets.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "errinfo/errinfo.h"
#include "ni/ni.h"
#include "ni/ni_buf.h"
#include "ni/ni_cxx.h"
#include "platform/alloc_hook.h"
#include "platform/dynamic_library.h"
#include "platform/process.h"
#include "platform/system_info.h"
#include "runtime/thr.h"
#include "tests/ni_fake_socket.h"
#include "tests/ni_test_util.h"

namespace {

using parcel::ni::BufferedExtension;
using parcel::ni::Handle;
using parcel::testing::FakeSockets;
using parcel::testing::FakeWire;

std::string Frame(const std::string& payload) {
  const auto n = static_cast<std::uint32_t>(payload.size());
  std::string header = {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                        static_cast<char>(n >> 8), static_cast<char>(n)};
  return header + payload;
}

std::string Ping() { return Frame(std::string("NI_PING\0", 8)); }
std::string Pong() { return Frame(std::string("NI_PONG\0", 8)); }

// A control message as a peer would send it, with its error information.
std::string Control(int opcode, int rc, int version = 38, const std::string& data = "") {
  unsigned char message[1024];
  std::size_t length = parcel::ni::BuildControlMessage(
      opcode, rc, reinterpret_cast<const unsigned char*>(data.data()),
      static_cast<int>(data.size()), message, sizeof message);
  message[9] = static_cast<unsigned char>(version);
  return std::string(reinterpret_cast<char*>(message), length);
}

// --- Over a scripted peer -------------------------------------------------------

class NiBuffered : public parcel::testing::NiTest {
 protected:
  void SetUp() override {
    NiTest::SetUp();
    ASSERT_EQ(NiInit3(), QEL_O_K);
    ASSERT_EQ(NiICreateHandle(&handle_, false), QEL_O_K);
    handle_->sock = FakeSockets::Record();
    parcel::ni::SetState(handle_, NI_CONNECTED, "NiTest");
    ASSERT_EQ(NiBufIHdlInit(handle_), QEL_O_K);
    ext_ = parcel::ni::ExtensionOf(handle_);
  }
  FakeWire& Wire() { return FakeSockets::Wire(); }
  int Read(std::string* out, int length, int timeout = 0) {
    out->assign(static_cast<std::size_t>(length), '\0');
    int received = 0;
    int rc = NiBufIRead(handle_, ext_, out->data(), length, timeout, &received);
    out->resize(static_cast<std::size_t>(received));
    return rc;
  }
  int Write(const std::string& data, int* written) {
    return NiBufIWrite(handle_, ext_, data.data(), static_cast<int>(data.size()), 0, written);
  }

  FakeSockets fake_;
  NiHdl* handle_ = nullptr;
  BufferedExtension* ext_ = nullptr;
};

TEST_F(NiBuffered, WriteToAFullSocketIsAcceptedAndSentAtTheNextRead) {
  Wire().max_send = 0;
  Wire().close_at_end = false;
  int written = 0;
  EXPECT_EQ(Write("later", &written), QEL_O_K);
  EXPECT_EQ(written, 5);
  EXPECT_EQ(Wire().outbound, "");
  ASSERT_NE(ext_->ready, nullptr);
  Wire().max_send = static_cast<std::size_t>(-1);
  std::string out;
  EXPECT_EQ(Read(&out, 16), NIETIMEOUT);  // nothing to read, but the write went out
  EXPECT_EQ(Wire().outbound, Frame("later"));
  EXPECT_EQ(ext_->ready, nullptr);
}

TEST_F(NiBuffered, QueueLimitsWarnThenRefuse) {
  Wire().max_send = 0;
  NI_HDLPARAM param{};
  param.datatype = NI_DT_UINT;
  param.param = NIP_MAX_QUEUE;
  param.value.uint_val = 3;
  ASSERT_EQ(NiBufISetHdlParam(handle_, ext_, &param), QEL_O_K);
  param.param = NIP_WARN_QUEUE;
  param.value.uint_val = 1;
  ASSERT_EQ(NiBufISetHdlParam(handle_, ext_, &param), QEL_O_K);
  int written = 0;
  std::string results;
  for (int i = 0; i < 5; ++i) {
    std::string message = std::to_string(i);
    message.insert(message.begin(), 'm');
    const int rc = Write(message, &written);
    results += std::string(NiIErrorName(rc)) + " ";
  }
  // The first goes to the wire (its rest waits), three are queued.
  EXPECT_EQ(results, "QEL_O_K QEL_O_K QEL_O_K NIEQUE_FULL NIETIMEOUT ");
  EXPECT_EQ(ext_->mUserQueueLen, 3);
  Wire().max_send = static_cast<std::size_t>(-1);
  ASSERT_EQ(NiBufIPendWrite(handle_, ext_, 0), QEL_O_K);
  EXPECT_EQ(Wire().outbound, Frame("m0") + Frame("m1") + Frame("m2") + Frame("m3"));
}

TEST_F(NiBuffered, TooLongFrameFailsBeforeAnyAllocation) {
  Wire().inbound = std::string("\x00\x80\x00\x01", 4) + "x";  // 8 MiB + 1
  const std::int64_t heap = parcel::ni::NiBufHeapBytes();
  const std::int64_t buffers = parcel::ni::NiBufLiveBuffers();
  std::string out;
  EXPECT_EQ(Read(&out, 16), NIETOO_BIG);
  EXPECT_EQ(parcel::ni::NiBufHeapBytes(), heap);
  EXPECT_EQ(parcel::ni::NiBufLiveBuffers(), buffers);
  EXPECT_EQ(ErrorText(), "NiBufIIn: message length 8388609 exceeds max (8388608)");
}

TEST_F(NiBuffered, PingIsAnsweredWhileTheReadGoesOn) {
  Wire().inbound = Ping() + Frame("data");
  std::string out;
  ASSERT_EQ(Read(&out, 16, 1000), QEL_O_K);
  EXPECT_EQ(out, "data");
  EXPECT_EQ(Wire().outbound, Pong());
}

TEST_F(NiBuffered, PeerErrorReportFailsOneRead) {
  parcel::ni::NiIRecord(NIECONN_REFUSED, "peer.cpp", 7, "peer: partner 'x' not reached");
  const std::string report = Control(parcel::ni::kOpError, NIECONN_REFUSED);
  ErrClear();
  Wire().inbound = Frame(report) + Frame("after");
  std::string out;
  EXPECT_EQ(Read(&out, 16), NIECONN_REFUSED);
  EXPECT_EQ(ErrorText(), "peer: partner 'x' not reached");
  ASSERT_EQ(Read(&out, 16), QEL_O_K);
  EXPECT_EQ(out, "after");
}

TEST_F(NiBuffered, ShortBufferHandsOutTheRest) {
  Wire().inbound = Frame(std::string(100, 'a'));
  Wire().close_at_end = false;
  std::string out;
  EXPECT_EQ(Read(&out, 60), NIETOO_SMALL);
  EXPECT_EQ(out.size(), 60u);
  EXPECT_EQ(Read(&out, 60), QEL_O_K);
  EXPECT_EQ(out.size(), 40u);
  EXPECT_EQ(Read(&out, 60), NIETIMEOUT);
}

TEST_F(NiBuffered, VersionAndUnknownOpcodesAreAnswered) {
  Wire().inbound =
      Frame(Control(parcel::ni::kOpVersionRequest, 0)) + Frame(Control(77, 0)) + Frame("x");
  std::string out;
  ASSERT_EQ(Read(&out, 16), QEL_O_K);
  EXPECT_EQ(out, "x");
  // Two control messages went back: the version answer (24 bytes, version
  // 38) and an error report carrying NIEVERSION.
  const std::string& sent = Wire().outbound;
  ASSERT_GE(sent.size(), 28u + 28u);
  EXPECT_EQ(sent.substr(0, 4), std::string("\0\0\0\x18", 4));
  EXPECT_EQ(sent.substr(4, 8), "NI_RTERR");
  EXPECT_EQ(static_cast<unsigned char>(sent[4 + 9]), 38);
  EXPECT_EQ(sent[4 + 10], parcel::ni::kOpVersionAnswer);
  parcel::ni::ControlMessage report;
  ASSERT_TRUE(parcel::ni::ParseControlMessage(
      reinterpret_cast<const unsigned char*>(sent.data()) + 28 + 4, sent.size() - 32, &report));
  EXPECT_EQ(report.opcode, parcel::ni::kOpError);
  EXPECT_EQ(report.rc, NIEVERSION);
}

TEST_F(NiBuffered, HostileControlMessages) {
  // Error information longer than the frame: user data. Version below 29:
  // an error report whatever the opcode says. A hand-over offer nobody
  // asked for: refused with an error report, nothing created.
  std::string long_info = Control(parcel::ni::kOpError, NIEINTERN);
  long_info[16] = 0x7f;
  const std::string old = Control(parcel::ni::kOpHandOverOffer, NIETIMEOUT, 28);
  const std::string offer = Control(parcel::ni::kOpHandOverOffer, 0, 38, std::string(6, '\0'));
  Wire().inbound = Frame(long_info) + Frame(old) + Frame(offer) + Frame("end");
  std::string out;
  ASSERT_EQ(Read(&out, 1024), QEL_O_K);
  EXPECT_EQ(out, long_info);
  EXPECT_EQ(Read(&out, 1024), NIETIMEOUT);  // the old peer's report
  ASSERT_EQ(Read(&out, 1024), QEL_O_K);
  EXPECT_EQ(out, "end");
  EXPECT_EQ(ext_->status, parcel::ni::kBufOk);
  EXPECT_EQ(ext_->mpPassHdlData, nullptr);
  EXPECT_NE(Wire().outbound.find("NI_RTERR"), std::string::npos);
}

TEST_F(NiBuffered, OwnErrorIsReportedOnceAtTheNextCall) {
  parcel::ni::NiIRecord(NIECONN_BROKEN, "t.cpp", 1, "broken for a test");
  EXPECT_EQ(NiBufISetError(handle_, ext_, NIECONN_BROKEN), NIECONN_BROKEN);
  ErrClear();
  int written = 0;
  EXPECT_EQ(Write("x", &written), NIECONN_BROKEN);
  EXPECT_EQ(ErrorText(), "broken for a test");
  EXPECT_EQ(Write("x", &written), NIEINTERN);
}

// Every allocation of a queued write and of a received message failing in
// turn: the call fails with NIEINTERN (or the message waits for a later
// call), and the queue and the counters stay whole.
TEST_F(NiBuffered, AllocationFailuresLeaveQueuesWhole) {
  using parcel::platform::AllocFailure;
  using parcel::platform::AllocSite;
  NI_HDLPARAM param{};
  param.datatype = NI_DT_UINT;
  param.param = NIP_MAX_QUEUE;
  param.value.uint_val = 8;
  ASSERT_EQ(NiBufISetHdlParam(handle_, ext_, &param), QEL_O_K);
  Wire().max_send = 0;
  int written = 0;
  ASSERT_EQ(Write("first", &written), QEL_O_K);  // on the wire, its rest waits
  for (std::int64_t after = 0; after < 3; ++after) {
    const int queued = ext_->mUserQueueLen;
    parcel::platform::SetAllocFailure(AllocFailure{AllocSite::kRuntime, after, true});
    const int rc = Write("queued", &written);
    parcel::platform::ClearAllocFailure();
    if (after == 0) {
      EXPECT_EQ(rc, NIEINTERN);  // the message's copy
    }
    if (rc == NIEINTERN) {
      EXPECT_EQ(ext_->mUserQueueLen, queued) << after;
    } else {
      EXPECT_EQ(rc, QEL_O_K) << after;
      EXPECT_EQ(ext_->mUserQueueLen, queued + 1) << after;
    }
  }
  Wire().max_send = static_cast<std::size_t>(-1);
  ASSERT_EQ(NiBufIPendWrite(handle_, ext_, 0), QEL_O_K);
  EXPECT_EQ(Wire().outbound.substr(0, 9), Frame("first"));

  const std::int64_t heap = parcel::ni::NiBufHeapBytes();
  Wire().inbound = Frame("incoming");
  parcel::platform::SetAllocFailure(AllocFailure{AllocSite::kRuntime, 0, true});
  std::string out;
  EXPECT_EQ(Read(&out, 16), NIEINTERN);
  parcel::platform::ClearAllocFailure();
  EXPECT_EQ(parcel::ni::NiBufHeapBytes(), heap);
  ASSERT_EQ(Read(&out, 16), QEL_O_K);  // the frame stayed pending
  EXPECT_EQ(out, "incoming");
}

TEST_F(NiBuffered, HeapLimitWarnsButQueues) {
  NI_HDLPARAM param{};
  param.datatype = NI_DT_UINT;
  param.param = NIP_MAX_QUEUE;
  param.value.uint_val = 100;
  ASSERT_EQ(NiBufISetHdlParam(handle_, ext_, &param), QEL_O_K);
  Wire().max_send = 0;
  int written = 0;
  ASSERT_EQ(Write(std::string(100, 'a'), &written), QEL_O_K);
  parcel::ni::NiBufSetHeapLimit(150);
  EXPECT_EQ(Write(std::string(100, 'b'), &written), NIEQUE_FULL);  // queued, with the warning
  EXPECT_EQ(ext_->mUserQueueLen, 1);
  parcel::ni::NiBufSetHeapLimit(0);
  EXPECT_EQ(Write(std::string(10, 'c'), &written), QEL_O_K);
}

// --- Buffers ----------------------------------------------------------------------

TEST_F(NiBuffered, BufferAccountingAndReferences) {
  const std::int64_t heap = parcel::ni::NiBufHeapBytes();
  NIBUF* buffer = nullptr;
  ASSERT_EQ(NiBufAlloc2(&buffer, 1000, "test"), QEL_O_K);
  EXPECT_EQ(parcel::ni::NiBufHeapBytes(), heap + 1000);
  NIBUF* copy = nullptr;
  ASSERT_EQ(NiBufDup(&copy, buffer), QEL_O_K);
  NiBufFree(&buffer);
  EXPECT_EQ(buffer, nullptr);
  EXPECT_EQ(parcel::ni::NiBufHeapBytes(), heap + 1000);  // still referenced by the copy
  NiBufFree(&copy);
  EXPECT_EQ(parcel::ni::NiBufHeapBytes(), heap);
  EXPECT_EQ(NiBufAlloc2(&buffer, NIBUF_MAXALLOC + 1, "test"), NIETOO_BIG);
  EXPECT_EQ(NiBufAlloc2(&buffer, -1, "test"), NIEINVAL);
  EXPECT_EQ(NiBufAlloc2(nullptr, 1, "test"), NIEINVAL);
}

std::atomic<int> g_released{0};
void CountRelease(NIBUF* buffer) {
  ++g_released;
  parcel::ni::NiIFree(buffer);
}

TEST(NiBufferThreads, ManyReadersReleaseExactlyOnce) {
  parcel::runtime::EnableThreadServices();
  ASSERT_EQ(NiInit3(), QEL_O_K);
  for (int round = 0; round < 50; ++round) {
    g_released = 0;
    static char storage[64];
    NIBUF* shared = nullptr;
    ASSERT_EQ(NiBufWrap(&shared, storage, sizeof storage, &CountRelease), QEL_O_K);
    std::vector<NIBUF*> references(64);
    for (NIBUF*& reference : references) ASSERT_EQ(NiBufDup(&reference, shared), QEL_O_K);
    NiBufFree(&shared);
    std::vector<std::thread> readers;
    for (int t = 0; t < 8; ++t) {
      readers.emplace_back([&references, t] {
        for (int i = t; i < 64; i += 8) {
          EXPECT_EQ(NiBufData(references[static_cast<std::size_t>(i)]), storage);
          NiBufFree(&references[static_cast<std::size_t>(i)]);
        }
      });
    }
    for (std::thread& reader : readers) reader.join();
    EXPECT_EQ(g_released.load(), 1);
  }
  EXPECT_EQ(parcel::ni::NiBufLiveBuffers(), 0);
  NiIExit();
}

// --- Real connections ---------------------------------------------------------------

class NiBufferedPair : public parcel::testing::NiTest {
 protected:
  void SetUp() override {
    NiTest::SetUp();
    NiThreadsOn();
    ASSERT_EQ(NiInitHandles(8192), NI_OK);
    ASSERT_EQ(Handle::Listen("127.0.0.1", 0, NI_LISTEN_IPV4, &listener_), NI_OK);
  }
  void Connect(Handle* client, Handle* server) {
    ASSERT_EQ(Handle::Connect("127.0.0.1", listener_.Port(), NI_BLOCK, client), NI_OK)
        << ErrGetFld(parcel::errinfo::kErrFieldError);
    ASSERT_EQ(listener_.Accept(5000, server), NI_OK);
    ASSERT_EQ(NiSetBuffered(client->get()), NI_OK);
    ASSERT_EQ(NiSetBuffered(server->get()), NI_OK);
  }
  Handle listener_;
};

TEST_F(NiBufferedPair, VersionPingAndQueuedWritesEndToEnd) {
  Handle client, server;
  Connect(&client, &server);
  std::thread peer([&] {
    char buffer[64];
    int received = 0;
    EXPECT_EQ(server.Read(buffer, sizeof buffer, 5000, &received), NI_OK);
    EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(received)), "hello");
  });
  int version = 0;
  EXPECT_EQ(NiVersion(client.get(), 5000, &version), NI_OK);
  EXPECT_EQ(version, 38);
  EXPECT_EQ(client.Ping(5000), NI_OK);
  EXPECT_EQ(client.Write("hello", 5), NI_OK);
  peer.join();
}

TEST_F(NiBufferedPair, PeerThatDoesNotReadFillsTheQueue) {
  Handle client, server;
  Connect(&client, &server);
  ASSERT_EQ(client.SetParam(NI_PARAM_SNDBUF, 4096), NI_OK);
  ASSERT_EQ(server.SetParam(NI_PARAM_RCVBUF, 4096), NI_OK);
  ASSERT_EQ(client.SetParam(NI_PARAM_MAX_QUEUE, 3), NI_OK);
  ASSERT_EQ(client.SetParam(NI_PARAM_WARN_QUEUE, 1), NI_OK);
  const std::vector<char> block(32 * 1024, 'q');
  auto write = [&] { return client.Write(block.data(), static_cast<int>(block.size()), 0); };
  // Messages go to the wire until one is left half sent; from then on they
  // queue: two plainly, the third with the warning, then none.
  NiHdl* record = nullptr;
  ASSERT_EQ(NiIHandle(client.get(), &record, "NiTest"), QEL_O_K);
  int accepted = 0;
  for (; accepted < 1000 && parcel::ni::ExtensionOf(record)->ready == nullptr; ++accepted) {
    ASSERT_EQ(write(), NI_OK);
  }
  ASSERT_NE(parcel::ni::ExtensionOf(record)->ready, nullptr);
  const std::vector<int> results = {write(), write(), write(), write()};
  const std::vector<int> expected = {NI_OK, NI_OK, NIEQUE_FULL, NIETIMEOUT};
  EXPECT_EQ(results, expected);
  accepted += 3;
  // Reading on the other side lets everything through.
  std::thread drain([&] {
    std::vector<char> buffer(block.size());
    int received = 0;
    for (int i = 0; i < accepted; ++i) {
      EXPECT_EQ(server.Read(buffer.data(), static_cast<int>(buffer.size()), 10000, &received),
                NI_OK);
      EXPECT_EQ(received, static_cast<int>(block.size()));
    }
  });
  int rc = NIETIMEOUT;
  NI_SELSET* set = nullptr;
  ASSERT_EQ(NiSelNewSet(&set), NI_OK);
  ASSERT_EQ(NiSelSet(set, client.get(), NI_SEL_WRITE), NI_OK);
  for (int i = 0; i < 1000 && rc != NI_OK; ++i) {
    NI_SEL_EVENT events[4];
    int count = 0;
    rc = NiSelWait(set, 100, events, 4, &count);
    if (rc == NI_OK && !(count == 1 && events[0].events == NI_SEL_WRITE)) rc = NIETIMEOUT;
  }
  EXPECT_EQ(rc, NI_OK);  // writable again once the queue has gone out
  drain.join();
  NiSelDestroySet(&set);
}

// A handle whose message waits stays ready while more arrives behind it:
// waits that do not receive neither read over the waiting message nor
// reorder, and the peer's close comes after the last message.
TEST_F(NiBufferedPair, WaitsWithoutReceivingKeepEveryMessageInOrder) {
  Handle client, server;
  Connect(&client, &server);
  const std::vector<std::string> sent = {"one", "two", "three"};
  for (const std::string& text : sent) {
    ASSERT_EQ(client.Write(text.data(), static_cast<int>(text.size())), NI_OK);
  }
  client.Close();
  NI_SELSET* set = nullptr;
  ASSERT_EQ(NiSelNewSet(&set), NI_OK);
  ASSERT_EQ(NiSelSet(set, server.get(), NI_SEL_READ), NI_OK);
  std::vector<std::string> received;
  int rc = NI_OK;
  for (int round = 0; round < 10 && rc == NI_OK; ++round) {
    for (int wait = 0; wait < 3; ++wait) {
      NI_SEL_EVENT events[4];
      int count = 0;
      ASSERT_EQ(NiSelWait(set, 5000, events, 4, &count), NI_OK);
      ASSERT_EQ(count, 1);
      EXPECT_EQ(events[0].handle, server.get());
      EXPECT_EQ(events[0].events, NI_SEL_READ);
    }
    NIBUF* message = nullptr;
    rc = NiReceive(server.get(), &message, 0);
    if (rc == NI_OK) {
      received.emplace_back(static_cast<const char*>(NiBufData(message)),
                            static_cast<std::size_t>(NiBufLength(message)));
      NiBufFree(&message);
    }
  }
  EXPECT_EQ(received, sent);
  EXPECT_EQ(rc, NIECONN_BROKEN);
  NiSelDestroySet(&set);
}

// One thread serves many buffered connections through one select set.
TEST_F(NiBufferedPair, OneThreadServesManyConnections) {
#if defined(_WIN32)
  constexpr int kConnections = 200;
#else
  constexpr int kConnections = 2000;
#endif
  constexpr int kMessages = 100;
  std::vector<Handle> servers(kConnections), clients(kConnections);
  for (int i = 0; i < kConnections; ++i)
    Connect(&clients[static_cast<std::size_t>(i)], &servers[static_cast<std::size_t>(i)]);
  std::atomic<bool> stop{false};
  std::thread server_thread([&] {
    NI_SELSET* set = nullptr;
    ASSERT_EQ(NiSelNewSet(&set), NI_OK);
    for (Handle& server : servers) ASSERT_EQ(NiSelSet(set, server.get(), NI_SEL_READ), NI_OK);
    std::vector<NI_SEL_EVENT> events(512);
    while (!stop) {
      int count = 0;
      if (NiSelWait(set, 50, events.data(), static_cast<int>(events.size()), &count) != NI_OK) {
        continue;
      }
      for (int i = 0; i < count; ++i) {
        NIBUF* message = nullptr;
        const NI_HANDLE handle = events[static_cast<std::size_t>(i)].handle;
        if (NiReceive(handle, &message, 0) != NI_OK) continue;
        int written = 0;
        EXPECT_EQ(NiWrite(handle, NiBufData(message), NiBufLength(message), 0, &written), NI_OK);
        NiBufFree(&message);
      }
    }
    NiSelDestroySet(&set);
  });
  // Clients on four threads, each with a share of the connections.
  std::atomic<int> echoed{0};
  std::vector<std::thread> client_threads;
  for (int t = 0; t < 4; ++t) {
    client_threads.emplace_back([&, t] {
      for (int m = 0; m < kMessages; ++m) {
        for (int i = t; i < kConnections; i += 4) {
          const std::string text = std::to_string(i) + ":" + std::to_string(m);
          const int rc = clients[static_cast<std::size_t>(i)].Write(
              text.data(), static_cast<int>(text.size()), 5000);
          EXPECT_EQ(rc, NI_OK) << ErrGetFld(parcel::errinfo::kErrFieldError);
        }
        for (int i = t; i < kConnections; i += 4) {
          char buffer[32];
          int received = 0;
          const std::string text = std::to_string(i) + ":" + std::to_string(m);
          if (clients[static_cast<std::size_t>(i)].Read(buffer, sizeof buffer, 20000, &received) ==
                  NI_OK &&
              std::string(buffer, static_cast<std::size_t>(received)) == text) {
            ++echoed;
          }
        }
      }
    });
  }
  for (std::thread& thread : client_threads) thread.join();
  stop = true;
  server_thread.join();
  EXPECT_EQ(echoed.load(), kConnections * kMessages);
}

}  // namespace

// --- Hand-over between processes --------------------------------------------------

namespace {

TEST_F(NiBufferedPair, ListeningHandleHandedToAnotherProcess) {
#if defined(_WIN32)
  const char* transport = "tcp";  // Windows duplicates sockets over any connection
  Handle channel_listener;
  ASSERT_EQ(Handle::Listen("127.0.0.1", 0, NI_LISTEN_IPV4, &channel_listener), NI_OK);
  const std::string peer_path = parcel::platform::ExecutableDirectory() + "ni_handover_peer.exe";
#else
  const char* transport = "local";  // descriptors travel over local stream sockets
  Handle channel_listener;
  const auto local_port =
      static_cast<unsigned short>(20000 + parcel::platform::ProcessId() % 40000);
  ASSERT_EQ(Handle::Listen(nullptr, local_port, NI_LISTEN_LOCAL, &channel_listener), NI_OK);
  const std::string peer_path = parcel::platform::ExecutableDirectory() + "ni_handover_peer";
#endif
  const std::string port = std::to_string(channel_listener.Port());
  const char* arguments[] = {transport, port.c_str(), nullptr};
  int child = 0;
  ASSERT_EQ(parcel::platform::SpawnProcess(peer_path.c_str(), arguments, &child), 0) << peer_path;
  Handle channel;
  ASSERT_EQ(channel_listener.Accept(20000, &channel), NI_OK);
  ASSERT_EQ(NiSetBuffered(channel.get()), NI_OK);

  // listener_ (from the fixture) goes to the child.
  const unsigned short handed_port = listener_.Port();
  const int rc = NiHandOver(channel.get(), listener_.get(), 20000);
  if (rc != NI_OK) {
    int exit_code = -1;
    parcel::platform::WaitProcess(child, 0, &exit_code);
    FAIL() << "hand-over: " << NiErrorName(rc) << ": "
           << ErrGetFld(parcel::errinfo::kErrFieldError);
  }
  Handle ignored;
  EXPECT_EQ(listener_.Accept(0, &ignored), NIEPASSED);

  // The child now accepts on the port this process listened on.
  Handle client;
  ASSERT_EQ(Handle::Connect("127.0.0.1", handed_port, NI_BLOCK, &client), NI_OK);
  ASSERT_EQ(client.Write("hello", 5), NI_OK);
  char buffer[32];
  int received = 0;
  ASSERT_EQ(client.Read(buffer, sizeof buffer, 20000, &received), NI_OK);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(received)), "taken:hello");
  ASSERT_EQ(channel.Read(buffer, sizeof buffer, 20000, &received), NI_OK);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(received)), "done");
  channel.Close();
  int exit_code = -1;
  EXPECT_EQ(parcel::platform::WaitProcess(child, 20000, &exit_code), 0);
  EXPECT_EQ(exit_code, 0);
}

}  // namespace
