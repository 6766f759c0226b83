// The network library's host and service name caches: both implementations
// through their operation table over a scripted resolver and clock, the
// resolver calls' work buffers, the library's entry points, real look-ups of
// the machine's own names, the local address check, and threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "ni/ni_addr.h"
#include "ni/ni_hostcache.h"
#include "ni/nii.h"
#include "platform/alloc_hook.h"
#include "platform/resolver.h"
#include "runtime/mem.h"
#include "runtime/thr.h"
#include "tests/ni_fake_resolver.h"
#include "tests/ni_test_util.h"

namespace {

using parcel::ni::HsCache;
using parcel::ni::HsOps;
using parcel::ni::kNiHsL6Ops;
using parcel::ni::kNiHsLOps;
using parcel::testing::Address;
using parcel::testing::FakeHost;
using parcel::testing::FakeResolver;
using parcel::testing::NetPort;
using parcel::testing::Node;
using parcel::testing::V4;

constexpr std::int64_t kStart = 1700000000;
std::atomic<std::int64_t> g_now{kStart};
std::atomic<std::int64_t> g_micros{0};
std::int64_t Now() { return g_now.load(); }
std::int64_t Micros() { return g_micros.load(); }

const Address kV6 = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
const Address kV6Other = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2};

// "h7": a prefix and a number.
std::string Numbered(const char* prefix, long long k) {
  std::string text = prefix;
  text += std::to_string(k);
  return text;
}

// The system's text of an address ("::ffff:10.1.2.3" for IPv4-mapped).
std::string Text(const NI_NODEADDR& address) {
  char text[NI_NODEADDR_STR_LEN];
  EXPECT_EQ(parcel::platform::AddressToNumericText(address.addr, text, sizeof text), 0);
  return text;
}

// A cache of either implementation over the scripted resolver and clock,
// with the library started (IPv4 unless a test restarts it).
class NiNames : public parcel::testing::NiTest {
 protected:
  void SetUp() override {
    NiTest::SetUp();
    g_now = kStart;
    g_micros = 0;
    parcel::ni::SetNiClock(&Now);
    ASSERT_EQ(NiInit3(), QEL_O_K);
    blocks_ = parcel::ni::NiILiveBlocks();
  }
  void TearDown() override {
    parcel::ni::HsFree(cache_);
    cache_ = nullptr;
    EXPECT_EQ(parcel::ni::NiILiveBlocks(), blocks_);
    parcel::platform::ClearAllocFailure();
    parcel::ni::SetNiClock(nullptr);
    NiTest::TearDown();
  }
  // Restarts the library with or without IPv6.
  void Restart(bool ipv6) {
    ASSERT_EQ(NiIExit(), QEL_O_K);
    ASSERT_EQ(NiIInit(16, ipv6), QEL_O_K);
    parcel::ni::Library().init_count = 1;
    blocks_ = parcel::ni::NiILiveBlocks();
  }
  HsCache* Make(const HsOps& ops, int entries = 100) {
    parcel::ni::HsFree(cache_);
    cache_ = parcel::ni::HsCreate(&ops);
    const int timeouts[6] = {0, 600, 600, 0, 600, 600};
    EXPECT_EQ(ops.init(cache_, entries, timeouts), QEL_O_K);
    return cache_;
  }
  static void Advance(std::int64_t seconds) { g_now += seconds; }

  int Forward(const char* name, NI_NODEADDR* out = nullptr, int mode = 0, bool ipv4 = true) {
    NI_NODEADDR ignored;
    return cache_->ops->get_node_addr(cache_, name, out != nullptr ? out : &ignored, mode, ipv4);
  }
  int Reverse(const Address& address, std::string* name = nullptr, bool fq = false, int mode = 0) {
    const NI_NODEADDR node = Node(address);
    char buffer[128] = "";
    const int rc = cache_->ops->get_host_name(cache_, &node, buffer, sizeof buffer, fq, mode);
    if (name != nullptr) *name = buffer;
    return rc;
  }
  int ServNo(const char* name, unsigned* port = nullptr, int mode = 0) {
    std::uint16_t value = 0;
    const int rc = cache_->ops->get_serv_no(cache_, name, &value, mode);
    if (port != nullptr) *port = parcel::testing::HostPort(value);
    return rc;
  }
  int ServName(unsigned port, int mode = 0) {
    char buffer[64];
    return cache_->ops->get_serv_name(cache_, NetPort(port), buffer, sizeof buffer, mode);
  }
  // Every host line (or service line) of a dump.
  std::vector<std::string> Dump(bool hosts) {
    std::vector<std::string> lines;
    cache_->ops->dump_begin(cache_);
    char line[256];
    int rc;
    while ((rc = (hosts ? cache_->ops->dump_host_line : cache_->ops->dump_serv_line)(
                cache_, line, sizeof line)) == QEL_O_K) {
      lines.emplace_back(line);
    }
    EXPECT_EQ(rc, parcel::ni::kHsNoMore);
    cache_->ops->dump_end(cache_);
    return lines;
  }
  bool Traced(const std::string& text) const { return TraceText().find(text) != std::string::npos; }

  FakeResolver resolver_;
  HsCache* cache_ = nullptr;
  std::int64_t blocks_ = 0;
};

// The cases both implementations answer alike.
// The parameter: the IPv6 implementation.
class NiNamesBoth : public NiNames, public ::testing::WithParamInterface<bool> {
 protected:
  const HsOps& Ops() const { return GetParam() ? kNiHsL6Ops : kNiHsLOps; }
  // The trace name of an implementation's operation ("NiHsLGetNodeAddr").
  std::string Name(const char* operation) const {
    return std::string(GetParam() ? "NiHsL6" : "NiHsL") + operation;
  }
};

INSTANTIATE_TEST_SUITE_P(Implementations, NiNamesBoth, ::testing::Bool(),
                         [](const auto& p) { return std::string(p.param ? "IPv6" : "IPv4"); });

// --- Expiry, modes, limits --------------------------------------------------------

TEST_P(NiNamesBoth, EachNegativeAnswerLastsItsRetryTimeThenIsAskedAgain) {
  Make(Ops());
  Trace(2);
  struct Case {
    const char* what;
    std::function<int()> ask;
    int unknown;
    const char* retry_line;
  };
  const Case cases[] = {
      {"host name", [&] { return Forward("gone.invalid"); }, NIEHOST_UNKNOWN,
       ": retrying to get address for 'gone.invalid'\n"},
      {"address", [&] { return Reverse(V4(192, 0, 2, 9)); }, NIEHOST_UNKNOWN,
       ": retrying to get hostname for '192.0.2.9'\n"},
      {"service", [&] { return ServNo("nosuch"); }, NIESERV_UNKNOWN,
       ": retrying to get port number for 'nosuch'\n"},
      {"port", [&] { return ServName(9); }, NIESERV_UNKNOWN,
       ": retrying to get service name for '9'\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_now = kStart;
    const int before = resolver_.calls();
    EXPECT_EQ(c.ask(), c.unknown);
    EXPECT_EQ(c.ask(), c.unknown);
    Advance(599);
    EXPECT_EQ(c.ask(), c.unknown);
    EXPECT_EQ(resolver_.calls(), before + 1);
    Advance(1);
    EXPECT_EQ(c.ask(), c.unknown);
    EXPECT_EQ(resolver_.calls(), before + 2);
    EXPECT_TRUE(Traced(c.retry_line)) << TraceText();
  }
  // The retries reused their entries.
  EXPECT_EQ(Dump(true).size(), 2u);
  EXPECT_EQ(Dump(false).size(), 2u);
  EXPECT_EQ(ErrorText(), "service '9' unknown");
  EXPECT_TRUE(Traced(Name("GetNodeAddr") + ": hostname cached as unknown\n"));
}

TEST_P(NiNamesBoth, HundredAndFirstNameOverwritesEntryZero) {
  Make(Ops());
  for (int i = 0; i <= 100; ++i) {
    resolver_.Host(Numbered("h", i), {V4(10, 0, 0, static_cast<std::uint8_t>(i))});
    resolver_.Service(Numbered("s", i), 1000 + static_cast<unsigned>(i));
  }
  Trace(2);
  for (int i = 0; i < 100; ++i) {
    ASSERT_EQ(Forward((Numbered("h", i)).c_str()), QEL_O_K);
    ASSERT_EQ(ServNo((Numbered("s", i)).c_str()), QEL_O_K);
  }
  EXPECT_FALSE(Traced("overflow"));
  NI_NODEADDR address;
  ASSERT_EQ(Forward("h100", &address), QEL_O_K);
  ASSERT_EQ(ServNo("s100"), QEL_O_K);
  EXPECT_TRUE(Traced(Name("GetNodeAddr") + ": hostbuf overflow\n"));
  EXPECT_TRUE(Traced(Name("GetServNo") + ": servbuf overflow\n"));
  EXPECT_EQ(Dump(true).front(), "0\tVALID\t \t10.0.0.100\t~\th100\n");
  EXPECT_EQ(Dump(false).front(), "0\tVALID\t04.4C/1100\ts100\n");
  const int calls = resolver_.calls();
  EXPECT_EQ(Forward("h1"), QEL_O_K);
  EXPECT_EQ(resolver_.calls(), calls);
  EXPECT_EQ(Forward("h0"), QEL_O_K);
  EXPECT_EQ(resolver_.calls(), calls + 1);
}

TEST_P(NiNamesBoth, ModesDecideWhoAnswers) {
  Make(Ops());
  // Answers whose entries serve no other look-up here: the forward entry
  // is no fully qualified name (A or H), the port's name is not "svc".
  resolver_.Host("fresh", FakeHost{0, "canonical.example", {}, {V4(10, 1, 1, 1)}});
  resolver_.Reverse(V4(10, 1, 1, 1), "reverse");
  resolver_.ServiceName("svc", 4711);
  resolver_.PortName(4711, "svc-by-port");
  Trace(2);
  // Cache only never asks; resolver only never stores; cache first stores.
  for (int mode : {NI_HS_CACHE_ONLY, NI_HS_RESOLVER_ONLY, NI_HS_CACHE_ONLY, NI_HS_CACHE_FIRST}) {
    const bool answered = mode != NI_HS_CACHE_ONLY;
    EXPECT_EQ(Forward("fresh", nullptr, mode), answered ? QEL_O_K : NIEHOST_UNKNOWN);
    EXPECT_EQ(Reverse(V4(10, 1, 1, 1), nullptr, true, mode), answered ? QEL_O_K : NIEHOST_UNKNOWN);
    EXPECT_EQ(ServName(4711, mode), answered ? QEL_O_K : NIESERV_UNKNOWN);
    EXPECT_EQ(ServNo("svc", nullptr, mode), answered ? QEL_O_K : NIESERV_UNKNOWN);
  }
  EXPECT_EQ(resolver_.calls(), 8);
  EXPECT_TRUE(Traced(Name("GetNodeAddr") + ": hostname not cached\n"));
  EXPECT_TRUE(Traced(Name("GetServNo") + ": service name not cached\n"));
  NI_NODEADDR address;
  unsigned port = 0;
  EXPECT_EQ(Forward("fresh", &address, NI_HS_CACHE_ONLY), QEL_O_K);
  EXPECT_EQ(Text(address), "::ffff:10.1.1.1");
  EXPECT_EQ(ServNo("svc", &port, NI_HS_CACHE_ONLY), QEL_O_K);
  EXPECT_EQ(port, 4711u);
  EXPECT_EQ(resolver_.calls(), 8);
  EXPECT_EQ(Forward("fresh", nullptr, 3), NIEINVAL);
}

TEST_P(NiNamesBoth, NamesAtTheEntryLimitAreResolvedButNotCached) {
  Make(Ops());
  const std::string host60 = std::string(56, 'x') + ".com";
  const std::string service20(20, 's');
  for (const char* name : {host60.c_str(), host60.c_str() + 1}) {
    resolver_.Host(name, {V4(10, 2, 2, 2)});
  }
  for (const char* name : {service20.c_str(), service20.c_str() + 1}) resolver_.Service(name, 99);
  Trace(2);
  for (int round = 0; round < 2; ++round) {
    EXPECT_EQ(Forward(host60.c_str()), QEL_O_K);
    EXPECT_EQ(Forward(host60.c_str() + 1), QEL_O_K);
    EXPECT_EQ(ServNo(service20.c_str()), QEL_O_K);
    EXPECT_EQ(ServNo(service20.c_str() + 1), QEL_O_K);
  }
  EXPECT_EQ(resolver_.calls(), 6);  // the two long names twice, the others once
  EXPECT_EQ(Forward(host60.c_str(), nullptr, NI_HS_CACHE_ONLY), NIEHOST_UNKNOWN);
  EXPECT_EQ(ServNo(service20.c_str(), nullptr, NI_HS_CACHE_ONLY), NIESERV_UNKNOWN);
  EXPECT_TRUE(Traced("hostname '" + host60 + "' too long for buffer (60>=60)\n"));
  EXPECT_TRUE(Traced("service name '" + service20 + "' too long for buffer (20>=20)\n"));
  EXPECT_TRUE(Traced(Name("GetNodeAddr") + ": hostname too long for buffer\n"));
  // A reverse answer of 60 characters is handed out, never stored.
  resolver_.Reverse(V4(10, 2, 2, 9), host60);
  std::string name;
  EXPECT_EQ(Reverse(V4(10, 2, 2, 9), &name, true), QEL_O_K);
  EXPECT_EQ(name, host60);
  EXPECT_EQ(Reverse(V4(10, 2, 2, 9), nullptr, true, NI_HS_CACHE_ONLY), NIEHOST_UNKNOWN);
}

TEST_P(NiNamesBoth, RetryTimeoutZeroMeansADay) {
  Make(Ops());
  Trace(3);
  EXPECT_EQ(Ops().set_retry_timeout(cache_, 0), QEL_O_K);
  EXPECT_EQ(Ops().get_retry_timeout(cache_), 86400);
  EXPECT_TRUE(Traced(Name("SetRetryTimeout") + ": set retry timout to 86400 seconds\n"));
  EXPECT_EQ(Forward("gone.invalid"), NIEHOST_UNKNOWN);
  Advance(86399);
  EXPECT_EQ(Forward("gone.invalid"), NIEHOST_UNKNOWN);
  EXPECT_EQ(resolver_.calls(), 1);
  Advance(1);
  EXPECT_EQ(Forward("gone.invalid"), NIEHOST_UNKNOWN);
  EXPECT_EQ(resolver_.calls(), 2);
  EXPECT_EQ(Ops().set_retry_timeout(cache_, -1), NIEINVAL);
  EXPECT_EQ(Ops().get_retry_timeout(cache_), 86400);
}

TEST_P(NiNamesBoth, FlushForgetsEveryEntry) {
  Make(Ops());
  resolver_.Host("kept", {V4(10, 3, 3, 3)});
  resolver_.Service("svc", 4711);
  ASSERT_EQ(Forward("kept"), QEL_O_K);
  ASSERT_EQ(ServNo("svc"), QEL_O_K);
  Trace(2);
  Ops().flush(cache_);
  EXPECT_TRUE(Traced(Name("Flush") + ": cache flushed\n"));
  EXPECT_TRUE(Dump(true).empty());
  EXPECT_TRUE(Dump(false).empty());
  EXPECT_EQ(Forward("kept", nullptr, NI_HS_CACHE_ONLY), NIEHOST_UNKNOWN);
  EXPECT_EQ(Forward("kept"), QEL_O_K);
  EXPECT_EQ(resolver_.calls(), 3);
  EXPECT_EQ(Dump(true), std::vector<std::string>{"0\tVALID\t \t10.3.3.3\t~\tkept\n"});
}

TEST_P(NiNamesBoth, ResizingKeepsTheTimeoutsAndRestartsTheDump) {
  Make(Ops(), 10);
  for (int i = 0; i < 8; ++i) {
    resolver_.Host(Numbered("r", i), {V4(10, 4, 0, static_cast<std::uint8_t>(i))});
    ASSERT_EQ(Forward((Numbered("r", i)).c_str()), QEL_O_K);
  }
  ASSERT_EQ(Ops().set_retry_timeout(cache_, 30), QEL_O_K);
  // A dump that has gone through 8 entries starts again in the new table.
  Ops().dump_begin(cache_);
  char line[256];
  for (int i = 0; i < 8; ++i) ASSERT_EQ(Ops().dump_host_line(cache_, line, sizeof line), QEL_O_K);
  ASSERT_EQ(Ops().set_index_size(cache_, 4), QEL_O_K);
  ASSERT_EQ(Forward("r0"), QEL_O_K);
  ASSERT_EQ(Ops().dump_host_line(cache_, line, sizeof line), QEL_O_K);
  EXPECT_STREQ(line, "0\tVALID\t \t10.4.0.0\t~\tr0\n");
  Ops().dump_end(cache_);

  EXPECT_EQ(Ops().get_index_size(cache_), 4);
  EXPECT_EQ(Forward("gone.invalid"), NIEHOST_UNKNOWN);
  Advance(30);
  const int calls = resolver_.calls();
  EXPECT_EQ(Forward("gone.invalid"), NIEHOST_UNKNOWN);
  EXPECT_EQ(resolver_.calls(), calls + 1);
  Trace(2);
  for (int i = 1; i < 4; ++i) ASSERT_EQ(Forward((Numbered("r", i)).c_str()), QEL_O_K);
  EXPECT_TRUE(Traced(Name("GetNodeAddr") + ": hostbuf overflow\n"));
  // A size refused leaves the caches empty, the timeouts as they were.
  Trace(1);
  EXPECT_EQ(Ops().set_index_size(cache_, -1), NIEINVAL);
  EXPECT_TRUE(Traced(Name("SetIndexSize") + ": init failed (rc=-8)\n"));
  EXPECT_EQ(Ops().get_index_size(cache_), 0);
  EXPECT_EQ(Ops().get_retry_timeout(cache_), 30);
}

TEST_P(NiNamesBoth, InitWithNoEntriesDisablesTheCaches) {
  Trace(2);
  Make(Ops(), 0);
  EXPECT_TRUE(Traced(Name("Init") + ": disable host/serv bufs\n"));
  resolver_.Host("plain", {V4(10, 5, 5, 5)});
  EXPECT_EQ(Forward("plain"), QEL_O_K);
  EXPECT_EQ(Forward("plain"), QEL_O_K);
  EXPECT_EQ(resolver_.calls(), 2);
  EXPECT_EQ(Forward("plain", nullptr, NI_HS_CACHE_ONLY), NIEHOST_UNKNOWN);
  EXPECT_TRUE(Dump(true).empty());
  const int timeouts[6] = {};
  EXPECT_EQ(Ops().init(cache_, 5, timeouts), NIECALL);
  EXPECT_EQ(ErrorText(), Name("Init") + ": already initialized");
}

// --- Names and states -------------------------------------------------------------

TEST(NiNamesChoice, FullyQualifiedNameFromAnAnswer) {
  const struct {
    const char* official;
    std::vector<std::string> aliases;
    const char* chosen;
  } cases[] = {
      {"host.example", {"other.example"}, "host.example"},
      {"host", {"1.x", "alias.example"}, "alias.example"},
      {"host", {"12.34", "a1.b"}, "a1.b"},
      {"host", {"1x.y"}, "1x.y"},
      {"host", {"loghost", "127.0.0.1"}, "host"},
      {"host", {}, "host"},
  };
  for (const auto& c : cases) {
    std::vector<char*> aliases;
    for (const std::string& alias : c.aliases) aliases.push_back(const_cast<char*>(alias.c_str()));
    aliases.push_back(nullptr);
    EXPECT_STREQ(kNiHsLOps.choose_fq_name(c.official, aliases.data()), c.chosen) << c.official;
  }
}

// Forward answers keep the asked name: official and fully qualified (' '),
// official only (H), fully qualified only (F), neither (A).
TEST_F(NiNames, DumpLinesShowEveryStateByteForByte) {
  Make(kNiHsLOps);
  resolver_.Host("a.example", {V4(10, 6, 0, 1)});
  resolver_.Host("b", FakeHost{0, "b", {"b.example"}, {V4(10, 6, 0, 2)}});
  resolver_.Host("c.example", FakeHost{0, "c", {"c.example"}, {V4(10, 6, 0, 3)}});
  resolver_.Host("d", FakeHost{0, "d-real.example", {}, {V4(10, 6, 0, 4)}});
  resolver_.Service("http", 80);
  EXPECT_EQ(Reverse(V4(10, 9, 9, 9)), NIEHOST_UNKNOWN);
  EXPECT_EQ(Forward("gone"), NIEHOST_UNKNOWN);
  for (const char* name : {"a.example", "b", "c.example", "d"}) ASSERT_EQ(Forward(name), QEL_O_K);
  EXPECT_EQ(ServNo("http"), QEL_O_K);
  EXPECT_EQ(ServNo("nosuch"), NIESERV_UNKNOWN);
  EXPECT_EQ(ServName(9), NIESERV_UNKNOWN);
  const std::vector<std::string> hosts = {
      "0\tUNKNOWN\t \t10.9.9.9\t~\t-\n",       "1\tUNKNOWN\t \t-\t~\tgone\n",
      "2\tVALID\t \t10.6.0.1\t~\ta.example\n", "3\tVALID\tH\t10.6.0.2\t~\tb\n",
      "4\tVALID\tF\t10.6.0.3\t~\tc.example\n", "5\tVALID\tA\t10.6.0.4\t~\td\n"};
  EXPECT_EQ(Dump(true), hosts);
  EXPECT_EQ(Dump(false),
            (std::vector<std::string>{"0\tVALID\t00.50/0080\thttp\n", "1\tUNKNOWN\t-\tnosuch\n",
                                      "2\tUNKNOWN\t00.09/0009\t-\n"}));
  // A line that does not fit leaves the position where it is.
  char line[64];
  const int size = static_cast<int>(hosts[0].size());
  kNiHsLOps.dump_begin(cache_);
  EXPECT_EQ(kNiHsLOps.dump_host_line(cache_, line, size), NIETOO_SMALL);
  EXPECT_EQ(ErrorText(), "NiHsLDumpHostLine: buffer too small");
  EXPECT_EQ(kNiHsLOps.dump_host_line(cache_, line, size + 1), QEL_O_K);
  EXPECT_EQ(line, hosts[0]);
  kNiHsLOps.dump_end(cache_);
  // Reverse look-ups use H without, F with the fully qualified name wanted,
  // ' ' both ways, A never.
  const struct {
    std::uint8_t last;
    bool fq;
    const char* name;
  } uses[] = {{1, true, "a.example"}, {1, false, "a.example"}, {2, false, "b"},
              {2, true, nullptr},     {3, true, "c.example"},  {3, false, nullptr},
              {4, false, nullptr}};
  for (const auto& use : uses) {
    std::string name;
    const int rc = Reverse(V4(10, 6, 0, use.last), &name, use.fq, NI_HS_CACHE_ONLY);
    EXPECT_EQ(rc, use.name != nullptr ? QEL_O_K : NIEHOST_UNKNOWN) << +use.last << use.fq;
    EXPECT_EQ(name, use.name != nullptr ? use.name : "");
  }
}

TEST_F(NiNames, ReverseLookupStoresTheQualifiedAliasWithFlagF) {
  Make(kNiHsLOps);
  resolver_.Reverse(V4(10, 1, 2, 3), "host", {"1.x", "host.example.com"});
  std::string name;
  EXPECT_EQ(Reverse(V4(10, 1, 2, 3), &name, true), QEL_O_K);
  EXPECT_EQ(name, "host.example.com");
  // The official name goes into another entry (H); then both are cached.
  EXPECT_EQ(Reverse(V4(10, 1, 2, 3), &name, false), QEL_O_K);
  EXPECT_EQ(name, "host");
  EXPECT_EQ(Reverse(V4(10, 1, 2, 3), &name, true), QEL_O_K);
  EXPECT_EQ(Reverse(V4(10, 1, 2, 3), &name, false), QEL_O_K);
  EXPECT_EQ(resolver_.calls(), 2);
  EXPECT_EQ(Dump(true), (std::vector<std::string>{"0\tVALID\tF\t10.1.2.3\t~\thost.example.com\n",
                                                  "1\tVALID\tH\t10.1.2.3\t~\thost\n"}));
  // The caller's buffer must hold the name and its terminator.
  const NI_NODEADDR node = Node(V4(10, 1, 2, 3));
  char buffer[17];
  EXPECT_EQ(kNiHsLOps.get_host_name(cache_, &node, buffer, 16, true, 0), NIETOO_SMALL);
  EXPECT_EQ(ErrorText(), "NiHsLGetHostName: buffer too small (16<=16)");
  EXPECT_EQ(kNiHsLOps.get_host_name(cache_, &node, buffer, 17, true, 0), QEL_O_K);
  EXPECT_EQ(Reverse(kV6), NIEHOST_UNKNOWN);  // the IPv4 cache knows no IPv6 address
}

// --- The IPv6 implementation ------------------------------------------------------

TEST_F(NiNames, IPv6EntriesAnswerTheAddressAsked) {
  Restart(true);
  Make(kNiHsL6Ops);
  resolver_.Host("dual", {V4(10, 7, 0, 1), kV6, V4(10, 7, 0, 2), kV6Other});
  resolver_.Host("v6only", {kV6});
  resolver_.Host("v4only", {V4(10, 7, 0, 3)});
  Trace(2);
  NI_NODEADDR address;
  ASSERT_EQ(Forward("dual", &address, 0, false), QEL_O_K);
  EXPECT_EQ(Text(address), "2001:db8::1");
  ASSERT_EQ(Forward("dual", &address, 0, true), QEL_O_K);
  EXPECT_EQ(Text(address), "::ffff:10.7.0.1");
  EXPECT_EQ(resolver_.calls(), 1);

  EXPECT_EQ(Forward("v6only", &address, 0, true), NIEHOST_UNKNOWN);
  EXPECT_TRUE(
      Traced("NiHsL6GetNodeAddr: got hostname 'v6only' from operation system "
             "(none IPv4 address available)\n"));
  EXPECT_TRUE(Traced("NiHsL6GetNodeAddr: no IPv4 address available\n"));
  EXPECT_EQ(Forward("v6only", &address, 0, true), NIEHOST_UNKNOWN);
  EXPECT_TRUE(Traced("NiHsL6GetNodeAddr: hostname cached as unknown (IPv4)\n"));
  ASSERT_EQ(Forward("v6only", &address, 0, false), QEL_O_K);
  EXPECT_EQ(Text(address), "2001:db8::1");

  // One kind fills both slots.
  ASSERT_EQ(Forward("v4only", &address, 0, false), QEL_O_K);
  EXPECT_EQ(Text(address), "::ffff:10.7.0.3");
  EXPECT_EQ(resolver_.calls(), 3);
  EXPECT_EQ(Dump(true), (std::vector<std::string>{
                            "0\tVALID\t \t2001:db8::1\t~\tdual\n",
                            "1\tVALID\t \t2001:db8::1\t~\tv6only\n",
                            "2\tVALID\t \t10.7.0.3\t~\tv4only\n",
                        }));
  // Reverse look-ups compare the slot of the address's kind.
  std::string name;
  EXPECT_EQ(Reverse(V4(10, 7, 0, 1), &name, false, NI_HS_CACHE_ONLY), QEL_O_K);
  EXPECT_EQ(name, "dual");
  EXPECT_EQ(Reverse(kV6Other, &name, false, NI_HS_CACHE_ONLY), NIEHOST_UNKNOWN);
}

TEST_F(NiNames, IPv6EntryHoldingTheUnspecifiedAddressIsUpdated) {
  Restart(true);
  Make(kNiHsL6Ops);
  std::vector<Address> many(66, kV6Other);
  many.resize(70, V4(10, 8, 0, 1));
  resolver_.Host("zero", {Address{}});
  resolver_.Host("alias", FakeHost{0, "alias.example", {}, {kV6}});
  resolver_.Host("many", many);
  Trace(2);
  ASSERT_EQ(Forward("zero", nullptr, 0, false), QEL_O_K);
  ASSERT_EQ(Forward("zero", nullptr, 0, false), QEL_O_K);
  EXPECT_TRUE(Traced("NiHsL6GetNodeAddr: update address for 'zero'\n"));
  EXPECT_EQ(resolver_.calls(), 2);
  // A name other than the canonical one is kept with state 4.
  ASSERT_EQ(Forward("alias", nullptr, 0, false), QEL_O_K);
  EXPECT_EQ(Dump(true), (std::vector<std::string>{"0\tVALID\t \t::\t~\tzero\n",
                                                  "1\tVALID\tH\t2001:db8::1\t~\talias\n"}));
  // Only the first 64 addresses count: this answer has no IPv4 address.
  EXPECT_EQ(Forward("many", nullptr, 0, true), NIEHOST_UNKNOWN);
  EXPECT_TRUE(Traced("NiHsL6GetNodeAddr: more than 64 interfaces found (70)\n"));
}

// --- Resolver calls -----------------------------------------------------------------

TEST_F(NiNames, ClassicAnswerNeverWritesPastTheWorkBuffer) {
  const std::vector<std::string> aliases = {"alias0.example", "alias1.example"};
  resolver_.Host("laid.example",
                 FakeHost{0, "laid.example", aliases, {V4(10, 9, 0, 1), kV6, V4(10, 9, 0, 2)}});
  std::vector<char> work(300);
  parcel::ni::NiHostEnt answer{};
  int length = 1;
  // From an odd start: the layout aligns its pointers itself.
  for (; length < 256; ++length) {
    std::fill(work.begin(), work.end(), '#');
    const int rc = NiPGetHostByName2("laid.example", &answer, work.data() + 1, length);
    ASSERT_TRUE(
        std::all_of(work.begin() + 1 + length, work.end(), [](char c) { return c == '#'; }));
    if (rc != NIETOO_SMALL) break;
  }
  ASSERT_LT(length, 256);
  EXPECT_STREQ(answer.name, "laid.example");
  EXPECT_EQ(std::vector<std::string>(answer.aliases, answer.aliases + 2), aliases);
  EXPECT_EQ(answer.aliases[2], nullptr);
  EXPECT_EQ(answer.addrtype * 10 + answer.length, 24);
  ASSERT_NE(answer.addresses[1], nullptr);
  EXPECT_EQ(std::memcmp(answer.addresses[1], "\x0a\x09\x00\x02", 4), 0);
  EXPECT_EQ(answer.addresses[2], nullptr);  // the IPv6 address is no part of it
}

TEST_F(NiNames, WorkBufferDoublesUpToItsLimit) {
  Make(kNiHsLOps);
  const auto answer_with = [](int aliases) {
    FakeHost host{0, "big", {}, {V4(10, 10, 0, 1)}};
    for (int i = 0; i < aliases; ++i)
      host.aliases.push_back(std::string(39, 'a') + std::to_string(i));
    return host;
  };
  // About 12 KiB: asked at 512, 1K, 2K, 4K, 8K and 16K bytes.
  resolver_.Host("big", answer_with(250));
  EXPECT_EQ(Forward("big"), QEL_O_K);
  EXPECT_EQ(resolver_.calls(), 6);
  // About 80 KiB: past the limit after asking at every size up to 64K.
  resolver_.Host("huge", answer_with(1600));
  EXPECT_EQ(Forward("huge"), NIEINTERN);
  EXPECT_EQ(resolver_.calls(), 6 + 8);
  EXPECT_EQ(ErrorText(), "NiHsLGetNodeAddr: resolver answer larger than 65536 bytes");
  // A heap that refuses the buffer.
  parcel::platform::SetAllocFailure({parcel::platform::AllocSite::kRuntime, 0, false});
  EXPECT_EQ(Forward("other"), NIEINTERN);
  parcel::platform::ClearAllocFailure();
  EXPECT_EQ(ErrorText(), "NiHsLGetNodeAddr: malloc failed for 512 bytes");
}

TEST_F(NiNames, ResolverFailuresOtherThanNotFoundAreInternal) {
  Make(kNiHsLOps);
  resolver_.Host("later", parcel::testing::FailingHost(parcel::platform::kWsaTRY_AGAIN));
  resolver_.Host("nodata", parcel::testing::FailingHost(parcel::platform::kWsaNO_DATA));
  EXPECT_EQ(Forward("later"), NIEINTERN);
  EXPECT_EQ(ErrorText(), "NiPGetHostByName2: gethostbyname failed for 'later' (11002)");
  EXPECT_EQ(Forward("nodata"), NIEHOST_UNKNOWN);
  EXPECT_EQ(Dump(true), std::vector<std::string>{"0\tUNKNOWN\t \t-\t~\tnodata\n"});
  NI_NODEADDR addresses[2];
  int count = 2;
  EXPECT_EQ(NiPGetHostByName3("later", false, false, addresses, &count, nullptr, 0), NIEINTERN);
}

TEST_F(NiNames, SlowResolverIsTracedWithItsAnswer) {
  Make(kNiHsLOps);
  kNiHsLOps.set_time_limit(cache_, 1000);
  kNiHsLOps.set_clock(cache_, &Micros);
  EXPECT_EQ(kNiHsLOps.get_time_limit(cache_), 1000);
  EXPECT_EQ(kNiHsLOps.get_clock(cache_), &Micros);
  std::int64_t step = 1500000;
  resolver_.DuringCall([&step] { g_micros += step; });
  resolver_.Host("slow", FakeHost{0, "slow", {"slow.example"}, {V4(10, 12, 0, 1)}});
  Trace(2);
  ASSERT_EQ(Forward("slow"), QEL_O_K);
  EXPECT_TRUE(
      Traced("NiHsLGetNodeAddr: to get 'slow' succeeded in 1500ms "
             "(tl=1000ms; clock function)\n"
             "NiHsLGetNodeAddr: hostent name 'slow' (type 2, length 4)\n"
             "\talias 'slow.example'\n\taddress 10.12.0.1\n"))
      << TraceText();
  EXPECT_EQ(Forward("gone"), NIEHOST_UNKNOWN);
  EXPECT_TRUE(
      Traced("NiHsLGetNodeAddr: to get 'gone' failed in 1500ms (tl=1000ms; clock function)\n"));
  step = 1000000;
  const std::string before = TraceText();
  ASSERT_EQ(Forward("slow", nullptr, NI_HS_RESOLVER_ONLY), QEL_O_K);
  EXPECT_EQ(TraceText().find("to get", before.size()), std::string::npos);
}

TEST_F(NiNames, MillisecondClockWrapsAt65536Seconds) {
  Make(kNiHsLOps);
  const struct {
    std::uint32_t start, end, elapsed;
  } spans[] = {{1000, 2500, 1500}, {65535000, 1000, 2000}, {0, 65535999, 65535999}};
  for (const auto& s : spans) EXPECT_EQ(kNiHsLOps.elapsed_ms(s.start, s.end), s.elapsed);
  g_now = 65536 * 3 + 5;
  EXPECT_EQ(kNiHsLOps.now_ms(cache_), 5000u);
  kNiHsLOps.set_clock(cache_, &Micros);
  g_micros = (65536000ll * 7 + 1234) * 1000 + 999;
  EXPECT_EQ(kNiHsLOps.now_ms(cache_), 1234u);
}

// --- Library entry points ---------------------------------------------------------

TEST_F(NiNames, LibraryStartAndEndOwnTheCacheObject) {
  ASSERT_NE(parcel::ni::NameCache(), nullptr);
  EXPECT_EQ(parcel::ni::NameCache()->ops, &kNiHsLOps);
  EXPECT_EQ(kNiHsLOps.get_index_size(parcel::ni::NameCache()), 100);
  EXPECT_EQ(kNiHsLOps.get_retry_timeout(parcel::ni::NameCache()), 600);
  EXPECT_EQ(NiIHSInit(3, 100, 0, 600, 600, 0, 600, 600), NIECALL);
  EXPECT_EQ(ErrorText(), "NiIHSInit: already initialized");
  Restart(true);
  EXPECT_EQ(parcel::ni::NameCache()->ops, &kNiHsL6Ops);
  // A look-up without the library makes the object; the end removes it.
  ASSERT_EQ(NiIExit(), QEL_O_K);
  EXPECT_EQ(parcel::ni::NameCache(), nullptr);
  resolver_.Service("http", 80);
  char name[32];
  ASSERT_EQ(NiIGetServName(NetPort(80), name, sizeof name, 0), QEL_O_K);
  EXPECT_STREQ(name, "http");
  EXPECT_NE(parcel::ni::NameCache(), nullptr);
  ASSERT_EQ(NiIExit(), QEL_O_K);
  EXPECT_EQ(parcel::ni::NiILiveBlocks(), 0);

  // Each allocation refused in turn fails cleanly: the object, two tables.
  EXPECT_EQ(NiIHSInit(2, 100, 0, 600, 600, 0, 600, 600), NIEINTERN);
  EXPECT_EQ(ErrorText(), "NiIHSInit: invalid implementation (2)");
  int step = 0;
  for (;; ++step) {
    parcel::platform::SetAllocFailure({parcel::platform::AllocSite::kRuntime, step, false});
    const int rc = NiIHSInit(3, 100, 0, 600, 600, 0, 600, 600);
    parcel::platform::ClearAllocFailure();
    if (rc == QEL_O_K) break;
    EXPECT_EQ(rc, NIEINTERN) << step;
    EXPECT_EQ(parcel::ni::NameCache(), nullptr);
    EXPECT_EQ(parcel::ni::NiILiveBlocks(), 0) << step;
    if (step == 0) {
      EXPECT_EQ(ErrorText(), "NiIHSInit: malloc failed for 3 implementation");
    }
  }
  EXPECT_EQ(step, 3);
  EXPECT_EQ(parcel::ni::NameCache()->ops, &kNiHsL6Ops);
  blocks_ = parcel::ni::NiILiveBlocks();
}

TEST_F(NiNames, EntryPointsTraceTheNamesTheyGive) {
  resolver_.Reverse(V4(10, 1, 2, 3), "host", {"host.example"});
  resolver_.Service("http", 80);
  resolver_.Host("fakehost", {V4(10, 20, 30, 40)}, {"fakehost.example"});
  resolver_.Reverse(V4(10, 20, 30, 40), "fakehost", {"fakehost.example"});
  Trace(2);
  char name[64];
  const NI_NODEADDR address = Node(V4(10, 1, 2, 3));
  ASSERT_EQ(NiIGetHostName(&address, name, sizeof name, true, 0), QEL_O_K);
  EXPECT_STREQ(name, "host.example");
  ASSERT_EQ(NiIGetHostName(nullptr, name, sizeof name, false, 0), QEL_O_K);
  EXPECT_STREQ(name, "fakehost");
  ASSERT_EQ(NiIGetHostName(nullptr, name, sizeof name, true, 0), QEL_O_K);
  EXPECT_STREQ(name, "fakehost.example");
  ASSERT_EQ(NiIGetServName(NetPort(80), name, sizeof name, 0), QEL_O_K);
  for (const char* line : {"NiIGetHostName: addr 10.1.2.3 = hostname 'host.example' (fq)\n",
                           "NiIGetHostName: addr NULL = hostname 'fakehost'\n",
                           "NiIGetHostName: addr NULL = hostname 'fakehost.example' (fq)\n",
                           "NiIGetServName: port 80 = servicename 'http'\n"}) {
    EXPECT_TRUE(Traced(line)) << line;
  }
  EXPECT_EQ(NiIGetHostName(&address, name, 5, true, 0), NIETOO_SMALL);
}

TEST_F(NiNames, FailureTextsUseCachedNamesOnly) {
  const NI_NODEADDR peer = Node(V4(10, 1, 2, 3));
  NI_SOCKREC record{9, 2, 1, 0};
  const auto refused = [&] {
    return NiIMapSiError(SI_ECONN_REFUSE, parcel::ni::kSiCallConnect, nullptr, &record, 10061,
                         nullptr, &peer, NetPort(3200), "NiTest", "nitest", 1, false);
  };
  resolver_.Reverse(V4(10, 1, 2, 3), "peerhost");
  resolver_.Service("sapdp00", 3200);
  EXPECT_EQ(refused(), NIECONN_REFUSED);
  EXPECT_EQ(ErrorText(), "partner '10.1.2.3:3200' not reached");
  EXPECT_EQ(resolver_.calls(), 0);
  char name[64];
  ASSERT_EQ(NiIGetHostName(&peer, name, sizeof name, false, 0), QEL_O_K);
  ASSERT_EQ(NiIGetServName(NetPort(3200), name, sizeof name, 0), QEL_O_K);
  EXPECT_EQ(refused(), NIECONN_REFUSED);
  EXPECT_EQ(ErrorText(), "partner 'peerhost:sapdp00' not reached");
  EXPECT_EQ(resolver_.calls(), 2);
}

TEST_F(NiNames, PublicLayerResolvesNamesThroughTheCache) {
  resolver_.Host("named", {V4(10, 13, 0, 1)});
  NI_NODEADDR address;
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(parcel::ni::ResolveHost("named", true, &address), QEL_O_K);
    EXPECT_EQ(Text(address), "::ffff:10.13.0.1");
  }
  EXPECT_EQ(resolver_.calls(), 1);
  ASSERT_EQ(parcel::ni::ResolveHost("10.13.0.2", false, &address), QEL_O_K);
  EXPECT_EQ(Text(address), "::ffff:10.13.0.2");
  ASSERT_EQ(parcel::ni::ResolveHost("::1", true, &address), QEL_O_K);
  EXPECT_EQ(Text(address), "::1");
  EXPECT_EQ(resolver_.calls(), 1);
  EXPECT_EQ(parcel::ni::ResolveHost("::1", false, &address), NIEHOST_UNKNOWN);
  EXPECT_EQ(parcel::ni::ResolveHost("nosuch.invalid", true, &address), NIEHOST_UNKNOWN);
  EXPECT_EQ(ErrorText(), "hostname 'nosuch.invalid' unknown");
}

// --- The system's resolver ----------------------------------------------------------

class NiNamesReal : public parcel::testing::NiTest, public ::testing::WithParamInterface<bool> {};

INSTANTIATE_TEST_SUITE_P(Families, NiNamesReal, ::testing::Bool(),
                         [](const auto& p) { return std::string(p.param ? "IPv6" : "IPv4"); });

TEST_P(NiNamesReal, LooksUpTheMachinesOwnNames) {
  const bool ipv6 = GetParam();
  ASSERT_EQ(NiIInit(16, ipv6), QEL_O_K);
  parcel::ni::Library().init_count = 1;
  HsCache* cache = parcel::ni::NameCache();
  ASSERT_NE(cache, nullptr);
  NI_NODEADDR address;
  ASSERT_EQ(cache->ops->get_node_addr(cache, "localhost", &address, 0, true), QEL_O_K);
  EXPECT_EQ(Text(address), "::ffff:127.0.0.1");
  ASSERT_EQ(cache->ops->get_node_addr(cache, "10.1.2.3", &address, 0, true), QEL_O_K);
  EXPECT_EQ(Text(address), "::ffff:10.1.2.3");
  if (ipv6) {
    ASSERT_EQ(cache->ops->get_node_addr(cache, "::1", &address, 0, false), QEL_O_K);
    EXPECT_EQ(Text(address), "::1");
  }
  EXPECT_EQ(cache->ops->get_node_addr(cache, "no-such-host.invalid", &address, 0, true),
            NIEHOST_UNKNOWN);
  std::uint16_t port = 0;
  ASSERT_EQ(cache->ops->get_serv_no(cache, "http", &port, 0), QEL_O_K);
  EXPECT_EQ(port, NetPort(80));
  char name[64];
  ASSERT_EQ(cache->ops->get_serv_name(cache, NetPort(80), name, sizeof name, 2), QEL_O_K);
  EXPECT_STREQ(name, "http");
  const NI_NODEADDR loopback = parcel::ni::MappedAddress(127, 0, 0, 1);
  ASSERT_EQ(cache->ops->get_host_name(cache, &loopback, name, sizeof name, false, 0), QEL_O_K);
  EXPECT_GT(std::strlen(name), 0u);
}

TEST_F(NiNames, LocalCheckKnowsLoopbackAndOwnAddresses) {
  // The system's own list, not the scripted one.
  ASSERT_EQ(NiIExit(), QEL_O_K);
  const parcel::ni::NiResolver* scripted = parcel::ni::NiSetResolver(nullptr);
  ASSERT_EQ(NiInit3(), QEL_O_K);
  std::vector<Address> own;
  ASSERT_EQ(parcel::ni::NiPlatformResolver().host_addresses(&own), 0);
  const NI_NODEADDR other = parcel::ni::MappedAddress(192, 0, 2, 1);
  Address own4{};
  for (const Address& a : own) {
    const NI_NODEADDR node = Node(a);
    EXPECT_TRUE(NiILocalCheck(&node, false)) << Text(node);
    if (a[10] == 0xff && a[12] != 127) own4 = a;
  }
  for (bool bind : {false, true}) {
    const NI_NODEADDR loop4 = parcel::ni::MappedAddress(127, 0, 0, 1);
    const NI_NODEADDR loop6 = Node({0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1});
    EXPECT_TRUE(NiILocalCheck(&loop4, bind));
    EXPECT_TRUE(NiILocalCheck(&loop6, bind));
    EXPECT_FALSE(NiILocalCheck(&other, bind));
  }
  // Without the list, binding decides.
  parcel::ni::LocalHostEnd();
  EXPECT_FALSE(NiILocalCheck(&other, true));
  if (own4[10] == 0xff) {
    const NI_NODEADDR mine = Node(own4);
    EXPECT_TRUE(NiILocalCheck(&mine, true)) << Text(mine);
    EXPECT_FALSE(NiILocalCheck(&mine, false));
  }
  EXPECT_EQ(NiILHInit(), QEL_O_K);
  EXPECT_EQ(NiILHInit(), NIECALL);
  EXPECT_EQ(ErrorText(), "NiILHInit: already initialized");
  parcel::ni::NiSetResolver(scripted);
}

// --- Threads ----------------------------------------------------------------------

// Whether a dump line pairs its name with its own address or port: hosts
// h<k> (or h<k>.example) at 10.14.0.<k>, services s<k> on port 2000 + k.
bool Consistent(const std::string& line, bool host) {
  std::vector<std::string> f(1);
  for (char c : line) {
    if (c == '\t') {
      f.emplace_back();
    } else if (c != '\n') {
      f.back() += c;
    }
  }
  unsigned k = 0, high = 0, low = 0;
  if (host) {
    return f.size() == 6 && std::sscanf(f[3].c_str(), "10.14.0.%u", &k) == 1 &&
           (f[5] == Numbered("h", k) || f[5] == Numbered("h", k) + ".example");
  }
  return f.size() == 4 && std::sscanf(f[2].c_str(), "%2X.%2X/%u", &high, &low, &k) == 3 &&
         (high << 8 | low) == k && f[3] == Numbered("s", k - 2000);
}

// The parameters: the IPv6 implementation, the number of threads.
class NiNamesThreads : public NiNames,
                       public ::testing::WithParamInterface<std::tuple<bool, int>> {};

INSTANTIATE_TEST_SUITE_P(Counts, NiNamesThreads,
                         ::testing::Combine(::testing::Bool(), ::testing::Values(2, 8)),
                         [](const auto& p) {
                           return Numbered(std::get<0>(p.param) ? "IPv6x" : "IPv4x",
                                           std::get<1>(p.param));
                         });

// Threads look up, dump, flush and resize one cache at once.
TEST_P(NiNamesThreads, ResolvingAndDumpingKeepEveryEntryConsistent) {
  constexpr int kNames = 150;
  parcel::runtime::EnableThreadServices();
  Make(std::get<0>(GetParam()) ? kNiHsL6Ops : kNiHsLOps);
  for (int k = 0; k < kNames; ++k) {
    const std::string name = Numbered("h", k);
    const Address address = V4(10, 14, 0, static_cast<std::uint8_t>(k));
    resolver_.Host(name, {address}, {name + ".example"});
    resolver_.Reverse(address, name, {name + ".example"});
    resolver_.Service(Numbered("s", k), 2000 + static_cast<unsigned>(k));
  }
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < std::get<1>(GetParam()); ++t) {
    threads.emplace_back([&, t] {
      const HsOps& ops = *cache_->ops;
      for (int i = 0; i < 1500; ++i) {
        const int k = (t * 7919 + i * 31) % kNames;
        const std::string name = Numbered("h", k);
        NI_NODEADDR address;
        char text[64];
        std::uint16_t port = 0;
        const NI_NODEADDR own = Node(V4(10, 14, 0, static_cast<std::uint8_t>(k)));
        if (ops.get_node_addr(cache_, name.c_str(), &address, 0, true) != QEL_O_K ||
            std::memcmp(&address, &own, 16) != 0 ||
            ops.get_host_name(cache_, &own, text, sizeof text, i % 2 == 0, 0) != QEL_O_K ||
            (text != name && text != name + ".example") ||
            ops.get_serv_no(cache_, Numbered("s", k).c_str(), &port, 0) != QEL_O_K ||
            port != NetPort(2000 + static_cast<unsigned>(k))) {
          ++failures;
        }
        if (i % 100 == t) {
          ops.dump_begin(cache_);
          char line[256];
          while (ops.dump_host_line(cache_, line, sizeof line) == QEL_O_K) {
            if (!Consistent(line, true)) ++failures;
          }
          while (ops.dump_serv_line(cache_, line, sizeof line) == QEL_O_K) {
            if (!Consistent(line, false)) ++failures;
          }
          ops.dump_end(cache_);
        }
        if (t == 0 && i % 300 == 299) ops.flush(cache_);
        if (t == 1 && i % 500 == 499 && ops.set_index_size(cache_, 60 + i % 1000 / 12) != QEL_O_K) {
          ++failures;
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
