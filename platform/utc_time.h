// The current calendar time in UTC, broken down as the C library's gmtime()
// does it, but into the caller's storage: gmtime() returns a buffer shared by
// the whole process, and its reentrant forms differ between platforms.
#ifndef PARCEL_PLATFORM_UTC_TIME_H_
#define PARCEL_PLATFORM_UTC_TIME_H_

#include <ctime>

namespace parcel::platform {

// Reads the current time (time()) and fills `out` with its UTC fields: tm_sec
// 0..60, tm_min, tm_hour, tm_mday 1..31, tm_mon 0..11, tm_year since 1900,
// tm_wday, tm_yday, tm_isdst 0. Returns false, leaving `out` unspecified, when
// the system has no usable time. Thread-safe.
// Requires: out != nullptr.
bool UtcNow(std::tm* out) noexcept;

// Fills `out` with the UTC fields of `t`. False, leaving `out` unspecified,
// when `t` cannot be represented. Thread-safe. Requires: out != nullptr.
bool UtcTime(std::time_t t, std::tm* out) noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_UTC_TIME_H_
