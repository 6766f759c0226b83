// Internals of the version reader shared by its sources and tests: the value
// order, the all-or-nothing hand-out, and the readers with a replaceable heap.
#ifndef PARCEL_VERSION_VERSION_INTERNAL_H_
#define PARCEL_VERSION_VERSION_INTERNAL_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace parcel::version::detail {

// The four values, always in this order.
enum Field : std::size_t { kFileVersion, kProductVersion, kPlatform, kSpecialBuild, kFieldCount };

// One pointer per value; an entry may be null where a value is unknown.
using Values = std::array<const char*, kFieldCount>;

// The caller's out pointers, in value order.
using Outs = std::array<char**, kFieldCount>;

// Where heap copies and working blocks come from. Copies handed out are
// released by callers with free, so `allocate` must return memory that free
// accepts; tests substitute a counting allocator that fails on request.
struct Heap {
  void* (*allocate)(std::size_t size);
  void (*release)(void* block);
};
inline constexpr Heap kCHeap = {&std::malloc, &std::free};

// This module's own four values. They point into the version stamps the
// module carries in its constant data (version/module_stamps.cpp).
Values ModuleValues() noexcept;

// Sets every non-null out to null. Returns true when all four outs are
// non-null.
bool ClearOuts(const Outs& outs) noexcept;

// Sets each out to a heap copy of its value. When a value is null or a copy
// cannot be made, releases the copies made so far, sets all outs to null and
// returns 0; otherwise returns 1.
// Requires: all outs non-null.
std::int32_t HandOut(const Values& values, const Outs& outs, const Heap& heap) noexcept;

// ReadVersionInfo and ReadVersionResource with `heap` in place of malloc/free.
std::int32_t ReadInfo(const char* path, const Outs& outs, const Heap& heap) noexcept;
std::int32_t ReadResource(const char* path, const Outs& outs, const Heap& heap) noexcept;

}  // namespace parcel::version::detail

#endif  // PARCEL_VERSION_VERSION_INTERNAL_H_
