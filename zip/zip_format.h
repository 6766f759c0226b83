// The byte layout of the three records of the archives this writer makes:
// signatures, sizes and the offset of every field. The writer encodes its
// records with it and hosts read the archives back with it. Every field is a
// little-endian integer (platform/coding.h).
#ifndef PARCEL_ZIP_ZIP_FORMAT_H_
#define PARCEL_ZIP_ZIP_FORMAT_H_

#include <cstdint>

namespace parcel::zip {

// The version needed to extract, in local headers and central records.
inline constexpr std::uint32_t kVersionNeeded = 20;

// The fields local headers and central records share, in the same order:
// kSharedSize bytes at kLocalSharedOffset of a local header and at
// kCentralSharedOffset of a central record.
inline constexpr std::uint32_t kSharedVersionOffset = 0;        // 16 bits: version needed
inline constexpr std::uint32_t kSharedFlagOffset = 2;           // 16 bits
inline constexpr std::uint32_t kSharedMethodOffset = 4;         // 16 bits
inline constexpr std::uint32_t kSharedDateTimeOffset = 6;       // 32 bits: time, then date
inline constexpr std::uint32_t kSharedCrcOffset = 10;           // 32 bits
inline constexpr std::uint32_t kSharedCompressedOffset = 14;    // 32 bits
inline constexpr std::uint32_t kSharedUncompressedOffset = 18;  // 32 bits
inline constexpr std::uint32_t kSharedNameLengthOffset = 22;    // 16 bits
inline constexpr std::uint32_t kSharedExtraLengthOffset = 24;   // 16 bits
inline constexpr std::uint32_t kSharedSize = 26;

// Local file header: kLocalHeaderSize bytes, then the name and the local
// extra field.
inline constexpr std::uint32_t kLocalHeaderSignature = 0x04034B50;
inline constexpr std::uint32_t kLocalHeaderSize = 30;
inline constexpr std::uint32_t kLocalSharedOffset = 4;

// Central directory record: kCentralRecordSize bytes, then the name, the
// central extra field and the comment.
inline constexpr std::uint32_t kCentralRecordSignature = 0x02014B50;
inline constexpr std::uint32_t kCentralRecordSize = 46;
inline constexpr std::uint32_t kCentralMadeByOffset = 4;  // 16 bits: version made by
inline constexpr std::uint32_t kCentralSharedOffset = 6;
inline constexpr std::uint32_t kCentralCommentLengthOffset = 32;  // 16 bits
inline constexpr std::uint32_t kCentralDiskOffset = 34;           // 16 bits: disk number start
inline constexpr std::uint32_t kCentralInternalOffset = 36;       // 16 bits: internal attributes
inline constexpr std::uint32_t kCentralExternalOffset = 38;       // 32 bits: external attributes
inline constexpr std::uint32_t kCentralLocalHeaderOffset = 42;    // 32 bits

static_assert(kLocalSharedOffset + kSharedSize == kLocalHeaderSize);
static_assert(kCentralSharedOffset + kSharedSize == kCentralCommentLengthOffset);

// End of central directory record: kEndRecordSize bytes, then the archive
// comment.
inline constexpr std::uint32_t kEndRecordSignature = 0x06054B50;
inline constexpr std::uint32_t kEndRecordSize = 22;
inline constexpr std::uint32_t kEndDiskOffset = 4;              // 16 bits: this disk
inline constexpr std::uint32_t kEndDirectoryDiskOffset = 6;     // 16 bits
inline constexpr std::uint32_t kEndDiskEntriesOffset = 8;       // 16 bits: entries on this disk
inline constexpr std::uint32_t kEndEntriesOffset = 10;          // 16 bits
inline constexpr std::uint32_t kEndDirectorySizeOffset = 12;    // 32 bits
inline constexpr std::uint32_t kEndDirectoryOffsetOffset = 16;  // 32 bits
inline constexpr std::uint32_t kEndCommentLengthOffset = 20;    // 16 bits

}  // namespace parcel::zip

#endif  // PARCEL_ZIP_ZIP_FORMAT_H_
