// POSIX side of the process facts.
#include "platform/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

extern char** environ;

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
  const rlim_t end =
      limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 65536 ? 65536 : limit.rlim_cur;
  int count = 0;
  for (rlim_t fd = 0; fd < end; ++fd) {
    if (fcntl(static_cast<int>(fd), F_GETFD) != -1) ++count;
  }
  return count;
}

int SpawnProcess(const char* path, const char* const* arguments, int* process) noexcept {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(path));
  for (const char* const* at = arguments; at != nullptr && *at != nullptr; ++at) {
    argv.push_back(const_cast<char*>(*at));
  }
  argv.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, path, nullptr, nullptr, argv.data(), environ);
  if (rc != 0) return rc;
  *process = static_cast<int>(pid);
  return 0;
}

int WaitProcess(int process, int timeout_ms, int* exit_code) noexcept {
  for (int waited = 0;; waited += 10) {
    int status = 0;
    const pid_t done = waitpid(process, &status, timeout_ms < 0 ? 0 : WNOHANG);
    if (done == process) {
      *exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return 0;
    }
    if (done < 0 && errno != EINTR) return -1;
    if (timeout_ms >= 0 && waited >= timeout_ms) {
      kill(process, SIGKILL);
      waitpid(process, &status, 0);
      return -1;
    }
    const timespec pause{0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace parcel::platform
