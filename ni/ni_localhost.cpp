// The local host's own name and addresses, read once at the library start,
// and the check whether an address belongs to this host.
#include <cstring>

#include "ni/ni_addr.h"
#include "ni/ni_hostcache.h"
#include "ni/ni_hs_internal.h"
#include "platform/critical_section.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

constexpr const char* kSource = "ni_localhost.cpp";

struct LocalHost {
  bool done;
  char name[256];
  NI_NODEADDR addresses[kNiMaxLocalAddresses];
  int count;
};

LocalHost g_local{};

// Guards g_local: the start writes it while other threads may check.
platform::RecursiveMutex& LocalLock() {
  static platform::RecursiveMutex lock;
  return lock;
}

class LocalGuard {
 public:
  LocalGuard() { LocalLock().Lock(); }
  ~LocalGuard() { LocalLock().Unlock(); }
  LocalGuard(const LocalGuard&) = delete;
  LocalGuard& operator=(const LocalGuard&) = delete;
};

bool Loopback(const NI_NODEADDR& address) {
  if (IsIPv4Mapped(address)) return address.addr[12] == 127;
  static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return std::memcmp(address.addr, kLoopback6, 16) == 0;
}

// Whether a socket binds to `address`: one of the library's family, except
// that an IPv4-mapped address is bound on an IPv4 socket (IPv6 sockets of
// Windows refuse mapped addresses unless told otherwise).
bool Binds(const NI_NODEADDR& address) {
  const bool mapped = IsIPv4Mapped(address);
  if (!mapped && !Library().ipv6) return false;
  const int family = mapped ? platform::kSocketFamilyIPv4 : platform::kSocketFamilyIPv6;
  NI_SOCKREC record{-1, 0, 0, 0};
  if (SiSocket(family, platform::kSocketTypeStream, 0, &record) != SI_OK) return false;
  const bool bound = mapped ? SiBind(&record, address.addr + 12, 4, nullptr) == SI_OK
                            : SiBind(&record, address.addr, 16, nullptr) == SI_OK;
  (void)SiClose(&record);
  return bound;
}

}  // namespace

int LocalHostStart() noexcept { return NiILHInit(); }

void LocalHostEnd() noexcept {
  LocalGuard guard;
  g_local = LocalHost{};
}

bool LocalHostNameCopy(char* out, std::size_t size) noexcept {
  LocalGuard guard;
  const std::size_t length = std::strlen(g_local.name);
  if (!g_local.done || length >= size) return false;
  std::memcpy(out, g_local.name, length + 1);
  return true;
}

}  // namespace parcel::ni

int NiILHInit() noexcept {
  using namespace parcel::ni;
  constexpr const char* kFunction = "NiILHInit";
  LocalGuard guard;
  if (g_local.done) {
    return NiIError(NIECALL, kSource, __LINE__, false, "%s: already initialized", kFunction);
  }
  LocalHost local{};
  if (int rc = NiPMyHostName(local.name, sizeof local.name); rc != QEL_O_K) return rc;
  local.count = kNiMaxLocalAddresses;
  if (NiPGetNodeAddrList(local.addresses, &local.count) != QEL_O_K) {
    // Without the list, NiILocalCheck falls back to binding.
    local.count = 0;
  }
  local.done = true;
  g_local = local;
  return QEL_O_K;
}

bool NiILocalCheck(const NI_NODEADDR* address, bool try_bind) noexcept {
  using namespace parcel::ni;
  constexpr const char* kFunction = "NiILocalCheck";
  if (address == nullptr) return false;
  char text[NI_NODEADDR_STR_LEN];
  HsAddressText(address, text, sizeof text);
  if (Loopback(*address)) {
    PARCEL_TRC(3, DpTrc, "%s: local loopback address: %s\n", kFunction, text);
    return true;
  }
  {
    LocalGuard guard;
    if (g_local.done && g_local.count > 0) {
      for (int i = 0; i < g_local.count; ++i) {
        if (std::memcmp(g_local.addresses[i].addr, address->addr, 16) == 0) {
          PARCEL_TRC(2, DpTrc, "%s: matched local address: %s (%s)\n", kFunction, text,
                     g_local.name);
          return true;
        }
      }
      PARCEL_TRC(2, DpTrc, "%s: %s not found in local address list\n", kFunction, text);
      return false;
    }
  }
  return try_bind && Binds(*address);
}
