// Internal to the zip writer: the functions that encode the three records
// (their layout is zip_format.h) and the rules that fill their date, time and
// flag fields. Readers and peers rely on these bytes.
#ifndef PARCEL_ZIP_ZIP_RECORDS_H_
#define PARCEL_ZIP_ZIP_RECORDS_H_

#include <cstddef>
#include <cstdint>

#include "platform/coding.h"
#include "zip/zip.h"
#include "zip/zip_format.h"

namespace parcel::zip {

// The fields of an entry's local header and central record. The CRC and
// both sizes are 0 until the entry is closed.
struct EntryFields {
  std::uint16_t flag = 0;
  std::uint16_t method = 0;
  std::uint32_t dos_date_time = 0;
  std::uint32_t crc = 0;
  std::uint32_t compressed_size = 0;
  std::uint32_t uncompressed_size = 0;
  std::uint16_t name_length = 0;
  std::uint16_t extra_length = 0;  // of the local or the central extra field, as encoded
  // Central record only.
  std::uint16_t made_by = 0;  // version made by: host system (high byte) and version
  std::uint16_t comment_length = 0;
  std::uint16_t internal_attributes = 0;
  std::uint32_t external_attributes = 0;
  std::uint32_t local_header_offset = 0;
};

// The size of the central record `entry` describes, with its name, central
// extra field and comment.
inline std::uint32_t CentralRecordSize(const EntryFields& entry) noexcept {
  return kCentralRecordSize + std::uint32_t{entry.name_length} + entry.extra_length +
         entry.comment_length;
}

// Writes the kSharedSize bytes of the fields that a local header and a
// central record share at `out`.
inline void EncodeSharedFields(unsigned char* out, const EntryFields& entry) noexcept {
  using platform::EncodeFixed16;
  using platform::EncodeFixed32;
  EncodeFixed16(out + kSharedVersionOffset, kVersionNeeded);
  EncodeFixed16(out + kSharedFlagOffset, entry.flag);
  EncodeFixed16(out + kSharedMethodOffset, entry.method);
  EncodeFixed32(out + kSharedDateTimeOffset, entry.dos_date_time);
  EncodeFixed32(out + kSharedCrcOffset, entry.crc);
  EncodeFixed32(out + kSharedCompressedOffset, entry.compressed_size);
  EncodeFixed32(out + kSharedUncompressedOffset, entry.uncompressed_size);
  EncodeFixed16(out + kSharedNameLengthOffset, entry.name_length);
  EncodeFixed16(out + kSharedExtraLengthOffset, entry.extra_length);
}

// Writes the kLocalHeaderSize bytes of the local header at `out`; the name
// and the local extra field follow it.
inline void EncodeLocalHeader(unsigned char* out, const EntryFields& entry) noexcept {
  platform::EncodeFixed32(out, kLocalHeaderSignature);
  EncodeSharedFields(out + kLocalSharedOffset, entry);
}

// Writes the kCentralRecordSize bytes of the central record at `out`; the
// name, the central extra field and the comment follow it.
inline void EncodeCentralRecord(unsigned char* out, const EntryFields& entry) noexcept {
  using platform::EncodeFixed16;
  using platform::EncodeFixed32;
  EncodeFixed32(out, kCentralRecordSignature);
  EncodeFixed16(out + kCentralMadeByOffset, entry.made_by);
  EncodeSharedFields(out + kCentralSharedOffset, entry);
  EncodeFixed16(out + kCentralCommentLengthOffset, entry.comment_length);
  EncodeFixed16(out + kCentralDiskOffset, 0);
  EncodeFixed16(out + kCentralInternalOffset, entry.internal_attributes);
  EncodeFixed32(out + kCentralExternalOffset, entry.external_attributes);
  EncodeFixed32(out + kCentralLocalHeaderOffset, entry.local_header_offset);
}

// Writes the kEndRecordSize bytes of the end record of a single-disk archive
// at `out`; the archive comment follows it.
inline void EncodeEndRecord(unsigned char* out, std::uint16_t entries, std::uint32_t directory_size,
                            std::uint32_t directory_offset, std::uint16_t comment_length) noexcept {
  using platform::EncodeFixed16;
  using platform::EncodeFixed32;
  EncodeFixed32(out, kEndRecordSignature);
  EncodeFixed16(out + kEndDiskOffset, 0);
  EncodeFixed16(out + kEndDirectoryDiskOffset, 0);
  EncodeFixed16(out + kEndDiskEntriesOffset, entries);
  EncodeFixed16(out + kEndEntriesOffset, entries);
  EncodeFixed32(out + kEndDirectorySizeOffset, directory_size);
  EncodeFixed32(out + kEndDirectoryOffsetOffset, directory_offset);
  EncodeFixed16(out + kEndCommentLengthOffset, comment_length);
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

// General-purpose flag bit 11, the language encoding flag: the entry's name
// and comment are UTF-8.
inline constexpr std::uint16_t kFlagUtf8 = 0x0800;
// "Version made by" of entries with the UTF-8 flag: host NTFS (11), version
// 0. Info-ZIP's unzip reads the names of entries made on FAT (host 0, what
// every other entry says) as the OEM code page whatever the flag says, and
// NTFS names as they are; NTFS attributes mean what FAT attributes mean.
inline constexpr std::uint16_t kMadeByUtf8 = 11u << 8;

// True when the `length` bytes at `text` are well-formed UTF-8 (no overlong
// forms, no surrogates, nothing above U+10FFFF) and hold at least one byte of
// 0x80 or above: the names that need the UTF-8 flag. ASCII names, and names
// in some other encoding, keep their flag as it was, so their archives stay
// exactly as before.
inline bool IsNonAsciiUtf8(const char* text, std::size_t length) noexcept {
  bool wide = false;
  std::size_t i = 0;
  while (i < length) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    wide = true;
    std::size_t more = 0;
    std::uint32_t code = 0, least = 0;
    if ((lead & 0xe0) == 0xc0) {
      more = 1, code = lead & 0x1fu, least = 0x80;
    } else if ((lead & 0xf0) == 0xe0) {
      more = 2, code = lead & 0x0fu, least = 0x800;
    } else if ((lead & 0xf8) == 0xf0) {
      more = 3, code = lead & 0x07u, least = 0x10000;
    } else {
      return false;
    }
    if (length - i <= more) return false;
    for (std::size_t k = 1; k <= more; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      code = (code << 6) | (next & 0x3fu);
    }
    if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
    i += more + 1;
  }
  return wide;
}

// True when a byte of the `length` bytes at `text` is 0x80 or above.
inline bool HasNonAscii(const char* text, std::size_t length) noexcept {
  for (std::size_t i = 0; i < length; ++i) {
    if (static_cast<unsigned char>(text[i]) >= 0x80) return true;
  }
  return false;
}

// The fields of a new entry of `method` (0 or 8) written at `level`, from
// `info` (may be null): flag, method, date and time, attributes. Lengths,
// offset, CRC and sizes are left 0 for the caller.
inline EntryFields NewEntryFields(const ZipEntryInfo* info, int method, int level) noexcept {
  EntryFields entry;
  entry.flag = static_cast<std::uint16_t>(FlagForLevel(level));
  entry.method = static_cast<std::uint16_t>(method);
  entry.dos_date_time = DosDateTime(info);
  if (info != nullptr) {
    entry.internal_attributes = static_cast<std::uint16_t>(info->internalAttributes);
    entry.external_attributes = info->externalAttributes;
  }
  return entry;
}

}  // namespace parcel::zip

#endif  // PARCEL_ZIP_ZIP_RECORDS_H_
