// Windows side of the process facts.
#include "platform/process.h"

#include <cstdlib>
#include <string>

#include "platform/win/win_headers.h"

namespace parcel::platform {

bool SetProcessEnvironment(const char* name, const char* value) noexcept {
  // _putenv_s keeps the C library's copy (getenv) and the system's in step;
  // an empty value removes the variable.
  return _putenv_s(name, value != nullptr ? value : "") == 0;
}

int OpenDescriptorCount() noexcept {
  DWORD count = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

namespace {
struct Child {
  DWORD id;
  HANDLE handle;
};
Child g_children[16] = {};
}  // namespace

int SpawnProcess(const char* path, const char* const* arguments, int* process) noexcept {
  try {
    std::string command = std::string("\"") + path + "\"";
    for (const char* const* at = arguments; at != nullptr && *at != nullptr; ++at) {
      command += std::string(" \"") + *at + "\"";
    }
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info{};
    if (!CreateProcessA(path, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &info)) {
      return static_cast<int>(GetLastError());
    }
    CloseHandle(info.hThread);
    // The process object is kept until the wait, so that an exit code is
    // there to read however early the child ends.
    for (Child& child : g_children) {
      if (child.handle == nullptr) {
        child = Child{info.dwProcessId, info.hProcess};
        *process = static_cast<int>(info.dwProcessId);
        return 0;
      }
    }
    TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hProcess);
    return ERROR_TOO_MANY_OPEN_FILES;
  } catch (...) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
}

int WaitProcess(int process, int timeout_ms, int* exit_code) noexcept {
  HANDLE handle = nullptr;
  for (Child& child : g_children) {
    if (child.handle != nullptr && child.id == static_cast<DWORD>(process)) {
      handle = child.handle;
      child = Child{0, nullptr};
      break;
    }
  }
  if (handle == nullptr) return -1;
  const DWORD waited =
      WaitForSingleObject(handle, timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
  DWORD code = 0;
  int rc = -1;
  if (waited == WAIT_OBJECT_0 && GetExitCodeProcess(handle, &code)) {
    *exit_code = static_cast<int>(code);
    rc = 0;
  } else {
    TerminateProcess(handle, 1);
  }
  CloseHandle(handle);
  return rc;
}

}  // namespace parcel::platform
