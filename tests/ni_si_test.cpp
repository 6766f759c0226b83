// The network library's socket layer (start, sockets, binding, closing, the
// socket lists, quality of service) and its address texts.
#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "ni/ni_addr.h"
#include "ni/si.h"
#include "platform/process.h"
#include "platform/system_info.h"
#include "tests/ni_test_util.h"

namespace {

namespace platform = parcel::platform;
using parcel::testing::NetPort;
using parcel::testing::NiTest;
using parcel::testing::ScriptedSockets;

class SiLayer : public NiTest {
 protected:
  void SetUp() override {
    NiTest::SetUp();
    ASSERT_EQ(SiInit(nullptr), SI_OK);
  }
  void TearDown() override {
    for (NI_SOCKREC& record : open_) {
      if (record.socket >= 0) (void)SiClose(&record);
    }
    (void)SiExit(nullptr);
    NiTest::TearDown();
  }
  NI_SOCKREC& Open(int family = platform::kSocketFamilyIPv4) {
    open_.push_back(NI_SOCKREC{-1, 0, 0, 0});
    EXPECT_EQ(SiSocket(family, platform::kSocketTypeStream, 0, &open_.back()), SI_OK);
    return open_.back();
  }
  std::deque<NI_SOCKREC> open_;  // references stay valid as it grows
};

TEST_F(SiLayer, SecondStartDoesNothing) {
  ScriptedSockets script;
  EXPECT_EQ(SiInit(nullptr), SI_OK);
  EXPECT_EQ(script.startups(), 0);
  EXPECT_TRUE(parcel::ni::SiIsStarted());
  EXPECT_TRUE(parcel::ni::SiQosState().done);
}

TEST_F(SiLayer, StartFallsBackToVersionOneOneAndReportsFailures) {
  ScriptedSockets script;
  ASSERT_EQ(SiExit(nullptr), SI_OK);
  script.startup() = {platform::kWsaVERNOTSUPPORTED};
  EXPECT_EQ(SiInit(nullptr), SI_OK);
  EXPECT_EQ(script.startups(), 2);
  ASSERT_EQ(SiExit(nullptr), SI_OK);

  script.startup() = {platform::kWsaSYSNOTREADY};
  int error = 0;
  EXPECT_EQ(SiInit(&error), SI_ESYSCALL);
  EXPECT_EQ(error, platform::kWsaSYSNOTREADY);
  EXPECT_FALSE(parcel::ni::SiIsStarted());
  EXPECT_EQ(SiExit(&error), SI_OK);  // not started: nothing to stop
  EXPECT_EQ(SiInit(nullptr), SI_OK);

  script.cleanup() = {platform::kWsaENETDOWN};
  EXPECT_EQ(SiExit(&error), SI_ESYSCALL);
  EXPECT_EQ(error, platform::kWsaENETDOWN);
  EXPECT_EQ(SiInit(nullptr), SI_OK);
}

// The set-up keeps providers only when asked to and on a system that has
// them; what it keeps serves every stream socket, also after a restart.
TEST_F(SiLayer, QualityOfServiceProvidersAreKeptOnlyWhenEnabled) {
  ScriptedSockets script;
  script.set_qos(true, true);
  for (bool enable : {false, true}) {
    SCOPED_TRACE(enable);
    ASSERT_EQ(SiExit(nullptr), SI_OK);
    parcel::ni::SiResetQos();
    platform::SetProcessEnvironment("QOSENABLE", enable ? "1" : nullptr);
    platform::SetProcessEnvironment("QOSPOLICYLOCATOR", "GUID=test");
    ASSERT_EQ(SiInit(nullptr), SI_OK);
    platform::SetProcessEnvironment("QOSENABLE", nullptr);
    platform::SetProcessEnvironment("QOSPOLICYLOCATOR", nullptr);
    const bool kept = enable && platform::IsNtFamilyAtLeast(5);
    const parcel::ni::QosState& qos = parcel::ni::SiQosState();
    EXPECT_EQ(qos.have_tcp, kept);
    EXPECT_EQ(qos.identity_length > 0, kept);
    if (kept) {
      EXPECT_STREQ(qos.policy_locator, "GUID=test");
      EXPECT_STREQ(qos.application, "parcel");
    }
    NI_SOCKREC record{-1, 0, 0, 0};
    ASSERT_EQ(SiSocket(2, 1, 0, &record), SI_OK);
    EXPECT_EQ(script.last_provider() != nullptr, kept);
    EXPECT_EQ(SiClose(&record), SI_OK);
  }
  parcel::ni::SiResetQos();
}

TEST_F(SiLayer, QualityOfServiceWithoutTcpProviderIsDone) {
  ScriptedSockets script;
  script.set_qos(false, true);
  ASSERT_EQ(SiExit(nullptr), SI_OK);
  parcel::ni::SiResetQos();
  ASSERT_EQ(SiInit(nullptr), SI_OK);
  EXPECT_TRUE(parcel::ni::SiQosState().done);
  EXPECT_FALSE(parcel::ni::SiQosState().have_udp);
  parcel::ni::SiResetQos();
}

TEST(SiQosIdentity, LayoutOfTheIdentityObject) {
  unsigned char out[64];
  ASSERT_EQ(parcel::ni::BuildQosIdentity("loc", "app", out, sizeof out), 32u);
  const unsigned char expected[32] = {
      0xE9, 0x03, 0, 0, 32,  0,   0,   0,  // type 1001, length 32
      1,    0,    0, 0,                    // one policy element
      20,   0,    0, 3,                    // element length 20, type 3 (network order)
      0,    8,    1, 1, 'l', 'o', 'c', 0,  // policy locator: length 8, type 1, subtype 1
      0,    8,    2, 1, 'a', 'p', 'p', 0,  // application: length 8, type 2, subtype 1
  };
  EXPECT_EQ(std::memcmp(out, expected, sizeof expected), 0);
  // Padding to four bytes: a five-character text takes 12 bytes.
  ASSERT_EQ(parcel::ni::BuildQosIdentity("locat", "", out, sizeof out), 36u);
  EXPECT_EQ(out[17], 10);
  EXPECT_EQ(out[28 + 1], 5);
  EXPECT_EQ(parcel::ni::BuildQosIdentity("loc", "app", out, 31), 0u);
}

TEST_F(SiLayer, SocketFailuresMapToCodes) {
  ScriptedSockets script;
  const struct {
    int error;
    int si;
  } cases[] = {
      {platform::kWsaEINTR, SI_EINTR},
      {platform::kWsaEMFILE, SI_EMFILE},
      {platform::kWsaEPROTOTYPE, SI_EINVAL},
      {platform::kWsaEPROTONOSUPPORT, SI_EINVAL},
      {platform::kWsaESOCKTNOSUPPORT, SI_EINVAL},
      {platform::kWsaEAFNOSUPPORT, SI_EINVAL},
      {platform::kWsaENOBUFS, SI_EMEMORY},
      {platform::kWsaENETDOWN, SI_ESYSCALL},
  };
  for (const auto& c : cases) {
    script.open() = {c.error};
    NI_SOCKREC record{-1, 0, 0, 0};
    EXPECT_EQ(SiSocket(2, 1, 0, &record), c.si) << c.error;
    EXPECT_EQ(record.error, c.error);
    EXPECT_EQ(record.socket, -1);
  }
}

TEST_F(SiLayer, OversizedDescriptorIsRefused) {
  if constexpr (sizeof(platform::SocketHandle) <= 4) {
    GTEST_SKIP() << "descriptors are 32-bit here";
  } else {
    ScriptedSockets script;
    Trace(1);
    script.set_fake_handle(static_cast<platform::SocketHandle>(std::uint64_t{1} << 32));
    script.close() = {platform::kWsaENOTSOCK};
    NI_SOCKREC record{-1, 0, 0, 0};
    EXPECT_EQ(SiSocket(2, 1, 0, &record), SI_EINTERN);
    EXPECT_EQ(record.error, parcel::ni::kSiErrInternal);
    EXPECT_EQ(record.socket, -1);
    EXPECT_NE(TraceText().find("SiSocket: socket number too big ("), std::string::npos);
    EXPECT_TRUE(script.close().empty());  // the socket was closed
  }
}

TEST_F(SiLayer, BindChecksFamilyAndLength) {
  NI_SOCKREC& ipv4 = Open();
  const unsigned char sixteen[16] = {};
  EXPECT_EQ(SiBind(&ipv4, sixteen, 16, nullptr), SI_EINTERN);
  EXPECT_EQ(ipv4.error, parcel::ni::kSiErrInternal);
  NI_SOCKREC local{5, platform::kSocketFamilyLocal, 1, 0};
  EXPECT_EQ(SiBind(&local, nullptr, 0, nullptr), SI_EINVAL_FAMI);
  EXPECT_EQ(local.error, parcel::ni::kSiErrFamily);
}

TEST_F(SiLayer, BindToWildcardGetsASystemPort) {
  NI_SOCKREC& record = Open();
  ASSERT_EQ(SiBind(&record, nullptr, 0, nullptr), SI_OK);
  platform::SocketAddress bound;
  ASSERT_EQ(SiGetSockName(&record, &bound), SI_OK);
  EXPECT_NE(bound.port, 0);
  EXPECT_EQ(std::memcmp(bound.address, "\0\0\0\0", 4), 0);

  NI_SOCKREC& second = Open();
  const unsigned char any[4] = {};
  EXPECT_EQ(SiBind(&second, any, 4, &bound.port), SI_EPORT_INUSE);
  EXPECT_EQ(second.error, platform::kWsaEADDRINUSE);
}

TEST_F(SiLayer, BindFailuresMapToCodes) {
  ScriptedSockets script;
  NI_SOCKREC& record = Open();
  const struct {
    int error;
    int si;
  } cases[] = {
      {platform::kWsaEINTR, SI_EINTR},
      {platform::kWsaEACCES, SI_EPORT_INUSE},
      {platform::kWsaEADDRINUSE, SI_EPORT_INUSE},
      {platform::kWsaEINVAL, SI_EINVAL},
      {platform::kWsaENOTSOCK, SI_EINVAL_SOCK},
      {platform::kWsaEADDRNOTAVAIL, SI_EADDR_NAVAIL},
      {platform::kWsaENETDOWN, SI_ESYSCALL},
  };
  for (const auto& c : cases) {
    script.bind() = {c.error};
    EXPECT_EQ(SiBind(&record, nullptr, 0, nullptr), c.si) << c.error;
    EXPECT_EQ(record.error, c.error);
  }
}

TEST_F(SiLayer, CloseTakesTheSocketOffBothLists) {
  NI_SOCKREC record = Open();
  open_.clear();
  ASSERT_TRUE(parcel::ni::SiListInsert(parcel::ni::SiList::kBroken, record.socket));
  ASSERT_TRUE(parcel::ni::SiListInsert(parcel::ni::SiList::kInProgress, record.socket));
  ASSERT_TRUE(parcel::ni::SiListInsert(parcel::ni::SiList::kBroken, record.socket + 1000));
  EXPECT_EQ(SiClose(&record), SI_OK);
  EXPECT_FALSE(parcel::ni::SiListContains(parcel::ni::SiList::kBroken, record.socket));
  EXPECT_FALSE(parcel::ni::SiListContains(parcel::ni::SiList::kInProgress, record.socket));
  EXPECT_TRUE(parcel::ni::SiListContains(parcel::ni::SiList::kBroken, record.socket + 1000));
  EXPECT_EQ(SiClose(&record), SI_EINVAL_SOCK);  // already closed
}

TEST_F(SiLayer, ListsStaySortedAndBounded) {
  using parcel::ni::SiList;
  for (int socket : {50, 10, 30, 10, 20, 40}) {
    EXPECT_TRUE(parcel::ni::SiListInsert(SiList::kInProgress, socket));
  }
  EXPECT_EQ(parcel::ni::SiListSize(SiList::kInProgress), 5u);
  EXPECT_FALSE(parcel::ni::SiListRemove(SiList::kInProgress, 35));
  EXPECT_TRUE(parcel::ni::SiListRemove(SiList::kInProgress, 30));
  for (int socket : {10, 20, 40, 50}) {
    EXPECT_TRUE(parcel::ni::SiListContains(SiList::kInProgress, socket)) << socket;
  }
  for (int i = 0; i < static_cast<int>(parcel::ni::kSiListCapacity); ++i) {
    ASSERT_TRUE(parcel::ni::SiListInsert(SiList::kBroken, 2 * i));
  }
  EXPECT_FALSE(parcel::ni::SiListInsert(SiList::kBroken, 1));
  EXPECT_TRUE(parcel::ni::SiListInsert(SiList::kBroken, 0));  // present already
  EXPECT_TRUE(parcel::ni::SiListRemove(SiList::kBroken, 2 * 100));
  EXPECT_TRUE(parcel::ni::SiListInsert(SiList::kBroken, 1));
}

// --- Address and port texts ------------------------------------------------------

class NiAddresses : public NiTest {
 protected:
  void Start(bool ipv6) {
    ASSERT_EQ(NiIInit(16, ipv6), QEL_O_K);
    parcel::ni::Library().init_count = 1;
  }
};

NI_NODEADDR V6(std::initializer_list<int> bytes) {
  NI_NODEADDR address{};
  int i = 0;
  for (int b : bytes) address.addr[i++] = static_cast<unsigned char>(b);
  return address;
}

TEST_F(NiAddresses, AddressTexts) {
  const NI_NODEADDR mapped = parcel::ni::MappedAddress(10, 1, 2, 3);
  const NI_NODEADDR loop6 = V6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  const NI_NODEADDR doc = V6({0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xab, 0xcd});
  struct Case {
    bool ipv6;
    const NI_NODEADDR* address;
    bool short_form;
    int length;
    int rc;
    const char* text;
  };
  const Case cases[] = {
      {true, &mapped, true, 16, QEL_O_K, "10.1.2.3"},
      {true, &mapped, false, 46, QEL_O_K, "::ffff:10.1.2.3"},
      {false, &mapped, false, 16, QEL_O_K, "10.1.2.3"},  // short form without IPv6
      {true, &mapped, true, 15, NIEINVAL,
       "NiAddrToStr: parameter invalid (bufferLen < NI_IPv4ADDR_STR_LEN)"},
      {true, &mapped, false, 45, NIEINVAL,
       "NiAddrToStr: parameter invalid (bufferLen < NI_NODEADDR_STR_LEN)"},
      {true, nullptr, true, 16, QEL_O_K, "0.0.0.0"},
      {true, nullptr, false, 46, QEL_O_K, "::"},
      {true, &loop6, true, 46, QEL_O_K, "::1"},
      {true, &doc, false, 46, QEL_O_K, "2001:db8::abcd"},
      {false, &doc, true, 16, NIEINVAL,
       "NiAddrToStr: parameter invalid (bufferLen < NI_NODEADDR_STR_LEN)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    NiIExit();
    Start(c.ipv6);
    char buffer[64];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(NiAddrToStr(c.address, buffer, c.length, c.short_form), c.rc);
    if (c.rc == QEL_O_K) {
      EXPECT_STREQ(buffer, c.text);
    } else {
      EXPECT_EQ(ErrorText(), c.text);
      EXPECT_EQ(buffer[0], '#');
    }
  }
  EXPECT_EQ(NiAddrToStr(&mapped, nullptr, 46, true), NIEINVAL);
  EXPECT_EQ(ErrorText(), "NiAddrToStr: parameter invalid (pNodeAddrStr == NULL)");
}

TEST_F(NiAddresses, PortTexts) {
  struct Case {
    unsigned port;
    const char* text;
    const char* long_text;
  };
  const Case cases[] = {{80, "80", "00.50/0080"},
                        {3200, "3200", "0C.80/3200"},
                        {0, "0", "00.00/0000"},
                        {65535, "65535", "FF.FF/65535"}};
  for (const Case& c : cases) {
    char buffer[16];
    EXPECT_EQ(NiSrvToStr2(NetPort(c.port), buffer, 6), QEL_O_K);
    EXPECT_STREQ(buffer, c.text);
    EXPECT_EQ(NiSrvToStrL2(NetPort(c.port), buffer, 12), QEL_O_K);
    EXPECT_STREQ(buffer, c.long_text);
  }
  char buffer[16];
  EXPECT_EQ(NiSrvToStr2(NetPort(80), buffer, 5), NIEINVAL);
  EXPECT_EQ(ErrorText(), "NiSrvToStr2: parameter invalid (bufferLen < NI_SERVNO_STR_LEN)");
  EXPECT_EQ(NiSrvToStrL2(NetPort(80), buffer, 11), NIEINVAL);
  EXPECT_EQ(ErrorText(), "NiSrvToStrL2: parameter invalid (bufferLen < NI_SERVNO_STR_L_LEN)");
  EXPECT_EQ(NiSrvToStrL2(NetPort(80), nullptr, 12), NIEINVAL);
  EXPECT_EQ(ErrorText(), "NiSrvToStrL2: parameter invalid (pServNoStr == NULL)");
}

TEST_F(NiAddresses, StaticTextsAreKeptPerThread) {
  Start(false);
  const NI_NODEADDR a = parcel::ni::MappedAddress(192, 0, 2, 1);
  const char* mine = NiAddrToStrStatic(&a, true);
  EXPECT_STREQ(mine, "192.0.2.1");
  const char* theirs = nullptr;
  std::string theirs_text;
  std::thread([&] {
    const NI_NODEADDR b = parcel::ni::MappedAddress(10, 0, 0, 1);
    theirs = NiAddrToStrStatic(&b, true);
    theirs_text = theirs;
  }).join();
  EXPECT_NE(theirs, mine);
  EXPECT_EQ(theirs_text, "10.0.0.1");
  EXPECT_STREQ(mine, "192.0.2.1");
}

TEST_F(NiAddresses, SocketAddressesOfTheThreeFamilies) {
  Start(false);
  const NI_NODEADDR mapped = parcel::ni::MappedAddress(10, 1, 2, 3);
  const NI_NODEADDR loop6 = V6({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
  platform::SocketAddress out;
  int length = 0;
  NI_SOCKREC v4{-1, 2, 1, 0}, v6{-1, 23, 1, 0}, local{-1, 1, 1, 0}, other{-1, 5, 1, 0};

  ASSERT_EQ(NiIMakeSockAddr(nullptr, &v4, &mapped, NetPort(80), &out, &length), QEL_O_K);
  EXPECT_EQ(length, 4);
  EXPECT_EQ(std::memcmp(out.address, "\x0a\x01\x02\x03", 4), 0);
  EXPECT_EQ(out.port, NetPort(80));

  EXPECT_EQ(NiIMakeSockAddr(nullptr, &v4, &loop6, NetPort(80), &out, &length), NIEINVAL);
  EXPECT_EQ(ErrorText(), "NiIMakeSockAddr: socket does not support IPv6");

  ASSERT_EQ(NiIMakeSockAddr(nullptr, &v6, &loop6, NetPort(80), &out, &length), QEL_O_K);
  EXPECT_EQ(length, 16);
  EXPECT_EQ(out.address[15], 1);

  ASSERT_EQ(NiIMakeSockAddr(nullptr, &local, nullptr, NetPort(3600), &out, &length), QEL_O_K);
  EXPECT_EQ(length, 108);
  EXPECT_STREQ(out.path, "/tmp/.qelstream3600");

  EXPECT_EQ(NiIMakeSockAddr(nullptr, &other, nullptr, 0, &out, &length), NIEINVAL);
  EXPECT_EQ(ErrorText(), "NiIMakeSockAddr: invalid family 5");

  // And back.
  NI_NODEADDR node;
  std::uint16_t port = 0;
  platform::SocketAddress in;
  in.family = 2;
  std::memcpy(in.address, "\x0a\x01\x02\x03", 4);
  in.port = NetPort(3200);
  ASSERT_EQ(NiISolveSockAddr(nullptr, &v4, in, &node, &port, nullptr, 0), QEL_O_K);
  EXPECT_EQ(std::memcmp(&node, &mapped, 16), 0);
  EXPECT_EQ(port, NetPort(3200));
  in = platform::SocketAddress{};
  in.family = 1;
  std::snprintf(in.path, sizeof in.path, "/tmp/.qelstream3600");
  char path[108];
  ASSERT_EQ(NiISolveSockAddr(nullptr, &local, in, &node, &port, path, sizeof path), QEL_O_K);
  EXPECT_STREQ(path, "/tmp/.qelstream3600");
  EXPECT_EQ(port, 0);
  EXPECT_EQ(std::memcmp(&node, &parcel::ni::Library().loopback, 16), 0);
  in.family = 7;
  EXPECT_EQ(NiISolveSockAddr(nullptr, &local, in, &node, &port, path, sizeof path), NIEINVAL);
}

TEST_F(NiAddresses, WarningsOfSocketAddresses) {
  Start(false);
  Trace(2);
  NI_SOCKREC v6{-1, 23, 1, 0};
  const NI_NODEADDR zero = parcel::ni::MappedAddress(0, 0, 0, 0);
  platform::SocketAddress out;
  int length = 0;
  ASSERT_EQ(NiIMakeSockAddr(nullptr, &v6, &zero, 0, &out, &length), QEL_O_K);
  ASSERT_EQ(NiIMakeSockAddr(nullptr, &v6, &zero, 0, &out, &length), QEL_O_K);
  const std::string text = TraceText();
  const std::string order =
      "NiIMakeSockAddr: CPU byte order: little endian, reverse network, "
      "low val .. high val\n";
  EXPECT_EQ(text.find(order), text.rfind(order));  // at most once per process
  const std::string warning =
      "NiIMakeSockAddr: probably requested address 0.0.0.0 can't be assign to IPv6 socket "
      "(hdl -1 / sock -1; USES_IPv6=0)\n";
  EXPECT_NE(text.find(warning), std::string::npos) << text;
  EXPECT_NE(text.find(warning), text.rfind(warning));
}

}  // namespace
