// Thread-local keys: one pointer-sized value per thread and key, with an
// optional destructor that the system layer runs for a thread's non-null value
// when that thread ends. TlsAlloc and friends on Windows, pthread keys on POSIX.
#ifndef PARCEL_PLATFORM_THREAD_LOCAL_KEY_H_
#define PARCEL_PLATFORM_THREAD_LOCAL_KEY_H_

#include <cstdint>

namespace parcel::platform {

// A key as the system numbers it. Valid keys are never kInvalidTlsKey.
using TlsKey = std::uint32_t;
inline constexpr TlsKey kInvalidTlsKey = 0xFFFFFFFFu;

// Called with a thread's value when the thread ends.
using TlsDestructor = void (*)(void* value);

// Creates a key whose value is null in every thread. When `destructor` is not
// null, each thread that ends with a non-null value for the key gets its value
// passed to it, in that thread, after the value was reset to null; a destructor
// that stores a new value is called again, up to four rounds in all.
// On Windows this happens from the loader's thread-detach notification, so a
// destructor must not wait for other threads or load libraries.
// Returns false, with `*key` untouched, when the system has no free key.
bool TlsKeyCreate(TlsKey* key, TlsDestructor destructor) noexcept;

// Frees `key`. Values still held by threads are not passed to the destructor.
// Returns false when the system rejects the key (not a live key).
bool TlsKeyDelete(TlsKey key) noexcept;

// Stores `value` for the calling thread. Returns false when the system rejects
// the key or cannot make room for the value.
bool TlsKeySetValue(TlsKey key, void* value) noexcept;

// The calling thread's value, null when none was stored or the key is not live.
void* TlsKeyGetValue(TlsKey key) noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_THREAD_LOCAL_KEY_H_
