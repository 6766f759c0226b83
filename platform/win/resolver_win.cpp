// Windows side of the resolver: getaddrinfo, getnameinfo, getservbyname,
// getservbyport and gethostname from the lazily bound ws2_32.dll table.
#include <cstring>
#include <memory>
#include <new>

#include "platform/resolver.h"
#include "platform/resolver_internal.h"
#include "platform/socket.h"
#include "platform/win/winsock.h"

namespace parcel::platform {
namespace {

using detail::AddUnique;
using detail::MapIPv4;
using win::Bind;
using win::LastSocketError;
using win::Ws2;

// getaddrinfo and getnameinfo return Windows numbers, except "not enough
// memory", which is a system error code; and Wine has been seen passing its
// host's negative EAI_* values through, which no Windows number is.
int ResolverError(int rc) {
  if (rc == WSA_NOT_ENOUGH_MEMORY) return kWsaENOBUFS;
  return rc < 0 ? kWsaHOST_NOT_FOUND : rc;
}

// The error of a failed getservby* call: Windows leaves 11004 for an
// unknown service; a call that left nothing says the same.
int ServiceError() {
  int rc = LastSocketError();
  return rc != 0 ? rc : kWsaNO_DATA;
}

struct AddrinfoDeleter {
  void operator()(addrinfo* list) const { Ws2().freeaddrinfo(list); }
};
using AddrinfoList = std::unique_ptr<addrinfo, AddrinfoDeleter>;

int NameInfo(const std::uint8_t address[16], bool mapped_as_ipv4, int flags, char* host,
             DWORD host_size) {
  win::Winsock& ws = Ws2();
  decltype(ws.getnameinfo)::Function name_info;
  if (int rc = Bind(ws.getnameinfo, &name_info); rc != 0) return rc;
  sockaddr_storage storage{};
  int length;
  if (mapped_as_ipv4 && detail::IsMappedIPv4(address)) {
    auto* in = reinterpret_cast<sockaddr_in*>(&storage);
    in->sin_family = AF_INET;
    std::memcpy(&in->sin_addr, address + 12, 4);
    length = sizeof *in;
  } else {
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
    in6->sin6_family = AF_INET6;
    std::memcpy(&in6->sin6_addr, address, 16);
    length = sizeof *in6;
  }
  return ResolverError(name_info(reinterpret_cast<const sockaddr*>(&storage), length, host,
                                 host_size, nullptr, 0, flags));
}

// Forward look-up of `name` in `family` (AF_*), of address texts only with
// `numeric_only`; `*list` receives the system's answer.
int AddressInfo(const char* name, int family, bool numeric_only, AddrinfoList* list) {
  win::Winsock& ws = Ws2();
  decltype(ws.getaddrinfo)::Function address_info;
  if (int rc = Bind(ws.getaddrinfo, &address_info); rc != 0) return rc;
  addrinfo hints{};
  hints.ai_family = family;
  // One socket type, or each address would come once per type.
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_CANONNAME | (numeric_only ? AI_NUMERICHOST : 0);
  addrinfo* first = nullptr;
  int rc = address_info(name, nullptr, &hints, &first);
  if (rc != 0) return ResolverError(rc);
  list->reset(first);
  return 0;
}

void AddAddresses(const addrinfo* first, std::vector<NetworkAddress>* addresses) {
  for (const addrinfo* p = first; p != nullptr; p = p->ai_next) {
    if (p->ai_family == AF_INET) {
      AddUnique(addresses, MapIPv4(&reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr));
    } else if (p->ai_family == AF_INET6) {
      NetworkAddress address;
      std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in6*>(p->ai_addr)->sin6_addr,
                  16);
      AddUnique(addresses, address);
    }
  }
}

int HostName(char* name, int size) {
  win::Winsock& ws = Ws2();
  decltype(ws.gethostname)::Function host_name;
  if (int rc = Bind(ws.gethostname, &host_name); rc != 0) return rc;
  return host_name(name, size) == 0 ? 0 : LastSocketError();
}

}  // namespace

int AddressToNumericText(const std::uint8_t address[16], char* buffer, std::size_t size) noexcept {
  if (address == nullptr || buffer == nullptr) return kWsaEFAULT;
  if (size > 0) buffer[0] = '\0';
  // Into room that always fits, then the caller's (Wine answers a short
  // buffer with its host's EAI_OVERFLOW).
  char text[NI_MAXHOST];
  int rc = NameInfo(address, false, NI_NUMERICHOST, text, sizeof text);
  return rc != 0 ? rc : detail::CopyText(text, buffer, size);
}

int ResolveHostName(const char* name, int family, HostEntry* out, bool numeric_only) noexcept {
  if (name == nullptr || out == nullptr) return kWsaEFAULT;
  try {
    *out = HostEntry{};
    if (family != 0 && family != kSocketFamilyIPv4 && family != kSocketFamilyIPv6) {
      return kWsaEAFNOSUPPORT;
    }
    AddrinfoList list;
    if (int rc = AddressInfo(name, family, numeric_only, &list); rc != 0) return rc;
    HostEntry entry;
    AddAddresses(list.get(), &entry.addresses);
    detail::SetNames(&entry, name, list->ai_canonname);
    *out = std::move(entry);
    return 0;
  } catch (const std::bad_alloc&) {
    *out = HostEntry{};
    return kWsaENOBUFS;
  }
}

int ResolveHostAddress(const std::uint8_t address[16], HostEntry* out) noexcept {
  if (address == nullptr || out == nullptr) return kWsaEFAULT;
  try {
    *out = HostEntry{};
    char host[NI_MAXHOST];
    int rc = NameInfo(address, true, NI_NAMEREQD, host, sizeof host);
    if (rc != 0) return rc;
    HostEntry entry;
    entry.name = host;
    NetworkAddress copy;
    std::memcpy(copy.data(), address, 16);
    entry.addresses.push_back(copy);
    *out = std::move(entry);
    return 0;
  } catch (const std::bad_alloc&) {
    *out = HostEntry{};
    return kWsaENOBUFS;
  }
}

int ResolveServiceName(const char* name, const char* protocol, std::uint16_t* port_network_order,
                       std::string* official_name) noexcept {
  if (name == nullptr || port_network_order == nullptr) return kWsaEFAULT;
  win::Winsock& ws = Ws2();
  decltype(ws.getservbyname)::Function service_by_name;
  if (int rc = Bind(ws.getservbyname, &service_by_name); rc != 0) return rc;
  // The entry lives in storage of the calling thread until its next call.
  const servent* entry = service_by_name(name, protocol);
  if (entry == nullptr) return ServiceError();
  try {
    if (official_name != nullptr) *official_name = entry->s_name;
  } catch (const std::bad_alloc&) {
    return kWsaENOBUFS;
  }
  *port_network_order = static_cast<std::uint16_t>(entry->s_port);
  return 0;
}

int ResolveServicePort(std::uint16_t port_network_order, const char* protocol,
                       std::string* name) noexcept {
  if (name == nullptr) return kWsaEFAULT;
  win::Winsock& ws = Ws2();
  decltype(ws.getservbyport)::Function service_by_port;
  if (int rc = Bind(ws.getservbyport, &service_by_port); rc != 0) return rc;
  const servent* entry = service_by_port(port_network_order, protocol);
  if (entry == nullptr) return ServiceError();
  try {
    *name = entry->s_name;
  } catch (const std::bad_alloc&) {
    return kWsaENOBUFS;
  }
  return 0;
}

int LocalHostName(char* buffer, std::size_t size) noexcept {
  if (buffer == nullptr) return kWsaEFAULT;
  if (size > 0) buffer[0] = '\0';
  // Windows host names fit in 256 bytes (its documented bound for
  // gethostname's buffer).
  char name[257];
  if (int rc = HostName(name, sizeof name - 1); rc != 0) return rc;
  name[sizeof name - 1] = '\0';
  return detail::CopyText(name, buffer, size);
}

int LocalHostAddresses(std::vector<NetworkAddress>* out) noexcept {
  if (out == nullptr) return kWsaEFAULT;
  char name[257];
  if (int rc = HostName(name, sizeof name - 1); rc != 0) return rc;
  name[sizeof name - 1] = '\0';
  try {
    std::vector<NetworkAddress> addresses;
    // A host name the resolver does not know still leaves the loopback
    // addresses, which every machine has.
    AddrinfoList list;
    if (AddressInfo(name, AF_UNSPEC, false, &list) == 0) AddAddresses(list.get(), &addresses);
    static constexpr std::uint8_t kLoopback4[4] = {127, 0, 0, 1};
    NetworkAddress loopback6{};
    loopback6[15] = 1;
    AddUnique(&addresses, MapIPv4(kLoopback4));
    AddUnique(&addresses, loopback6);
    *out = std::move(addresses);
    return 0;
  } catch (const std::bad_alloc&) {
    return kWsaENOBUFS;
  }
}

}  // namespace parcel::platform
