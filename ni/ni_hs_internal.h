// Helpers the two name-cache implementations share (ni_hs_common.cpp).
// Internal to the cache files.
#ifndef PARCEL_NI_NI_HS_INTERNAL_H_
#define PARCEL_NI_NI_HS_INTERNAL_H_

#include <cstddef>
#include <cstdint>

#include "ni/ni_hostcache.h"

namespace parcel::ni {

// Scoped holders of a cache's locks; both locks: host first, then service.
class HsHostLock {
 public:
  explicit HsHostLock(HsCache* cache) noexcept : cache_(cache) { ThrLockEnter(&cache_->host_lock); }
  ~HsHostLock() { ThrLockLeave(&cache_->host_lock); }
  HsHostLock(const HsHostLock&) = delete;
  HsHostLock& operator=(const HsHostLock&) = delete;

 private:
  HsCache* cache_;
};

class HsServLock {
 public:
  explicit HsServLock(HsCache* cache) noexcept : cache_(cache) { ThrLockEnter(&cache_->serv_lock); }
  ~HsServLock() { ThrLockLeave(&cache_->serv_lock); }
  HsServLock(const HsServLock&) = delete;
  HsServLock& operator=(const HsServLock&) = delete;

 private:
  HsCache* cache_;
};

class HsBothLocks {
 public:
  explicit HsBothLocks(HsCache* cache) noexcept : host_(cache), serv_(cache) {}

 private:
  HsHostLock host_;
  HsServLock serv_;
};

// The classic look-ups' work buffer: Grow gives kHsWorkStart bytes first,
// then twice the size each time, NIEINTERN past kHsWorkMax or when memory
// runs out. The contents do not survive a Grow.
class HsWorkBuffer {
 public:
  HsWorkBuffer() = default;
  ~HsWorkBuffer();
  HsWorkBuffer(const HsWorkBuffer&) = delete;
  HsWorkBuffer& operator=(const HsWorkBuffer&) = delete;

  [[nodiscard]] int Grow(const char* function) noexcept;
  char* data() const { return data_; }
  int size() const { return size_; }

 private:
  char* data_ = nullptr;
  int size_ = 0;
};

// Measures one resolver call against the cache's time limit (slots 22, 23).
// Finish writes the slow-resolver line at level 1 and returns true when the
// call took longer than the limit.
class HsTimer {
 public:
  explicit HsTimer(HsCache* cache) noexcept;
  bool Finish(const char* function, const char* what, bool succeeded) noexcept;

 private:
  HsCache* cache_;
  int limit_;
  std::uint32_t start_ = 0;
};

// Asks the resolver through `call(data, size)` with a work buffer grown
// until the answer fits, timed; a slow answer is traced with the cache's
// trace operation for its kind.
inline void HsTraceAnswer(HsCache* cache, const char* function, const NiHostEnt* answer) {
  cache->ops->trace_host_answer(function, answer);
}
inline void HsTraceAnswer(HsCache* cache, const char* function, const NiServEnt* answer) {
  cache->ops->trace_serv_answer(function, answer);
}
template <typename Answer, typename Call>
int HsResolve(HsCache* cache, const char* function, const char* what, HsWorkBuffer* work,
              const Answer* answer, Call call) {
  HsTimer timer(cache);
  int rc;
  do {
    if ((rc = work->Grow(function)) != QEL_O_K) break;
    rc = call(work->data(), work->size());
  } while (rc == NIETOO_SMALL);
  if (timer.Finish(function, what, rc == QEL_O_K) && rc == QEL_O_K) {
    HsTraceAnswer(cache, function, answer);
  }
  return rc;
}

// Tables and timeouts.
int HsNormalTimeout(int seconds) noexcept;
int HsInitTables(HsCache* cache, const char* function, int entries,
                 const int timeouts[kHsTimeoutCount], std::size_t host_entry_size) noexcept;
void HsDestroyTables(HsCache* cache) noexcept;
int HsSetIndexSize(HsCache* cache, const char* function, int entries) noexcept;
int HsGetIndexSize(HsCache* cache) noexcept;
int HsSetRetryTimeout(HsCache* cache, const char* function, int seconds) noexcept;
int HsGetRetryTimeout(HsCache* cache) noexcept;
void HsFlush(HsCache* cache, const char* function, std::size_t host_entry_size) noexcept;
void HsDumpBegin(HsCache* cache) noexcept;
void HsDumpEnd(HsCache* cache) noexcept;

// Look-ups.
bool HsValidMode(int mode) noexcept;
int HsInvalidArgument(const char* function) noexcept;
// Whether `expiry` is past; the expiry of an answer stored now.
bool HsExpired(std::int64_t expiry) noexcept;
std::int64_t HsExpiry(int timeout) noexcept;
// Record the error information of an unknown host or service; return the code.
int HsHostUnknown(const char* text) noexcept;
int HsServUnknown(const char* text) noexcept;
// Copies `name` into the caller's buffer: NIETOO_SMALL ("%s: buffer too
// small (%d<=%d)") unless `length` exceeds its length.
int HsCopyName(const char* function, const char* name, char* buffer, int length) noexcept;
// Copies `name` (shorter than `room`) into an entry, zero-filling the rest.
void HsCopyEntryName(char* entry_name, std::size_t room, const char* name) noexcept;
// The slot a store writes: `remembered` when it is one (an expired entry of
// the same key, still valid in the table), else the next slot of the ring,
// which moves on by one and wraps to 0 after the last entry with the
// overflow line (one "%s" for `function`, level 2).
int HsTakeSlot(int* next, int entries, int remembered, const char* function,
               const char* overflow_format) noexcept;
// The short text of an address ("a.b.c.d" for IPv4-mapped).
void HsAddressText(const NI_NODEADDR* address, char* out, std::size_t size) noexcept;
// One host line of the dump.
int HsFormatHostLine(const char* function, char* buffer, int length, int index, unsigned char state,
                     const char* address, const char* name) noexcept;

// The service table, the same in both implementations.
int HsGetServNo(HsCache* cache, const char* function, const char* name, std::uint16_t* port,
                int mode) noexcept;
int HsGetServName(HsCache* cache, const char* function, std::uint16_t port, char* buffer,
                  int length, int mode) noexcept;
int HsDumpServLine(HsCache* cache, const char* function, char* buffer, int length) noexcept;

// Slots 10 to 13 and 19 to 23.
void HsSetTimeLimit(HsCache* cache, int milliseconds) noexcept;
int HsGetTimeLimit(HsCache* cache) noexcept;
void HsSetClock(HsCache* cache, HsClock clock) noexcept;
HsClock HsGetClock(HsCache* cache) noexcept;
const char* HsChooseFqName(const char* official, char* const* aliases) noexcept;
void HsTraceHostAnswer(const char* function, const NiHostEnt* answer) noexcept;
void HsTraceServAnswer(const char* function, const NiServEnt* answer) noexcept;
std::uint32_t HsNowMs(HsCache* cache) noexcept;
std::uint32_t HsElapsedMs(std::uint32_t start, std::uint32_t end) noexcept;

// The local host's name as NiILHInit read it, into `out` (`size` bytes);
// false before NiILHInit or when it does not fit.
bool LocalHostNameCopy(char* out, std::size_t size) noexcept;

}  // namespace parcel::ni

#endif  // PARCEL_NI_NI_HS_INTERNAL_H_
