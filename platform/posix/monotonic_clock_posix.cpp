// POSIX side of the monotonic clock: CLOCK_MONOTONIC.
#include <time.h>

#include "platform/monotonic_clock.h"

namespace parcel::platform {

std::int64_t MonotonicMicroseconds() noexcept {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace parcel::platform
