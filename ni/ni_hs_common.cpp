// What both name-cache implementations share: the object, its tables and
// timeouts, the service table, the slots 10 to 13 and 19 to 23, and the
// helpers of their look-ups.
#include <cstdio>
#include <cstring>
#include <new>

#include "ni/ni_addr.h"
#include "ni/ni_hostcache.h"
#include "ni/ni_hs_internal.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

constexpr const char* kSource = "ni_hs_common.cpp";

}  // namespace

// --- Object, tables, timeouts ---------------------------------------------------

HsCache* HsCreate(const HsOps* ops) noexcept {
  void* block = NiIAlloc(sizeof(HsCache), "HsCreate");
  if (block == nullptr) return nullptr;
  auto* cache = new (block) HsCache{};
  cache->ops = ops;
  cache->time_limit_ms.store(0);
  cache->clock.store(nullptr);
  const bool ipv6 = ops == &kNiHsL6Ops;
  ThrLockInit(&cache->host_lock, ipv6 ? "NI host section I6" : "NI host section");
  ThrLockInit(&cache->serv_lock, ipv6 ? "NI serv section I6" : "NI serv section");
  return cache;
}

void HsFree(HsCache* cache) noexcept {
  if (cache == nullptr) return;
  cache->ops->destroy(cache);
  cache->~HsCache();
  NiIFree(cache);
}

int HsNormalTimeout(int seconds) noexcept { return seconds == 0 ? kHsDefaultTimeout : seconds; }

void HsFreeTables(HsCache* cache) noexcept {
  NiIFree(cache->hosts);
  NiIFree(cache->servs);
  cache->hosts = nullptr;
  cache->servs = nullptr;
  cache->host_entries = cache->serv_entries = 0;
  cache->next_host = cache->next_serv = 0;
  cache->dump_host = cache->dump_serv = 0;
  cache->initialized = false;
}

int HsInitTables(HsCache* cache, const char* function, int entries,
                 const int timeouts[kHsTimeoutCount], std::size_t host_entry_size) noexcept {
  if (cache->initialized) {
    return NiIError(NIECALL, kSource, __LINE__, false, "%s: already initialized", function);
  }
  if (entries < 0 || entries > kHsMaxEntries) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid number of entries (%d)",
                    function, entries);
  }
  for (int i = 0; i < kHsTimeoutCount; ++i) {
    if (timeouts[i] < 0) {
      return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid timeout (%d)", function,
                      timeouts[i]);
    }
  }
  for (int i = 0; i < kHsTimeoutCount; ++i) cache->timeouts[i] = HsNormalTimeout(timeouts[i]);
  HsFreeTables(cache);
  if (entries == 0) {
    PARCEL_TRC(2, DpTrc, "%s: disable host/serv bufs\n", function);
    cache->initialized = true;
    return QEL_O_K;
  }
  const std::size_t n = static_cast<std::size_t>(entries);
  const std::size_t host_bytes = n * host_entry_size;
  const std::size_t serv_bytes = n * sizeof(HsServEntry);
  cache->hosts = NiIAlloc(host_bytes, function);
  cache->servs = static_cast<HsServEntry*>(NiIAlloc(serv_bytes, function));
  if (cache->hosts == nullptr || cache->servs == nullptr) {
    const std::size_t failed = cache->hosts == nullptr ? host_bytes : serv_bytes;
    HsFreeTables(cache);
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: malloc failed for %d bytes", function,
                    static_cast<int>(failed));
  }
  std::memset(cache->hosts, 0, host_bytes);
  std::memset(static_cast<void*>(cache->servs), 0, serv_bytes);
  cache->host_entries = cache->serv_entries = entries;
  cache->initialized = true;
  PARCEL_TRC(2, DpTrc, "%s: alloc host/serv bufs (%d/%d entries)\n", function, entries, entries);
  return QEL_O_K;
}

void HsDestroyTables(HsCache* cache) noexcept {
  HsFreeTables(cache);
  ThrLockDelete(&cache->host_lock);
  ThrLockDelete(&cache->serv_lock);
}

int HsSetIndexSize(HsCache* cache, const char* function, int entries) noexcept {
  HsBothLocks lock(cache);
  int timeouts[kHsTimeoutCount];
  std::memcpy(timeouts, cache->timeouts, sizeof timeouts);
  // The tables go first: init refuses a cache that has them.
  HsFreeTables(cache);
  const int rc = cache->ops->init(cache, entries, timeouts);
  if (rc != QEL_O_K) {
    // Whatever happened, the timeouts stay those the caller had.
    std::memcpy(cache->timeouts, timeouts, sizeof timeouts);
    PARCEL_TRC(1, DpTrc, "%s: init failed (rc=%d)\n", function, rc);
  }
  return rc;
}

int HsGetIndexSize(HsCache* cache) noexcept {
  HsHostLock lock(cache);
  return cache->host_entries;
}

int HsSetRetryTimeout(HsCache* cache, const char* function, int seconds) noexcept {
  if (seconds < 0) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid timeout (%d)", function,
                    seconds);
  }
  const int value = HsNormalTimeout(seconds);
  {
    HsBothLocks lock(cache);
    cache->timeouts[kHostNameUnknown] = value;
    cache->timeouts[kHostAddrUnknown] = value;
    cache->timeouts[kServNameUnknown] = value;
    cache->timeouts[kServPortUnknown] = value;
  }
  PARCEL_TRC(3, DpTrc, "%s: set retry timout to %d seconds\n", function, value);
  return QEL_O_K;
}

int HsGetRetryTimeout(HsCache* cache) noexcept {
  HsHostLock lock(cache);
  return cache->timeouts[kHostNameUnknown];
}

void HsFlush(HsCache* cache, const char* function, std::size_t host_entry_size) noexcept {
  {
    HsBothLocks lock(cache);
    if (cache->hosts != nullptr) {
      std::memset(cache->hosts, 0, host_entry_size * static_cast<std::size_t>(cache->host_entries));
    }
    if (cache->servs != nullptr) {
      std::memset(static_cast<void*>(cache->servs), 0,
                  sizeof(HsServEntry) * static_cast<std::size_t>(cache->serv_entries));
    }
    cache->next_host = cache->next_serv = 0;
  }
  PARCEL_TRC(2, DpTrc, "%s: cache flushed\n", function);
}

void HsDumpBegin(HsCache* cache) noexcept {
  ThrLockEnter(&cache->host_lock);
  ThrLockEnter(&cache->serv_lock);
  cache->dump_host = cache->dump_serv = 0;
}

void HsDumpEnd(HsCache* cache) noexcept {
  ThrLockLeave(&cache->serv_lock);
  ThrLockLeave(&cache->host_lock);
}

// --- Look-up helpers -------------------------------------------------------------

bool HsValidMode(int mode) noexcept {
  return mode == NI_HS_CACHE_FIRST || mode == NI_HS_CACHE_ONLY || mode == NI_HS_RESOLVER_ONLY;
}

int HsInvalidArgument(const char* function) noexcept {
  return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid argument", function);
}

bool HsExpired(std::int64_t expiry) noexcept { return NiNow() >= expiry; }

std::int64_t HsExpiry(int timeout) noexcept { return NiNow() + timeout; }

int HsHostUnknown(const char* text) noexcept {
  return NiIRecord(NIEHOST_UNKNOWN, kSource, __LINE__, "hostname '%s' unknown", text);
}

int HsServUnknown(const char* text) noexcept {
  return NiIRecord(NIESERV_UNKNOWN, kSource, __LINE__, "service '%s' unknown", text);
}

int HsCopyName(const char* function, const char* name, char* buffer, int length) noexcept {
  const std::size_t size = std::strlen(name);
  if (length <= 0 || static_cast<std::size_t>(length) <= size) {
    return NiIError(NIETOO_SMALL, kSource, __LINE__, false, "%s: buffer too small (%d<=%d)",
                    function, length, static_cast<int>(size));
  }
  std::memcpy(buffer, name, size + 1);
  return QEL_O_K;
}

void HsCopyEntryName(char* entry_name, std::size_t room, const char* name) noexcept {
  // Callers have checked strlen(name) < room.
  std::size_t size = std::strlen(name);
  if (size >= room) size = room - 1;
  std::memcpy(entry_name, name, size);
  std::memset(entry_name + size, 0, room - size);
}

int HsTakeSlot(int* next, int entries, int remembered, const char* function,
               const char* overflow_format) noexcept {
  if (remembered >= 0 && remembered < entries) return remembered;
  if (*next >= entries || *next < 0) {
    *next = 0;
    PARCEL_TRC(2, DpTrc, overflow_format, function);
  }
  return (*next)++;
}

void HsAddressText(const NI_NODEADDR* address, char* out, std::size_t size) noexcept {
  char text[NI_NODEADDR_STR_LEN];
  if (NiAddrToStr(address, text, sizeof text, true) != QEL_O_K) {
    std::snprintf(text, sizeof text, "?");
  }
  std::snprintf(out, size, "%s", text);
}

int HsFormatHostLine(const char* function, char* buffer, int length, int index, unsigned char state,
                     const char* address, const char* name) noexcept {
  char flag = ' ';
  switch (state) {
    case kHostOfficial: flag = 'H'; break;
    case kHostQualified: flag = 'F'; break;
    case kHostAsked: flag = 'A'; break;
    default: break;
  }
  const char* status = state < kHostOfficialQualified ? "UNKNOWN" : "VALID";
  const char* address_field = state == kHostNameUnknownState ? "-" : address;
  const char* name_field = state == kHostAddrUnknownState ? "-" : name;
  const int needed =
      std::snprintf(nullptr, 0, "%d%c%s%c%c%c%s%c%s%c%s%c", index, '\t', status, '\t', flag, '\t',
                    address_field, '\t', "~", '\t', name_field, '\n');
  if (buffer == nullptr || needed < 0 || needed >= length) {
    return NiIError(NIETOO_SMALL, kSource, __LINE__, false, "%s: buffer too small", function);
  }
  std::snprintf(buffer, static_cast<std::size_t>(length), "%d%c%s%c%c%c%s%c%s%c%s%c", index, '\t',
                status, '\t', flag, '\t', address_field, '\t', "~", '\t', name_field, '\n');
  return QEL_O_K;
}

// --- Work buffer and resolver timing ------------------------------------------

HsWorkBuffer::~HsWorkBuffer() { NiIFree(data_); }

int HsWorkBuffer::Grow(const char* function) noexcept {
  const int next = size_ == 0 ? kHsWorkStart : size_ * 2;
  if (next > kHsWorkMax) {
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: resolver answer larger than %d bytes",
                    function, kHsWorkMax);
  }
  NiIFree(data_);
  size_ = 0;
  data_ = static_cast<char*>(NiIAlloc(static_cast<std::size_t>(next), function));
  if (data_ == nullptr) {
    PARCEL_TRC_AT(1, kSource, __LINE__, DpTrcErrno, "%s: malloc failed for %d bytes\n", function,
                  next);
    return NiIRecord(NIEINTERN, kSource, __LINE__, "%s: malloc failed for %d bytes", function,
                     next);
  }
  size_ = next;
  return QEL_O_K;
}

HsTimer::HsTimer(HsCache* cache) noexcept : cache_(cache), limit_(cache->time_limit_ms.load()) {
  if (limit_ > 0) start_ = cache->ops->now_ms(cache);
}

bool HsTimer::Finish(const char* function, const char* what, bool succeeded) noexcept {
  if (limit_ <= 0) return false;
  const std::uint32_t elapsed = cache_->ops->elapsed_ms(start_, cache_->ops->now_ms(cache_));
  if (elapsed <= static_cast<std::uint32_t>(limit_)) return false;
  // "; MT": look-ups may run on several threads at once; the note says
  // which clock measured.
  const char* threads = thrActive.load(std::memory_order_relaxed) ? "; MT" : "";
  const char* note = cache_->clock.load() != nullptr ? "; clock function" : "";
  PARCEL_TRC(1, DpTrc, "%s: to get '%s' %s in %dms (tl=%dms%s%s)\n", function, what,
             succeeded ? "succeeded" : "failed", static_cast<int>(elapsed), limit_, threads, note);
  return true;
}

// --- Service table -------------------------------------------------------------

namespace {

void PortText(std::uint16_t port, char* out, std::size_t size) {
  std::snprintf(out, size, "%u", PortNumber(port));
}

// The entry remembered during the scan, when it still holds what the scan
// found there (another thread may have overwritten it, or the table may have
// been resized, while the resolver ran); else -1.
int StillRemembered(const HsCache* cache, int remembered, const char* name, std::uint16_t port) {
  if (remembered < 0 || remembered >= cache->serv_entries) return -1;
  const HsServEntry& entry = cache->servs[remembered];
  if (entry.state == kServEmpty) return -1;
  if (name != nullptr ? std::strcmp(entry.name, name) != 0 : entry.port != port) return -1;
  return remembered;
}

}  // namespace

int HsGetServNo(HsCache* cache, const char* function, const char* name, std::uint16_t* port,
                int mode) noexcept {
  if (cache == nullptr || name == nullptr || port == nullptr || !HsValidMode(mode)) {
    return HsInvalidArgument(function);
  }
  const std::size_t length = std::strlen(name);
  const bool cacheable = length < static_cast<std::size_t>(kNiServNameSize);
  if (!cacheable) {
    PARCEL_TRC(2, DpTrc, "%s: service name '%s' too long for buffer (%d>=%d)\n", function, name,
               static_cast<int>(length), kNiServNameSize);
    if (mode == NI_HS_CACHE_ONLY) {
      PARCEL_TRC(2, DpTrc, "%s: service name too long for buffer\n", function);
      return HsServUnknown(name);
    }
  }
  int remembered = -1;
  if (mode != NI_HS_RESOLVER_ONLY && cacheable) {
    HsServLock lock(cache);
    for (int i = 0; i < cache->serv_entries; ++i) {
      const HsServEntry& entry = cache->servs[i];
      if (entry.state == kServEmpty) break;
      if (entry.state == kServPortUnknownState || std::strcmp(entry.name, name) != 0) continue;
      PARCEL_TRC(2, DpTrc, "%s: found service name '%s' in cache\n", function, name);
      if (!HsExpired(entry.expiry)) {
        if (entry.state == kServNameUnknownState) {
          PARCEL_TRC(2, DpTrc, "%s: service name cached as unknown\n", function);
          return HsServUnknown(name);
        }
        *port = entry.port;
        return QEL_O_K;
      }
      PARCEL_TRC(2, DpTrc, "%s: retrying to get port number for '%s'\n", function, name);
      remembered = i;
      break;
    }
  }
  if (mode == NI_HS_CACHE_ONLY) {
    PARCEL_TRC(2, DpTrc, "%s: service name not cached\n", function);
    return HsServUnknown(name);
  }

  HsWorkBuffer work;
  NiServEnt answer{};
  const int rc = HsResolve(cache, function, name, &work, &answer, [&](char* data, int size) {
    return NiPGetServByName2(name, kHsProtocol, &answer, data, size);
  });
  if (rc != QEL_O_K && rc != NIESERV_UNKNOWN) return rc;
  char port_text[NI_SERVNO_STR_LEN];
  if (rc == QEL_O_K) {
    PortText(answer.port, port_text, sizeof port_text);
    PARCEL_TRC(2, DpTrc, "%s: got port number %s for '%s' from operation system\n", function,
               port_text, name);
  } else {
    PARCEL_TRC(2, DpTrc, "%s: service name '%s' not found by operation system\n", function, name);
  }
  if (mode != NI_HS_RESOLVER_ONLY && cacheable) {
    HsServLock lock(cache);
    if (cache->serv_entries > 0) {
      remembered = StillRemembered(cache, remembered, name, 0);
      const int slot = HsTakeSlot(&cache->next_serv, cache->serv_entries, remembered, function,
                                  "%s: servbuf overflow\n");
      HsServEntry& entry = cache->servs[slot];
      HsCopyEntryName(entry.name, sizeof entry.name, name);
      if (rc == QEL_O_K) {
        entry.state = kServValidState;
        entry.port = answer.port;
        entry.expiry = HsExpiry(cache->timeouts[kServValid]);
      } else {
        entry.state = kServNameUnknownState;
        entry.port = 0;
        entry.expiry = HsExpiry(cache->timeouts[kServNameUnknown]);
      }
    }
  }
  if (rc != QEL_O_K) return HsServUnknown(name);
  *port = answer.port;
  return QEL_O_K;
}

int HsGetServName(HsCache* cache, const char* function, std::uint16_t port, char* buffer,
                  int length, int mode) noexcept {
  if (cache == nullptr || buffer == nullptr || !HsValidMode(mode)) {
    return HsInvalidArgument(function);
  }
  char port_text[NI_SERVNO_STR_LEN];
  PortText(port, port_text, sizeof port_text);
  int remembered = -1;
  if (mode != NI_HS_RESOLVER_ONLY) {
    HsServLock lock(cache);
    for (int i = 0; i < cache->serv_entries; ++i) {
      const HsServEntry& entry = cache->servs[i];
      if (entry.state == kServEmpty) break;
      if (entry.state == kServNameUnknownState || entry.port != port) continue;
      PARCEL_TRC(2, DpTrc, "%s: found port number %s in cache\n", function, port_text);
      if (!HsExpired(entry.expiry)) {
        if (entry.state == kServPortUnknownState) {
          PARCEL_TRC(2, DpTrc, "%s: port number cached as unknown\n", function);
          return HsServUnknown(port_text);
        }
        return HsCopyName(function, entry.name, buffer, length);
      }
      PARCEL_TRC(2, DpTrc, "%s: retrying to get service name for '%s'\n", function, port_text);
      remembered = i;
      break;
    }
  }
  if (mode == NI_HS_CACHE_ONLY) {
    PARCEL_TRC(2, DpTrc, "%s: port number not cached\n", function);
    return HsServUnknown(port_text);
  }

  HsWorkBuffer work;
  NiServEnt answer{};
  const int rc = HsResolve(cache, function, port_text, &work, &answer, [&](char* data, int size) {
    return NiPGetServByPort2(port, kHsProtocol, &answer, data, size);
  });
  if (rc != QEL_O_K && rc != NIESERV_UNKNOWN) return rc;
  bool store = mode != NI_HS_RESOLVER_ONLY;
  if (rc == QEL_O_K) {
    PARCEL_TRC(2, DpTrc, "%s: got service name '%s' from operation system\n", function,
               answer.name);
    const std::size_t name_length = std::strlen(answer.name);
    if (name_length >= static_cast<std::size_t>(kNiServNameSize)) {
      PARCEL_TRC(2, DpTrc, "%s: service name '%s' too long for buffer (%d>=%d)\n", function,
                 answer.name, static_cast<int>(name_length), kNiServNameSize);
      store = false;
    }
  } else {
    PARCEL_TRC(2, DpTrc, "%s: port %s not found by operation system\n", function, port_text);
  }
  if (store) {
    HsServLock lock(cache);
    if (cache->serv_entries > 0) {
      remembered = StillRemembered(cache, remembered, nullptr, port);
      const int slot = HsTakeSlot(&cache->next_serv, cache->serv_entries, remembered, function,
                                  "%s: servbuf overflow\n");
      HsServEntry& entry = cache->servs[slot];
      entry.port = port;
      if (rc == QEL_O_K) {
        HsCopyEntryName(entry.name, sizeof entry.name, answer.name);
        entry.state = kServValidState;
        entry.expiry = HsExpiry(cache->timeouts[kServValid]);
      } else {
        HsCopyEntryName(entry.name, sizeof entry.name, "");
        entry.state = kServPortUnknownState;
        entry.expiry = HsExpiry(cache->timeouts[kServPortUnknown]);
      }
    }
  }
  if (rc != QEL_O_K) return HsServUnknown(port_text);
  return HsCopyName(function, answer.name, buffer, length);
}

int HsDumpServLine(HsCache* cache, const char* function, char* buffer, int length) noexcept {
  HsServLock lock(cache);
  int& position = cache->dump_serv;
  while (position < cache->serv_entries && cache->servs[position].state == kServEmpty) ++position;
  if (position >= cache->serv_entries) return kHsNoMore;
  const HsServEntry& entry = cache->servs[position];
  char port[16] = "-";
  if (entry.state != kServNameUnknownState) {
    (void)NiSrvToStrL2(entry.port, port, sizeof port);
  }
  const char* status = entry.state < kServValidState ? "UNKNOWN" : "VALID";
  const char* name = entry.state == kServPortUnknownState ? "-" : entry.name;
  const int needed = std::snprintf(nullptr, 0, "%d%c%s%c%s%c%s%c", position, '\t', status, '\t',
                                   port, '\t', name, '\n');
  if (buffer == nullptr || needed < 0 || needed >= length) {
    return NiIError(NIETOO_SMALL, kSource, __LINE__, false, "%s: buffer too small", function);
  }
  std::snprintf(buffer, static_cast<std::size_t>(length), "%d%c%s%c%s%c%s%c", position, '\t',
                status, '\t', port, '\t', name, '\n');
  ++position;
  return QEL_O_K;
}

// --- Shared slots 10 to 13 and 19 to 23 ------------------------------------------

void HsSetTimeLimit(HsCache* cache, int milliseconds) noexcept {
  cache->time_limit_ms.store(milliseconds < 0 ? 0 : milliseconds);
}

int HsGetTimeLimit(HsCache* cache) noexcept { return cache->time_limit_ms.load(); }

void HsSetClock(HsCache* cache, HsClock clock) noexcept { cache->clock.store(clock); }

HsClock HsGetClock(HsCache* cache) noexcept { return cache->clock.load(); }

namespace {

// A name with a dot, unless the dot follows a number at the name's start
// ("1.x" reads as the beginning of an address).
bool QualifiedAlias(const char* name) {
  const char* dot = std::strchr(name, '.');
  if (dot == nullptr) return false;
  if (dot == name) return true;
  for (const char* p = name; p < dot; ++p) {
    if (*p < '0' || *p > '9') return true;
  }
  return false;
}

}  // namespace

const char* HsChooseFqName(const char* official, char* const* aliases) noexcept {
  if (std::strchr(official, '.') != nullptr) return official;
  for (char* const* alias = aliases; alias != nullptr && *alias != nullptr; ++alias) {
    if (QualifiedAlias(*alias)) return *alias;
  }
  return official;
}

void HsTraceHostAnswer(const char* function, const NiHostEnt* answer) noexcept {
  if (trcLevel < 2) return;
  runtime::TraceStatement statement(2);
  DpTrc(trcHandle, "%s: hostent name '%s' (type %d, length %d)\n", function, answer->name,
        answer->addrtype, answer->length);
  for (char* const* alias = answer->aliases; *alias != nullptr; ++alias) {
    DpTrc(trcHandle, "\talias '%s'\n", *alias);
  }
  for (unsigned char* const* address = answer->addresses; *address != nullptr; ++address) {
    NI_NODEADDR node{};
    if (answer->length == 4) {
      node = MappedAddress((*address)[0], (*address)[1], (*address)[2], (*address)[3]);
    } else {
      std::memcpy(node.addr, *address, 16);
    }
    char text[NI_NODEADDR_STR_LEN];
    HsAddressText(&node, text, sizeof text);
    DpTrc(trcHandle, "\taddress %s\n", text);
  }
}

void HsTraceServAnswer(const char* function, const NiServEnt* answer) noexcept {
  char port[NI_SERVNO_STR_LEN];
  PortText(answer->port, port, sizeof port);
  PARCEL_TRC(2, DpTrc, "%s: servent name '%s' port %s/%s\n", function, answer->name, port,
             answer->protocol);
}

std::uint32_t HsNowMs(HsCache* cache) noexcept {
  if (HsClock clock = cache->clock.load(); clock != nullptr) {
    const std::int64_t ms = clock() / 1000;
    return static_cast<std::uint32_t>(((ms % kHsClockWrapMs) + kHsClockWrapMs) % kHsClockWrapMs);
  }
  const std::int64_t seconds = NiNow();
  return static_cast<std::uint32_t>(((seconds % 65536) + 65536) % 65536) * 1000u;
}

std::uint32_t HsElapsedMs(std::uint32_t start, std::uint32_t end) noexcept {
  return end >= start ? end - start : end + kHsClockWrapMs - start;
}

}  // namespace parcel::ni
