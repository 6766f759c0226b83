// The library's one name-cache object: its creation and end, the host and
// service names of trace and error texts, and the resolution of the public
// layer's host names.
#include <atomic>
#include <cstdio>
#include <cstring>

#include "ni/ni_addr.h"
#include "ni/ni_hostcache.h"
#include "ni/ni_hs_internal.h"
#include "platform/critical_section.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

constexpr const char* kSource = "ni_names.cpp";

std::atomic<HsCache*> g_cache{nullptr};

// Serialises creating and ending the object (first use may come from any
// thread).
platform::RecursiveMutex& CacheLock() {
  static platform::RecursiveMutex lock;
  return lock;
}

class CacheGuard {
 public:
  CacheGuard() { CacheLock().Lock(); }
  ~CacheGuard() { CacheLock().Unlock(); }
  CacheGuard(const CacheGuard&) = delete;
  CacheGuard& operator=(const CacheGuard&) = delete;
};

int DefaultInit(bool ipv6) {
  return NiIHSInit(ipv6 ? NI_HS_IMPL_IPV6 : NI_HS_IMPL_IPV4, kHsDefaultEntries, 0, kHsDefaultRetry,
                   kHsDefaultRetry, 0, kHsDefaultRetry, kHsDefaultRetry);
}

// The object, created with the defaults when there is none.
int EnsureCache(HsCache** out) {
  HsCache* cache = g_cache.load(std::memory_order_acquire);
  if (cache == nullptr) {
    const int rc = DefaultInit(Library().ipv6);
    if (rc != QEL_O_K && rc != NIECALL) return rc;
    cache = g_cache.load(std::memory_order_acquire);
  }
  *out = cache;
  return QEL_O_K;
}

}  // namespace

HsCache* NameCache() noexcept { return g_cache.load(std::memory_order_acquire); }

int NameCacheStart(bool ipv6) noexcept { return DefaultInit(ipv6); }

void NameCacheEnd() noexcept {
  CacheGuard guard;
  HsFree(g_cache.exchange(nullptr, std::memory_order_acq_rel));
}

int ResolveHost(const char* host, bool ipv6, NI_NODEADDR* out) noexcept {
  // Address texts need no cache.
  if (NumericAddress(host, !ipv6, out)) return QEL_O_K;
  HsCache* cache;
  if (int rc = EnsureCache(&cache); rc != QEL_O_K) return rc;
  return cache->ops->get_node_addr(cache, host, out, NI_HS_CACHE_FIRST, !ipv6);
}

bool IsLocalPeer(const NI_NODEADDR* address, int family) noexcept {
  if (family == platform::kSocketFamilyLocal) return true;
  // Loopback or one of the host's own addresses; never a probe bind here.
  return address != nullptr && NiILocalCheck(address, false);
}

void PeerText(const NI_NODEADDR* address, std::uint16_t port, char* out,
              std::size_t size) noexcept {
  char host[kNiHostNameSize + NI_NODEADDR_STR_LEN] = "?";
  char service[kNiServNameSize + NI_SERVNO_STR_LEN];
  // Cached names only: a failure text never waits for the resolver.
  HsCache* cache = NameCache();
  if (cache == nullptr || address == nullptr ||
      cache->ops->get_host_name(cache, address, host, sizeof host, false, NI_HS_CACHE_ONLY) !=
          QEL_O_K) {
    HsAddressText(address, host, sizeof host);
  }
  if (cache == nullptr || cache->ops->get_serv_name(cache, port, service, sizeof service,
                                                    NI_HS_CACHE_ONLY) != QEL_O_K) {
    std::snprintf(service, sizeof service, "%u", PortNumber(port));
  }
  std::snprintf(out, size, "%s:%s", host, service);
}

}  // namespace parcel::ni

int NiIHSInit(int implementation, int entries, int host_valid, int host_name_unknown,
              int host_addr_unknown, int serv_valid, int serv_name_unknown,
              int serv_port_unknown) noexcept {
  using namespace parcel::ni;
  constexpr const char* kFunction = "NiIHSInit";
  const HsOps* ops = nullptr;
  switch (implementation) {
    case NI_HS_IMPL_IPV4:
    case NI_HS_IMPL_IPV4_2: ops = &kNiHsLOps; break;
    case NI_HS_IMPL_IPV6: ops = &kNiHsL6Ops; break;
    default:
      return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: invalid implementation (%d)",
                      kFunction, implementation);
  }
  CacheGuard guard;
  if (g_cache.load(std::memory_order_acquire) != nullptr) {
    return NiIError(NIECALL, kSource, __LINE__, false, "%s: already initialized", kFunction);
  }
  HsCache* cache = HsCreate(ops);
  if (cache == nullptr) {
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: malloc failed for %d implementation",
                    kFunction, implementation);
  }
  const int timeouts[kHsTimeoutCount] = {host_valid, host_name_unknown, host_addr_unknown,
                                         serv_valid, serv_name_unknown, serv_port_unknown};
  if (int rc = ops->init(cache, entries, timeouts); rc != QEL_O_K) {
    HsFree(cache);
    return rc;
  }
  int system_error = 0;
  if (int si = SiInit(&system_error); si != SI_OK) {
    HsFree(cache);
    return NiIMapSiError(si, kSiCallInit, nullptr, nullptr, system_error, nullptr, nullptr, 0,
                         kFunction, kSource, __LINE__, true);
  }
  g_cache.store(cache, std::memory_order_release);
  return QEL_O_K;
}

int NiIGetHostName(const NI_NODEADDR* address, char* buffer, int length, bool fully_qualified,
                   int mode) noexcept {
  using namespace parcel::ni;
  constexpr const char* kFunction = "NiIGetHostName";
  if (buffer == nullptr || length <= 0) return HsInvalidArgument(kFunction);
  HsCache* cache;
  if (int rc = EnsureCache(&cache); rc != QEL_O_K) return rc;
  const char* fq_note = fully_qualified ? " (fq)" : "";
  if (address != nullptr) {
    if (int rc = cache->ops->get_host_name(cache, address, buffer, length, fully_qualified, mode);
        rc != QEL_O_K) {
      return rc;
    }
    char text[NI_NODEADDR_STR_LEN];
    HsAddressText(address, text, sizeof text);
    PARCEL_TRC(2, DpTrc, "%s: addr %s = hostname '%s'%s\n", kFunction, text, buffer, fq_note);
    return QEL_O_K;
  }
  char own[256];
  if (!LocalHostNameCopy(own, sizeof own)) {
    if (int rc = NiPMyHostName(own, sizeof own); rc != QEL_O_K) return rc;
  }
  // A short own name is qualified through its address; without an answer
  // the short name stands.
  const char* name = own;
  char qualified[1025];
  NI_NODEADDR own_address;
  if (fully_qualified && std::strchr(own, '.') == nullptr &&
      cache->ops->get_node_addr(cache, own, &own_address, mode, true) == QEL_O_K &&
      cache->ops->get_host_name(cache, &own_address, qualified, sizeof qualified, true, mode) ==
          QEL_O_K) {
    name = qualified;
  }
  if (int rc = HsCopyName(kFunction, name, buffer, length); rc != QEL_O_K) return rc;
  PARCEL_TRC(2, DpTrc, "%s: addr NULL = hostname '%s'%s\n", kFunction, buffer, fq_note);
  return QEL_O_K;
}

int NiIGetServName(std::uint16_t port, char* buffer, int length, int mode) noexcept {
  using namespace parcel::ni;
  constexpr const char* kFunction = "NiIGetServName";
  if (buffer == nullptr || length <= 0) return HsInvalidArgument(kFunction);
  HsCache* cache;
  if (int rc = EnsureCache(&cache); rc != QEL_O_K) return rc;
  if (int rc = cache->ops->get_serv_name(cache, port, buffer, length, mode); rc != QEL_O_K) {
    return rc;
  }
  char text[NI_SERVNO_STR_LEN];
  std::snprintf(text, sizeof text, "%u", PortNumber(port));
  PARCEL_TRC(2, DpTrc, "%s: port %s = servicename '%s'\n", kFunction, text, buffer);
  return QEL_O_K;
}
