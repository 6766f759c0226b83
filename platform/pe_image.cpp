// PE headers, section table and resource directory, decoded field by field
// from little-endian bytes; no structure is ever cast over file data.
#include "platform/pe_image.h"

#include <algorithm>
#include <cstring>

#include "platform/coding.h"

namespace parcel::platform::pe {
namespace {

constexpr std::uint32_t kDosHeaderSize = 64;
constexpr std::uint32_t kNewHeaderOffsetField = 0x3C;
constexpr std::uint32_t kFileHeaderSize = 24;  // "PE\0\0" and the COFF header
constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::uint32_t kResourceDirectoryIndex = 2;
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kDirectoryHeaderSize = 16;
constexpr std::uint32_t kDirectoryEntrySize = 8;
constexpr std::uint32_t kDataEntrySize = 16;
constexpr std::uint32_t kHighBit = 0x80000000u;
constexpr std::uint32_t kLanguageNeutral = 0;

// Section headers and directory entries are read this many at a time.
constexpr std::uint32_t kChunk = 16;

class Image {
 public:
  explicit Image(const ByteSource& file) : file_(file) {}

  // Reads the headers; false when the bytes are not a PE image with a
  // resource directory.
  bool Open() {
    std::uint8_t dos[kDosHeaderSize];
    if (!file_.ReadAt(0, dos, sizeof dos) || dos[0] != 'M' || dos[1] != 'Z') return false;
    const std::uint64_t header = DecodeFixed32(dos + kNewHeaderOffsetField);
    std::uint8_t coff[kFileHeaderSize];
    if (!file_.ReadAt(header, coff, sizeof coff) || std::memcmp(coff, "PE\0\0", 4) != 0) {
      return false;
    }
    section_count_ = DecodeFixed16(coff + 6);
    const std::uint16_t optional_size = DecodeFixed16(coff + 20);
    const std::uint64_t optional = header + kFileHeaderSize;
    sections_ = optional + optional_size;

    std::uint8_t magic[2];
    if (!file_.ReadAt(optional, magic, sizeof magic)) return false;
    std::uint32_t count_field;
    std::uint32_t directories;
    switch (DecodeFixed16(magic)) {
      case kMagicPe32:
        count_field = 92;
        directories = 96;
        break;
      case kMagicPe32Plus:
        count_field = 108;
        directories = 112;
        break;
      default: return false;
    }
    const std::uint32_t entry = directories + 8 * kResourceDirectoryIndex;
    if (entry + 8 > optional_size) return false;
    std::uint8_t count[4];
    std::uint8_t resource[8];
    if (!file_.ReadAt(optional + count_field, count, sizeof count) ||
        DecodeFixed32(count) <= kResourceDirectoryIndex ||
        !file_.ReadAt(optional + entry, resource, sizeof resource)) {
      return false;
    }
    resource_root_ = DecodeFixed32(resource);
    return resource_root_ != 0;
  }

  std::uint32_t resource_root() const { return resource_root_; }

  // File offset of the `size` bytes at `rva`, which must all lie in the raw
  // data of one section; the first section that holds them answers.
  bool Map(std::uint64_t rva, std::uint64_t size, std::uint64_t* offset) const {
    std::uint8_t chunk[kChunk * kSectionHeaderSize];
    for (std::uint32_t first = 0; first < section_count_; first += kChunk) {
      const std::uint32_t n = std::min<std::uint32_t>(kChunk, section_count_ - first);
      if (!file_.ReadAt(sections_ + std::uint64_t{first} * kSectionHeaderSize, chunk,
                        n * kSectionHeaderSize)) {
        return false;
      }
      for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint8_t* section = chunk + i * kSectionHeaderSize;
        const std::uint64_t address = DecodeFixed32(section + 12);
        const std::uint64_t raw_size = DecodeFixed32(section + 16);
        const std::uint64_t raw_offset = DecodeFixed32(section + 20);
        if (rva >= address && rva - address <= raw_size && size <= raw_size - (rva - address)) {
          *offset = raw_offset + (rva - address);
          return true;
        }
      }
    }
    return false;
  }

  // Reads the `size` bytes at `rva` into `out`.
  bool ReadRva(std::uint64_t rva, void* out, std::uint32_t size) const {
    std::uint64_t offset;
    return Map(rva, size, &offset) && file_.ReadAt(offset, out, size);
  }

  // The entry value (offset and subdirectory bit) of the directory at
  // `directory_offset` within the resource tree whose numeric name is `id`;
  // with `id` null, the language-neutral entry or else the first.
  bool FindEntry(std::uint32_t directory_offset, const std::uint32_t* id,
                 std::uint32_t* value) const {
    const std::uint64_t directory = std::uint64_t{resource_root_} + directory_offset;
    std::uint8_t header[kDirectoryHeaderSize];
    if (!ReadRva(directory, header, sizeof header)) return false;
    const std::uint32_t count =
        std::uint32_t{DecodeFixed16(header + 12)} + DecodeFixed16(header + 14);
    std::uint64_t entries;
    if (count == 0 || !Map(directory + kDirectoryHeaderSize,
                           std::uint64_t{count} * kDirectoryEntrySize, &entries)) {
      return false;
    }
    std::uint8_t chunk[kChunk * kDirectoryEntrySize];
    bool have_first = false;
    for (std::uint32_t first = 0; first < count; first += kChunk) {
      const std::uint32_t n = std::min(kChunk, count - first);
      if (!file_.ReadAt(entries + std::uint64_t{first} * kDirectoryEntrySize, chunk,
                        n * kDirectoryEntrySize)) {
        return false;
      }
      for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint32_t name = DecodeFixed32(chunk + i * kDirectoryEntrySize);
        const std::uint32_t entry_value = DecodeFixed32(chunk + i * kDirectoryEntrySize + 4);
        const std::uint32_t wanted = id != nullptr ? *id : kLanguageNeutral;
        if (name == wanted) {  // a named entry has the high bit set and never matches
          *value = entry_value;
          return true;
        }
        if (id == nullptr && !have_first) {
          *value = entry_value;
          have_first = true;
        }
      }
    }
    return have_first;
  }

 private:
  const ByteSource& file_;
  std::uint32_t section_count_ = 0;
  std::uint64_t sections_ = 0;
  std::uint32_t resource_root_ = 0;
};

}  // namespace

bool MemorySource::ReadAt(std::uint64_t offset, void* out, std::size_t size) const noexcept {
  if (offset > bytes_.size() || size > bytes_.size() - offset) return false;
  if (size != 0) std::memcpy(out, bytes_.data() + offset, size);
  return true;
}

bool FindVersionResource(const ByteSource& file, ResourceRange* range) noexcept {
  Image image(file);
  if (!image.Open()) return false;

  // Type and name levels lead to subdirectories, the language level to a
  // data entry.
  const std::uint32_t type = kVersionResourceType;
  const std::uint32_t name = kVersionResourceName;
  std::uint32_t value;
  if (!image.FindEntry(0, &type, &value) || (value & kHighBit) == 0) return false;
  if (!image.FindEntry(value & ~kHighBit, &name, &value) || (value & kHighBit) == 0) return false;
  if (!image.FindEntry(value & ~kHighBit, nullptr, &value) || (value & kHighBit) != 0) {
    return false;
  }

  std::uint8_t data_entry[kDataEntrySize];
  if (!image.ReadRva(std::uint64_t{image.resource_root()} + value, data_entry, kDataEntrySize)) {
    return false;
  }
  const std::uint32_t data = DecodeFixed32(data_entry);
  const std::uint32_t size = std::min(DecodeFixed32(data_entry + 4), kMaxVersionResourceSize);
  std::uint64_t offset;
  std::uint8_t last;
  // The last byte is read too: a section may claim raw data the file lacks.
  if (size == 0 || !image.Map(data, size, &offset) || !file.ReadAt(offset + size - 1, &last, 1)) {
    return false;
  }
  range->offset = offset;
  range->size = size;
  return true;
}

}  // namespace parcel::platform::pe
