// Name-cache seams of the library start and end and of the failure texts.
// The library keeps no names yet: the start has no cache to create, and
// peers are named by their numeric address and port.
#include <cstring>

#include "ni/ni_addr.h"
#include "ni/nii.h"
#include "platform/resolver.h"

namespace parcel::ni {

int NameCacheStart(bool /*ipv6*/) noexcept { return QEL_O_K; }
void NameCacheEnd() noexcept {}
int LocalHostStart() noexcept { return QEL_O_K; }
void LocalHostEnd() noexcept {}

int ResolveHost(const char* host, bool ipv6, NI_NODEADDR* out) noexcept {
  platform::HostEntry entry;
  int error = platform::ResolveHostName(host, ipv6 ? 0 : platform::kSocketFamilyIPv4, &entry);
  if (error == 0 && !entry.addresses.empty()) {
    std::memcpy(out->addr, entry.addresses.front().data(), 16);
    return QEL_O_K;
  }
  if (error == 0 || error == platform::kWsaHOST_NOT_FOUND || error == platform::kWsaNO_DATA) {
    return NiIRecord(NIEHOST_UNKNOWN, "ni_names.cpp", __LINE__, "hostname '%s' unknown", host);
  }
  return NiIRecord(NIEINTERN, "ni_names.cpp", __LINE__, "%s: resolving '%s' failed (%d)",
                   "ResolveHost", host, error);
}

bool IsLocalPeer(const NI_NODEADDR* address, int family) noexcept {
  if (family == platform::kSocketFamilyLocal) return true;
  if (address == nullptr) return false;
  if (IsIPv4Mapped(*address)) return address->addr[12] == 127;
  static const NI_NODEADDR kLoopback6 = {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}};
  return std::memcmp(address, &kLoopback6, sizeof kLoopback6) == 0;
}

void PeerText(const NI_NODEADDR* address, std::uint16_t port, char* out,
              std::size_t size) noexcept {
  FormatAddressPort(address, port, out, size);
}

}  // namespace parcel::ni
