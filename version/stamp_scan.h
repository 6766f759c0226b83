// The version stamp scan: finds "#[%]QEL" stamps in a stream of bytes fed in
// pieces of any size, and reads a file through a fixed block buffer.
#ifndef PARCEL_VERSION_STAMP_SCAN_H_
#define PARCEL_VERSION_STAMP_SCAN_H_

#include <array>
#include <cstddef>
#include <string_view>

#include "version/version.h"
#include "version/version_internal.h"

namespace parcel::version::detail {

inline constexpr char kStampMarker[] = "#[%]QEL";
inline constexpr char kFileVersionKeyword[] = "FileVersion: ";
inline constexpr char kProductVersionKeyword[] = "ProductVersion: ";
inline constexpr char kPlatformKeyword[] = "Platform: ";
inline constexpr char kSpecialBuildKeyword[] = "SpecialBuild: ";

// The keywords in value order, which is also the order they are tried in.
inline constexpr std::array<std::string_view, kFieldCount> kKeywords = {
    kFileVersionKeyword, kProductVersionKeyword, kPlatformKeyword, kSpecialBuildKeyword};

// Finds stamps in the bytes fed to it, in order, as if they were one file.
//
// The marker is matched byte by byte: a byte that does not continue the match
// restarts it with the byte after it, so that byte is never itself taken as
// the marker's first character ("##[%]QEL" holds no stamp). After a whole
// marker, the stamp's line runs to the next zero byte, the end of the input,
// or kMaxLineLength bytes, whichever comes first; in the last case the next
// byte is dropped. Matching resumes after the line's zero byte or dropped
// byte. A line that starts with a keyword (exact letter case) sets that value
// to the rest of the line, replacing an earlier one; other lines are ignored.
//
// Needs no heap: values are kept in fixed buffers inside the scanner.
class StampScanner {
 public:
  // Examines `size` bytes following those fed before. Returns true as soon
  // as all four values are known; the bytes after that point are not
  // examined, and once complete the scanner ignores further input.
  bool Feed(const char* bytes, std::size_t size) noexcept;

  // Ends the input: a line cut short by the end is evaluated as it stands.
  // Returns whether all four values are known.
  bool Finish() noexcept;

  bool Complete() const noexcept { return found_ == kFieldCount; }

  // The values found so far, null where none was found. The texts live in
  // the scanner and change when it is fed again.
  Values values() const noexcept;

 private:
  void EndLine() noexcept;

  std::size_t matched_ = 0;  // marker characters matched so far
  bool in_line_ = false;     // collecting the text after a whole marker
  std::size_t line_length_ = 0;
  char line_[kLineBufferSize];
  std::array<std::array<char, kLineBufferSize>, kFieldCount> values_;
  std::array<bool, kFieldCount> present_ = {};
  std::size_t found_ = 0;
};

// Scans the file at `path` from its start through one buffer of
// kBlockBufferSize bytes, reading only until all four values are known.
// Returns true when they are (`scanner` then holds them); false when the
// file cannot be opened or lacks a value.
// Requires: path != nullptr, scanner != nullptr and not fed before.
bool ScanFile(const char* path, StampScanner* scanner) noexcept;

}  // namespace parcel::version::detail

#endif  // PARCEL_VERSION_STAMP_SCAN_H_
