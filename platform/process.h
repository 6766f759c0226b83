// Facts and settings of the running process: its environment and the number
// of system handles (descriptors) it holds.
#ifndef PARCEL_PLATFORM_PROCESS_H_
#define PARCEL_PLATFORM_PROCESS_H_

namespace parcel::platform {

// Sets the environment variable `name` to `value` in this process, or
// removes it when `value` is null. The C library's getenv sees the change.
// False when the system refuses (an invalid name, no memory).
bool SetProcessEnvironment(const char* name, const char* value) noexcept;

// The number of descriptors (POSIX: entries of /proc/self/fd, else the open
// descriptors below the descriptor limit) or handles (Windows:
// GetProcessHandleCount) the process holds; -1 when it cannot be told.
int OpenDescriptorCount() noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_PROCESS_H_
