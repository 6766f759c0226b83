// POSIX side of the system error texts: strerror_r.
#include <string.h>

#include <algorithm>

#include "platform/system_error_text.h"

namespace parcel::platform {
namespace {

// strerror_r comes in two shapes: glibc's GNU variant returns the text (which
// may or may not be in the buffer), the XSI variant an int and the text in the
// buffer.
[[maybe_unused]] const char* StrerrorResult(const char* text, const char*) { return text; }
[[maybe_unused]] const char* StrerrorResult(int rc, const char* buffer) {
  return rc == 0 ? buffer : nullptr;
}

// glibc answers numbers it does not name with "Unknown error N", which is no
// text of its own; its name table tells the named numbers apart.
bool IsNamed(int error_number) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 32))
  return strerrorname_np(error_number) != nullptr;
#else
  (void)error_number;
  return true;
#endif
}

}  // namespace

std::size_t SystemErrorText(int error_number, char* buffer, std::size_t size) noexcept {
  if (buffer == nullptr || size == 0) return 0;
  buffer[0] = '\0';
  if (!IsNamed(error_number)) return 0;
  char work[256];
  work[0] = '\0';
  const char* text = StrerrorResult(strerror_r(error_number, work, sizeof work), work);
  if (text == nullptr) return 0;
  std::size_t n = std::min(strnlen(text, sizeof work - 1), size - 1);
  for (std::size_t i = 0; i < n; ++i) {
    buffer[i] = (text[i] == '\n' || text[i] == '\r') ? ' ' : text[i];
  }
  while (n > 0 && buffer[n - 1] == ' ') --n;
  buffer[n] = '\0';
  return n;
}

}  // namespace parcel::platform
