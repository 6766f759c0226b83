// Allocation wrappers that trace exhausted memory, with failure injection for
// allocation-failure tests.
#include "runtime/mem.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "runtime/trace.h"

namespace {

// Successful allocations left before injected failures begin; negative = off.
std::atomic<std::int64_t> g_fail_after{-1};

// True when this allocation is to fail by injection.
bool InjectFailure() {
  std::int64_t left = g_fail_after.load(std::memory_order_relaxed);
  while (left > 0) {
    if (g_fail_after.compare_exchange_weak(left, left - 1, std::memory_order_relaxed)) return false;
  }
  return left == 0;
}

// The caller id is copied before it is printed, so at most 63 characters of it
// reach the line.
char g_caller_id[64];

void TraceFailure(bool reallocating, std::size_t size, const char* caller_id) {
  if (trcLevel < 1) return;
  parcel::runtime::TraceStatement statement(1);
  std::snprintf(g_caller_id, sizeof g_caller_id, "%s", caller_id != nullptr ? caller_id : "");
  // %lu gets the low 32 bits of the size, as the line has always shown it.
  auto shown = static_cast<unsigned long>(static_cast<std::uint32_t>(size));
  if (reallocating) {
    DpTrcSetLocation("ictxxmem", 243);
    DpTrcError(trcHandle, "realloc() failed. size=%lu callerId='%s'", shown, g_caller_id);
  } else {
    DpTrcSetLocation("ictxxmem", 219);
    DpTrcError(trcHandle, "malloc() failed. size=%lu callerId='%s'", shown, g_caller_id);
  }
}

}  // namespace

namespace parcel::runtime {

void SetMemFailAfter(std::int64_t successes) noexcept {
  g_fail_after.store(successes < 0 ? -1 : successes, std::memory_order_relaxed);
}

}  // namespace parcel::runtime

void* MemAlloc(std::size_t size, const char* callerId) noexcept {
  void* block = InjectFailure() ? nullptr : std::malloc(size);
  if (block == nullptr) TraceFailure(false, size, callerId);
  return block;
}

void* MemRealloc(void* block, std::size_t size, const char* callerId) noexcept {
  if (size == 0) return std::realloc(block, 0);
  void* resized = InjectFailure() ? nullptr : std::realloc(block, size);
  if (resized == nullptr) TraceFailure(true, size, callerId);
  return resized;
}

int MemFree(void* block) noexcept {
  std::free(block);
  return 0;
}
