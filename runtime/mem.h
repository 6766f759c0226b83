// Allocation wrappers of the library layers: the C library's allocator, plus an
// error trace line when memory runs out. Blocks come from and go back to the C
// library's heap of this module (malloc/realloc/free), through the allocation
// hook (platform/alloc_hook.h, site kRuntime), which tests use to fail them.
//
// Thread safety: as the C library's allocator. The trace line is one trace
// statement (runtime/trace.h).
#ifndef PARCEL_RUNTIME_MEM_H_
#define PARCEL_RUNTIME_MEM_H_

#include <cstddef>
#include <cstdint>

#include "platform/export.h"

// Returns malloc(size), owned by the caller. When that is null and trcLevel is
// at least 1, writes the error line "malloc() failed. size=%lu callerId='%s'"
// (low 32 bits of the size, the first 63 characters of `callerId`; null counts
// as empty) with the location "ictxxmem" 219.
PARCEL_RUNTIME_API void* MemAlloc(std::size_t size, const char* callerId) noexcept;

// Returns realloc(block, size). When that is null for a size other than 0 and
// trcLevel is at least 1, writes "realloc() failed. size=%lu callerId='%s'"
// with the location "ictxxmem" 243; `block` is then still the caller's.
PARCEL_RUNTIME_API void* MemRealloc(void* block, std::size_t size, const char* callerId) noexcept;

// free(block); returns 0.
PARCEL_RUNTIME_API int MemFree(void* block) noexcept;

#endif  // PARCEL_RUNTIME_MEM_H_
