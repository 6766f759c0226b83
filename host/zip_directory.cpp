// Central directory reader.
#include "host/zip_directory.h"

namespace parcel::host {
namespace {

constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;

std::uint32_t Le(std::string_view bytes, std::size_t at, int width) {
  std::uint32_t value = 0;
  for (int i = width - 1; i >= 0; --i) {
    value = (value << 8) | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
  }
  return value;
}

// Offset of the end record: the last signature whose comment length reaches
// exactly to the end of the archive.
bool FindEnd(std::string_view archive, std::size_t* at) {
  if (archive.size() < kEndSize) return false;
  std::size_t lowest = archive.size() > kEndSize + 0xFFFF ? archive.size() - kEndSize - 0xFFFF : 0;
  for (std::size_t i = archive.size() - kEndSize + 1; i-- > lowest;) {
    if (Le(archive, i, 4) == kEndSignature && i + kEndSize + Le(archive, i + 20, 2) == archive.size()) {
      *at = i;
      return true;
    }
  }
  return false;
}

}  // namespace

bool ReadZipDirectory(std::string_view archive, std::vector<ZipEntry>* entries,
                      std::string* error) {
  entries->clear();
  std::size_t end = 0;
  if (!FindEnd(archive, &end)) {
    *error = "no end of central directory record";
    return false;
  }
  std::uint32_t count = Le(archive, end + 10, 2);
  std::uint64_t size = Le(archive, end + 12, 4);
  std::uint64_t offset = Le(archive, end + 16, 4);
  if (Le(archive, end + 4, 2) != 0 || Le(archive, end + 6, 2) != 0 ||
      Le(archive, end + 8, 2) != count) {
    *error = "the end record describes more than one disk";
    return false;
  }
  if (offset + size != end) {
    *error = "the central directory does not end where the end record begins";
    return false;
  }
  std::string_view directory = archive.substr(offset, size);
  std::size_t at = 0;
  for (std::uint32_t k = 0; k < count; ++k) {
    std::string where = "central record " + std::to_string(k);
    if (directory.size() - at < kCentralSize || Le(directory, at, 4) != kCentralSignature) {
      *error = where + " is missing";
      return false;
    }
    std::size_t name_length = Le(directory, at + 28, 2);
    std::size_t variable = name_length + Le(directory, at + 30, 2) + Le(directory, at + 32, 2);
    if (directory.size() - at - kCentralSize < variable) {
      *error = where + " runs past the directory";
      return false;
    }
    ZipEntry entry;
    entry.method = static_cast<std::uint16_t>(Le(directory, at + 10, 2));
    entry.crc = Le(directory, at + 16, 4);
    entry.compressed_size = Le(directory, at + 20, 4);
    entry.size = Le(directory, at + 24, 4);
    entry.local_header_offset = Le(directory, at + 42, 4);
    entry.name = std::string(directory.substr(at + kCentralSize, name_length));
    std::uint64_t local = entry.local_header_offset;
    if (local + kLocalSize + name_length > offset || Le(archive, local, 4) != kLocalSignature) {
      *error = where + " points at no local header";
      return false;
    }
    entries->push_back(std::move(entry));
    at += kCentralSize + variable;
  }
  if (at != directory.size()) {
    *error = "the central directory holds more than its " + std::to_string(count) + " records";
    return false;
  }
  return true;
}

}  // namespace parcel::host
