// POSIX side of the lazily looked-up functions: dlopen and dlsym.
#include <dlfcn.h>
#include <pthread.h>

#include "platform/lazy_symbol.h"

namespace parcel::platform::detail {
namespace {

// Statically initialised, so it works before and after any constructor runs.
pthread_mutex_t g_lookup_lock = PTHREAD_MUTEX_INITIALIZER;

}  // namespace

void* OpenSystemLibrary(const char* name) noexcept {
  // Never closed: the addresses found in it are kept for the process's life.
  return dlopen(name, RTLD_NOW | RTLD_LOCAL);
}

void* FindSystemSymbol(void* library, const char* name) noexcept { return dlsym(library, name); }

void LockLookups() noexcept { pthread_mutex_lock(&g_lookup_lock); }

void UnlockLookups() noexcept { pthread_mutex_unlock(&g_lookup_lock); }

}  // namespace parcel::platform::detail
