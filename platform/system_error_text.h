// The operating system's own text for an error number.
#ifndef PARCEL_PLATFORM_SYSTEM_ERROR_TEXT_H_
#define PARCEL_PLATFORM_SYSTEM_ERROR_TEXT_H_

#include <cstddef>

namespace parcel::platform {

// Writes the system's text for `error_number` into `buffer`, cut to `size` - 1
// characters and NUL-terminated, and returns its length. The text is one line:
// line breaks inside it become blanks and trailing blanks are removed. A number
// the system has no text for gives an empty text. Nothing is written when
// `buffer` is null or `size` is 0 (the result is then 0).
//
// POSIX: the C library's text (strerror_r); numbers the C library does not
// name (its "Unknown error N") give the empty text.
// Windows: numbers the C library names (its errno values) take the C library's
// text; every other number is looked up in the system's message table, which
// holds the Windows error codes (GetLastError) and the Windows Sockets codes
// (WSAGetLastError, 10000 and up). A Windows error code that is also an errno
// value therefore gets the C library's text.
//
// Thread-safe.
std::size_t SystemErrorText(int error_number, char* buffer, std::size_t size) noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_SYSTEM_ERROR_TEXT_H_
