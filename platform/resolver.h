// Host and service names: the system's resolver through its reentrant
// interfaces only (getaddrinfo, getnameinfo, and on POSIX getservbyname_r
// and getservbyport_r; on Windows getservbyname and getservbyport, whose
// results Windows keeps per thread). Every function is thread-safe.
//
// Results are 0 or a Windows Sockets error number, as for the socket
// service (platform/socket.h):
//   11001 host (or service) not found   11002 temporary failure, try again
//   11003 unrecoverable failure         11004 the name exists, no such data
//   10014 a result does not fit the caller's buffer
//   10047 family not supported          10055 out of memory
//   10109 unknown service (getaddrinfo) 10022 bad arguments
// POSIX maps the EAI_* values through one table, chosen to match what
// Windows gives for the same case: EAI_NONAME and EAI_ADDRFAMILY (a numeric
// address of the other family) 11001, EAI_AGAIN 11002, EAI_FAIL 11003,
// EAI_NODATA 11004, EAI_FAMILY 10047, EAI_MEMORY 10055, EAI_SERVICE 10109,
// EAI_SOCKTYPE 10044, EAI_BADFLAGS 10022, EAI_OVERFLOW 10014, EAI_SYSTEM
// the errno value through SocketErrorFromErrno.
// Windows returns its own numbers, with two corrections: its "not enough
// memory" (8) becomes 10055, and a value outside the Windows numbering (Wine
// has been seen passing its host's negative EAI_* values through) becomes
// 11001.
//
// Windows: every function requires a started socket interface
// (SocketStartup), else 10093; a function ws2_32.dll lacks gives 10045.
//
// Addresses are 16 bytes in IPv6 byte order; IPv4 addresses are IPv4-mapped
// (::ffff:a.b.c.d).
#ifndef PARCEL_PLATFORM_RESOLVER_H_
#define PARCEL_PLATFORM_RESOLVER_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace parcel::platform {

// getaddrinfo's "unknown service" (EAI_SERVICE) in the Windows numbering.
inline constexpr int kWsaTYPE_NOT_FOUND = 10109;

using NetworkAddress = std::array<std::uint8_t, 16>;

struct HostEntry {
  std::string name;                       // canonical name
  std::vector<std::string> aliases;       // other names the host was asked by
  std::vector<NetworkAddress> addresses;  // de-duplicated, in the system's order
};

// Writes the numeric text of `address` (getnameinfo with NI_NUMERICHOST on
// an IPv6 socket address) into `buffer`, NUL-terminated. An IPv4-mapped
// address gives what the system gives for it ("::ffff:10.1.2.3"). A buffer
// too small for the text and its terminator gives 10014 and is left with an
// empty string (when `size` > 0). Address and buffer are borrowed.
int AddressToNumericText(const std::uint8_t address[16], char* buffer, std::size_t size) noexcept;

// Forward look-up of `name` in `family`: 2 (IPv4 only), 23 (IPv6 only) or 0
// (both); any other family gives 10047. `out->name` receives the canonical
// name (AI_CANONNAME; `name` itself when the system names none),
// `out->aliases` the asked name when it differs from the canonical one (the
// reentrant interface knows no other aliases), `out->addresses` every
// address once, in the system's order. A numeric name gives itself. On
// failure `*out` is empty. With `numeric_only` (AI_NUMERICHOST) a name that
// is not an address text gives 11001 without asking the resolver.
int ResolveHostName(const char* name, int family, HostEntry* out,
                    bool numeric_only = false) noexcept;

// Reverse look-up of `address` (getnameinfo with NI_NAMEREQD: a host
// without a name gives 11001 and never its numeric text). An IPv4-mapped
// address is looked up as the IPv4 address. `out->addresses` holds
// `address`; no aliases.
int ResolveHostAddress(const std::uint8_t address[16], HostEntry* out) noexcept;

// The port of service `name` for `protocol` ("tcp", "udp"; null: any) in
// network byte order, and its official name (`official_name` may be null).
// An unknown service gives 11004, the value Windows's getservbyname leaves
// for it.
int ResolveServiceName(const char* name, const char* protocol, std::uint16_t* port_network_order,
                       std::string* official_name) noexcept;

// The official name of the service on `port_network_order` for `protocol`
// (null: any). An unknown port gives 11004, as on Windows.
int ResolveServicePort(std::uint16_t port_network_order, const char* protocol,
                       std::string* name) noexcept;

// The machine's host name (gethostname), NUL-terminated. A buffer too small
// for it and its terminator gives 10014 and holds an empty string (when
// `size` > 0).
int LocalHostName(char* buffer, std::size_t size) noexcept;

// Every address of the machine, each once: POSIX lists its interfaces
// (getifaddrs); Windows resolves the host name and adds the loopback
// addresses 127.0.0.1 and ::1.
int LocalHostAddresses(std::vector<NetworkAddress>* out) noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_RESOLVER_H_
