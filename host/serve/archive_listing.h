// The listing of a stored archive for the upload page: its entries read from
// the central directory at the archive's end, without reading the entries'
// data, and written as JSON.
#ifndef PARCEL_HOST_SERVE_ARCHIVE_LISTING_H_
#define PARCEL_HOST_SERVE_ARCHIVE_LISTING_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "host/zip_directory.h"

namespace parcel::host {

// Largest central directory ListArchive reads: room for the most files one
// upload may hold, each with the longest entry name.
inline constexpr std::uint64_t kMaxListedDirectory = std::uint64_t{32} << 20;

// Reads the entries of the archive in `file` (borrowed; its position is
// moved), `size` bytes long, from its last bytes and its central directory.
// False, with the reason in `error`, when the file cannot be read, the
// directory cannot be found or read (FindZipDirectory,
// ReadZipDirectoryRecords), or it is larger than `max_directory` bytes.
bool ListArchive(std::FILE* file, std::uint64_t size, std::uint64_t max_directory,
                 std::vector<ZipEntry>* entries, std::string* error);

// The listing as one JSON object:
//   {"archive":NAME,"size":BYTES,"expires_in":SECONDS,
//    "entries":[{"name":ENTRY,"size":BYTES,"packed":BYTES,"method":M},...]}
// Entry names that are UTF-8 are written as such; a name that is not has
// each byte above 0x7f written as U+FFFD.
std::string ListingJson(std::string_view archive, std::uint64_t size,
                        std::chrono::seconds expires_in, const std::vector<ZipEntry>& entries);

}  // namespace parcel::host

#endif  // PARCEL_HOST_SERVE_ARCHIVE_LISTING_H_
