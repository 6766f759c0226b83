// The IPv4 name cache (NiHsL): host entries with one IPv4 address, filled
// from the classic look-ups, and its operation table.
#include <cstring>

#include "ni/ni_addr.h"
#include "ni/ni_hostcache.h"
#include "ni/ni_hs_internal.h"
#include "runtime/trace.h"

using parcel::ni::HsCache;
using parcel::ni::HsHostEntry4;

namespace parcel::ni {
namespace {

HsHostEntry4* Hosts(HsCache* cache) { return static_cast<HsHostEntry4*>(cache->hosts); }

int Init(HsCache* cache, int entries, const int timeouts[kHsTimeoutCount]) noexcept {
  return HsInitTables(cache, "NiHsLInit", entries, timeouts, sizeof(HsHostEntry4));
}

void Destroy(HsCache* cache) noexcept { HsDestroyTables(cache); }

// The state of a forward answer's entry, which stores the asked name.
unsigned char ForwardState(const char* asked, const char* official, const char* qualified) {
  const bool is_official = std::strcmp(asked, official) == 0;
  const bool is_qualified = std::strcmp(asked, qualified) == 0;
  if (is_official && is_qualified) return kHostOfficialQualified;
  if (is_official) return kHostOfficial;
  if (is_qualified) return kHostQualified;
  return kHostAsked;
}

// The entry remembered during a scan, when it still holds the name or the
// address the scan found there (another thread may have overwritten it, or
// the table may have been resized, while the resolver ran); else null.
HsHostEntry4* Remembered(HsCache* cache, int remembered) {
  if (remembered < 0 || remembered >= cache->host_entries) return nullptr;
  HsHostEntry4* entry = &Hosts(cache)[remembered];
  return entry->state == kHostEmpty ? nullptr : entry;
}

int StillNamed(HsCache* cache, int remembered, const char* name) {
  const HsHostEntry4* entry = Remembered(cache, remembered);
  return entry != nullptr && std::strcmp(entry->name, name) == 0 ? remembered : -1;
}

int StillAddressed(HsCache* cache, int remembered, const unsigned char* ipv4) {
  const HsHostEntry4* entry = Remembered(cache, remembered);
  return entry != nullptr && std::memcmp(entry->address, ipv4, 4) == 0 ? remembered : -1;
}

}  // namespace
}  // namespace parcel::ni

int NiHsLGetNodeAddr(HsCache* cache, const char* name, NI_NODEADDR* out, int mode,
                     bool /*want_ipv4*/) noexcept {
  using namespace parcel::ni;
  constexpr const char* kFunction = "NiHsLGetNodeAddr";
  if (cache == nullptr || name == nullptr || out == nullptr || !HsValidMode(mode)) {
    return HsInvalidArgument(kFunction);
  }
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
      const HsHostEntry4& entry = Hosts(cache)[i];
      if (entry.state == kHostEmpty) break;
      if (entry.state == kHostAddrUnknownState || std::strcmp(entry.name, name) != 0) continue;
      PARCEL_TRC(2, DpTrc, "%s: found hostname '%s' in cache\n", kFunction, name);
      if (!HsExpired(entry.expiry)) {
        if (entry.state == kHostNameUnknownState) {
          PARCEL_TRC(2, DpTrc, "%s: hostname cached as unknown\n", kFunction);
          return HsHostUnknown(name);
        }
        *out =
            MappedAddress(entry.address[0], entry.address[1], entry.address[2], entry.address[3]);
        return QEL_O_K;
      }
      PARCEL_TRC(2, DpTrc, "%s: retrying to get address for '%s'\n", kFunction, name);
      remembered = i;
      break;
    }
  }
  if (mode == NI_HS_CACHE_ONLY) {
    PARCEL_TRC(2, DpTrc, "%s: hostname not cached\n", kFunction);
    return HsHostUnknown(name);
  }

  HsWorkBuffer work;
  NiHostEnt answer{};
  int rc = HsResolve(cache, kFunction, name, &work, &answer, [&](char* data, int size) {
    return NiPGetHostByName2(name, &answer, data, size);
  });
  if (rc == QEL_O_K && answer.addrtype != parcel::platform::kSocketFamilyIPv4) {
    return NiIError(NIEINTERN, "ni_hsl.cpp", __LINE__, false, "%s: invalid address type (%d)",
                    kFunction, answer.addrtype);
  }
  if (rc == QEL_O_K && answer.length != 4) {
    return NiIError(NIEINTERN, "ni_hsl.cpp", __LINE__, false, "%s: invalid address length (%d)",
                    kFunction, answer.length);
  }
  if (rc != QEL_O_K && rc != NIEHOST_UNKNOWN) return rc;
  if (rc == QEL_O_K) {
    PARCEL_TRC(2, DpTrc, "%s: got hostname '%s' from operation system\n", kFunction, name);
  } else {
    PARCEL_TRC(2, DpTrc, "%s: hostname '%s' not found by operation system\n", kFunction, name);
  }
  if (mode != NI_HS_RESOLVER_ONLY && cacheable) {
    HsHostLock lock(cache);
    if (cache->host_entries > 0) {
      remembered = StillNamed(cache, remembered, name);
      const int slot = HsTakeSlot(&cache->next_host, cache->host_entries, remembered, kFunction,
                                  "%s: hostbuf overflow\n");
      HsHostEntry4& entry = Hosts(cache)[slot];
      HsCopyEntryName(entry.name, sizeof entry.name, name);
      if (rc == QEL_O_K) {
        entry.state = ForwardState(name, answer.name,
                                   cache->ops->choose_fq_name(answer.name, answer.aliases));
        std::memcpy(entry.address, answer.addresses[0], 4);
        entry.expiry = HsExpiry(cache->timeouts[kHostValid]);
      } else {
        entry.state = kHostNameUnknownState;
        std::memset(entry.address, 0, sizeof entry.address);
        entry.expiry = HsExpiry(cache->timeouts[kHostNameUnknown]);
      }
    }
  }
  if (rc != QEL_O_K) return HsHostUnknown(name);
  const unsigned char* a = answer.addresses[0];
  *out = MappedAddress(a[0], a[1], a[2], a[3]);
  return QEL_O_K;
}

int NiHsLGetHostName(HsCache* cache, const NI_NODEADDR* address, char* buffer, int length,
                     bool fully_qualified, int mode) noexcept {
  using namespace parcel::ni;
  constexpr const char* kFunction = "NiHsLGetHostName";
  if (cache == nullptr || address == nullptr || buffer == nullptr || !HsValidMode(mode)) {
    return HsInvalidArgument(kFunction);
  }
  char text[NI_NODEADDR_STR_LEN];
  HsAddressText(address, text, sizeof text);
  if (!IsIPv4Mapped(*address)) {
    PARCEL_TRC(2, DpTrc, "%s: no IPv4 address (%s)\n", kFunction, text);
    return HsHostUnknown(text);
  }
  const unsigned char* ipv4 = address->addr + 12;
  int remembered = -1;
  if (mode != NI_HS_RESOLVER_ONLY) {
    HsHostLock lock(cache);
    for (int i = 0; i < cache->host_entries; ++i) {
      const HsHostEntry4& entry = Hosts(cache)[i];
      if (entry.state == kHostEmpty) break;
      if (entry.state == kHostNameUnknownState || entry.state == kHostAsked ||
          entry.state == (fully_qualified ? kHostOfficial : kHostQualified) ||
          std::memcmp(entry.address, ipv4, 4) != 0) {
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

  HsWorkBuffer work;
  NiHostEnt answer{};
  int rc = HsResolve(cache, kFunction, text, &work, &answer, [&](char* data, int size) {
    return NiPGetHostByAddr2(address, &answer, data, size);
  });
  if (rc != QEL_O_K && rc != NIEHOST_UNKNOWN) return rc;
  const char* official = rc == QEL_O_K ? answer.name : "";
  const char* qualified =
      rc == QEL_O_K ? cache->ops->choose_fq_name(answer.name, answer.aliases) : "";
  // What the entry keeps: the name both ways, or the one asked for.
  unsigned char state = kHostAddrUnknownState;
  const char* stored = "";
  if (rc == QEL_O_K) {
    PARCEL_TRC(2, DpTrc, "%s: got hostname '%s' from operation system\n", kFunction,
               fully_qualified ? qualified : official);
    if (std::strcmp(official, qualified) == 0) {
      state = kHostOfficialQualified;
      stored = official;
    } else if (fully_qualified) {
      state = kHostQualified;
      stored = qualified;
    } else {
      state = kHostOfficial;
      stored = official;
    }
  } else {
    PARCEL_TRC(2, DpTrc, "%s: address %s not found by operation system\n", kFunction, text);
  }
  bool store = mode != NI_HS_RESOLVER_ONLY;
  if (const std::size_t stored_length = std::strlen(stored);
      store && stored_length >= static_cast<std::size_t>(kNiHostNameSize)) {
    PARCEL_TRC(2, DpTrc, "%s: hostname '%s' too long for buffer (%d>=%d)\n", kFunction, stored,
               static_cast<int>(stored_length), kNiHostNameSize);
    store = false;
  }
  if (store) {
    HsHostLock lock(cache);
    if (cache->host_entries > 0) {
      remembered = StillAddressed(cache, remembered, ipv4);
      const int slot = HsTakeSlot(&cache->next_host, cache->host_entries, remembered, kFunction,
                                  "%s: hostbuf overflow\n");
      HsHostEntry4& entry = Hosts(cache)[slot];
      HsCopyEntryName(entry.name, sizeof entry.name, stored);
      std::memcpy(entry.address, ipv4, 4);
      entry.state = state;
      entry.expiry = HsExpiry(cache->timeouts[rc == QEL_O_K ? kHostValid : kHostAddrUnknown]);
    }
  }
  if (rc != QEL_O_K) return HsHostUnknown(text);
  return HsCopyName(kFunction, fully_qualified ? qualified : official, buffer, length);
}

int NiHsLGetServNo(HsCache* cache, const char* name, std::uint16_t* port, int mode) noexcept {
  return parcel::ni::HsGetServNo(cache, "NiHsLGetServNo", name, port, mode);
}

int NiHsLGetServName(HsCache* cache, std::uint16_t port, char* buffer, int length,
                     int mode) noexcept {
  return parcel::ni::HsGetServName(cache, "NiHsLGetServName", port, buffer, length, mode);
}

int NiHsLSetIndexSize(HsCache* cache, int entries) noexcept {
  return parcel::ni::HsSetIndexSize(cache, "NiHsLSetIndexSize", entries);
}

int NiHsLSetRetryTimeout(HsCache* cache, int seconds) noexcept {
  return parcel::ni::HsSetRetryTimeout(cache, "NiHsLSetRetryTimeout", seconds);
}

void NiHsLFlush(HsCache* cache) noexcept {
  parcel::ni::HsFlush(cache, "NiHsLFlush", sizeof(HsHostEntry4));
}

int NiHsLDumpHostLine(HsCache* cache, char* buffer, int length) noexcept {
  using namespace parcel::ni;
  HsHostLock lock(cache);
  int& position = cache->dump_host;
  while (position < cache->host_entries && Hosts(cache)[position].state == kHostEmpty) {
    ++position;
  }
  if (position >= cache->host_entries) return kHsNoMore;
  const HsHostEntry4& entry = Hosts(cache)[position];
  const NI_NODEADDR address =
      MappedAddress(entry.address[0], entry.address[1], entry.address[2], entry.address[3]);
  char text[NI_NODEADDR_STR_LEN];
  HsAddressText(&address, text, sizeof text);
  const int rc = HsFormatHostLine("NiHsLDumpHostLine", buffer, length, position, entry.state, text,
                                  entry.name);
  if (rc == QEL_O_K) ++position;
  return rc;
}

int NiHsLDumpServLine(HsCache* cache, char* buffer, int length) noexcept {
  return parcel::ni::HsDumpServLine(cache, "NiHsLDumpServLine", buffer, length);
}

namespace parcel::ni {

const HsOps kNiHsLOps = {
    &Init,
    &Destroy,
    &NiHsLGetNodeAddr,
    &NiHsLGetHostName,
    &NiHsLGetServNo,
    &NiHsLGetServName,
    &NiHsLSetIndexSize,
    &HsGetIndexSize,
    &NiHsLSetRetryTimeout,
    &HsGetRetryTimeout,
    &HsSetTimeLimit,
    &HsGetTimeLimit,
    &HsSetClock,
    &HsGetClock,
    &NiHsLFlush,
    &HsDumpBegin,
    &HsDumpEnd,
    &NiHsLDumpHostLine,
    &NiHsLDumpServLine,
    &HsChooseFqName,
    &HsTraceHostAnswer,
    &HsTraceServAnswer,
    &HsNowMs,
    &HsElapsedMs,
};

}  // namespace parcel::ni
