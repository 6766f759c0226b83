// A resolver of scripted answers for the name caches' tests and fuzz target:
// installed through the library's resolver table for the life of the
// object, it answers from maps filled by the test and counts its calls.
// The maps must not change while other threads look up.
#ifndef PARCEL_TESTS_NI_FAKE_RESOLVER_H_
#define PARCEL_TESTS_NI_FAKE_RESOLVER_H_

#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ni/ni_hostcache.h"
#include "platform/socket.h"

namespace parcel::testing {

using Address = platform::NetworkAddress;

inline Address V4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, a, b, c, d};
}

inline bool IsMapped(const Address& address) {
  static constexpr std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return std::memcmp(address.data(), kPrefix, sizeof kPrefix) == 0;
}

inline NI_NODEADDR Node(const Address& address) {
  NI_NODEADDR node;
  std::memcpy(node.addr, address.data(), 16);
  return node;
}

inline Address FromNode(const NI_NODEADDR& node) {
  Address address;
  std::memcpy(address.data(), node.addr, 16);
  return address;
}

// One scripted host answer: an error number, or the names and addresses.
struct FakeHost {
  int error = 0;
  std::string name;
  std::vector<std::string> aliases;
  std::vector<Address> addresses;
};

// An answer that is only the error number `error`.
inline FakeHost FailingHost(int error) {
  FakeHost host;
  host.error = error;
  return host;
}

class FakeResolver {
 public:
  FakeResolver() {
    Reset();
    table_ = {&HostByName,    &HostByAddress, &ServiceByName,
              &ServiceByPort, &HostName,      &HostAddresses};
    previous_ = ni::NiSetResolver(&table_);
  }
  ~FakeResolver() {
    ni::NiSetResolver(previous_ == &ni::NiPlatformResolver() ? nullptr : previous_);
    Reset();
  }
  FakeResolver(const FakeResolver&) = delete;
  FakeResolver& operator=(const FakeResolver&) = delete;

  // Forward answer of `name`; unscripted names give 11001.
  void Host(const std::string& name, FakeHost answer) { S().hosts[name] = std::move(answer); }
  // Forward answer whose canonical name is `name` itself, with `aliases`.
  void Host(const std::string& name, std::vector<Address> addresses,
            std::vector<std::string> aliases = {}) {
    Host(name, FakeHost{0, name, std::move(aliases), std::move(addresses)});
  }
  // Reverse answer of `address`; unscripted addresses give 11001.
  void Reverse(const Address& address, std::string name, std::vector<std::string> aliases = {}) {
    S().reverse[address] = FakeHost{0, std::move(name), std::move(aliases), {address}};
  }
  // A service both ways, or one way (port in host order); unscripted ones
  // give 11004.
  void Service(const std::string& name, unsigned port) {
    ServiceName(name, port);
    PortName(port, name);
  }
  void ServiceName(const std::string& name, unsigned port) { S().services[name] = NetPort(port); }
  void PortName(unsigned port, const std::string& name) { S().ports[NetPort(port)] = name; }
  // Runs in every resolver call (to move a clock, for instance).
  void DuringCall(std::function<void()> hook) { S().during = std::move(hook); }

  int calls() const { return S().calls.load(); }

  static void Reset() {
    State& s = S();
    s.hosts.clear();
    s.reverse.clear();
    s.services.clear();
    s.ports.clear();
    s.during = nullptr;
    s.calls = 0;
  }

 private:
  struct State {
    std::map<std::string, FakeHost> hosts;
    std::map<Address, FakeHost> reverse;
    std::map<std::string, std::uint16_t> services;  // ports in network order
    std::map<std::uint16_t, std::string> ports;
    std::function<void()> during;
    std::atomic<int> calls{0};
  };
  static State& S() {
    static State state;
    return state;
  }
  static void Count() {
    ++S().calls;
    if (S().during) S().during();
  }
  static std::uint16_t NetPort(unsigned port) {
    const unsigned char bytes[2] = {static_cast<unsigned char>(port >> 8),
                                    static_cast<unsigned char>(port)};
    std::uint16_t value;
    std::memcpy(&value, bytes, 2);
    return value;
  }
  static int Answer(const FakeHost* host, int family, platform::HostEntry* out) {
    Count();
    *out = {};
    if (host == nullptr) return platform::kWsaHOST_NOT_FOUND;
    if (host->error != 0) return host->error;
    out->name = host->name;
    out->aliases = host->aliases;
    // getaddrinfo of family 2 answers IPv4 addresses only.
    for (const Address& a : host->addresses) {
      if (family != platform::kSocketFamilyIPv4 || IsMapped(a)) out->addresses.push_back(a);
    }
    return 0;
  }
  static int HostByName(const char* name, int family, platform::HostEntry* out, bool) {
    auto it = S().hosts.find(name);
    return Answer(it != S().hosts.end() ? &it->second : nullptr, family, out);
  }
  static int HostByAddress(const std::uint8_t address[16], platform::HostEntry* out) {
    Address key;
    std::memcpy(key.data(), address, 16);
    auto it = S().reverse.find(key);
    return Answer(it != S().reverse.end() ? &it->second : nullptr, 0, out);
  }
  static int ServiceByName(const char* name, const char*, std::uint16_t* port,
                           std::string* official) {
    Count();
    auto it = S().services.find(name);
    if (it == S().services.end()) return platform::kWsaNO_DATA;
    *port = it->second;
    if (official != nullptr) {
      auto back = S().ports.find(it->second);
      *official = back != S().ports.end() ? back->second : name;
    }
    return 0;
  }
  static int ServiceByPort(std::uint16_t port, const char*, std::string* name) {
    Count();
    auto it = S().ports.find(port);
    if (it == S().ports.end()) return platform::kWsaNO_DATA;
    *name = it->second;
    return 0;
  }
  // The local host: "fakehost" at 127.0.0.1 and 10.20.30.40.
  static int HostName(char* buffer, std::size_t size) {
    if (size <= 8) return platform::kWsaEFAULT;
    std::memcpy(buffer, "fakehost", 9);
    return 0;
  }
  static int HostAddresses(std::vector<Address>* out) {
    *out = {V4(127, 0, 0, 1), V4(10, 20, 30, 40)};
    return 0;
  }

  ni::NiResolver table_{};
  const ni::NiResolver* previous_ = nullptr;
};

}  // namespace parcel::testing

#endif  // PARCEL_TESTS_NI_FAKE_RESOLVER_H_
