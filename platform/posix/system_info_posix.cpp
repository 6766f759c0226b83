// POSIX side of the system facts: no NT family; the executable's name from
// /proc/self/exe.
#include <unistd.h>

#include <climits>
#include <cstring>

#include "platform/system_info.h"

namespace parcel::platform {

bool IsNtFamilyAtLeast(int) noexcept { return false; }

std::size_t ExecutableFileName(char* buffer, std::size_t size) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return 0;
  path[n] = '\0';
  const char* slash = std::strrchr(path, '/');
  const char* name = slash != nullptr ? slash + 1 : path;
  std::size_t length = strnlen(name, size - 1);
  std::memcpy(buffer, name, length);
  buffer[length] = '\0';
  return length;
}

int ProcessId() noexcept { return static_cast<int>(getpid()); }

}  // namespace parcel::platform
