// A loadable module that keeps a value per thread under a key with a
// destructor, as the network library does with its per-thread globals: the
// thread tests load it to see values released for threads the host created.
#include <atomic>

#include "platform/export.h"
#include "runtime/thr.h"

namespace {

std::atomic<int> g_released{0};
std::uint32_t g_key = THR_KEY_NONE;
int g_value;

void Release(void* value) {
  if (value == &g_value) g_released.fetch_add(1);
}

}  // namespace

// Stores a value for the calling thread, making the key on first use.
extern "C" PARCEL_EXPORT int RuntimeProbeSetValue() {
  int result = ThrKeyAlloc(&g_key, Release);
  if (result != THR_OK && result != THR_ERR_EXISTS) return result;
  return ThrKeySet(&g_key, &g_value);
}

// How often the destructor has released a value.
extern "C" PARCEL_EXPORT int RuntimeProbeReleased() { return g_released.load(); }

// Frees the key; to be called before the module is unloaded.
extern "C" PARCEL_EXPORT int RuntimeProbeShutdown() { return ThrKeyRelease(&g_key); }
