// The version resource of a module file, read the same way on every system:
// on Windows through the system's version functions, elsewhere by reading the
// file's PE resource directory directly (platform/pe_image.h). A file that is
// not a PE image has no version resource.
//
// Use: VersionResourceSize, then allocate a block of that size, fill it with
// LoadVersionResource, look texts up with QueryVersionText, free the block.
#ifndef PARCEL_PLATFORM_VERSION_RESOURCE_H_
#define PARCEL_PLATFORM_VERSION_RESOURCE_H_

#include <cstdint>

namespace parcel::platform {

// Size in bytes of the block that LoadVersionResource fills for the file at
// `path`, or 0 when the file has no version resource or cannot be read.
// Requires: path != nullptr.
std::uint32_t VersionResourceSize(const char* path) noexcept;

// Fills `block` (`size` bytes, as returned by VersionResourceSize) with the
// version resource of the file at `path`. Returns false when the file has no
// version resource any more, cannot be read, or its resource no longer fits
// `size` bytes; `block` is then unspecified. Nothing is written past `size`.
// Requires: path != nullptr, block != nullptr.
bool LoadVersionResource(const char* path, std::uint32_t size, void* block) noexcept;

// The zero-terminated narrow text of the value at `key` (a backslash path
// such as "\StringFileInfo\040704b0\FileVersion", names compared without
// regard to letter case) in `block`, or null when the resource has no such
// value or the value is not text. The text is in the system's ANSI code page
// (Windows-1252 where there is no such setting) and is stored inside `block`:
// it stays valid until the block is freed. Querying writes into `block`, so
// one block must not be queried from two threads at once.
// Requires: `block` was filled by LoadVersionResource; key != nullptr.
const char* QueryVersionText(void* block, const char* key) noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_VERSION_RESOURCE_H_
