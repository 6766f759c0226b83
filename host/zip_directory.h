// Reading the central directory of a finished zip archive, so the host can
// check the module's archive and list it.
#ifndef PARCEL_HOST_ZIP_DIRECTORY_H_
#define PARCEL_HOST_ZIP_DIRECTORY_H_

#include <cstddef>
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

// Where an archive's central directory lies, as its end record says.
struct ZipDirectoryPlace {
  std::uint64_t offset = 0;  // of the first central record, from the archive's start
  std::uint64_t size = 0;    // bytes of the central records together
  std::uint32_t count = 0;   // central records
};

// The most bytes at an archive's end that FindZipDirectory looks at: the end
// record and the longest comment.
inline constexpr std::size_t kZipTailBytes = 22 + 0xFFFF;

// Finds the end record in `tail`, the last bytes of an archive of
// `archive_size` bytes: the whole archive, or at least its last
// kZipTailBytes. False, with the reason in `error`, when there is no end
// record, it describes more than one disk, or the directory does not end
// where the end record begins.
bool FindZipDirectory(std::string_view tail, std::uint64_t archive_size, ZipDirectoryPlace* place,
                      std::string* error);

// Reads the entries from `directory`, the `place.size` bytes at `place.offset`
// that FindZipDirectory found. Local headers are not read. False, with the
// reason in `error`, when a record is missing or has the wrong signature,
// runs past the directory, leaves no room for its local header (30 bytes and
// its name) before the directory, or when the directory holds more than
// `place.count` records.
bool ReadZipDirectoryRecords(std::string_view directory, const ZipDirectoryPlace& place,
                             std::vector<ZipEntry>* entries, std::string* error);

// Reads the entries of `archive`, a single-disk zip archive without Zip64.
// False, with the reason in `error`, when there is no end record, the end
// record's counts disagree, the directory or a record runs outside the
// archive or the directory, a record has the wrong signature, or an entry's
// local header (30 bytes and its name) is not inside the data before the
// directory or does not carry the local header signature.
bool ReadZipDirectory(std::string_view archive, std::vector<ZipEntry>* entries, std::string* error);

}  // namespace parcel::host

#endif  // PARCEL_HOST_ZIP_DIRECTORY_H_
