// POSIX side of the wall clock.
#include "platform/wall_clock.h"

#include <time.h>

namespace parcel::platform {

WallTime NowWallTime() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return {static_cast<std::int64_t>(ts.tv_sec), static_cast<std::uint32_t>(ts.tv_nsec / 1000)};
}

bool ToLocalTime(std::int64_t seconds, std::tm* out) noexcept {
  time_t t = static_cast<time_t>(seconds);
  if (static_cast<std::int64_t>(t) != seconds) return false;
  return localtime_r(&t, out) != nullptr;
}

}  // namespace parcel::platform
