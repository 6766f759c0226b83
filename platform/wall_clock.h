// The wall clock with microseconds, and its conversion to local calendar time.
#ifndef PARCEL_PLATFORM_WALL_CLOCK_H_
#define PARCEL_PLATFORM_WALL_CLOCK_H_

#include <cstdint>
#include <ctime>

namespace parcel::platform {

// A reading of the wall clock: seconds since 1970-01-01 UTC, and the
// microseconds (0..999999) within that second, from one reading.
struct WallTime {
  std::int64_t seconds;
  std::uint32_t microseconds;
};

WallTime NowWallTime() noexcept;

// Fills `out` with the local calendar time of `seconds` (the C library's
// localtime, thread-safe variant). Returns false when the time cannot be
// represented, `out` then being unspecified.
bool ToLocalTime(std::int64_t seconds, std::tm* out) noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_WALL_CLOCK_H_
