// Reading a whole file into memory the caller provides.
#ifndef PARCEL_PLATFORM_FILE_READ_H_
#define PARCEL_PLATFORM_FILE_READ_H_

#include <cstdint>
#include <filesystem>

namespace parcel::platform {

enum class FileReadResult {
  kOk,          // exactly `size` bytes were read and the file ends there
  kCannotOpen,  // the file cannot be opened for reading
  kReadError,   // the system reported an error while reading
  kShrank,      // the file ended before `size` bytes
  kGrew,        // the file holds more than `size` bytes
};

// The most bytes one read asks for.
inline constexpr std::uint64_t kFileReadPiece = std::uint64_t{1} << 20;

// Called after each piece read with the number of bytes it brought.
using FileReadProgress = void (*)(void* context, std::uint64_t bytes);

// Reads the file at `path` into the `size` bytes at `destination`, straight
// from the system into place (no stream buffer), in pieces of at most
// kFileReadPiece bytes,
// and checks that the file ends exactly there: the sizes of files collected
// earlier may have changed since. The last piece asks for one byte more than
// it needs, into a scratch byte, so a whole small file costs one open, one
// read and one close. `progress` (when not null) hears about every piece.
//
// On a result other than kOk the bytes at `destination` are unspecified and
// `*system_error` (when not null) holds the system's error number for
// kCannotOpen and kReadError (errno on POSIX, GetLastError on Windows; text
// through SystemErrorText), 0 otherwise. Never throws.
FileReadResult ReadWholeFile(const std::filesystem::path& path, char* destination,
                             std::uint64_t size, FileReadProgress progress, void* context,
                             int* system_error) noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_FILE_READ_H_
