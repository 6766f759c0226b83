// Windows side of the process facts.
#include "platform/process.h"

#include <cstdlib>

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

}  // namespace parcel::platform
