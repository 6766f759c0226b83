// The network library's handle table, start and end, codes and failure
// translation.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ni/ni_addr.h"
#include "ni/nii.h"
#include "platform/process.h"
#include "platform/system_info.h"
#include "runtime/thr.h"
#include "tests/ni_test_util.h"

namespace {

using parcel::testing::NetPort;
using parcel::testing::NiTest;

class NiHandles : public NiTest {
 protected:
  NiHdl* Create(bool listening = false) {
    NiHdl* handle = nullptr;
    EXPECT_EQ(NiICreateHandle(&handle, listening), QEL_O_K);
    return handle;
  }
  static int Number(const NiHdl* handle) { return parcel::ni::HandleNumber(handle); }
};

// --- Codes ---------------------------------------------------------------------

TEST_F(NiHandles, CodesHaveNamesAndSharedTexts) {
  struct Case {
    int code;
    const char* name;
    const char* text;
  };
  const Case cases[] = {
      {NIEINTERN, "NIEINTERN", "internal error"},
      {NIEHOST_UNKNOWN, "NIEHOST_UNKNOWN", "hostname '%s' unknown"},
      {NIETIMEOUT, "NIETIMEOUT", "timeout occured"},
      {NIECONN_BROKEN, "NIECONN_BROKEN", "connection to partner '%s' broken"},
      {NIEINVAL, "NIEINVAL",
       "internal error\n(this retcode should be handled by caller of NI-layer)"},
      {NIEQUE_FULL, "NIEQUE_FULL", "Queue overflow"},
      {NIECALL, "NIECALL", "Unexpected function call"},
      {NIEROUT_PERM_DENIED, "NIEROUT_PERM_DENIED", "%s: route permission denied (%s to %s, %s)"},
      {NIEROUT_WLX_FAILURE, "NIEROUT_WLX_FAILURE", "WLX processing failed:\n%s"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(NiIErrorName(c.code), c.name);
    EXPECT_STREQ(NiIErrorText(c.code), c.text);
  }
  // One text, one pointer.
  EXPECT_EQ(NiIErrorText(NIETOO_SMALL), NiIErrorText(NIEINVAL));
  EXPECT_EQ(NiIErrorText(NIEPING), NiIErrorText(NIEWAKEUP));
  EXPECT_EQ(NiIErrorText(NIEROUT_HOST_UNKNOWN), NiIErrorText(NIEHOST_UNKNOWN));
  EXPECT_EQ(NiIErrorText(NIEROUT_INTERN), NiIErrorText(NIEINTERN));
  EXPECT_EQ(NiIErrorText(NIEROUT_WLX_FAILURE), NiIErrorText(NIEWLX_FAILURE));
}

TEST_F(NiHandles, CodesWithoutTextAnswerErrorAndTrace) {
  Trace(1);
  EXPECT_STREQ(NiIErrorText(NIENO_ANSWER), "*** ERROR ***");
  EXPECT_STREQ(NiIErrorText(QEL_O_K), "*** ERROR ***");
  EXPECT_STREQ(NiIErrorText(NIEROUT_EXTERN), "*** ERROR ***");
  EXPECT_STREQ(NiIErrorName(-14), "*** ERROR ***");
  EXPECT_STREQ(NiIErrorName(NIENO_ANSWER), "NIENO_ANSWER");
  EXPECT_EQ(TraceText(),
            "NiIErrorText: unknown error -23\nNiIErrorText: unknown error 0\n"
            "NiIErrorText: unknown error -103\nNiIErrorName: unknown error -14\n");
}

TEST_F(NiHandles, SocketCodeAndCallNames) {
  using namespace parcel::ni;
  EXPECT_STREQ(SiCodeName(SI_ETIMEOUT), "SI_ETIMEOUT");
  EXPECT_STREQ(SiCodeName(SI_EMFILE), "SI_EMFILE");
  EXPECT_EQ(SiCodeName(9), nullptr);
  EXPECT_EQ(SiCodeName(18), nullptr);
  EXPECT_EQ(SiCodeName(-1), nullptr);
  EXPECT_STREQ(SiCallName(kSiCallRecvSocket), "SiRecvSocket");
  EXPECT_STREQ(SiCallSystemCalls(kSiCallRecvSocket), "recv, WSASocket, SetHandleInformation");
  EXPECT_STREQ(SiCallName(kSiCallPeekPendConn), "SiPeekPendConn");
  EXPECT_STREQ(SiCallSystemCalls(kSiCallInit), "TcpipInit");
  EXPECT_STREQ(SiCallName(kSiCallCount), "???");
  EXPECT_STREQ(SiFamilyName(23), "AF_INET6");
  EXPECT_STREQ(SiTypeName(2), "SOCK_DGRAM");
  EXPECT_STREQ(SiFamilyName(10), "???");
}

// --- Start and end -----------------------------------------------------------

TEST_F(NiHandles, CountedStartStartsOnceAndRestarts) {
  ASSERT_EQ(NiInit3(), QEL_O_K);
  NiHdl* const table = parcel::ni::Library().table;
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(NiInit3(), QEL_O_K);
  EXPECT_EQ(NiInit3(), QEL_O_K);
  EXPECT_EQ(parcel::ni::Library().init_count, 3);
  EXPECT_EQ(parcel::ni::Library().table, table);
  EXPECT_EQ(parcel::ni::Library().max_handles, 2048);

  for (int round = 0; round < 3; ++round) {
    NiHdl* handle = Create();
    EXPECT_EQ(Number(handle), 0);
    EXPECT_EQ(NiIExit(), QEL_O_K);
    EXPECT_EQ(parcel::ni::Library().table, nullptr);
    EXPECT_EQ(parcel::ni::NiILiveBlocks(), 0);
    ASSERT_EQ(NiInit3(), QEL_O_K);
  }
}

TEST_F(NiHandles, ThreadCallsBeforeStartAreUnexpected) {
  EXPECT_EQ(NiThrInit(), NIECALL);
  EXPECT_EQ(ErrorText(), "NiThrInit: NI library not initialized (0)");
  EXPECT_STREQ(ErrGetFld(parcel::errinfo::kErrFieldComponent), "NI (network interface)");
  ASSERT_NE(NiIGetThrGlob(), nullptr);  // starts the library
  EXPECT_EQ(parcel::ni::Library().init_count, 1);
}

TEST_F(NiHandles, UseIPv6SetsDefaultAddresses) {
  const NI_NODEADDR mapped_any = parcel::ni::MappedAddress(0, 0, 0, 0);
  const NI_NODEADDR mapped_loop = parcel::ni::MappedAddress(127, 0, 0, 1);
  NI_NODEADDR any{}, loop{};
  loop.addr[15] = 1;

  ASSERT_EQ(NiIInit(16, true), QEL_O_K);
  EXPECT_EQ(std::memcmp(&parcel::ni::Library().any, &any, 16), 0);
  EXPECT_EQ(std::memcmp(&parcel::ni::Library().loopback, &loop, 16), 0);
  parcel::ni::Library().init_count = 1;
  NiHdl* handle = Create();
  EXPECT_EQ(std::memcmp(&handle->peer, &any, 16), 0);
  EXPECT_STREQ(NiAddrToStrStatic(&handle->peer, false), "::");
  ASSERT_EQ(NiIExit(), QEL_O_K);
  EXPECT_EQ(std::memcmp(&parcel::ni::Library().any, &mapped_any, 16), 0);
  EXPECT_EQ(std::memcmp(&parcel::ni::Library().loopback, &mapped_loop, 16), 0);
}

TEST_F(NiHandles, EnvironmentVariableTurnsIPv6On) {
  ASSERT_TRUE(parcel::platform::SetProcessEnvironment("NI_USEIPv6", "1"));
  int rc = NiInit3();
  parcel::platform::SetProcessEnvironment("NI_USEIPv6", nullptr);
  ASSERT_EQ(rc, QEL_O_K);
  EXPECT_TRUE(parcel::ni::Library().ipv6);
  EXPECT_EQ(parcel::ni::Library().loopback.addr[15], 1);
  EXPECT_EQ(parcel::ni::Library().loopback.addr[11], 0);
}

TEST_F(NiHandles, StartThatFindsATableKeepsItsHandles) {
  Trace(1);
  ASSERT_EQ(NiIInit(8, false), QEL_O_K);
  NiHdl* const table = parcel::ni::Library().table;
  NiHdl* handle = Create();
  EXPECT_EQ(NiIInit(8, false), QEL_O_K);
  EXPECT_EQ(parcel::ni::Library().table, table);
  EXPECT_EQ(handle->state, NI_INITIAL_CON);
  EXPECT_NE(TraceText().find("NiIInit: NI already initialized ("), std::string::npos);
}

TEST_F(NiHandles, FailedSocketLayerStartFailsTheCountedStart) {
  parcel::testing::ScriptedSockets script;
  script.startup() = {parcel::platform::kWsaSYSNOTREADY, parcel::platform::kWsaSYSNOTREADY,
                      parcel::platform::kWsaSYSNOTREADY};
  parcel::ni::SiResetQos();
  EXPECT_EQ(NiInit3(), NIEINTERN);
  EXPECT_EQ(parcel::ni::Library().init_count, 0);
  EXPECT_EQ(parcel::ni::Library().table, nullptr);
  EXPECT_STREQ(ErrGetFld(parcel::errinfo::kErrFieldSystemCall), "TcpipInit");
  EXPECT_STREQ(ErrGetFld(parcel::errinfo::kErrFieldErrno), "10091");
  EXPECT_EQ(NiInit3(), QEL_O_K);
}

// --- Create and close --------------------------------------------------------

TEST_F(NiHandles, FreeListIsLastInFirstOut) {
  ASSERT_EQ(NiInit3(), QEL_O_K);
  std::vector<NiHdl*> handles;
  for (int i = 0; i < 10; ++i) {
    handles.push_back(Create(i % 2 == 1));
    EXPECT_EQ(Number(handles.back()), i);
  }
  EXPECT_EQ(handles[1]->state, NI_INITIAL_LIS);
  EXPECT_EQ(handles[1]->listen[0].socket, -1);
  EXPECT_EQ(handles[1]->listen[1].socket, -1);
  EXPECT_EQ(handles[2]->state, NI_INITIAL_CON);
  EXPECT_EQ(handles[2]->sock.socket, -1);
  EXPECT_EQ(handles[2]->blocking, 1);
  EXPECT_EQ(NiICloseHandle(handles[5], false, false), QEL_O_K);
  EXPECT_EQ(handles[5]->state, NI_FREE);
  EXPECT_EQ(Number(Create()), 5);
  EXPECT_EQ(NiICloseHandle(handles[2], false, false), QEL_O_K);
  EXPECT_EQ(NiICloseHandle(handles[7], false, false), QEL_O_K);
  EXPECT_EQ(Number(Create()), 7);
  EXPECT_EQ(Number(Create()), 2);
  EXPECT_EQ(Number(Create()), 10);
}

TEST_F(NiHandles, FullTableRefusesTheNextHandle) {
  Trace(1);
  ASSERT_EQ(NiInit3(), QEL_O_K);
  for (int i = 0; i < 2048; ++i) ASSERT_NE(Create(), nullptr);
  NiHdl* extra = nullptr;
  EXPECT_EQ(NiICreateHandle(&extra, false), NIEINVAL);
  EXPECT_EQ(extra, nullptr);
  EXPECT_EQ(ErrorText(), "NiICreateHandle: no more free handles (2048)");
  EXPECT_TRUE(std::regex_search(
      TraceText(), std::regex(R"(\*\*\* WARNING => NiICreateHandle: no more free handles )"
                              R"(\(2048\) \[ni_handles.c \d+\]\n)")))
      << TraceText();
}

TEST_F(NiHandles, HandleNumbersAreChecked) {
  ASSERT_EQ(NiInit3(), QEL_O_K);
  NiHdl* handle = Create();
  NiHdl* found = nullptr;
  EXPECT_EQ(NiIHandle(0, &found, "NiTest"), QEL_O_K);
  EXPECT_EQ(found, handle);
  for (int bad : {-1, 1, 2047, 2048, 1 << 30}) {
    EXPECT_EQ(NiIHandle(bad, &found, "NiTest"), NIEINVAL) << bad;
    EXPECT_EQ(found, nullptr);
  }
  EXPECT_EQ(ErrorText(), "NiTest: invalid hdl 1073741824");
}

TEST_F(NiHandles, StateChangesAreTraced) {
  ASSERT_EQ(NiInit3(), QEL_O_K);
  NiHdl* quiet = Create();
  NiHdl* traced = Create();
  traced->trace = 1;
  Trace(1);
  parcel::ni::SetState(quiet, NI_LISTEN, "NiTest");  // level 2: not written
  parcel::ni::SetState(traced, NI_CONNECTED, "NiTest");
  parcel::ni::SetState(traced, 99, "NiTest");
  EXPECT_EQ(TraceText(), "NiTest: state of hdl 1 NI_CONNECTED\nNiTest: state of hdl 1 ???\n");
  EXPECT_EQ(quiet->state, NI_LISTEN);
}

TEST_F(NiHandles, CloseWithoutLibraryIsInvalid) {
  NiHdl record{};
  EXPECT_EQ(NiICloseHandle(&record, false, false), NIEINVAL);
  EXPECT_EQ(ErrorText(), "NiICloseHandle: library not initialized");
}

TEST_F(NiHandles, CloseGoesOnWhenTheSocketCloseFails) {
  ASSERT_EQ(NiInit3(), QEL_O_K);
  NiHdl* handle = Create();
  ASSERT_EQ(SiSocket(2, 1, 0, &handle->sock), SI_OK);
  const int descriptor = handle->sock.socket;
  parcel::testing::ScriptedSockets script;
  // Interrupted once (repeated), then refused.
  script.close() = {parcel::platform::kWsaEINTR, parcel::platform::kWsaENETDOWN};
  EXPECT_EQ(NiICloseHandle(handle, false, false), NIEINTERN);
  EXPECT_EQ(handle->state, NI_FREE);
  EXPECT_EQ(handle->sock.socket, -1);
  EXPECT_STREQ(ErrGetFld(parcel::errinfo::kErrFieldSystemCall), "closesocket");
  NI_SOCKREC leftover{descriptor, 2, 1, 0};
  EXPECT_EQ(SiClose(&leftover), SI_OK);
}

// A listening handle bound to a local socket file removes it only when asked.
TEST_F(NiHandles, ListeningCloseRemovesTheLocalFileOnlyWhenAsked) {
  ASSERT_EQ(NiInit3(), QEL_O_K);
  for (bool remove : {false, true}) {
    SCOPED_TRACE(remove);
    NiHdl* handle = Create(true);
    NI_SOCKREC& local = handle->listen[1];
    int si = SiSocket(parcel::platform::kSocketFamilyLocal, 1, 0, &local);
    if (si != SI_OK) GTEST_SKIP() << "no local stream sockets here (error " << local.error << ")";
    parcel::platform::SocketAddress address;
    int length = 0;
    const unsigned port = 40000 + static_cast<unsigned>(parcel::platform::ProcessId() % 20000);
    ASSERT_EQ(NiIMakeSockAddr(handle, &local, nullptr, NetPort(port), &address, &length), QEL_O_K);
    std::remove(address.path);
    ASSERT_EQ(SiBind2(&local, address), SI_OK);
    parcel::ni::SetState(handle, NI_LISTEN, "NiTest");
    FILE* probe = std::fopen(address.path, "rb");
    const bool existed = probe != nullptr || errno != ENOENT;
    if (probe != nullptr) std::fclose(probe);
    ASSERT_TRUE(existed);
    EXPECT_EQ(NiICloseHandle(handle, remove, false), QEL_O_K);
    probe = std::fopen(address.path, "rb");
    const bool exists = probe != nullptr || errno != ENOENT;
    if (probe != nullptr) std::fclose(probe);
    EXPECT_EQ(exists, !remove);
    std::remove(address.path);
  }
}

// --- Dumps ---------------------------------------------------------------------

std::int64_t FixedClock() { return 1700000000; }

TEST_F(NiHandles, DumpBlockOfAConnectedHandle) {
  ASSERT_EQ(NiInit3(), QEL_O_K);
  parcel::ni::SetNiClock(&FixedClock);
  NiHdl* handle = Create();
  parcel::ni::SetNiClock(nullptr);
  ASSERT_EQ(SiSocket(2, 1, 0, &handle->sock), SI_OK);
  const unsigned char loopback[4] = {127, 0, 0, 1};
  ASSERT_EQ(SiBind(&handle->sock, loopback, 4, nullptr), SI_OK);
  parcel::platform::SocketAddress bound;
  ASSERT_EQ(SiGetSockName(&handle->sock, &bound), SI_OK);
  handle->peer = parcel::ni::MappedAddress(10, 1, 2, 3);
  handle->peer_port = NetPort(3200);
  handle->messages_written = 3;
  handle->bytes_written = 4096;
  handle->messages_read = 5000000000ull;
  handle->bytes_read = 7;
  handle->trace = 1;
  parcel::ni::SetState(handle, NI_CONNECTED, "NiTest");

  std::time_t created = 1700000000;
  const std::string expected =
      "\nHANDLE   = 0    \nTIME     = " + std::string(std::asctime(std::localtime(&created))) +
      "SOCKET   = " + std::to_string(handle->sock.socket) +
      "\nSTAT     = NI_CONNECTED\nTYPE     = STREAM IPv4\n"
      "OUT      = 3 messages 4096 bytes\nIN       = 5000000000 messages 7 bytes\n"
      "LOCAL    = 127.0.0.1:" +
      std::to_string(parcel::testing::HostPort(bound.port)) +
      " \nREMOTE   = 10.1.2.3:3200\nOPTIONS  = TRACE \n";
  char buffer[1024];
  ASSERT_EQ(NiIHdlDump(handle, buffer, sizeof buffer), QEL_O_K);
  EXPECT_EQ(std::string(buffer), expected);
  EXPECT_EQ(NiIHdlDump(handle, buffer, expected.size()), NIETOO_SMALL);
  EXPECT_EQ(NiIHdlDump(handle, buffer, expected.size() + 1), QEL_O_K);

  Trace(1);
  NiIWalkNitab();
  EXPECT_EQ(TraceText(), expected);
}

TEST_F(NiHandles, DumpBlockOfAnInitialListeningHandle) {
  ASSERT_EQ(NiInit3(), QEL_O_K);
  NiHdl* handle = Create(true);
  char buffer[1024];
  ASSERT_EQ(NiIHdlDump(handle, buffer, sizeof buffer), QEL_O_K);
  const std::string text = buffer;
  EXPECT_NE(text.find("SOCKET   = -1\nSTAT     = NI_INITIAL_LIS\nTYPE     = INVALID INVALID\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("LOCAL    = - \nREMOTE   = -\nOPTIONS  = \n"), std::string::npos) << text;
}

// --- Failure translation -----------------------------------------------------

TEST_F(NiHandles, MapSiErrorTable) {
  using namespace parcel::ni;
  ASSERT_EQ(NiInit3(), QEL_O_K);
  struct Case {
    int si;
    int call;
    int family;
    int rc;
    const char* error;
  };
  const Case cases[] = {
      {SI_EINVAL, kSiCallShutdown, 2, NIEINVAL, nullptr},
      {SI_EINVAL_SOCK, kSiCallSend, 2, NIEINVAL, nullptr},
      {SI_EINVAL_FAMI, kSiCallBind, 2, NIEINTERN, "internal error"},
      {SI_EINVAL_OPT, kSiCallSetSockOpt, 2, NIEINTERN, "internal error"},
      {SI_EADDR_NAVAIL, kSiCallConnect, 2, NIECONN_REFUSED, "partner '10.1.2.3:3200' not reached"},
      {SI_ECONN_REFUSE, kSiCallPeekPendConn, 2, NIECONN_REFUSED,
       "partner '10.1.2.3:3200' not reached"},
      {SI_EADDR_NAVAIL, kSiCallBind, 2, NIEMYHOST_VERIFY, "verify own hostname '10.1.2.3' failed"},
      {SI_EADDR_NAVAIL, kSiCallBind2, 1, NIESERV_USED, "service '3200' in use"},
      {SI_EPORT_INUSE, kSiCallBind, 23, NIESERV_USED, "service '3200' in use"},
      {SI_ECONN_BROKEN, kSiCallRecv, 2, NIECONN_BROKEN,
       "connection to partner '10.1.2.3:3200' broken"},
      {SI_ETIMEOUT, kSiCallConnect2, 2, NIECONN_REFUSED, "partner '10.1.2.3:3200' not reached"},
      {SI_ETIMEOUT, kSiCallSend, 2, NIETIMEOUT, "timeout occured"},
      {SI_EMFILE, kSiCallSocket, 2, NIEINVAL, nullptr},
      {SI_ESYSCALL, kSiCallSend, 2, NIEINTERN, "internal error"},
      {SI_OK, kSiCallSend, 2, NIEINTERN, "internal error"},
      {42, kSiCallSend, 2, NIEINTERN, "internal error"},
  };
  const NI_NODEADDR peer = MappedAddress(10, 1, 2, 3);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.si << "/" << c.call);
    NI_SOCKREC record{9, c.family, 1, 0};
    EXPECT_EQ(NiIMapSiError(c.si, c.call, nullptr, &record, 10054, nullptr, &peer,
                            parcel::testing::NetPort(3200), "NiTest", "nitest", 1, false),
              c.rc);
    EXPECT_EQ(ErrorText(), c.error != nullptr ? c.error : NiIErrorText(c.rc));
    EXPECT_STREQ(ErrGetFld(parcel::errinfo::kErrFieldComponent), "NI (network interface)");
    EXPECT_STREQ(ErrGetFld(parcel::errinfo::kErrFieldErrno), "10054");
  }
  NI_SOCKREC record{9, 2, 1, 0};
  NiIMapSiError(SI_ECONN_REFUSE, kSiCallConnect, nullptr, &record, 10061, nullptr, &peer, 0,
                "NiTest", "nitest", 1, false);
  EXPECT_STREQ(ErrGetFld(parcel::errinfo::kErrFieldSystemCall), "connect");
  EXPECT_STREQ(ErrGetFld(parcel::errinfo::kErrFieldDetail), "NiPConnect");
}

TEST_F(NiHandles, MapSiErrorTraceLines) {
  using namespace parcel::ni;
  ASSERT_EQ(NiInit3(), QEL_O_K);
  NiHdl* connected = Create();
  connected->sock = NI_SOCKREC{7, 2, 1, 0};
  connected->peer = MappedAddress(10, 1, 2, 3);
  connected->peer_port = NetPort(3200);
  NiHdl* listening = Create(true);
  listening->listen[0] = NI_SOCKREC{11, 23, 1, 0};
  listening->listen[1] = NI_SOCKREC{12, 1, 1, 0};
  Trace(1);
  NiIMapSiError(SI_ECONN_BROKEN, kSiCallRecv, connected, nullptr, 10054, nullptr, nullptr, 0,
                "NiIRead", "nitest", 42, true);
  NiIMapSiError(SI_EPORT_INUSE, kSiCallBind, listening, &listening->listen[0], 10048, nullptr,
                nullptr, NetPort(3200), "NiIListen", "nitest", 7, true);
  NiIMapSiError(SI_ESYSCALL, kSiCallInit, nullptr, nullptr, 10091, nullptr, nullptr, 0, "NiIInit",
                "nitest", 9, true);
  // Each failure is one error line (the error information adds its own log
  // line, whose system text differs between platforms).
  const std::string text = TraceText();
  for (const char* line :
       {"*** ERROR => NiIRead: SiRecv failed for hdl 0 / sock 7\n"
        "    (SI_ECONN_BROKEN/10054; I4; ST; 10.1.2.3:3200) [nitest       42]\n",
        "*** ERROR => NiIListen: SiBind failed for hdl 1 / sock 11 - sock 12\n"
        "    (SI_EPORT_INUSE/10048; I6; ST) [nitest       7]\n",
        "*** ERROR => NiIInit: SiInit failed (SI_ESYSCALL/10091) [nitest       9]\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin\n" << text;
  }

  // The three switches keep the line out but not the error information.
  Library().settings.trace_recv_broken = false;
  Library().settings.trace_send_broken = false;
  Library().settings.trace_shutdown_inval = false;
  const std::string before = TraceText();
  ErrClear();
  EXPECT_EQ(NiIMapSiError(SI_ECONN_BROKEN, kSiCallRecv, connected, nullptr, 10054, nullptr, nullptr,
                          0, "NiIRead", "nitest", 42, true),
            NIECONN_BROKEN);
  EXPECT_EQ(NiIMapSiError(SI_ECONN_BROKEN, kSiCallSendV, connected, nullptr, 10054, nullptr,
                          nullptr, 0, "NiIWrite", "nitest", 42, true),
            NIECONN_BROKEN);
  EXPECT_EQ(NiIMapSiError(SI_EINVAL, kSiCallShutdown, connected, nullptr, 10022, nullptr, nullptr,
                          0, "NiIShutdown", "nitest", 42, true),
            NIEINVAL);
  EXPECT_EQ(TraceText(), before);
  EXPECT_TRUE(ErrHasInfo());
}

// --- Threads and leaks ---------------------------------------------------------

TEST_F(NiHandles, EightThreadsCreateAndCloseWithoutCorruption) {
  parcel::runtime::EnableThreadServices();
  ASSERT_EQ(NiIInit(64, false), QEL_O_K);
  parcel::ni::Library().init_count = 1;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 2000; ++i) {
        NiHdl* handles[4] = {};
        for (int k = 0; k < 4; ++k) {
          if (NiICreateHandle(&handles[k], k == 3) != QEL_O_K) {
            ++failures;
            continue;
          }
          handles[k]->peer_port = static_cast<std::uint16_t>(t * 16 + k);
        }
        for (int k = 0; k < 4; ++k) {
          if (handles[k] == nullptr) continue;
          if (handles[k]->peer_port != t * 16 + k) ++failures;  // someone else's record
          if (NiICloseHandle(handles[k], false, false) != QEL_O_K) ++failures;
        }
        if (i % 256 == 0) (void)NiIGetThrGlob();
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(parcel::ni::Library().free_count, 64);
  EXPECT_EQ(parcel::ni::Library().used_head, nullptr);
  std::vector<bool> seen(64, false);
  for (int i = 0; i < 64; ++i) {
    const int number = parcel::ni::Library().free_list[i];
    ASSERT_TRUE(number >= 0 && number < 64);
    EXPECT_FALSE(seen[number]) << number;
    seen[number] = true;
  }
}

TEST_F(NiHandles, ThousandCyclesLeaveNoDescriptorOrBlock) {
  const int descriptors = parcel::platform::OpenDescriptorCount();
  ASSERT_EQ(NiInit3(), QEL_O_K);
  const std::int64_t blocks = parcel::ni::NiILiveBlocks();
  const unsigned char loopback[4] = {127, 0, 0, 1};
  for (int i = 0; i < 1000; ++i) {
    NiHdl* handle = Create(i % 2 == 0);
    NI_SOCKREC& record = i % 2 == 0 ? handle->listen[0] : handle->sock;
    ASSERT_EQ(SiSocket(2, 1, 0, &record), SI_OK);
    ASSERT_EQ(SiBind(&record, loopback, 4, nullptr), SI_OK);
    parcel::ni::SetState(handle, i % 2 == 0 ? NI_LISTEN : NI_CONNECTED, "NiTest");
    ASSERT_EQ(NiICloseHandle(handle, false, false), QEL_O_K);
  }
  EXPECT_EQ(parcel::ni::NiILiveBlocks(), blocks);
  ASSERT_EQ(NiIExit(), QEL_O_K);
  EXPECT_EQ(parcel::ni::NiILiveBlocks(), 0);
  EXPECT_EQ(parcel::platform::OpenDescriptorCount(), descriptors);
}

}  // namespace
