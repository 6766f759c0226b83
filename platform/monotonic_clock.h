// A clock for timeouts: it never goes back and does not follow changes of
// the wall clock.
#ifndef PARCEL_PLATFORM_MONOTONIC_CLOCK_H_
#define PARCEL_PLATFORM_MONOTONIC_CLOCK_H_

#include <cstdint>

namespace parcel::platform {

// Microseconds since an unspecified start (CLOCK_MONOTONIC on POSIX, the
// performance counter on Windows). Only differences mean anything.
std::int64_t MonotonicMicroseconds() noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_MONOTONIC_CLOCK_H_
