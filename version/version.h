// Version strings of a module file: its file version, product version,
// platform and special build, read from the file's version resource or, when
// that lacks any of them, from the version stamps in the file's bytes.
//
// A version stamp is the marker "#[%]QEL" directly followed by a keyword
// ("FileVersion: ", "ProductVersion: ", "Platform: " or "SpecialBuild: ",
// letter case as shown) and the value, ended by a zero byte.
//
// Results are all or nothing: on success every out receives its own heap copy
// (allocated with malloc, to be released by the caller with free); on failure
// every out is set to null and nothing stays allocated. Both readers use only
// their own storage and may run on several threads at once.
#ifndef PARCEL_VERSION_VERSION_H_
#define PARCEL_VERSION_VERSION_H_

#include <cstddef>
#include <cstdint>

#include "platform/export.h"

namespace parcel::version {

// The stamp scan reads the file through one buffer of this many bytes, so
// stamps may straddle block boundaries.
inline constexpr std::size_t kBlockBufferSize = 8192;

// A stamp's text after the marker is collected in a line buffer of this size.
inline constexpr std::size_t kLineBufferSize = 128;

// At most this many bytes of a stamp's text are kept; the next byte is
// dropped and the scan goes on after it.
inline constexpr std::size_t kMaxLineLength = kLineBufferSize - 2;

}  // namespace parcel::version

// Reads the four version strings of the module file at `path`.
//
// With `path` null, answers with the values of this module itself without
// touching any file. Otherwise asks ReadVersionResource first; when that does
// not give all four values, scans the file's bytes from the start for stamps.
// A later stamp with the same keyword replaces the earlier value, and the scan
// stops as soon as all four values are known.
//
// Returns 1 when all four values were obtained, each out then holding its
// heap copy. Returns 0 when the file cannot be opened, holds fewer than four
// of the values, or memory runs out; every out is then null. Returns 0 also
// when any out pointer is null, after setting the others to null.
PARCEL_VERSION_API std::int32_t ReadVersionInfo(const char* path, char** fileVersion,
                                                char** productVersion, char** platform,
                                                char** specialBuild) noexcept;

// Reads the four version strings from the version resource of the file at
// `path` alone: the text values FileVersion, ProductVersion, Platform and
// SpecialBuild of the string block "040704b0" (language 0x0407, code page
// 0x04B0; no other block is tried). Texts are in the system's ANSI code page
// (Windows-1252 on systems without one).
//
// Returns 1 with four heap copies, or 0 with four null outs when `path` is
// null, the file has no version resource, a value is missing, any out pointer
// is null, or memory runs out.
PARCEL_VERSION_API std::int32_t ReadVersionResource(const char* path, char** fileVersion,
                                                    char** productVersion, char** platform,
                                                    char** specialBuild) noexcept;

#endif  // PARCEL_VERSION_VERSION_H_
