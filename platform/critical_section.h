// A recursive lock in storage the caller provides: a critical section on
// Windows, a recursive pthread mutex on POSIX. The owner thread may enter it
// again; each enter needs its own leave.
#ifndef PARCEL_PLATFORM_CRITICAL_SECTION_H_
#define PARCEL_PLATFORM_CRITICAL_SECTION_H_

#include <cstddef>

namespace parcel::platform {

// Room for the system object on every supported platform (CRITICAL_SECTION is
// 40 bytes on 64-bit Windows, pthread_mutex_t 40 bytes on x86-64 glibc); each
// implementation checks at compile time that its object fits.
inline constexpr std::size_t kCriticalSectionSize = 64;

// Plain storage, so that it can sit in C-style structures and static arrays.
// Its contents mean nothing until CriticalSectionInit and after
// CriticalSectionDelete; it must not be copied or moved while initialised.
struct CriticalSection {
  alignas(16) unsigned char storage[kCriticalSectionSize];
};

// Makes `cs` a fresh, unowned lock. Requires: `cs` is not initialised.
void CriticalSectionInit(CriticalSection* cs) noexcept;

// Blocks until the calling thread owns `cs`; returns at once when it already
// does (the lock counts its owner's entries). Requires: `cs` is initialised.
void CriticalSectionEnter(CriticalSection* cs) noexcept;

// Undoes one CriticalSectionEnter of the calling thread; the lock is free for
// other threads after the owner's last leave. Requires: the caller owns `cs`.
void CriticalSectionLeave(CriticalSection* cs) noexcept;

// Releases the system object. Requires: `cs` is initialised and not owned.
void CriticalSectionDelete(CriticalSection* cs) noexcept;

// Owner of one process-internal recursive lock: initialised on construction,
// deleted on destruction. Neither copyable nor movable, because the system
// object must stay at its address while it exists.
class RecursiveMutex {
 public:
  RecursiveMutex() noexcept { CriticalSectionInit(&cs_); }
  ~RecursiveMutex() { CriticalSectionDelete(&cs_); }
  RecursiveMutex(const RecursiveMutex&) = delete;
  RecursiveMutex& operator=(const RecursiveMutex&) = delete;

  void Lock() noexcept { CriticalSectionEnter(&cs_); }
  void Unlock() noexcept { CriticalSectionLeave(&cs_); }

 private:
  CriticalSection cs_;
};

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_CRITICAL_SECTION_H_
