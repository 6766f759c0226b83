// Locating the version resource inside a Windows PE image read as plain
// bytes, so that systems without the Windows loader can read a module's
// version resource. Portable code without system calls; every offset and
// length taken from the image is untrusted and checked before it is used.
#ifndef PARCEL_PLATFORM_PE_IMAGE_H_
#define PARCEL_PLATFORM_PE_IMAGE_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace parcel::platform::pe {

// Resource type and name under which a module keeps its version resource.
inline constexpr std::uint32_t kVersionResourceType = 16;
inline constexpr std::uint32_t kVersionResourceName = 1;

// A version resource is one tree whose root length is a 16-bit field, so no
// more than this many bytes of the resource data are ever read.
inline constexpr std::uint32_t kMaxVersionResourceSize = 0xFFFF;

// Random read access to the bytes of a file or buffer.
class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // Copies the `size` bytes at `offset` to `out`. False when any of them lies
  // past the end or cannot be read; `out` is then unspecified.
  virtual bool ReadAt(std::uint64_t offset, void* out, std::size_t size) const noexcept = 0;
};

// The bytes of a buffer the caller owns; the buffer must outlive the source.
class MemorySource final : public ByteSource {
 public:
  explicit MemorySource(std::span<const std::uint8_t> bytes) noexcept : bytes_(bytes) {}
  bool ReadAt(std::uint64_t offset, void* out, std::size_t size) const noexcept override;

 private:
  std::span<const std::uint8_t> bytes_;
};

// Where the bytes of a resource lie in the file.
struct ResourceRange {
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
};

// Finds the version resource (type kVersionResourceType, name
// kVersionResourceName) of the PE image (32- or 64-bit) in `file`. Among its
// languages the language-neutral one is taken when present, otherwise the
// first listed. On success `*range` holds the file position of the resource
// data, its size capped at kMaxVersionResourceSize; every byte of that range
// is inside the section that holds it and inside the file.
//
// Returns false, leaving `*range` unchanged, when the bytes are not a PE
// image, the image has no resource directory or no version resource, or any
// header, directory, entry or data range lies outside the image's sections or
// the file. The walk descends exactly three directory levels, so offsets that
// point back into the directory cannot make it loop. Reads at most a few
// hundred bytes at a time.
//
// Requires: range != nullptr.
bool FindVersionResource(const ByteSource& file, ResourceRange* range) noexcept;

}  // namespace parcel::platform::pe

#endif  // PARCEL_PLATFORM_PE_IMAGE_H_
