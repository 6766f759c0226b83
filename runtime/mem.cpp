// Allocation wrappers that trace exhausted memory.
#include "runtime/mem.h"

#include <cstdio>
#include <cstdlib>

#include "platform/alloc_hook.h"
#include "runtime/trace.h"

namespace {

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

void* MemAlloc(std::size_t size, const char* callerId) noexcept {
  void* block = parcel::platform::HookedMalloc(parcel::platform::AllocSite::kRuntime, size);
  if (block == nullptr) TraceFailure(false, size, callerId);
  return block;
}

void* MemRealloc(void* block, std::size_t size, const char* callerId) noexcept {
  if (size == 0) return std::realloc(block, 0);
  void* resized =
      parcel::platform::HookedRealloc(parcel::platform::AllocSite::kRuntime, block, size);
  if (resized == nullptr) TraceFailure(true, size, callerId);
  return resized;
}

int MemFree(void* block) noexcept {
  std::free(block);
  return 0;
}
