// Thread services of the library layers: named locks over the system's
// recursive critical sections, and thread-local keys with a process-wide
// registry of their destructors.
//
// Two process-wide switches, both off at process start, govern the locks:
// while `thrActive` is off, entering and leaving a lock do nothing and the key
// registry is used without its lock; while `thrReady` is off, deleting a lock
// does nothing. The host of the library turns both on, once, before a second
// thread uses the library (parcel::runtime::EnableThreadServices). Turning
// `thrActive` off again while a lock is held leaves that lock held.
//
// Thread safety: all operations may be called from any thread. The registry is
// read and changed under the registry lock while `thrActive` is on; that lock
// is never held while a caller's lock is taken or a destructor runs. A key
// variable may be shared between threads: a key made by one thread's
// ThrKeyGet or ThrKeySet is found by the others (THR_ERR_EXISTS).
#ifndef PARCEL_RUNTIME_THR_H_
#define PARCEL_RUNTIME_THR_H_

#include <atomic>
#include <cstdint>

#include "platform/critical_section.h"
#include "platform/export.h"

// Result codes.
inline constexpr int THR_OK = 0;
inline constexpr int THR_ERR_NOKEY = 2;     // the key variable holds THR_KEY_NONE
inline constexpr int THR_ERR_EXISTS = 3;    // the key variable holds a registered key
inline constexpr int THR_ERR_SYSCALL = 6;   // the system refused to free or set the key
inline constexpr int THR_ERR_NOMEM = 7;     // no memory for the registry entry
inline constexpr int THR_ERR_NOTREADY = 8;  // thrReady is off
inline constexpr int THR_ERR_NOKEYS = 14;   // the system has no free key

// A key variable holding this value holds no key.
inline constexpr std::uint32_t THR_KEY_NONE = 0xFFFFFFFFu;

extern PARCEL_RUNTIME_API std::atomic<bool> thrActive;
extern PARCEL_RUNTIME_API std::atomic<bool> thrReady;

namespace parcel::runtime {

// A lock: storage the caller provides, initialised by ThrLockInit.
using ThrLock = platform::CriticalSection;

// Called with a thread's value for a key when the thread ends.
using ThrKeyDestructor = void (*)(void* value);

// Turns thrActive and thrReady on. Call once at start, before a second thread
// uses the library layers.
PARCEL_RUNTIME_API void EnableThreadServices() noexcept;

// Passes the calling thread's non-null values of every registered key that has
// a destructor to that destructor, each after its value was reset to null; a
// destructor that stores a value again gets another round, up to four. Values
// of ending threads are released this way automatically (from the system's
// thread-end notification); a thread may call this earlier, for instance
// before it returns to a pool. Requires: no key is released meanwhile.
PARCEL_RUNTIME_API void ReleaseThreadValues() noexcept;

}  // namespace parcel::runtime

// Initialises the critical section at `lock`; returns THR_OK. `name` (such as
// "NI hdl section") is not stored. A null lock does nothing.
PARCEL_RUNTIME_API int ThrLockInit(parcel::runtime::ThrLock* lock, const char* name) noexcept;

// While thrActive is on, enters (blocks until the calling thread owns) /
// leaves the lock; the owner may enter again and leaves as often. While it is
// off, the lock is not touched. Returns THR_OK.
PARCEL_RUNTIME_API int ThrLockEnter(parcel::runtime::ThrLock* lock) noexcept;
PARCEL_RUNTIME_API int ThrLockLeave(parcel::runtime::ThrLock* lock) noexcept;

// THR_ERR_NOTREADY, leaving the lock as it is, while thrReady is off; otherwise
// deletes the critical section and returns THR_OK. Requires: not owned.
PARCEL_RUNTIME_API int ThrLockDelete(parcel::runtime::ThrLock* lock) noexcept;

// Thread-local keys. Each operation takes the address of the caller's key
// variable; null gives THR_ERR_NOKEY (ThrKeyGet: null).

// Makes a key, stores it in `*key` and registers it with `destructor` (may be
// null). THR_ERR_EXISTS, changing nothing, when `*key` already holds a
// registered key; a value that is neither THR_KEY_NONE nor registered is
// replaced. THR_ERR_NOKEYS, `*key` then THR_KEY_NONE, when the system has no
// free key; THR_ERR_NOMEM, the new key staying in `*key` but unregistered,
// when the registry entry cannot be allocated.
PARCEL_RUNTIME_API int ThrKeyAlloc(std::uint32_t* key,
                                   parcel::runtime::ThrKeyDestructor destructor) noexcept;

// Frees the key in `*key` (values still held by threads are not destroyed),
// unregisters it and sets `*key` to THR_KEY_NONE. A module releases its keys
// before it is unloaded: on POSIX the threads library keeps a key's destructor
// until then, and would call into the unloaded code at the next thread end. THR_ERR_NOKEY when
// `*key` is THR_KEY_NONE; THR_ERR_SYSCALL when the system rejects the key, the variable and the
// registry being cleared all the same.
PARCEL_RUNTIME_API int ThrKeyRelease(std::uint32_t* key) noexcept;

// Stores `value` for the calling thread; makes the key first (no destructor)
// when `*key` is THR_KEY_NONE and returns that failure, if any. THR_ERR_SYSCALL
// when the system refuses the value.
PARCEL_RUNTIME_API int ThrKeySet(std::uint32_t* key, void* value) noexcept;

// The calling thread's value, null when none was set. Makes the key first (no
// destructor) when `*key` is THR_KEY_NONE; null when that fails.
PARCEL_RUNTIME_API void* ThrKeyGet(std::uint32_t* key) noexcept;

#endif  // PARCEL_RUNTIME_THR_H_
