// Text forms of node addresses and ports, and the conversion between node
// addresses and socket addresses.
//
// Buffer lengths include the terminating NUL. Ports are in network order.
#ifndef PARCEL_NI_NI_ADDR_H_
#define PARCEL_NI_NI_ADDR_H_

#include <cstddef>
#include <cstdint>

#include "ni/nii.h"
#include "platform/coding.h"
#include "platform/socket.h"

// clang-format off
inline constexpr int NI_IPv4ADDR_STR_LEN  = 16;
inline constexpr int NI_NODEADDR_STR_LEN  = 46;
inline constexpr int NI_SERVNO_STR_LEN    = 6;
inline constexpr int NI_SERVNO_STR_L_LEN  = 12;
// clang-format on

// Writes the text of `address` (null: no address) into `buffer`. The short
// form writes IPv4-mapped addresses as "a.b.c.d"; without IPv6 in the
// library the short form is always used. A short form needs 16 bytes, every
// other text 46. NIEINVAL for a missing or short buffer.
int NiAddrToStr(const NI_NODEADDR* address, char* buffer, int length, bool short_form) noexcept;
// The same into the calling thread's 46-character buffer; "*** ERROR ***"
// when the library, the thread block or the conversion fails. The text
// stays valid until the thread's next call.
const char* NiAddrToStrStatic(const NI_NODEADDR* address, bool short_form) noexcept;
// "80": the port in decimal (buffer of at least 6).
int NiSrvToStr2(std::uint16_t port, char* buffer, int length) noexcept;
// "00.50/0080": both bytes in hexadecimal, then the port with at least four
// digits (buffer of at least 12).
int NiSrvToStrL2(std::uint16_t port, char* buffer, int length) noexcept;
// Builds the socket address of `record`'s family for `address` and `port`:
// IPv4 (the address must be IPv4-mapped; length 4), IPv6 (length 16), local
// (the path "/tmp/.qelstream<port>"; length 108). `handle` may be null.
int NiIMakeSockAddr(const NiHdl* handle, const NI_SOCKREC* record, const NI_NODEADDR* address,
                    std::uint16_t port, parcel::platform::SocketAddress* out,
                    int* out_length) noexcept;
// The reverse: node address and port of a socket address; for a local
// socket the loopback address, port 0 and the path (asked from the socket
// when `address` holds none) into `path` (may be null).
int NiISolveSockAddr(const NiHdl* handle, NI_SOCKREC* record,
                     const parcel::platform::SocketAddress& address, NI_NODEADDR* out,
                     std::uint16_t* port, char* path, std::size_t path_size) noexcept;

namespace parcel::ni {

// The number of a port held in network byte order, and the reverse.
inline unsigned PortNumber(std::uint16_t port) noexcept {
  return platform::DecodeBigEndian16(&port);
}
inline std::uint16_t NetworkPort(unsigned number) noexcept {
  std::uint16_t port;
  platform::EncodeBigEndian16(&port, static_cast<std::uint16_t>(number));
  return port;
}

bool IsIPv4Mapped(const NI_NODEADDR& address) noexcept;
// IPv4-mapped node address of a.b.c.d.
NI_NODEADDR MappedAddress(unsigned char a, unsigned char b, unsigned char c,
                          unsigned char d) noexcept;
// "address:port" in the short form the library uses for trace lines.
void FormatAddressPort(const NI_NODEADDR* address, std::uint16_t port, char* out,
                       std::size_t size) noexcept;
// The library's local socket path for `port` (network order).
void LocalSocketPath(std::uint16_t port, char* out, std::size_t size) noexcept;

}  // namespace parcel::ni

#endif  // PARCEL_NI_NI_ADDR_H_
