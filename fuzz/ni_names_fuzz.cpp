// Feeds arbitrary resolver answers (names, aliases, address lists of any
// length, services) through the scripted resolver into both name caches, in
// an arbitrary order of look-ups, dumps, flushes, resizes and clock steps,
// and checks that the tables stay consistent and every answer is one the
// resolver gave.
//
// Input: byte 0 the implementation (bit 0: IPv6), the library's IPv6 flag
// (bit 1) and the entries (bits 2..4); then four hosts (name, canonical
// name, up to 7 aliases, up to 255 addresses), two reverse answers, two
// services; then operations until the input ends.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "ni/ni_hostcache.h"
#include "ni/nii.h"
#include "tests/ni_fake_resolver.h"

namespace {

using parcel::ni::HsCache;
using parcel::testing::Address;

void Check(bool condition) {
  if (!condition) std::abort();
}

class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return at_ >= size_; }
  std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
  // A length byte, then that many bytes (a zero byte stands for 'x': names
  // reach the cache as C strings).
  std::string Text() {
    std::string text;
    for (int n = Byte() % 72; n > 0; --n) {
      // Tabs and newlines would only break the dump's line form, which
      // names from a resolver never hold.
      const char c = static_cast<char>(Byte());
      text += c == '\0' || c == '\t' || c == '\n' ? 'x' : c;
    }
    return text;
  }
  Address Addr() {
    Address address{};
    switch (Byte() % 4) {
      case 0:  // IPv4-mapped, from a small set so that answers meet
        address = parcel::testing::V4(10, 0, 0, static_cast<std::uint8_t>(Byte() % 8));
        break;
      case 1:  // IPv6, from a small set
        address[0] = 0x20;
        address[1] = 0x01;
        address[15] = static_cast<std::uint8_t>(Byte() % 8);
        break;
      case 2:  // unspecified, either form
        if (Byte() & 1) address = parcel::testing::V4(0, 0, 0, 0);
        break;
      default:
        for (std::uint8_t& b : address) b = Byte();
    }
    return address;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

std::uint16_t NetPort(unsigned port) {
  const unsigned char bytes[2] = {static_cast<unsigned char>(port >> 8),
                                  static_cast<unsigned char>(port)};
  std::uint16_t value;
  std::memcpy(&value, bytes, 2);
  return value;
}

std::int64_t g_seconds = 1700000000;
std::int64_t Seconds() { return g_seconds; }

struct Script {
  std::vector<std::string> names;  // asked names, with their answers
  std::vector<parcel::testing::FakeHost> hosts;
  std::vector<Address> reverse_addresses;
  std::vector<parcel::testing::FakeHost> reverse;
};

// The address a forward look-up must give for `host`, or false when it
// must give none. NiHsL takes the first IPv4 address; NiHsL6 the first of
// the kind asked among the first 64 (one kind alone answering for both).
bool Expected(const parcel::testing::FakeHost& host, bool ipv6_impl, bool library_ipv6,
              bool want_ipv4, Address* out) {
  std::vector<Address> list;
  for (const Address& a : host.addresses) {
    if (parcel::testing::IsMapped(a) || (ipv6_impl && library_ipv6)) list.push_back(a);
  }
  if (host.error != 0 || list.empty()) return false;
  if (!ipv6_impl) {
    *out = list.front();
    return true;
  }
  if (list.size() > 64) list.resize(64);
  const bool ipv4 = want_ipv4 || !library_ipv6;
  const auto first = std::find_if(list.begin(), list.end(), [&](const Address& a) {
    return parcel::testing::IsMapped(a) == ipv4;
  });
  if (first != list.end()) {
    *out = *first;
    return true;
  }
  if (ipv4) return false;
  *out = list.front();  // only IPv4 addresses: both slots hold the first
  return true;
}

template <typename Entry>
void CheckHosts(HsCache* cache, unsigned char highest_state) {
  const auto* table = static_cast<const Entry*>(cache->hosts);
  Check(cache->next_host >= 0 && cache->next_host <= cache->host_entries);
  bool empty_seen = false;
  for (int i = 0; i < cache->host_entries; ++i) {
    const Entry& entry = table[i];
    Check(entry.state <= highest_state);
    Check(!empty_seen || entry.state == 0);  // a scan may stop at the first empty one
    empty_seen = empty_seen || entry.state == 0;
    Check(std::memchr(entry.name, '\0', sizeof entry.name) != nullptr);
  }
}

void CheckTables(HsCache* cache, bool ipv6_impl) {
  cache->ops->dump_begin(cache);
  if (ipv6_impl) {
    CheckHosts<parcel::ni::HsHostEntry6>(cache, parcel::ni::kHostOfficial);
  } else {
    CheckHosts<parcel::ni::HsHostEntry4>(cache, parcel::ni::kHostAsked);
  }
  Check(cache->next_serv >= 0 && cache->next_serv <= cache->serv_entries);
  for (int i = 0; i < cache->serv_entries; ++i) {
    Check(cache->servs[i].state <= parcel::ni::kServValidState);
    Check(std::memchr(cache->servs[i].name, '\0', sizeof cache->servs[i].name) != nullptr);
  }
  // Every line has its fields; the dump ends.
  char line[256];
  int lines = 0;
  int rc;
  while ((rc = cache->ops->dump_host_line(cache, line, sizeof line)) == QEL_O_K) {
    Check(std::count(line, line + std::strlen(line), '\t') == 5 &&
          line[std::strlen(line) - 1] == '\n');
    ++lines;
  }
  Check(rc == parcel::ni::kHsNoMore && lines <= cache->host_entries);
  while ((rc = cache->ops->dump_serv_line(cache, line, sizeof line)) == QEL_O_K) {
    Check(std::count(line, line + std::strlen(line), '\t') == 3);
  }
  Check(rc == parcel::ni::kHsNoMore);
  cache->ops->dump_end(cache);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static bool started = NiInit3() == QEL_O_K;
  Check(started);
  parcel::ni::SetNiClock(&Seconds);
  Reader in(data, size);
  const std::uint8_t setup = in.Byte();
  const bool ipv6_impl = (setup & 1) != 0;
  const bool library_ipv6 = (setup & 2) != 0;
  parcel::ni::Library().ipv6 = library_ipv6;
  const std::int64_t blocks = parcel::ni::NiILiveBlocks();

  parcel::testing::FakeResolver resolver;
  Script script;
  for (int h = 0; h < 4; ++h) {
    parcel::testing::FakeHost host;
    const std::string name = in.Text();
    host.name = in.Text();
    for (int n = in.Byte() % 8; n > 0; --n) host.aliases.push_back(in.Text());
    for (int n = in.Byte(); n > 0; --n) host.addresses.push_back(in.Addr());
    if (in.Byte() % 8 == 0) host.error = parcel::platform::kWsaHOST_NOT_FOUND;
    // The first answer for a name is the one the resolver keeps.
    if (std::find(script.names.begin(), script.names.end(), name) != script.names.end()) continue;
    resolver.Host(name, host);
    script.names.push_back(name);
    script.hosts.push_back(host);
  }
  for (int r = 0; r < 2; ++r) {
    const Address address = in.Addr();
    std::string name = in.Text();
    std::vector<std::string> aliases;
    for (int n = in.Byte() % 4; n > 0; --n) aliases.push_back(in.Text());
    resolver.Reverse(address, name, aliases);
    script.reverse_addresses.push_back(address);
    script.reverse.push_back({0, name, aliases, {address}});
  }
  std::vector<std::string> services;
  for (int s = 0; s < 2; ++s) {
    services.push_back(in.Text());
    resolver.Service(services.back(), 1 + in.Byte());
  }

  HsCache* cache =
      parcel::ni::HsCreate(ipv6_impl ? &parcel::ni::kNiHsL6Ops : &parcel::ni::kNiHsLOps);
  Check(cache != nullptr);
  const int timeouts[6] = {0, 600, 600, 0, 600, 600};
  Check(cache->ops->init(cache, (setup >> 2) % 8, timeouts) == QEL_O_K);

  for (int op = 0; op < 200 && !in.empty(); ++op) {
    const std::uint8_t code = in.Byte();
    const int mode = (code >> 4) % 3;
    switch (code % 10) {
      case 0: {  // forward look-up of a scripted name (or an unknown one)
        const std::size_t i = in.Byte() % (script.names.size() + 1);
        const bool want_ipv4 = (code & 0x80) != 0;
        const std::string name = i < script.names.size() ? script.names[i] : "unknown.invalid";
        NI_NODEADDR out{};
        const int rc = cache->ops->get_node_addr(cache, name.c_str(), &out, mode, want_ipv4);
        Check(rc == QEL_O_K || rc == NIEHOST_UNKNOWN);
        // Entries of reverse answers serve forward look-ups too: an address
        // whose reverse answer gave this name is as good an answer.
        std::set<Address> allowed;
        for (std::size_t r = 0; r < script.reverse.size(); ++r) {
          const auto& names = script.reverse[r].aliases;
          if (script.reverse[r].name == name ||
              std::find(names.begin(), names.end(), name) != names.end()) {
            allowed.insert(script.reverse_addresses[r]);
          }
        }
        const bool reverse_named = !allowed.empty();
        Address expected{};
        const bool known = i < script.names.size() &&
                           Expected(script.hosts[i], ipv6_impl, library_ipv6, want_ipv4, &expected);
        if (known) allowed.insert(expected);
        if (rc == QEL_O_K) Check(allowed.count(parcel::testing::FromNode(out)) == 1);
        if (known && !reverse_named && mode != NI_HS_CACHE_ONLY) Check(rc == QEL_O_K);
        break;
      }
      case 1: {  // reverse look-up
        const Address address = in.Addr();
        const bool fq = (code & 0x80) != 0;
        const NI_NODEADDR node = parcel::testing::Node(address);
        char name[128];
        const int length = 1 + in.Byte() % 127;
        const int rc = cache->ops->get_host_name(cache, &node, name, length, fq, mode);
        Check(rc == QEL_O_K || rc == NIEHOST_UNKNOWN || rc == NIETOO_SMALL);
        if (rc != QEL_O_K) break;
        Check(std::strlen(name) < static_cast<std::size_t>(length));
        // A name the resolver gave for this address: a reverse answer's, or
        // the asked name of a forward answer that lists it.
        std::set<std::string> allowed;
        for (std::size_t r = 0; r < script.reverse.size(); ++r) {
          if (script.reverse_addresses[r] != address) continue;
          allowed.insert(script.reverse[r].name);
          allowed.insert(script.reverse[r].aliases.begin(), script.reverse[r].aliases.end());
        }
        for (std::size_t h = 0; h < script.hosts.size(); ++h) {
          const auto& list = script.hosts[h].addresses;
          if (std::find(list.begin(), list.end(), address) != list.end()) {
            allowed.insert(script.names[h]);
          }
        }
        Check(allowed.count(name) == 1);
        break;
      }
      case 2: {  // service name
        const std::string& name = services[in.Byte() % services.size()];
        std::uint16_t port = 0;
        const int rc = cache->ops->get_serv_no(cache, name.c_str(), &port, mode);
        Check(rc == QEL_O_K || rc == NIESERV_UNKNOWN);
        break;
      }
      case 3: {  // port
        char name[64];
        const int rc = cache->ops->get_serv_name(cache, NetPort(1 + in.Byte()), name,
                                                 1 + in.Byte() % 63, mode);
        Check(rc == QEL_O_K || rc == NIESERV_UNKNOWN || rc == NIETOO_SMALL);
        break;
      }
      case 4: CheckTables(cache, ipv6_impl); break;
      case 5: cache->ops->flush(cache); break;
      case 6: Check(cache->ops->set_index_size(cache, in.Byte() % 8) == QEL_O_K); break;
      case 7: g_seconds += 10 * in.Byte(); break;
      case 8: Check(cache->ops->set_retry_timeout(cache, in.Byte() % 3 * 300) == QEL_O_K); break;
      default: {  // the classic answer into a short work buffer, guarded
        const std::size_t i = in.Byte() % (script.names.size() + 1);
        const std::string name = i < script.names.size() ? script.names[i] : "unknown.invalid";
        std::vector<char> work(4 * in.Byte() + 64, '#');
        const int length = static_cast<int>(work.size()) - 64;
        parcel::ni::NiHostEnt answer{};
        const int rc = NiPGetHostByName2(name.c_str(), &answer, work.data() + 1, length);
        Check(rc == QEL_O_K || rc == NIETOO_SMALL || rc == NIEHOST_UNKNOWN);
        Check(std::all_of(work.begin() + 1 + length, work.end(), [](char c) { return c == '#'; }));
        if (rc == QEL_O_K) {
          Check(answer.name >= work.data() + 1 && answer.name < work.data() + 1 + length);
          Check(answer.addresses[0] != nullptr);
        }
      }
    }
    CheckTables(cache, ipv6_impl);
  }
  parcel::ni::HsFree(cache);
  Check(parcel::ni::NiILiveBlocks() == blocks);
  parcel::ni::Library().ipv6 = false;
  parcel::ni::SetNiClock(nullptr);
  return 0;
}
