// The one seam through which allocations of the library layers can be made to
// fail, for allocation-failure tests: every hooked allocation names its site,
// and a test says which allocations of which site fail, so it can fail any
// allocation of a whole job by site and count. An ordinary runtime setting,
// off by default; then it costs one atomic load per allocation.
//
// Blocks come from and go back to the C library's heap of the module or
// program the caller is linked into (release them with std::free).
#ifndef PARCEL_PLATFORM_ALLOC_HOOK_H_
#define PARCEL_PLATFORM_ALLOC_HOOK_H_

#include <cstddef>
#include <cstdint>
#include <optional>

namespace parcel::platform {

// Where an allocation is made.
enum class AllocSite : int {
  kTransfer,          // data/: the request's record and table arrays, response records
  kXml,               // xml/: the document's copy, element texts, node arrays
  kZipArchive,        // zip/: the ZipArchive object
  kZipBuffer,         // zip/: a buffer data block (the first one and each larger one)
  kZipCentralRecord,  // zip/: an entry's central record
  kZipDirBlock,       // zip/: a directory block
  kZipHandover,       // zip/: a one-shot entry's bytes while the entry moves to streaming
  kRuntime,           // runtime/: MemAlloc and MemRealloc
};

// Which allocations fail.
struct AllocFailure {
  std::optional<AllocSite> site;  // the site whose allocations count; empty: every site
  std::int64_t after = 0;         // allocations counted that succeed before the first failure
  bool once = false;              // only that one fails, or (false) every one from it on
};

// From now on the allocations `failure` names fail; the count starts again
// at 0. Process-wide: set it while no other thread allocates through a hooked
// site.
void SetAllocFailure(const AllocFailure& failure) noexcept;

// No allocation fails any more (the default).
void ClearAllocFailure() noexcept;

// Allocations counted since SetAllocFailure, those that failed included.
std::int64_t AllocationsCounted() noexcept;

// True when the allocation about to be made at `site` is to fail; counts it
// when its site is counted. Thread-safe.
bool AllocationFails(AllocSite site) noexcept;

// std::malloc, std::calloc and std::realloc behind AllocationFails: null
// when the allocation is to fail or the C library has no memory. A failed
// HookedRealloc leaves `block` untouched.
void* HookedMalloc(AllocSite site, std::size_t size) noexcept;
void* HookedCalloc(AllocSite site, std::size_t count, std::size_t size) noexcept;
void* HookedRealloc(AllocSite site, void* block, std::size_t size) noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_ALLOC_HOOK_H_
