// POSIX side of the system log: syslog(3) with the user facility.
#include "platform/system_log.h"

#include <syslog.h>

#include <algorithm>

namespace parcel::platform {

void WriteSystemLog(char type, const char* message_id, const char* record,
                    std::size_t length) noexcept {
  char text[257];
  std::size_t n = std::min<std::size_t>(length, sizeof text - 1);
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(record[i]);
    text[i] = (c < 0x20 || c == 0x7F) ? ' ' : static_cast<char>(c);
  }
  text[n] = '\0';
  char type_text[2] = {(static_cast<unsigned char>(type) < 0x20) ? ' ' : type, '\0'};
  // openlog belongs to the host program, so the source name goes into the text.
  syslog(LOG_USER | LOG_INFO, "parcel: %s %s %s", type_text,
         message_id != nullptr ? message_id : "", text);
}

}  // namespace parcel::platform
