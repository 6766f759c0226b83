// A process being asked to stop: SIGINT or SIGTERM on POSIX; Ctrl+C,
// Ctrl+Break, closing the console, logoff or system shutdown on Windows.
#ifndef PARCEL_PLATFORM_SHUTDOWN_SIGNAL_H_
#define PARCEL_PLATFORM_SHUTDOWN_SIGNAL_H_

namespace parcel::platform {

// Calls `on_signal(context)` once, on a thread of the platform's, when the
// process is first asked to stop; later requests are taken and ignored, so
// the process decides itself how long it takes to stop. On POSIX the signals
// are blocked in the calling thread and every thread it starts afterwards, so
// call this before starting threads. False when the handler cannot be set.
// One watch per process at a time.
bool WatchShutdownSignal(void (*on_signal)(void* context), void* context);

// Ends the watch (the signals' handling goes back to the default); waits
// for a call of `on_signal` in progress.
void EndShutdownWatch();

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_SHUTDOWN_SIGNAL_H_
