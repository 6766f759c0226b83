// Windows side of the system error texts: the C library's strerror for its
// errno values, the system message table (FormatMessage) for Windows and
// Windows Sockets error codes.
#include <cstring>

#include "platform/system_error_text.h"
#include "platform/win/win_headers.h"

namespace parcel::platform {
namespace {

// The C library answers numbers it does not name with this text.
constexpr char kCrtUnknown[] = "Unknown error";

// Copies `text` (`length` bytes) as one line: CR, LF and tabs become blanks,
// trailing blanks go. Returns the length written.
std::size_t CopyLine(const char* text, std::size_t length, char* buffer, std::size_t size) {
  std::size_t n = length < size - 1 ? length : size - 1;
  for (std::size_t i = 0; i < n; ++i) {
    char c = text[i];
    buffer[i] = (c == '\r' || c == '\n' || c == '\t') ? ' ' : c;
  }
  while (n > 0 && buffer[n - 1] == ' ') --n;
  buffer[n] = '\0';
  return n;
}

}  // namespace

std::size_t SystemErrorText(int error_number, char* buffer, std::size_t size) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  // The C library keeps strerror's text per thread.
  const char* crt = std::strerror(error_number);
  if (crt != nullptr && *crt != '\0' &&
      std::strncmp(crt, kCrtUnknown, sizeof kCrtUnknown - 1) != 0) {
    return CopyLine(crt, std::strlen(crt), buffer, size);
  }
  char text[512];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                           static_cast<DWORD>(error_number), 0, text, sizeof text, nullptr);
  if (n == 0 || n >= sizeof text) return 0;
  return CopyLine(text, n, buffer, size);
}

}  // namespace parcel::platform
