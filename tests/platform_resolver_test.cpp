// The resolver against the machine's own names only: localhost, numeric
// addresses, the services file, and a name under the reserved ".invalid"
// domain, which no resolver may know.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "platform/resolver.h"
#include "platform/socket.h"

namespace {
using parcel::platform::HostEntry;
using parcel::platform::NetworkAddress;
namespace pp = parcel::platform;

NetworkAddress Mapped(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, a, b, c, d};
}

const NetworkAddress kLoopback4 = Mapped(127, 0, 0, 1);
const NetworkAddress kLoopback6 = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};

// A port in network byte order, whatever the host's.
std::uint16_t NetworkOrder(std::uint16_t port) {
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(port >> 8),
                                 static_cast<std::uint8_t>(port)};
  std::uint16_t value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

bool Contains(const std::vector<NetworkAddress>& list, const NetworkAddress& address) {
  return std::find(list.begin(), list.end(), address) != list.end();
}

bool AllDifferent(const std::vector<NetworkAddress>& list) {
  return std::set<NetworkAddress>(list.begin(), list.end()).size() == list.size();
}

class ResolverTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(pp::SocketStartup(2, 2), 0); }
  void TearDown() override { EXPECT_EQ(pp::SocketCleanup(), 0); }
};

TEST_F(ResolverTest, NumericTextOfAddresses) {
  const struct {
    NetworkAddress address;
    const char* text;
  } cases[] = {
      {kLoopback6, "::1"},
      {Mapped(10, 1, 2, 3), "::ffff:10.1.2.3"},
      {{0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01}, "2001:db8::1"},
      {{0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x12, 0x34, 0, 0, 0, 0, 0xab, 0xcd}, "fe80::1234:0:0:abcd"},
  };
  for (const auto& c : cases) {
    char text[64];
    ASSERT_EQ(pp::AddressToNumericText(c.address.data(), text, sizeof text), 0) << c.text;
    EXPECT_STREQ(text, c.text);
  }
}

TEST_F(ResolverTest, NumericTextNeverOverrunsTheBuffer) {
  const NetworkAddress address = Mapped(10, 1, 2, 3);
  const std::string expected = "::ffff:10.1.2.3";
  // One byte short of the terminator, exactly enough, and no room at all.
  char buffer[32];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(pp::AddressToNumericText(address.data(), buffer, expected.size()), pp::kWsaEFAULT);
  EXPECT_EQ(buffer[0], '\0');
  EXPECT_EQ(std::string(buffer + 1, buffer + sizeof buffer), std::string(sizeof buffer - 1, '#'))
      << "nothing written past the terminator";
  ASSERT_EQ(pp::AddressToNumericText(address.data(), buffer, expected.size() + 1), 0);
  EXPECT_EQ(buffer, expected);
  EXPECT_EQ(buffer[expected.size() + 1], '#');
  EXPECT_EQ(pp::AddressToNumericText(address.data(), buffer, 0), pp::kWsaEFAULT);
}

TEST_F(ResolverTest, LocalhostResolvesToLoopback) {
  for (int family : {0, pp::kSocketFamilyIPv4}) {
    HostEntry host;
    ASSERT_EQ(pp::ResolveHostName("localhost", family, &host), 0) << family;
    EXPECT_EQ(host.name, "localhost");
    EXPECT_TRUE(host.aliases.empty());
    EXPECT_TRUE(Contains(host.addresses, kLoopback4)) << family;
    EXPECT_TRUE(AllDifferent(host.addresses));
  }
}

TEST_F(ResolverTest, NumericNamesGiveThemselvesInTheirFamily) {
  const struct {
    const char* name;
    int family;
    NetworkAddress address;
  } cases[] = {
      {"127.0.0.1", pp::kSocketFamilyIPv4, kLoopback4},
      {"10.1.2.3", 0, Mapped(10, 1, 2, 3)},
      {"::1", pp::kSocketFamilyIPv6, kLoopback6},
      {"::1", 0, kLoopback6},
  };
  for (const auto& c : cases) {
    HostEntry host;
    ASSERT_EQ(pp::ResolveHostName(c.name, c.family, &host), 0) << c.name;
    EXPECT_EQ(host.addresses, std::vector<NetworkAddress>{c.address}) << c.name;
    EXPECT_EQ(host.name, c.name);
  }
}

TEST_F(ResolverTest, NamesThatCannotResolveFailWithResolverNumbers) {
  // Not found, or no data of the family; a machine whose name server is out
  // of reach may only say "try again".
  const std::set<int> not_found = {pp::kWsaHOST_NOT_FOUND, pp::kWsaNO_DATA, pp::kWsaTRY_AGAIN};
  const struct {
    const char* name;
    int family;
  } cases[] = {
      {"no-such-host.invalid", 0},
      {"::1", pp::kSocketFamilyIPv4},
      {"127.0.0.1", pp::kSocketFamilyIPv6},
  };
  for (const auto& c : cases) {
    HostEntry host;
    host.name = "stale";
    int rc = pp::ResolveHostName(c.name, c.family, &host);
    EXPECT_TRUE(not_found.count(rc)) << c.name << " gave " << rc;
    EXPECT_TRUE(host.name.empty() && host.addresses.empty()) << c.name;
  }
  HostEntry host;
  EXPECT_EQ(pp::ResolveHostName("localhost", 99, &host), pp::kWsaEAFNOSUPPORT);
}

TEST_F(ResolverTest, ReverseLookupTakesMappedAddressesAsIPv4) {
  // The hosts file names 127.0.0.1; its mapped form is no address of its own.
  HostEntry host;
  ASSERT_EQ(pp::ResolveHostAddress(kLoopback4.data(), &host), 0);
  EXPECT_EQ(host.name, "localhost");
  EXPECT_EQ(host.addresses, std::vector<NetworkAddress>{kLoopback4});
}

TEST_F(ResolverTest, ServicesByNameAndByPort) {
  const std::uint16_t http_port = NetworkOrder(80);
  for (const char* protocol : {"tcp", static_cast<const char*>(nullptr)}) {
    std::uint16_t port = 0;
    std::string official;
    ASSERT_EQ(pp::ResolveServiceName("http", protocol, &port, &official), 0);
    EXPECT_EQ(port, http_port) << "network byte order";
    EXPECT_EQ(official, "http");
    std::string name;
    ASSERT_EQ(pp::ResolveServicePort(http_port, protocol, &name), 0);
    EXPECT_EQ(name, "http");
  }
  std::uint16_t port = 7;
  EXPECT_EQ(pp::ResolveServiceName("no-such-service-parcel", "tcp", &port, nullptr),
            pp::kWsaNO_DATA);
  std::string name = "kept";
  EXPECT_EQ(pp::ResolveServicePort(NetworkOrder(64999), "tcp", &name), pp::kWsaNO_DATA);
  EXPECT_EQ(name, "kept");
}

TEST_F(ResolverTest, LocalHostNameNeedsRoomForItsTerminator) {
  char name[300];
  ASSERT_EQ(pp::LocalHostName(name, sizeof name), 0);
  const std::size_t length = std::strlen(name);
  ASSERT_GT(length, 0u);
  std::vector<char> exact(length + 1, '#');
  ASSERT_EQ(pp::LocalHostName(exact.data(), exact.size()), 0);
  EXPECT_STREQ(exact.data(), name);
  std::vector<char> short_by_one(length, '#');
  EXPECT_EQ(pp::LocalHostName(short_by_one.data(), short_by_one.size()), pp::kWsaEFAULT);
  EXPECT_EQ(short_by_one[0], '\0');
}

TEST_F(ResolverTest, LocalHostAddressesListLoopbackOnce) {
  std::vector<NetworkAddress> addresses;
  ASSERT_EQ(pp::LocalHostAddresses(&addresses), 0);
  EXPECT_TRUE(Contains(addresses, kLoopback4));
  EXPECT_TRUE(AllDifferent(addresses));
}

}  // namespace
