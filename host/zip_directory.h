// Reading the central directory of a finished zip archive, so the host can
// check the module's archive and list it.
#ifndef PARCEL_HOST_ZIP_DIRECTORY_H_
#define PARCEL_HOST_ZIP_DIRECTORY_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace parcel::host {

// One entry as its central directory record describes it.
struct ZipEntry {
  std::string name;  // bytes as stored
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint32_t compressed_size = 0;
  std::uint32_t size = 0;
  std::uint32_t local_header_offset = 0;
};

// Reads the entries of `archive`, a single-disk zip archive without Zip64.
// False, with the reason in `error`, when there is no end record, the end
// record's counts disagree, the directory or a record runs outside the
// archive or the directory, a record has the wrong signature, or an entry's
// local header (30 bytes and its name) is not inside the data before the
// directory or does not carry the local header signature.
bool ReadZipDirectory(std::string_view archive, std::vector<ZipEntry>* entries, std::string* error);

}  // namespace parcel::host

#endif  // PARCEL_HOST_ZIP_DIRECTORY_H_
