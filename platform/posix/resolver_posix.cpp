// POSIX side of the resolver: getaddrinfo, getnameinfo, getifaddrs and the
// _r variants of the service look-ups, with one table from EAI_* values to
// Windows Sockets numbers.
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <memory>
#include <new>

#include "platform/resolver.h"
#include "platform/resolver_internal.h"
#include "platform/socket.h"

namespace parcel::platform {
namespace {

using detail::AddUnique;
using detail::MapIPv4;

struct EaiRow {
  int eai;
  int wsa;
};

constexpr EaiRow kEaiRows[] = {
    {EAI_NONAME, kWsaHOST_NOT_FOUND},
#ifdef EAI_ADDRFAMILY
    // A numeric address of the other family; Windows says "not found".
    {EAI_ADDRFAMILY, kWsaHOST_NOT_FOUND},
#endif
    {EAI_AGAIN, kWsaTRY_AGAIN},
    {EAI_FAIL, kWsaNO_RECOVERY},
#ifdef EAI_NODATA
    {EAI_NODATA, kWsaNO_DATA},
#endif
    {EAI_FAMILY, kWsaEAFNOSUPPORT},
    {EAI_MEMORY, kWsaENOBUFS},
    {EAI_SERVICE, kWsaTYPE_NOT_FOUND},
    {EAI_SOCKTYPE, kWsaESOCKTNOSUPPORT},
    {EAI_BADFLAGS, kWsaEINVAL},
#ifdef EAI_OVERFLOW
    {EAI_OVERFLOW, kWsaEFAULT},
#endif
};

// `saved_errno` is errno as the failed call left it, for EAI_SYSTEM.
int ErrorFromEai(int eai, int saved_errno) {
  if (eai == EAI_SYSTEM) return SocketErrorFromErrno(saved_errno);
  for (const EaiRow& row : kEaiRows) {
    if (row.eai == eai) return row.wsa;
  }
  return kWsaNO_RECOVERY;
}

struct AddrinfoDeleter {
  void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddrinfoList = std::unique_ptr<addrinfo, AddrinfoDeleter>;

// getnameinfo on the 16-byte `address`, as IPv4 when it is IPv4-mapped and
// `mapped_as_ipv4` asks for that.
int NameInfo(const std::uint8_t address[16], bool mapped_as_ipv4, int flags, char* host,
             socklen_t host_size) {
  sockaddr_storage storage{};
  socklen_t length;
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
  int rc = getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, host, host_size,
                       nullptr, 0, flags);
  return rc == 0 ? 0 : ErrorFromEai(rc, errno);
}

// Looks up one service entry with `lookup`(servent*, buffer, size, result*),
// growing the buffer while the system says it is too small.
template <typename Lookup>
int ServiceEntry(Lookup lookup, std::uint16_t* port, std::string* name) {
  std::size_t size = 1024;
  for (;;) {
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[size]);
    if (buffer == nullptr) return kWsaENOBUFS;
    servent entry;
    servent* result = nullptr;
    int rc = lookup(&entry, buffer.get(), size, &result);
    if (rc == ERANGE && size < 65536) {
      size *= 2;
      continue;
    }
    if (rc != 0) return SocketErrorFromErrno(rc);
    if (result == nullptr) return kWsaNO_DATA;
    if (port != nullptr) *port = static_cast<std::uint16_t>(result->s_port);
    if (name != nullptr) *name = result->s_name;
    return 0;
  }
}

}  // namespace

int AddressToNumericText(const std::uint8_t address[16], char* buffer, std::size_t size) noexcept {
  if (address == nullptr || buffer == nullptr) return kWsaEFAULT;
  if (size > 0) buffer[0] = '\0';
  // Into room that always fits, then the caller's: the system's own
  // handling of a short buffer differs from one C library to the next.
  char text[NI_MAXHOST];
  int rc = NameInfo(address, false, NI_NUMERICHOST, text, sizeof text);
  return rc != 0 ? rc : detail::CopyText(text, buffer, size);
}

int ResolveHostName(const char* name, int family, HostEntry* out, bool numeric_only) noexcept {
  if (name == nullptr || out == nullptr) return kWsaEFAULT;
  try {
    *out = HostEntry{};
    addrinfo hints{};
    switch (family) {
      case 0: hints.ai_family = AF_UNSPEC; break;
      case kSocketFamilyIPv4: hints.ai_family = AF_INET; break;
      case kSocketFamilyIPv6: hints.ai_family = AF_INET6; break;
      default: return kWsaEAFNOSUPPORT;
    }
    // One socket type, or each address would come once per type.
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME | (numeric_only ? AI_NUMERICHOST : 0);
    addrinfo* first = nullptr;
    int rc = getaddrinfo(name, nullptr, &hints, &first);
    if (rc != 0) return ErrorFromEai(rc, errno);
    AddrinfoList list(first);
    HostEntry entry;
    for (const addrinfo* p = first; p != nullptr; p = p->ai_next) {
      if (p->ai_family == AF_INET) {
        AddUnique(&entry.addresses,
                  MapIPv4(&reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr));
      } else if (p->ai_family == AF_INET6) {
        NetworkAddress address;
        std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in6*>(p->ai_addr)->sin6_addr,
                    16);
        AddUnique(&entry.addresses, address);
      }
    }
    detail::SetNames(&entry, name, first->ai_canonname);
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
  try {
    return ServiceEntry(
        [&](servent* entry, char* buffer, std::size_t size, servent** result) {
          return getservbyname_r(name, protocol, entry, buffer, size, result);
        },
        port_network_order, official_name);
  } catch (const std::bad_alloc&) {
    return kWsaENOBUFS;
  }
}

int ResolveServicePort(std::uint16_t port_network_order, const char* protocol,
                       std::string* name) noexcept {
  if (name == nullptr) return kWsaEFAULT;
  try {
    return ServiceEntry(
        [&](servent* entry, char* buffer, std::size_t size, servent** result) {
          return getservbyport_r(port_network_order, protocol, entry, buffer, size, result);
        },
        nullptr, name);
  } catch (const std::bad_alloc&) {
    return kWsaENOBUFS;
  }
}

int LocalHostName(char* buffer, std::size_t size) noexcept {
  if (buffer == nullptr) return kWsaEFAULT;
  if (size > 0) buffer[0] = '\0';
  // Host names are at most HOST_NAME_MAX bytes; POSIX leaves truncation
  // unspecified, so the name goes into room that always fits first.
  char name[HOST_NAME_MAX + 1];
  if (gethostname(name, sizeof name) != 0) return SocketErrorFromErrno(errno);
  name[sizeof name - 1] = '\0';
  return detail::CopyText(name, buffer, size);
}

int LocalHostAddresses(std::vector<NetworkAddress>* out) noexcept {
  if (out == nullptr) return kWsaEFAULT;
  ifaddrs* interfaces = nullptr;
  if (getifaddrs(&interfaces) != 0) return SocketErrorFromErrno(errno);
  int rc = 0;
  try {
    std::vector<NetworkAddress> addresses;
    for (const ifaddrs* p = interfaces; p != nullptr; p = p->ifa_next) {
      if (p->ifa_addr == nullptr) continue;
      if (p->ifa_addr->sa_family == AF_INET) {
        AddUnique(&addresses,
                  MapIPv4(&reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr));
      } else if (p->ifa_addr->sa_family == AF_INET6) {
        NetworkAddress address;
        std::memcpy(address.data(), &reinterpret_cast<const sockaddr_in6*>(p->ifa_addr)->sin6_addr,
                    16);
        AddUnique(&addresses, address);
      }
    }
    *out = std::move(addresses);
  } catch (const std::bad_alloc&) {
    rc = kWsaENOBUFS;
  }
  freeifaddrs(interfaces);
  return rc;
}

}  // namespace parcel::platform
