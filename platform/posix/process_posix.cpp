// POSIX side of the process facts.
#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <cstdlib>

namespace parcel::platform {

bool SetProcessEnvironment(const char* name, const char* value) noexcept {
  return (value != nullptr ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

int OpenDescriptorCount() noexcept {
  if (DIR* dir = opendir("/proc/self/fd"); dir != nullptr) {
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - 1;  // the directory's own descriptor
  }
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
  const rlim_t end = limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 65536 ? 65536
                                                                                : limit.rlim_cur;
  int count = 0;
  for (rlim_t fd = 0; fd < end; ++fd) {
    if (fcntl(static_cast<int>(fd), F_GETFD) != -1) ++count;
  }
  return count;
}

}  // namespace parcel::platform
