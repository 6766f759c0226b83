// Internal to the zip writer: the three record layouts and the rules that fill
// their date, time and flag fields. Readers and peers rely on these bytes.
#ifndef PARCEL_ZIP_ZIP_RECORDS_H_
#define PARCEL_ZIP_ZIP_RECORDS_H_

#include <cstdint>

#include "zip/zip.h"

namespace parcel::zip {

inline constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
inline constexpr std::uint32_t kCentralRecordSignature = 0x02014B50;
inline constexpr std::uint32_t kEndRecordSignature = 0x06054B50;
inline constexpr std::uint32_t kVersionNeeded = 20;

// Local file header: 30 bytes, then the name and the local extra field.
inline constexpr std::uint32_t kLocalHeaderSize = 30;
inline constexpr std::uint32_t kLocalCrcOffset = 14;  // then compressed and uncompressed size

// Central directory record: 46 bytes, then name, central extra, comment.
inline constexpr std::uint32_t kCentralRecordSize = 46;
inline constexpr std::uint32_t kCentralCrcOffset = 16;
inline constexpr std::uint32_t kCentralCompressedOffset = 20;
inline constexpr std::uint32_t kCentralUncompressedOffset = 24;

// End of central directory record: 22 bytes, then the archive comment.
inline constexpr std::uint32_t kEndRecordSize = 22;

// Stores the `n` low-order bytes of `value` at `out`, least significant first.
inline void StoreLE(unsigned char* out, std::uint32_t value, unsigned n) noexcept {
  for (unsigned i = 0; i < n; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// The packed DOS date (high 16 bits) and time of an entry: 0 without info,
// info's dosDateTime when it is not 0, else packed from the six time fields.
// Years above 1980 count from 1980, years above 80 from 1900, smaller years
// are taken as counted from 1980. Seconds are kept in two-second steps.
inline std::uint32_t DosDateTime(const ZipEntryInfo* info) noexcept {
  if (info == nullptr) return 0;
  if (info->dosDateTime != 0) return info->dosDateTime;
  std::uint32_t y = info->year;
  if (y > 1980) {
    y -= 1980;
  } else if (y > 80) {
    y -= 80;
  }
  const std::uint32_t date = info->day + 32u * (info->month + 1u) + 512u * y;
  const std::uint32_t time = info->second / 2u + 32u * info->minute + 2048u * info->hour;
  return (date << 16) | time;
}

// The general-purpose flag for a compression level, whatever the method:
// 2 for levels 8 and 9, 4 for level 2, 6 for level 1, else 0. Bit 3 (data
// descriptor) is never set.
inline std::uint32_t FlagForLevel(int level) noexcept {
  std::uint32_t flag = 0;
  if (level == 8 || level == 9) flag = 2;
  if (level == 2) {
    flag += 4;
  } else if (level == 1) {
    flag += 6;
  }
  return flag;
}

}  // namespace parcel::zip

#endif  // PARCEL_ZIP_ZIP_RECORDS_H_
