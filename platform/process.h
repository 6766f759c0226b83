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

// Starts the program at `path` with `arguments` (null-terminated, without
// the program name) as a child process; `*process` receives its id. 0 or
// the system's error number.
int SpawnProcess(const char* path, const char* const* arguments, int* process) noexcept;
// Waits at most `timeout_ms` for the child to end (-1: no limit); its exit
// code in `*exit_code`. 0, or -1 when it has not ended (it is then killed)
// or cannot be waited for.
int WaitProcess(int process, int timeout_ms, int* exit_code) noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_PROCESS_H_
