// The allocation failure hook.
#include "platform/alloc_hook.h"

#include <atomic>
#include <cstdlib>

namespace parcel::platform {
namespace {

constexpr int kEverySite = -1;

// Off until a test sets a failure; the other settings are read only when on.
std::atomic<bool> g_armed{false};
std::atomic<int> g_site{kEverySite};
std::atomic<std::int64_t> g_after{0};
std::atomic<bool> g_once{false};
std::atomic<std::int64_t> g_counted{0};

}  // namespace

void SetAllocFailure(const AllocFailure& failure) noexcept {
  g_armed.store(false);
  g_site.store(failure.site ? static_cast<int>(*failure.site) : kEverySite);
  g_after.store(failure.after);
  g_once.store(failure.once);
  g_counted.store(0);
  g_armed.store(true);
}

void ClearAllocFailure() noexcept { g_armed.store(false); }

std::int64_t AllocationsCounted() noexcept { return g_counted.load(); }

bool AllocationFails(AllocSite site) noexcept {
  if (!g_armed.load(std::memory_order_relaxed)) return false;
  const int counted_site = g_site.load(std::memory_order_relaxed);
  if (counted_site != kEverySite && counted_site != static_cast<int>(site)) return false;
  const std::int64_t number = g_counted.fetch_add(1, std::memory_order_relaxed);
  const std::int64_t after = g_after.load(std::memory_order_relaxed);
  return g_once.load(std::memory_order_relaxed) ? number == after : number >= after;
}

void* HookedMalloc(AllocSite site, std::size_t size) noexcept {
  return AllocationFails(site) ? nullptr : std::malloc(size);
}

void* HookedCalloc(AllocSite site, std::size_t count, std::size_t size) noexcept {
  return AllocationFails(site) ? nullptr : std::calloc(count, size);
}

void* HookedRealloc(AllocSite site, void* block, std::size_t size) noexcept {
  return AllocationFails(site) ? nullptr : std::realloc(block, size);
}

}  // namespace parcel::platform
