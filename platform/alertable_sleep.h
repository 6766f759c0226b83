// Sleeping for a while, in a way that lets the system deliver work queued
// to the thread.
#ifndef PARCEL_PLATFORM_ALERTABLE_SLEEP_H_
#define PARCEL_PLATFORM_ALERTABLE_SLEEP_H_

#include <cstdint>

namespace parcel::platform {

// Windows: SleepEx(milliseconds, TRUE), so queued asynchronous procedure
// calls and I/O completion routines run during the sleep (which then ends
// early, as SleepEx does). POSIX: sleeps until the time has passed on the
// monotonic clock; signal handlers may run meanwhile without shortening or
// stretching the sleep (nanosleep resumed after EINTR, to a fixed deadline).
void AlertableSleep(std::uint32_t milliseconds) noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_ALERTABLE_SLEEP_H_
