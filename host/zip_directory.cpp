// Central directory reader, on the layout the module's writer uses.
#include "host/zip_directory.h"

#include "platform/coding.h"
#include "zip/zip_format.h"

namespace parcel::host {
namespace {

namespace z = parcel::zip;

constexpr std::size_t kEndSize = z::kEndRecordSize;
constexpr std::size_t kCentralSize = z::kCentralRecordSize;
constexpr std::size_t kMaxComment = 0xFFFF;  // a 16-bit length

// Little-endian fields at `at`. Requires: the field lies inside `bytes`.
std::uint16_t U16(std::string_view bytes, std::size_t at) {
  return platform::DecodeFixed16(bytes.data() + at);
}
std::uint32_t U32(std::string_view bytes, std::size_t at) {
  return platform::DecodeFixed32(bytes.data() + at);
}

// Offset of the end record: the last signature whose comment length reaches
// exactly to the end of the archive.
bool FindEnd(std::string_view archive, std::size_t* at) {
  if (archive.size() < kEndSize) return false;
  std::size_t lowest =
      archive.size() > kEndSize + kMaxComment ? archive.size() - kEndSize - kMaxComment : 0;
  for (std::size_t i = archive.size() - kEndSize + 1; i-- > lowest;) {
    if (U32(archive, i) == z::kEndRecordSignature &&
        i + kEndSize + U16(archive, i + z::kEndCommentLengthOffset) == archive.size()) {
      *at = i;
      return true;
    }
  }
  return false;
}

}  // namespace

bool FindZipDirectory(std::string_view tail, std::uint64_t archive_size, ZipDirectoryPlace* place,
                      std::string* error) {
  std::size_t end = 0;
  if (tail.size() > archive_size || !FindEnd(tail, &end)) {
    *error = "no end of central directory record";
    return false;
  }
  const std::uint32_t count = U16(tail, end + z::kEndEntriesOffset);
  if (U16(tail, end + z::kEndDiskOffset) != 0 || U16(tail, end + z::kEndDirectoryDiskOffset) != 0 ||
      U16(tail, end + z::kEndDiskEntriesOffset) != count) {
    *error = "the end record describes more than one disk";
    return false;
  }
  place->count = count;
  place->size = U32(tail, end + z::kEndDirectorySizeOffset);
  place->offset = U32(tail, end + z::kEndDirectoryOffsetOffset);
  if (place->offset + place->size != archive_size - tail.size() + end) {
    *error = "the central directory does not end where the end record begins";
    return false;
  }
  return true;
}

bool ReadZipDirectoryRecords(std::string_view directory, const ZipDirectoryPlace& place,
                             std::vector<ZipEntry>* entries, std::string* error) {
  entries->clear();
  if (directory.size() != place.size) {
    *error = "the central directory is cut short";
    return false;
  }
  std::size_t at = 0;
  for (std::uint32_t k = 0; k < place.count; ++k) {
    std::string where = "central record " + std::to_string(k);
    if (directory.size() - at < kCentralSize || U32(directory, at) != z::kCentralRecordSignature) {
      *error = where + " is missing";
      return false;
    }
    const std::size_t shared = at + z::kCentralSharedOffset;
    std::size_t name_length = U16(directory, shared + z::kSharedNameLengthOffset);
    std::size_t variable = name_length + U16(directory, shared + z::kSharedExtraLengthOffset) +
                           U16(directory, at + z::kCentralCommentLengthOffset);
    if (directory.size() - at - kCentralSize < variable) {
      *error = where + " runs past the directory";
      return false;
    }
    ZipEntry entry;
    entry.method = U16(directory, shared + z::kSharedMethodOffset);
    entry.crc = U32(directory, shared + z::kSharedCrcOffset);
    entry.compressed_size = U32(directory, shared + z::kSharedCompressedOffset);
    entry.size = U32(directory, shared + z::kSharedUncompressedOffset);
    entry.local_header_offset = U32(directory, at + z::kCentralLocalHeaderOffset);
    entry.name = std::string(directory.substr(at + kCentralSize, name_length));
    if (std::uint64_t{entry.local_header_offset} + z::kLocalHeaderSize + name_length >
        place.offset) {
      *error = where + " points at no local header";
      return false;
    }
    entries->push_back(std::move(entry));
    at += kCentralSize + variable;
  }
  if (at != directory.size()) {
    *error =
        "the central directory holds more than its " + std::to_string(place.count) + " records";
    return false;
  }
  return true;
}

bool ReadZipDirectory(std::string_view archive, std::vector<ZipEntry>* entries,
                      std::string* error) {
  entries->clear();
  ZipDirectoryPlace place;
  if (!FindZipDirectory(archive, archive.size(), &place, error)) return false;
  if (!ReadZipDirectoryRecords(archive.substr(place.offset, place.size), place, entries, error)) {
    return false;
  }
  for (std::size_t k = 0; k < entries->size(); ++k) {
    if (U32(archive, (*entries)[k].local_header_offset) != z::kLocalHeaderSignature) {
      *error = "central record " + std::to_string(k) + " points at no local header";
      entries->clear();
      return false;
    }
  }
  return true;
}

}  // namespace parcel::host
