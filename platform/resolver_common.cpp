// Portable pieces of the resolver: address forms, de-duplication, copies
// into callers' buffers.
#include <algorithm>
#include <cstring>

#include "platform/resolver_internal.h"
#include "platform/socket.h"

namespace parcel::platform::detail {
namespace {

bool SameIgnoringCase(const char* a, const char* b) {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    char x = (*a >= 'A' && *a <= 'Z') ? static_cast<char>(*a - 'A' + 'a') : *a;
    char y = (*b >= 'A' && *b <= 'Z') ? static_cast<char>(*b - 'A' + 'a') : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

}  // namespace

NetworkAddress MapIPv4(const void* ipv4) noexcept {
  NetworkAddress address{};
  address[10] = 0xff;
  address[11] = 0xff;
  std::memcpy(address.data() + 12, ipv4, 4);
  return address;
}

bool IsMappedIPv4(const std::uint8_t address[16]) noexcept {
  static constexpr std::uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return std::memcmp(address, kPrefix, sizeof kPrefix) == 0;
}

void AddUnique(std::vector<NetworkAddress>* list, const NetworkAddress& address) {
  if (std::find(list->begin(), list->end(), address) == list->end()) list->push_back(address);
}

int CopyText(const char* text, char* buffer, std::size_t size) noexcept {
  if (buffer == nullptr) return kWsaEFAULT;
  std::size_t length = std::strlen(text);
  if (length >= size) {
    if (size > 0) buffer[0] = '\0';
    return kWsaEFAULT;
  }
  std::memcpy(buffer, text, length + 1);
  return 0;
}

void SetNames(HostEntry* entry, const char* asked, const char* canonical) {
  if (canonical == nullptr || *canonical == '\0') canonical = asked;
  entry->name = canonical;
  if (!SameIgnoringCase(asked, canonical)) entry->aliases.emplace_back(asked);
}

}  // namespace parcel::platform::detail
