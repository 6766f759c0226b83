// Windows side of the system log: one informational event in the application
// log under the source "parcel".
#include "platform/system_log.h"

#include <algorithm>
#include <cstdio>

#include "platform/win/win_headers.h"

namespace parcel::platform {

void WriteSystemLog(char type, const char* message_id, const char* record,
                    std::size_t length) noexcept {
  char text[300];
  std::size_t n = std::min<std::size_t>(length, 256);
  int prefix = std::snprintf(text, sizeof text, "%c %s ",
                             static_cast<unsigned char>(type) < 0x20 ? ' ' : type,
                             message_id != nullptr ? message_id : "");
  if (prefix < 0) return;
  std::size_t at = std::min<std::size_t>(static_cast<std::size_t>(prefix), sizeof text - 1);
  n = std::min(n, sizeof text - 1 - at);
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(record[i]);
    text[at + i] = (c < 0x20 || c == 0x7F) ? ' ' : static_cast<char>(c);
  }
  text[at + n] = '\0';

  HANDLE source = RegisterEventSourceA(nullptr, "parcel");
  if (source == nullptr) return;
  const char* strings[1] = {text};
  ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr);
  DeregisterEventSource(source);
}

}  // namespace parcel::platform
