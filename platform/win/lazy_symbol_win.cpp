// Windows side of the lazily looked-up functions: LoadLibraryA and
// GetProcAddress.
#include "platform/lazy_symbol.h"
#include "platform/win/win_headers.h"

namespace parcel::platform::detail {
namespace {

// A slim lock needs no initialisation call and no clean-up, so it is usable
// from the first instruction to the last.
SRWLOCK g_lookup_lock = SRWLOCK_INIT;

}  // namespace

void* OpenSystemLibrary(const char* name) noexcept {
  // Never freed: the addresses found in it are kept for the process's life.
  return reinterpret_cast<void*>(LoadLibraryA(name));
}

void* FindSystemSymbol(void* library, const char* name) noexcept {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void LockLookups() noexcept { AcquireSRWLockExclusive(&g_lookup_lock); }

void UnlockLookups() noexcept { ReleaseSRWLockExclusive(&g_lookup_lock); }

}  // namespace parcel::platform::detail
