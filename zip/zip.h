// In-memory zip archive writer: one archive built entry by entry in a growing
// heap block, entries deflated (raw deflate) or stored, handed out whole.
//
// Calling order: ZipOpenArchive; per entry ZipOpenEntry, any number of
// ZipWriteEntry, ZipCloseEntry; finally ZipCloseArchive, which always
// destroys the archive and on success hands its bytes to the caller.
//
// Format: one disk, no encryption, no data descriptors, no Zip64. Every
// multi-byte field is little-endian. Each entry's CRC-32 and sizes stand in its
// local header, which is corrected in place when the entry is closed.
//
// Limits: the classic format's 16- and 32-bit fields are never wrapped. An
// operation that would pass one of the limits below is refused with
// ZIP_ERR_PARAM before it changes anything that is already listed:
//   - at most kZipMaxEntries entries per archive;
//   - names, extra fields, entry comments and the archive comment shorter
//     than 65536 bytes;
//   - an entry's uncompressed size below 4 GiB;
//   - the whole archive, and with it every offset and compressed size, below
//     4 GiB.
//
// Entry count: an entry counts (and is listed in the central directory) only
// when its ZipCloseEntry returns ZIP_SUCCESS. An entry whose close fails leaves
// its local header and data in the archive as unlisted bytes, which readers
// that follow the central directory skip; the end record never counts more
// entries than the central directory holds.
//
// Thread safety: an archive belongs to one thread at a time. Separate archives
// may be built on separate threads at once.
#ifndef PARCEL_ZIP_ZIP_H_
#define PARCEL_ZIP_ZIP_H_

#include <cstdint>

// Result codes. zlib's own negative codes (Z_STREAM_ERROR -2, Z_MEM_ERROR -4,
// Z_BUF_ERROR -5, Z_VERSION_ERROR -6) are passed on unchanged where noted.
inline constexpr int ZIP_SUCCESS = 0;
// Correcting a local header would move the cursor beyond the written data.
inline constexpr int ZIP_ERR_POSITION = -1;
// Null archive; bad method; null bytes with a non-zero length; an entry
// operation without an open entry; a format limit (see above) would be passed.
inline constexpr int ZIP_ERR_PARAM = -102;
// Memory for the archive's buffer, an entry's central record or a directory
// block cannot be had.
inline constexpr int ZIP_ERR_INTERNAL = -104;

// Date, time and attributes of one entry.
struct ZipEntryInfo {
  std::uint32_t second;              // 0 to 59
  std::uint32_t minute;              // 0 to 59
  std::uint32_t hour;                // 0 to 23
  std::uint32_t day;                 // day of the month, 1 to 31
  std::uint32_t month;               // 0 to 11, January being 0
  std::uint32_t year;                // full year, years since 1900 or years since 1980
  std::uint32_t dosDateTime;         // packed DOS date (high 16 bits) and time; when
                                     // not 0 it is used unchanged and the six fields
                                     // above are ignored
  std::uint32_t internalAttributes;  // low 16 bits go to the central record
  std::uint32_t externalAttributes;  // goes to the central record
};

// One archive under construction; opaque to callers.
struct ZipArchive;

// Creates an empty archive (16384-byte buffer, no entries). Returns null, and
// holds nothing, when memory cannot be had. The caller ends it with
// ZipCloseArchive.
ZipArchive* ZipOpenArchive() noexcept;

// Closes the open entry, if any, then begins a new entry and writes its local
// header.
//   name: NUL-terminated, stored byte for byte (no separator conversion);
//         null stands for "-". A name that is valid UTF-8 and holds a byte of
//         0x80 or above gets general-purpose flag bit 11 (UTF-8) and "made
//         by" host NTFS in its central record, unless the comment holds such
//         bytes and is not UTF-8; other names get neither.
//   info: may be null (date, time and attributes 0). Borrowed for the call.
//   localExtra, centralExtra: extra-field bytes, borrowed for the call; null
//         with length 0 for none.
//   comment: NUL-terminated entry comment or null.
//   method: 0 (stored) or 8 (raw deflate). level: zlib level -1 to 9; it also
//         sets the general-purpose flag (8, 9: 2; 2: 4; 1: 6; else 0), for
//         either method.
// Returns:
//   ZIP_SUCCESS       the entry is open.
//   ZIP_ERR_PARAM     null archive, method not 0 or 8, a length at or above
//                     65536, null extra bytes with a non-zero length (all
//                     checked before the open entry is closed), or the archive
//                     already holds kZipMaxEntries entries, or the header would
//                     take the archive to 4 GiB.
//   ZIP_ERR_INTERNAL  the central record or the larger buffer cannot be had.
//   zlib's code       deflateInit2 refused the level or memory (method 8).
//   any code of ZipCloseEntry, from closing the previous entry.
// On any failure no entry is open and nothing of the new entry is written.
int ZipOpenEntry(ZipArchive* archive, const char* name, const ZipEntryInfo* info,
                 const void* localExtra, std::uint32_t localExtraLength, const void* centralExtra,
                 std::uint32_t centralExtraLength, const char* comment, int method,
                 int level) noexcept;

// Adds `length` bytes of `data` (borrowed for the call) to the open entry. Any
// number of pieces of any size, including 0.
// Returns:
//   ZIP_SUCCESS       all bytes taken.
//   ZIP_ERR_PARAM     null archive, no open entry, or null data with a non-zero
//                     length: nothing changes.
//   ZIP_ERR_PARAM     the entry would reach 4 GiB uncompressed: the piece is
//                     refused whole and the entry keeps the bytes it had.
//   The entry is spoilt by the codes below: part of the piece may be lost, so
//   the entry stays open only to be closed; further writes return the same
//   code and its ZipCloseEntry fails with it (the entry is not listed).
//   ZIP_ERR_PARAM     the archive would reach 4 GiB.
//   ZIP_ERR_INTERNAL  the buffer cannot grow.
//   zlib's code       deflate failed.
int ZipWriteEntry(ZipArchive* archive, const void* data, std::uint32_t length) noexcept;

// Finishes the open entry: flushes its data, corrects its local header and
// queues its central record. The entry is closed whatever the result.
// Returns:
//   ZIP_SUCCESS       the entry is listed and counted.
//   ZIP_ERR_PARAM     null archive or no open entry (nothing changes); or the
//                     archive would reach 4 GiB.
//   ZIP_ERR_INTERNAL  the buffer cannot grow or a directory block cannot be had.
//   ZIP_ERR_POSITION  the local header could not be reached (not expected).
//   zlib's code       deflate or deflateEnd failed.
//   the spoilt entry's code (see ZipWriteEntry).
// On failure the entry is neither listed nor counted.
int ZipCloseEntry(ZipArchive* archive) noexcept;

// Closes the open entry, if any, writes the central directory and the end
// record with `comment` (NUL-terminated, or null for none) and destroys the
// archive, whatever the result: `archive` is invalid after the call.
//
// Ownership of the result: on ZIP_SUCCESS, when outData and outLength are both
// non-null, *outData points at the first byte of the finished archive, a heap
// block of *outLength bytes. The caller owns it from then on and releases it
// exactly once with parcel::zip::ReleaseArchiveData (never with delete); the
// block comes from malloc, so code of the same C runtime may instead grow it
// with realloc and take it over, as the job's response does. With
// a null outData or outLength the archive is still finished, then released
// here. On failure nothing is handed out: *outData and *outLength are not
// written, and the archive's bytes are released.
//
//   char* data = nullptr;
//   std::uint32_t length = 0;
//   if (ZipCloseArchive(archive, nullptr, &data, &length) == ZIP_SUCCESS) {
//     ...copy data[0, length)...
//     parcel::zip::ReleaseArchiveData(data);
//   }
//
// Returns:
//   ZIP_SUCCESS       finished.
//   ZIP_ERR_PARAM     null archive (nothing happens); a comment of 65536 bytes
//                     or more; or the directory and end record would take the
//                     archive to 4 GiB.
//   ZIP_ERR_INTERNAL  the buffer cannot grow.
//   any code of ZipCloseEntry, from closing the open entry.
int ZipCloseArchive(ZipArchive* archive, const char* comment, char** outData,
                    std::uint32_t* outLength) noexcept;

namespace parcel::zip {

// Largest number of entries in one archive (16-bit count fields).
inline constexpr std::uint32_t kZipMaxEntries = 65535;
// Largest length of a name, an extra field or a comment (16-bit fields).
inline constexpr std::uint32_t kZipMaxFieldLength = 65535;
// Largest archive length, entry size and offset (32-bit fields).
inline constexpr std::uint64_t kZipMaxSize = 0xFFFFFFFFu;

// Releases an archive handed out by ZipCloseArchive (the block comes from
// malloc, so this is free from the writer's own C runtime). Null is harmless.
void ReleaseArchiveData(char* data) noexcept;

}  // namespace parcel::zip

#endif  // PARCEL_ZIP_ZIP_H_
