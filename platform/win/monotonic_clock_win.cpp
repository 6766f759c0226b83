// Windows side of the monotonic clock: the performance counter.
#include "platform/monotonic_clock.h"
#include "platform/win/win_headers.h"

namespace parcel::platform {

std::int64_t MonotonicMicroseconds() noexcept {
  // Both calls succeed on every Windows since XP; the frequency is fixed at
  // boot, so reading it each time only costs a call.
  LARGE_INTEGER frequency, counter;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&counter);
  // Whole seconds and the rest apart, so that counter * 1000000 cannot
  // overflow however long the machine has been up.
  std::int64_t seconds = counter.QuadPart / frequency.QuadPart;
  std::int64_t rest = counter.QuadPart % frequency.QuadPart;
  return seconds * 1000000 + rest * 1000000 / frequency.QuadPart;
}

}  // namespace parcel::platform
