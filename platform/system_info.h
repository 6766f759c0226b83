// Facts about the running system and process.
#ifndef PARCEL_PLATFORM_SYSTEM_INFO_H_
#define PARCEL_PLATFORM_SYSTEM_INFO_H_

#include <cstddef>

namespace parcel::platform {

// True on Windows of the NT family with a major version of at least `major`
// (the true version from RtlGetVersion, else what GetVersionExA reports);
// false on every other system.
bool IsNtFamilyAtLeast(int major) noexcept;

// The running executable's file name, with its extension and without its
// directory ("parcel-host.exe"), NUL-terminated in `buffer` and cut to
// `size` - 1 characters. Returns the length written; 0 when the name is
// unknown, and nothing is written when `buffer` is null or `size` is 0.
std::size_t ExecutableFileName(char* buffer, std::size_t size) noexcept;

// The system's number of the running process.
int ProcessId() noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_SYSTEM_INFO_H_
