// The resolver calls beneath the name caches (NiP*): the system's answers,
// reached through a replaceable table, copied into callers' buffers.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "ni/ni_addr.h"
#include "ni/ni_hostcache.h"
#include "ni/ni_hs_internal.h"
#include "platform/socket.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

constexpr const char* kSource = "ni_resolve.cpp";

int PlatformHostByName(const char* name, int family, platform::HostEntry* out, bool numeric_only) {
  return platform::ResolveHostName(name, family, out, numeric_only);
}

const NiResolver kPlatformResolver = {
    &PlatformHostByName,           &platform::ResolveHostAddress, &platform::ResolveServiceName,
    &platform::ResolveServicePort, &platform::LocalHostName,      &platform::LocalHostAddresses,
};

std::atomic<const NiResolver*> g_resolver{nullptr};

// "Not found" in the Windows numbering: no such host (or service), or the
// name exists without data.
bool NotFound(int error) {
  return error == platform::kWsaHOST_NOT_FOUND || error == platform::kWsaNO_DATA ||
         error == platform::kWsaTYPE_NOT_FOUND;
}

bool Mapped(const platform::NetworkAddress& address) {
  static constexpr unsigned char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return std::memcmp(address.data(), kPrefix, sizeof kPrefix) == 0;
}

NI_NODEADDR Node(const platform::NetworkAddress& address) {
  NI_NODEADDR node;
  std::memcpy(node.addr, address.data(), sizeof node.addr);
  return node;
}

// Room counting that cannot overflow: adding to a total past `limit`
// leaves it past `limit`.
class Room {
 public:
  explicit Room(std::size_t limit) : limit_(limit) {}
  void Add(std::size_t bytes) {
    if (used_ > limit_) return;
    used_ = bytes > limit_ - used_ ? limit_ + 1 : used_ + bytes;
  }
  void AddArray(std::size_t count, std::size_t each) {
    if (used_ > limit_) return;
    if (each != 0 && count > (limit_ - used_) / each) {
      used_ = limit_ + 1;
    } else {
      used_ += count * each;
    }
  }
  bool Fits() const { return used_ <= limit_; }

 private:
  std::size_t limit_;
  std::size_t used_ = 0;
};

// Lays a host answer out in `work`: the alias pointers, the address pointers,
// the addresses, then the strings. Only the addresses of `family` (2: the
// IPv4-mapped ones as 4 bytes; 23: the others as 16) are taken.
int LayOutHost(const platform::HostEntry& entry, int family, NiHostEnt* out, char* work,
               int length) {
  if (work == nullptr || length <= 0) return NIETOO_SMALL;
  const int address_length = family == platform::kSocketFamilyIPv4 ? 4 : 16;
  std::size_t addresses = 0;
  for (const platform::NetworkAddress& a : entry.addresses) {
    if ((family == platform::kSocketFamilyIPv4) == Mapped(a)) ++addresses;
  }
  const std::size_t size = static_cast<std::size_t>(length);
  const std::uintptr_t base = reinterpret_cast<std::uintptr_t>(work);
  const std::size_t pad = (alignof(char*) - base % alignof(char*)) % alignof(char*);
  Room room(size);
  room.Add(pad);
  room.AddArray(entry.aliases.size() + 1, sizeof(char*));
  room.AddArray(addresses + 1, sizeof(unsigned char*));
  room.AddArray(addresses, static_cast<std::size_t>(address_length));
  room.Add(entry.name.size() + 1);
  for (const std::string& alias : entry.aliases) room.Add(alias.size() + 1);
  if (!room.Fits()) return NIETOO_SMALL;

  char* p = work + pad;
  auto** alias_list = reinterpret_cast<char**>(p);
  p += (entry.aliases.size() + 1) * sizeof(char*);
  auto** address_list = reinterpret_cast<unsigned char**>(p);
  p += (addresses + 1) * sizeof(unsigned char*);
  std::size_t k = 0;
  for (const platform::NetworkAddress& a : entry.addresses) {
    const bool mapped = Mapped(a);
    if ((family == platform::kSocketFamilyIPv4) != mapped) continue;
    std::memcpy(p, mapped ? a.data() + 12 : a.data(), static_cast<std::size_t>(address_length));
    address_list[k++] = reinterpret_cast<unsigned char*>(p);
    p += address_length;
  }
  address_list[k] = nullptr;
  std::memcpy(p, entry.name.c_str(), entry.name.size() + 1);
  out->name = p;
  p += entry.name.size() + 1;
  for (std::size_t i = 0; i < entry.aliases.size(); ++i) {
    std::memcpy(p, entry.aliases[i].c_str(), entry.aliases[i].size() + 1);
    alias_list[i] = p;
    p += entry.aliases[i].size() + 1;
  }
  alias_list[entry.aliases.size()] = nullptr;
  out->aliases = alias_list;
  out->addresses = address_list;
  out->addrtype = family;
  out->length = address_length;
  return QEL_O_K;
}

int LayOutService(const char* name, std::uint16_t port, const char* protocol, NiServEnt* out,
                  char* work, int length) {
  const std::size_t size = std::strlen(name);
  if (work == nullptr || length <= 0 || size >= static_cast<std::size_t>(length)) {
    return NIETOO_SMALL;
  }
  std::memcpy(work, name, size + 1);
  out->name = work;
  out->port = port;
  out->protocol = protocol != nullptr ? protocol : "";
  return QEL_O_K;
}

int ResolverFailure(const char* function, const char* call, const char* what, int error) {
  return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: %s failed for '%s' (%d)", function,
                  call, what, error);
}

}  // namespace

const NiResolver& NiPlatformResolver() noexcept { return kPlatformResolver; }

const NiResolver* NiSetResolver(const NiResolver* resolver) noexcept {
  const NiResolver* previous = g_resolver.exchange(resolver);
  return previous != nullptr ? previous : &kPlatformResolver;
}

const NiResolver& NiCurrentResolver() noexcept {
  const NiResolver* resolver = g_resolver.load();
  return resolver != nullptr ? *resolver : kPlatformResolver;
}

bool NumericAddress(const char* text, bool ipv4_only, NI_NODEADDR* out) noexcept {
  platform::HostEntry entry;
  if (text == nullptr ||
      platform::ResolveHostName(text, ipv4_only ? platform::kSocketFamilyIPv4 : 0, &entry, true) !=
          0 ||
      entry.addresses.empty()) {
    return false;
  }
  std::memcpy(out->addr, entry.addresses.front().data(), sizeof out->addr);
  return true;
}

}  // namespace parcel::ni

using parcel::ni::kSource;
using parcel::ni::NiCurrentResolver;
using parcel::ni::NiHostEnt;
using parcel::ni::NiIError;
using parcel::ni::NiIRecord;
using parcel::ni::NiServEnt;

int NiPGetHostByName2(const char* name, NiHostEnt* out, char* work, int length) noexcept {
  constexpr const char* kFunction = "NiPGetHostByName2";
  if (name == nullptr || out == nullptr) return parcel::ni::HsInvalidArgument(kFunction);
  parcel::platform::HostEntry entry;
  const int error =
      NiCurrentResolver().host_by_name(name, parcel::platform::kSocketFamilyIPv4, &entry, false);
  if (error != 0 && !parcel::ni::NotFound(error)) {
    return parcel::ni::ResolverFailure(kFunction, "gethostbyname", name, error);
  }
  if (error != 0 || entry.addresses.empty()) {
    PARCEL_TRC(2, DpTrc, "%s: hostname '%s' not found\n", kFunction, name);
    return parcel::ni::HsHostUnknown(name);
  }
  // A classic answer holds one family: that of the first address.
  const bool mapped = parcel::ni::Mapped(entry.addresses.front());
  return parcel::ni::LayOutHost(entry, mapped ? 2 : 23, out, work, length);
}

int NiPGetHostByAddr2(const NI_NODEADDR* address, NiHostEnt* out, char* work, int length) noexcept {
  constexpr const char* kFunction = "NiPGetHostByAddr2";
  if (address == nullptr || out == nullptr) return parcel::ni::HsInvalidArgument(kFunction);
  char text[NI_NODEADDR_STR_LEN];
  parcel::ni::HsAddressText(address, text, sizeof text);
  parcel::platform::HostEntry entry;
  const int error = NiCurrentResolver().host_by_address(address->addr, &entry);
  if (error != 0 && !parcel::ni::NotFound(error)) {
    return parcel::ni::ResolverFailure(kFunction, "gethostbyaddr", text, error);
  }
  if (error != 0) {
    PARCEL_TRC(2, DpTrc, "%s: address %s not found\n", kFunction, text);
    return parcel::ni::HsHostUnknown(text);
  }
  // The answer is about the asked address, whatever the resolver listed.
  parcel::platform::NetworkAddress asked;
  std::memcpy(asked.data(), address->addr, asked.size());
  entry.addresses.assign(1, asked);
  return parcel::ni::LayOutHost(entry, parcel::ni::IsIPv4Mapped(*address) ? 2 : 23, out, work,
                                length);
}

int NiPGetServByName2(const char* name, const char* protocol, NiServEnt* out, char* work,
                      int length) noexcept {
  constexpr const char* kFunction = "NiPGetServByName2";
  if (name == nullptr || out == nullptr) return parcel::ni::HsInvalidArgument(kFunction);
  std::uint16_t port = 0;
  std::string official;
  int error;
  try {
    error = NiCurrentResolver().service_by_name(name, protocol, &port, &official);
  } catch (const std::bad_alloc&) {
    error = parcel::platform::kWsaENOBUFS;
  }
  if (error != 0 && !parcel::ni::NotFound(error)) {
    return parcel::ni::ResolverFailure(kFunction, "getservbyname", name, error);
  }
  if (error != 0) {
    PARCEL_TRC(2, DpTrc, "%s: service '%s' not found\n", kFunction, name);
    return parcel::ni::HsServUnknown(name);
  }
  return parcel::ni::LayOutService(official.empty() ? name : official.c_str(), port, protocol, out,
                                   work, length);
}

int NiPGetServByPort2(std::uint16_t port, const char* protocol, NiServEnt* out, char* work,
                      int length) noexcept {
  constexpr const char* kFunction = "NiPGetServByPort2";
  if (out == nullptr) return parcel::ni::HsInvalidArgument(kFunction);
  char text[NI_SERVNO_STR_LEN];
  std::snprintf(text, sizeof text, "%u", parcel::ni::PortNumber(port));
  std::string name;
  int error;
  try {
    error = NiCurrentResolver().service_by_port(port, protocol, &name);
  } catch (const std::bad_alloc&) {
    error = parcel::platform::kWsaENOBUFS;
  }
  if (error != 0 && !parcel::ni::NotFound(error)) {
    return parcel::ni::ResolverFailure(kFunction, "getservbyport", text, error);
  }
  if (error != 0 || name.empty()) {
    PARCEL_TRC(2, DpTrc, "%s: port %s not found\n", kFunction, text);
    return parcel::ni::HsServUnknown(text);
  }
  return parcel::ni::LayOutService(name.c_str(), port, protocol, out, work, length);
}

int NiPGetHostByName3(const char* name, bool ipv4_only, bool numeric_only, NI_NODEADDR* addresses,
                      int* count, char* canonical, int canonical_length) noexcept {
  constexpr const char* kFunction = "NiPGetHostByName3";
  if (name == nullptr || count == nullptr || *count < 0 || (addresses == nullptr && *count > 0)) {
    return parcel::ni::HsInvalidArgument(kFunction);
  }
  const int family = ipv4_only ? parcel::platform::kSocketFamilyIPv4 : 0;
  parcel::platform::HostEntry entry;
  const int error = NiCurrentResolver().host_by_name(name, family, &entry, numeric_only);
  if (error != 0 && !parcel::ni::NotFound(error)) {
    return parcel::ni::ResolverFailure(kFunction, "getaddrinfo", name, error);
  }
  if (ipv4_only) {
    // getaddrinfo answers family 2 with IPv4 addresses only; keep that so
    // whatever answered.
    std::erase_if(entry.addresses,
                  [](const parcel::platform::NetworkAddress& a) { return !parcel::ni::Mapped(a); });
  }
  if (error != 0 || entry.addresses.empty()) {
    PARCEL_TRC(2, DpTrc, "%s: '%s' not found\n", kFunction, name);
    return parcel::ni::HsHostUnknown(name);
  }
  if (trcLevel >= 3) {
    parcel::runtime::TraceStatement statement(3);
    DpTrc(trcHandle, "\naddrinfo of '%s':\n", name);
    // The numbers: request flags (canonical name 2, numeric host 4), family,
    // socket type, protocol and socket address length.
    const int flags = 2 | (numeric_only ? 4 : 0);
    for (const parcel::platform::NetworkAddress& a : entry.addresses) {
      const NI_NODEADDR node = parcel::ni::Node(a);
      const bool mapped = parcel::ni::Mapped(a);
      char text[NI_NODEADDR_STR_LEN];
      parcel::ni::HsAddressText(&node, text, sizeof text);
      DpTrc(trcHandle, "  %s %s %s (%d-%d-%d-%d-%d)\n", mapped ? "AF_INET" : "AF_INET6", "STREAM",
            text, flags, mapped ? 2 : 23, 1, 0, mapped ? 16 : 28);
    }
  }
  if (canonical != nullptr) {
    const char* text = entry.name.empty() ? name : entry.name.c_str();
    const std::size_t size = std::strlen(text);
    if (canonical_length <= 0 || size >= static_cast<std::size_t>(canonical_length)) {
      return NiIError(NIEINTERN, kSource, __LINE__, false,
                      "%s: canonical name '%s' too long (%d>=%d)", kFunction, text,
                      static_cast<int>(size), canonical_length);
    }
    std::memcpy(canonical, text, size + 1);
  }
  const std::size_t total = entry.addresses.size();
  const std::size_t room = static_cast<std::size_t>(*count);
  for (std::size_t i = 0; i < total && i < room; ++i) {
    std::memcpy(addresses[i].addr, entry.addresses[i].data(), 16);
  }
  *count = total > static_cast<std::size_t>(INT32_MAX) ? INT32_MAX : static_cast<int>(total);
  return total > room ? NIETOO_SMALL : QEL_O_K;
}

int NiPGetHostByAddr3(const NI_NODEADDR* address, char* name, int length) noexcept {
  constexpr const char* kFunction = "NiPGetHostByAddr3";
  if (address == nullptr || name == nullptr) return parcel::ni::HsInvalidArgument(kFunction);
  char text[NI_NODEADDR_STR_LEN];
  parcel::ni::HsAddressText(address, text, sizeof text);
  parcel::platform::HostEntry entry;
  const int error = NiCurrentResolver().host_by_address(address->addr, &entry);
  if (error != 0 && !parcel::ni::NotFound(error)) {
    return parcel::ni::ResolverFailure(kFunction, "getnameinfo", text, error);
  }
  if (error != 0 || entry.name.empty()) {
    PARCEL_TRC(2, DpTrc, "%s: address %s not found\n", kFunction, text);
    return parcel::ni::HsHostUnknown(text);
  }
  const std::size_t size = entry.name.size();
  if (length <= 0 || size >= static_cast<std::size_t>(length)) {
    PARCEL_TRC(2, DpTrc, "NiPGetHostByAddr3: name '%s' too long (%d>=%d)\n", entry.name.c_str(),
               static_cast<int>(size), length);
    return NiIRecord(NIETOO_SMALL, kSource, __LINE__, "%s: name '%s' too long (%d>=%d)", kFunction,
                     entry.name.c_str(), static_cast<int>(size), length);
  }
  std::memcpy(name, entry.name.c_str(), size + 1);
  return QEL_O_K;
}

int NiPMyHostName(char* buffer, int length) noexcept {
  constexpr const char* kFunction = "NiPMyHostName";
  if (buffer == nullptr || length <= 0) return parcel::ni::HsInvalidArgument(kFunction);
  const int error = NiCurrentResolver().host_name(buffer, static_cast<std::size_t>(length));
  if (error == parcel::platform::kWsaEFAULT) {
    return NiIError(NIETOO_SMALL, kSource, __LINE__, false, "%s: buffer too small (%d)", kFunction,
                    length);
  }
  if (error != 0) {
    PARCEL_TRC(1, DpTrc, "%s: gethostnameU failed\n", kFunction);
    return NiIRecord(NIEINTERN, kSource, __LINE__, "%s: gethostnameU failed (%d)", kFunction,
                     error);
  }
  return QEL_O_K;
}

int NiPGetNodeAddrList(NI_NODEADDR* list, int* count) noexcept {
  constexpr const char* kFunction = "NiPGetNodeAddrList";
  if (list == nullptr || count == nullptr || *count < 0) {
    return parcel::ni::HsInvalidArgument(kFunction);
  }
  std::vector<parcel::platform::NetworkAddress> addresses;
  int error;
  try {
    error = NiCurrentResolver().host_addresses(&addresses);
  } catch (const std::bad_alloc&) {
    error = parcel::platform::kWsaENOBUFS;
  }
  if (error != 0) {
    *count = 0;
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: local addresses not available (%d)",
                    kFunction, error);
  }
  const int total = addresses.size() > static_cast<std::size_t>(INT32_MAX)
                        ? INT32_MAX
                        : static_cast<int>(addresses.size());
  PARCEL_TRC(2, DpTrc, "%s: got %d interface(s) from operating system\n", kFunction, total);
  const int taken = total < *count ? total : *count;
  if (taken < total) PARCEL_TRC(2, DpTrc, "returning only the first %d\n", taken);
  for (int i = 0; i < taken; ++i) {
    std::memcpy(list[i].addr, addresses[static_cast<std::size_t>(i)].data(), 16);
    char text[NI_NODEADDR_STR_LEN];
    parcel::ni::HsAddressText(&list[i], text, sizeof text);
    PARCEL_TRC(2, DpTrc, "\t\t[%d] IP-Address: %s\n", i, text);
  }
  *count = taken;
  return QEL_O_K;
}
