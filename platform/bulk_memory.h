// Memory for large buffers that are filled completely right after allocation.
#ifndef PARCEL_PLATFORM_BULK_MEMORY_H_
#define PARCEL_PLATFORM_BULK_MEMORY_H_

#include <cstddef>

namespace parcel::platform {

// Allocates `size` bytes straight from the system, zero-filled and aligned to
// a page. Where the system allows it (Linux), the pages are made present at
// once instead of one fault at a time on first touch, which matters for a
// buffer of tens of thousands of pages about to be written from end to end.
// Null when the memory cannot be had. A size of 0 gets a valid block too.
void* AllocateBulk(std::size_t size) noexcept;

// Returns a block of AllocateBulk; `size` is the size it was allocated with.
// Null is ignored.
void FreeBulk(void* block, std::size_t size) noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_BULK_MEMORY_H_
