// Windows side of the system facts: the true version from ntdll's
// RtlGetVersion (GetVersionExA reports what the executable's manifest allows
// it to see), the executable's name from GetModuleFileNameA.
#include <cstring>
#include <memory>
#include <new>

#include "platform/lazy_symbol.h"
#include "platform/system_info.h"
#include "platform/win/win_headers.h"

namespace parcel::platform {
namespace {

constexpr LONG kStatusUnsuccessful = static_cast<LONG>(0xC0000001);

constinit SystemLibrary g_ntdll("ntdll.dll");
constinit LazySymbol<LONG(RTL_OSVERSIONINFOW*)> g_rtl_get_version(g_ntdll, "RtlGetVersion",
                                                                  kStatusUnsuccessful);

// Long paths reach 32767 characters.
constexpr DWORD kLongestPath = 32768;

}  // namespace

bool IsNtFamilyAtLeast(int major) noexcept {
  RTL_OSVERSIONINFOW info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (g_rtl_get_version(&info) == 0) {
    return info.dwPlatformId == VER_PLATFORM_WIN32_NT &&
           info.dwMajorVersion >= static_cast<DWORD>(major < 0 ? 0 : major);
  }
  OSVERSIONINFOA fallback{};
  fallback.dwOSVersionInfoSize = sizeof fallback;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  if (!GetVersionExA(&fallback)) return false;
#pragma GCC diagnostic pop
  return fallback.dwPlatformId == VER_PLATFORM_WIN32_NT &&
         fallback.dwMajorVersion >= static_cast<DWORD>(major < 0 ? 0 : major);
}

std::size_t ExecutableFileName(char* buffer, std::size_t size) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  std::unique_ptr<char[]> path(new (std::nothrow) char[kLongestPath]);
  if (path == nullptr) return 0;
  DWORD n = GetModuleFileNameA(nullptr, path.get(), kLongestPath);
  // n == kLongestPath means the path was cut, and with it perhaps the name.
  if (n == 0 || n >= kLongestPath) return 0;
  path[n] = '\0';
  const char* name = path.get();
  for (const char* p = path.get(); *p != '\0'; ++p) {
    if (*p == '\\' || *p == '/' || *p == ':') name = p + 1;
  }
  std::size_t length = strnlen(name, size - 1);
  std::memcpy(buffer, name, length);
  buffer[length] = '\0';
  return length;
}

int ProcessId() noexcept { return static_cast<int>(GetCurrentProcessId()); }

}  // namespace parcel::platform
