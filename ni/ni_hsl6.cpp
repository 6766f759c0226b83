// The IPv6 name cache (NiHsL6): host entries with an IPv4 and an IPv6
// address, filled from getaddrinfo and getnameinfo, and its operation table.
#include <cstring>

#include "ni/ni_addr.h"
#include "ni/ni_hostcache.h"
#include "ni/ni_hs_internal.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

HsHostEntry6* Hosts(HsCache* cache) { return static_cast<HsHostEntry6*>(cache->hosts); }

int Init(HsCache* cache, int entries, const int timeouts[kHsTimeoutCount]) noexcept {
  return HsInitTables(cache, "NiHsL6Init", entries, timeouts, sizeof(HsHostEntry6));
}

void Destroy(HsCache* cache) noexcept { HsDestroyTables(cache); }

bool SameAddress(const NI_NODEADDR& a, const NI_NODEADDR& b) {
  return std::memcmp(a.addr, b.addr, sizeof a.addr) == 0;
}

// :: or ::ffff:0.0.0.0.
bool Unspecified(const NI_NODEADDR& address) {
  static const NI_NODEADDR kNone{};
  static const NI_NODEADDR kNoneMapped = MappedAddress(0, 0, 0, 0);
  return SameAddress(address, kNone) || SameAddress(address, kNoneMapped);
}

// The slot an address of this kind is kept in.
const NI_NODEADDR& SlotOf(const HsHostEntry6& entry, const NI_NODEADDR& address) {
  return IsIPv4Mapped(address) ? entry.ipv4 : entry.ipv6;
}

// The entry remembered during a scan, when it still holds the name or the
// address the scan found there; else null.
HsHostEntry6* Remembered(HsCache* cache, int remembered) {
  if (remembered < 0 || remembered >= cache->host_entries) return nullptr;
  HsHostEntry6* entry = &Hosts(cache)[remembered];
  return entry->state == kHostEmpty ? nullptr : entry;
}

int StillNamed(HsCache* cache, int remembered, const char* name) {
  const HsHostEntry6* entry = Remembered(cache, remembered);
  return entry != nullptr && std::strcmp(entry->name, name) == 0 ? remembered : -1;
}

int StillAddressed(HsCache* cache, int remembered, const NI_NODEADDR& address) {
  const HsHostEntry6* entry = Remembered(cache, remembered);
  return entry != nullptr && SameAddress(SlotOf(*entry, address), address) ? remembered : -1;
}

int TakeSlot(HsCache* cache, int remembered, const char* function) {
  return HsTakeSlot(&cache->next_host, cache->host_entries, remembered, function,
                    "%s: hostbuf overflow\n");
}

}  // namespace
}  // namespace parcel::ni

using parcel::ni::HsCache;
using parcel::ni::HsHostEntry6;
using parcel::ni::HsHostLock;
using parcel::ni::HsTimer;

int NiHsL6GetNodeAddr(HsCache* cache, const char* name, NI_NODEADDR* out, int mode,
                      bool want_ipv4) noexcept {
  using namespace parcel::ni;
  constexpr const char* kFunction = "NiHsL6GetNodeAddr";
  if (cache == nullptr || name == nullptr || out == nullptr || !HsValidMode(mode)) {
    return HsInvalidArgument(kFunction);
  }
  const bool library_ipv6 = Library().ipv6;
  const bool ipv4_needed = want_ipv4 || !library_ipv6;
  const std::size_t length = std::strlen(name);
  const bool cacheable = length < static_cast<std::size_t>(kNiHostNameSize);
  if (!cacheable) {
    PARCEL_TRC(2, DpTrc, "%s: hostname '%s' too long for buffer (%d>=%d)\n", kFunction, name,
               static_cast<int>(length), kNiHostNameSize);
    if (mode == NI_HS_CACHE_ONLY) {
      PARCEL_TRC(2, DpTrc, "%s: hostname too long for buffer\n", kFunction);
      return HsHostUnknown(name);
    }
  }
  int remembered = -1;
  if (mode != NI_HS_RESOLVER_ONLY && cacheable) {
    HsHostLock lock(cache);
    for (int i = 0; i < cache->host_entries; ++i) {
      const HsHostEntry6& entry = Hosts(cache)[i];
      if (entry.state == kHostEmpty) break;
      if (entry.state == kHostAddrUnknownState || std::strcmp(entry.name, name) != 0) continue;
      PARCEL_TRC(2, DpTrc, "%s: found hostname '%s' in cache\n", kFunction, name);
      const bool valid = entry.state != kHostNameUnknownState;
      if (!HsExpired(entry.expiry) &&
          !(valid && (Unspecified(entry.ipv4) || Unspecified(entry.ipv6)))) {
        if (!valid) {
          PARCEL_TRC(2, DpTrc, "%s: hostname cached as unknown\n", kFunction);
          return HsHostUnknown(name);
        }
        if (!ipv4_needed) {
          *out = entry.ipv6;
          return QEL_O_K;
        }
        if (!IsIPv4Mapped(entry.ipv4)) {
          PARCEL_TRC(2, DpTrc, "%s: hostname cached as unknown (IPv4)\n", kFunction);
          return HsHostUnknown(name);
        }
        *out = entry.ipv4;
        return QEL_O_K;
      }
      if (HsExpired(entry.expiry)) {
        PARCEL_TRC(2, DpTrc, "%s: retrying to get address for '%s'\n", kFunction, name);
      } else {
        PARCEL_TRC(2, DpTrc, "%s: update address for '%s'\n", kFunction, name);
      }
      remembered = i;
      break;
    }
  }
  if (mode == NI_HS_CACHE_ONLY) {
    PARCEL_TRC(2, DpTrc, "%s: hostname not cached\n", kFunction);
    return HsHostUnknown(name);
  }

  NI_NODEADDR addresses[kHsMaxAddresses];
  int count = kHsMaxAddresses;
  char canonical[1025];
  HsTimer timer(cache);
  int rc =
      NiPGetHostByName3(name, !library_ipv6, false, addresses, &count, canonical, sizeof canonical);
  if (rc == NIETOO_SMALL && count > kHsMaxAddresses) {
    PARCEL_TRC(2, DpTrc, "%s: more than %d interfaces found (%d)\n", kFunction, kHsMaxAddresses,
               count);
    count = kHsMaxAddresses;
    rc = QEL_O_K;
  }
  const bool slow = timer.Finish(kFunction, name, rc == QEL_O_K);
  if (rc != QEL_O_K && rc != NIEHOST_UNKNOWN) return rc;

  // The first address of each kind; one kind alone fills both slots.
  NI_NODEADDR ipv4 = MappedAddress(0, 0, 0, 0);
  NI_NODEADDR ipv6{};
  bool have4 = false, have6 = false;
  for (int i = 0; rc == QEL_O_K && i < count && !(have4 && have6); ++i) {
    if (IsIPv4Mapped(addresses[i])) {
      if (!have4) ipv4 = addresses[i];
      have4 = true;
    } else {
      if (!have6) ipv6 = addresses[i];
      have6 = true;
    }
  }
  if (have4 && !have6) ipv6 = ipv4;
  if (have6 && !have4) ipv4 = ipv6;
  if (rc == QEL_O_K && slow) {
    // The answer in the classic form for slot 20.
    unsigned char* list[3] = {ipv4.addr, have4 && have6 ? ipv6.addr : nullptr, nullptr};
    char* no_aliases[1] = {nullptr};
    const NiHostEnt shown{canonical, no_aliases, 23, 16, list};
    cache->ops->trace_host_answer(kFunction, &shown);
  }
  const bool no_ipv4 = rc == QEL_O_K && ipv4_needed && !have4;
  if (rc == QEL_O_K) {
    PARCEL_TRC(2, DpTrc, "%s: got hostname '%s' from operation system%s\n", kFunction, name,
               no_ipv4 ? " (none IPv4 address available)" : "");
  } else {
    PARCEL_TRC(2, DpTrc, "%s: hostname '%s' not found by operation system\n", kFunction, name);
  }
  if (mode != NI_HS_RESOLVER_ONLY && cacheable) {
    HsHostLock lock(cache);
    if (cache->host_entries > 0) {
      const int slot = TakeSlot(cache, StillNamed(cache, remembered, name), kFunction);
      HsHostEntry6& entry = Hosts(cache)[slot];
      HsCopyEntryName(entry.name, sizeof entry.name, name);
      if (rc == QEL_O_K) {
        entry.state = std::strcmp(name, canonical) == 0 ? kHostOfficialQualified : kHostOfficial;
        entry.ipv4 = ipv4;
        entry.ipv6 = ipv6;
        entry.expiry = HsExpiry(cache->timeouts[kHostValid]);
      } else {
        entry.state = kHostNameUnknownState;
        entry.ipv4 = MappedAddress(0, 0, 0, 0);
        entry.ipv6 = NI_NODEADDR{};
        entry.expiry = HsExpiry(cache->timeouts[kHostNameUnknown]);
      }
    }
  }
  if (rc != QEL_O_K) return HsHostUnknown(name);
  if (no_ipv4) {
    PARCEL_TRC(2, DpTrc, "%s: no IPv4 address available\n", kFunction);
    return HsHostUnknown(name);
  }
  *out = ipv4_needed ? ipv4 : ipv6;
  return QEL_O_K;
}

int NiHsL6GetHostName(HsCache* cache, const NI_NODEADDR* address, char* buffer, int length,
                      bool fully_qualified, int mode) noexcept {
  using namespace parcel::ni;
  constexpr const char* kFunction = "NiHsL6GetHostName";
  if (cache == nullptr || address == nullptr || buffer == nullptr || !HsValidMode(mode)) {
    return HsInvalidArgument(kFunction);
  }
  char text[NI_NODEADDR_STR_LEN];
  HsAddressText(address, text, sizeof text);
  int remembered = -1;
  if (mode != NI_HS_RESOLVER_ONLY) {
    HsHostLock lock(cache);
    for (int i = 0; i < cache->host_entries; ++i) {
      const HsHostEntry6& entry = Hosts(cache)[i];
      if (entry.state == kHostEmpty) break;
      if (entry.state == kHostNameUnknownState || entry.state == kHostAsked ||
          entry.state == (fully_qualified ? kHostOfficial : kHostQualified) ||
          !SameAddress(SlotOf(entry, *address), *address)) {
        continue;
      }
      PARCEL_TRC(2, DpTrc, "%s: found address %s in cache\n", kFunction, text);
      if (!HsExpired(entry.expiry)) {
        if (entry.state == kHostAddrUnknownState) {
          PARCEL_TRC(2, DpTrc, "%s: address cached as unknown\n", kFunction);
          return HsHostUnknown(text);
        }
        return HsCopyName(kFunction, entry.name, buffer, length);
      }
      PARCEL_TRC(2, DpTrc, "%s: retrying to get hostname for '%s'\n", kFunction, text);
      remembered = i;
      break;
    }
  }
  if (mode == NI_HS_CACHE_ONLY) {
    PARCEL_TRC(2, DpTrc, "%s: address not cached\n", kFunction);
    return HsHostUnknown(text);
  }

  char name[1025];
  HsTimer timer(cache);
  const int rc = NiPGetHostByAddr3(address, name, sizeof name);
  if (timer.Finish(kFunction, text, rc == QEL_O_K) && rc == QEL_O_K) {
    unsigned char* list[2] = {const_cast<unsigned char*>(address->addr), nullptr};
    char* no_aliases[1] = {nullptr};
    const NiHostEnt shown{name, no_aliases, 23, 16, list};
    cache->ops->trace_host_answer(kFunction, &shown);
  }
  if (rc != QEL_O_K && rc != NIEHOST_UNKNOWN) return rc;
  bool store = mode != NI_HS_RESOLVER_ONLY;
  if (rc == QEL_O_K) {
    PARCEL_TRC(2, DpTrc, "%s: got hostname '%s' from operation system\n", kFunction, name);
    if (const std::size_t size = std::strlen(name);
        store && size >= static_cast<std::size_t>(kNiHostNameSize)) {
      PARCEL_TRC(2, DpTrc, "%s: hostname '%s' too long for buffer (%d>=%d)\n", kFunction, name,
                 static_cast<int>(size), kNiHostNameSize);
      store = false;
    }
  } else {
    PARCEL_TRC(2, DpTrc, "%s: address %s not found by operation system\n", kFunction, text);
  }
  if (store) {
    HsHostLock lock(cache);
    if (cache->host_entries > 0) {
      const int slot = TakeSlot(cache, StillAddressed(cache, remembered, *address), kFunction);
      HsHostEntry6& entry = Hosts(cache)[slot];
      // getnameinfo gives one name: the official one, fully qualified as far
      // as the answer tells.
      HsCopyEntryName(entry.name, sizeof entry.name, rc == QEL_O_K ? name : "");
      entry.state = rc == QEL_O_K ? kHostOfficialQualified : kHostAddrUnknownState;
      entry.ipv4 = *address;
      entry.ipv6 = *address;
      entry.expiry = HsExpiry(cache->timeouts[rc == QEL_O_K ? kHostValid : kHostAddrUnknown]);
    }
  }
  if (rc != QEL_O_K) return HsHostUnknown(text);
  return HsCopyName(kFunction, name, buffer, length);
}

int NiHsL6GetServNo(HsCache* cache, const char* name, std::uint16_t* port, int mode) noexcept {
  return parcel::ni::HsGetServNo(cache, "NiHsL6GetServNo", name, port, mode);
}

int NiHsL6GetServName(HsCache* cache, std::uint16_t port, char* buffer, int length,
                      int mode) noexcept {
  return parcel::ni::HsGetServName(cache, "NiHsL6GetServName", port, buffer, length, mode);
}

int NiHsL6SetIndexSize(HsCache* cache, int entries) noexcept {
  return parcel::ni::HsSetIndexSize(cache, "NiHsL6SetIndexSize", entries);
}

int NiHsL6SetRetryTimeout(HsCache* cache, int seconds) noexcept {
  return parcel::ni::HsSetRetryTimeout(cache, "NiHsL6SetRetryTimeout", seconds);
}

void NiHsL6Flush(HsCache* cache) noexcept {
  parcel::ni::HsFlush(cache, "NiHsL6Flush", sizeof(HsHostEntry6));
}

int NiHsL6DumpHostLine(HsCache* cache, char* buffer, int length) noexcept {
  using namespace parcel::ni;
  HsHostLock lock(cache);
  int& position = cache->dump_host;
  while (position < cache->host_entries && Hosts(cache)[position].state == kHostEmpty) {
    ++position;
  }
  if (position >= cache->host_entries) return kHsNoMore;
  const HsHostEntry6& entry = Hosts(cache)[position];
  // The address the entry answers with by default.
  char text[NI_NODEADDR_STR_LEN];
  HsAddressText(Library().ipv6 ? &entry.ipv6 : &entry.ipv4, text, sizeof text);
  const int rc = HsFormatHostLine("NiHsL6DumpHostLine", buffer, length, position, entry.state, text,
                                  entry.name);
  if (rc == QEL_O_K) ++position;
  return rc;
}

int NiHsL6DumpServLine(HsCache* cache, char* buffer, int length) noexcept {
  return parcel::ni::HsDumpServLine(cache, "NiHsL6DumpServLine", buffer, length);
}

namespace parcel::ni {

const HsOps kNiHsL6Ops = {
    &Init,
    &Destroy,
    &NiHsL6GetNodeAddr,
    &NiHsL6GetHostName,
    &NiHsL6GetServNo,
    &NiHsL6GetServName,
    &NiHsL6SetIndexSize,
    &HsGetIndexSize,
    &NiHsL6SetRetryTimeout,
    &HsGetRetryTimeout,
    &HsSetTimeLimit,
    &HsGetTimeLimit,
    &HsSetClock,
    &HsGetClock,
    &NiHsL6Flush,
    &HsDumpBegin,
    &HsDumpEnd,
    &NiHsL6DumpHostLine,
    &NiHsL6DumpServLine,
    &HsChooseFqName,
    &HsTraceHostAnswer,
    &HsTraceServAnswer,
    &HsNowMs,
    &HsElapsedMs,
};

}  // namespace parcel::ni
