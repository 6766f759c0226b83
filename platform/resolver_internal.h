// Portable pieces of the resolver, shared by both sides. Internal to
// platform/.
#ifndef PARCEL_PLATFORM_RESOLVER_INTERNAL_H_
#define PARCEL_PLATFORM_RESOLVER_INTERNAL_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/resolver.h"

namespace parcel::platform::detail {

// ::ffff:a.b.c.d for the IPv4 address `ipv4` (4 bytes, network order).
NetworkAddress MapIPv4(const void* ipv4) noexcept;

// True when `address` is IPv4-mapped; its IPv4 part is then bytes 12..15.
bool IsMappedIPv4(const std::uint8_t address[16]) noexcept;

// Appends `address` unless `list` holds it already, so the first
// occurrence keeps its place. May throw std::bad_alloc.
void AddUnique(std::vector<NetworkAddress>* list, const NetworkAddress& address);

// Copies `text` with its terminator into `buffer` of `size` bytes: 0, or
// 10014 with `buffer` holding an empty string (when `size` > 0).
int CopyText(const char* text, char* buffer, std::size_t size) noexcept;

// Sets the names of a forward look-up of `asked`: the canonical name, or
// `asked` when the system gave none, and `asked` as the one alias when it
// differs from the canonical name in more than letter case. May throw
// std::bad_alloc.
void SetNames(HostEntry* entry, const char* asked, const char* canonical);

}  // namespace parcel::platform::detail

#endif  // PARCEL_PLATFORM_RESOLVER_INTERNAL_H_
