// System error texts for messages.
#include "host/system_message.h"

#include <cerrno>

#include "platform/system_error_text.h"

namespace parcel::host {

std::string SystemMessage(int error_number, const char* fallback) {
  char text[256];
  if (error_number == 0 || platform::SystemErrorText(error_number, text, sizeof text) == 0) {
    return fallback;
  }
  return text;
}

std::string ErrnoMessage(const char* fallback) { return SystemMessage(errno, fallback); }

}  // namespace parcel::host
