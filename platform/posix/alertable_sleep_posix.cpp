// POSIX side of the sleep: clock_nanosleep to a deadline on the monotonic
// clock, resumed after each signal.
#include <time.h>

#include <cerrno>

#include "platform/alertable_sleep.h"

namespace parcel::platform {

void AlertableSleep(std::uint32_t milliseconds) noexcept {
  // Sleeping again for nanosleep's "time left" loses the time spent between
  // the calls, so a steady stream of signals would stretch the sleep without
  // end. A deadline does not move.
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(milliseconds / 1000);
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  // clock_nanosleep returns the error number instead of setting errno.
  while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

}  // namespace parcel::platform
