// Archive listings.
#include "host/serve/archive_listing.h"

#include <stdio.h>
#include <sys/types.h>

#include <algorithm>
#include <cstdio>

#include "host/serve/upload.h"

namespace parcel::host {
namespace {

// Reads `length` bytes at `offset` of `file` into `*out`.
bool ReadAt(std::FILE* file, std::uint64_t offset, std::size_t length, std::string* out) {
  out->assign(length, '\0');
  if (::fseeko(file, static_cast<off_t>(offset), SEEK_SET) != 0) return false;
  return std::fread(out->data(), 1, length, file) == length;
}

// `text` as a JSON string; bytes above 0x7f pass through when the whole text
// is UTF-8.
std::string JsonText(std::string_view text) {
  const bool utf8 = IsValidUtf8(text);
  std::string out = "\"";
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte == 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else if (byte > 0x7f && !utf8) {
      out += "\\ufffd";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

bool ListArchive(std::FILE* file, std::uint64_t size, std::uint64_t max_directory,
                 std::vector<ZipEntry>* entries, std::string* error) {
  entries->clear();
  const std::size_t tail_length =
      static_cast<std::size_t>(std::min<std::uint64_t>(size, kZipTailBytes));
  const std::uint64_t tail_offset = size - tail_length;
  std::string tail;
  if (!ReadAt(file, tail_offset, tail_length, &tail)) {
    *error = "the archive cannot be read";
    return false;
  }
  ZipDirectoryPlace place;
  if (!FindZipDirectory(tail, size, &place, error)) return false;
  if (place.size > max_directory) {
    *error =
        "the central directory of " + std::to_string(place.size) + " bytes is too large to list";
    return false;
  }
  // The directory usually sits inside the tail already read.
  if (place.offset >= tail_offset) {
    return ReadZipDirectoryRecords(
        std::string_view(tail).substr(static_cast<std::size_t>(place.offset - tail_offset),
                                      static_cast<std::size_t>(place.size)),
        place, entries, error);
  }
  std::string directory;
  if (!ReadAt(file, place.offset, static_cast<std::size_t>(place.size), &directory)) {
    *error = "the archive cannot be read";
    return false;
  }
  return ReadZipDirectoryRecords(directory, place, entries, error);
}

std::string ListingJson(std::string_view archive, std::uint64_t size,
                        std::chrono::seconds expires_in, const std::vector<ZipEntry>& entries) {
  std::string out =
      "{\"archive\":" + JsonText(archive) + ",\"size\":" + std::to_string(size) +
      ",\"expires_in\":" + std::to_string(std::max<long long>(0, expires_in.count())) +
      ",\"entries\":[";
  for (std::size_t k = 0; k < entries.size(); ++k) {
    const ZipEntry& entry = entries[k];
    if (k != 0) out += ',';
    out += "{\"name\":" + JsonText(entry.name) + ",\"size\":" + std::to_string(entry.size) +
           ",\"packed\":" + std::to_string(entry.compressed_size) +
           ",\"method\":" + std::to_string(entry.method) + "}";
  }
  return out + "]}\n";
}

}  // namespace parcel::host
