// Internal to the zip writer: the archive object behind the opaque ZipArchive
// pointer. The entry points in zip.h check their arguments and call it; tests
// reach its limits and state through this header.
#ifndef PARCEL_ZIP_ZIP_ARCHIVE_H_
#define PARCEL_ZIP_ZIP_ARCHIVE_H_

#include <cstdint>

#include "zip/zip.h"
#include "zip/zip_buffer.h"
#include "zip/zip_encoder.h"

namespace parcel::zip {

// Whether this build has the one-shot deflate path (build option
// PARCEL_FAST_DEFLATE).
inline constexpr bool kOneShotDeflateBuilt = PARCEL_FAST_DEFLATE != 0;

// Chooses the deflate path of archives opened from now on: the one-shot
// compressor for entries written in one piece (with its CRC-32), when `on` and
// the build has it; otherwise zlib's streaming deflate and CRC-32 for every
// entry. The one-shot path is the default where it is built. Process-wide;
// set it while no archive is being opened on another thread.
void SetOneShotDeflate(bool on) noexcept;
bool OneShotDeflate() noexcept;

}  // namespace parcel::zip

// States: no entry open (entryOpen false) or one entry open. An open entry is
// either sound or spoilt (spoilt != ZIP_SUCCESS) after a write lost bytes; a
// spoilt entry can only be closed, and its close fails.
struct ZipArchive {
  ZipArchive() noexcept = default;
  ~ZipArchive();
  ZipArchive(const ZipArchive&) = delete;
  ZipArchive& operator=(const ZipArchive&) = delete;

  // Creates an archive with its first buffer block; null when memory is short.
  static ZipArchive* Create() noexcept;
  // Destroys an archive made by Create, releasing everything it owns.
  static void Destroy(ZipArchive* archive) noexcept;

  // The operations behind the entry points, with the same arguments (the
  // archive is this) and results; the entry points have checked for null.
  [[nodiscard]] int OpenEntry(const char* name, const ZipEntryInfo* info, const void* localExtra,
                              std::uint32_t localExtraLength, const void* centralExtra,
                              std::uint32_t centralExtraLength, const char* comment,
                              int entry_method, int level) noexcept;
  [[nodiscard]] int WriteEntry(const void* data, std::uint32_t length) noexcept;
  [[nodiscard]] int CloseEntry() noexcept;
  // Writes the directory and end record and hands the data out as
  // ZipCloseArchive describes; the caller destroys the archive afterwards.
  [[nodiscard]] int Finish(const char* comment, char** outData, std::uint32_t* outLength) noexcept;

  ZipMemoryBuffer buffer;
  parcel::zip::Directory directory;
  bool entryOpen = false;
  std::uint32_t entryCount = 0;  // entries listed in the directory

  // The open entry.
  parcel::zip::Staging staging;
  parcel::zip::StoredEncoder stored{&buffer, &staging};
  parcel::zip::DeflateEncoder deflater{&buffer, &staging};
#if PARCEL_FAST_DEFLATE
  parcel::zip::OneShotDeflateEncoder one_shot{&buffer, &staging, &deflater};
#endif
  // Method 8 through the one-shot path; taken from the process-wide choice
  // when the archive is opened.
  bool one_shot_deflate = false;
  parcel::zip::EntryEncoder* encoder = nullptr;
  int spoilt = ZIP_SUCCESS;
  std::uint64_t localHeaderOffset = 0;
  std::uint64_t data_offset = 0;  // where the entry's data begin
  unsigned char* centralRecord = nullptr;
  std::uint32_t centralRecordSize = 0;
  std::uint32_t flag = 0;
  int method = 0;
  std::uint32_t dosDateTime = 0;
  std::uint32_t crc = 0;
  std::uint64_t total_in = 0;  // uncompressed bytes taken

  // Largest uncompressed size of one entry; tests lower it to reach the
  // refusal without gigabytes. The archive's own limit is buffer.limit.
  std::uint64_t max_entry_size = parcel::zip::kZipMaxSize;

 private:
  // The encoder of an entry of `entry_method` (0 or 8).
  parcel::zip::EntryEncoder* EncoderFor(int entry_method) noexcept;
  void EndEntry() noexcept;
};

#endif  // PARCEL_ZIP_ZIP_ARCHIVE_H_
