// Access log formatting.
#include "host/access_log.h"

#include <cstdio>
#include <ctime>

#include "platform/utc_time.h"

namespace parcel::host {

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (byte < 0x20 || byte >= 0x7f) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", byte);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string AccessLogLine(const AccessRecord& record) {
  using namespace std::chrono;
  const auto since_epoch = record.time.time_since_epoch();
  const std::time_t seconds = duration_cast<std::chrono::seconds>(since_epoch).count();
  const long millis = static_cast<long>(duration_cast<milliseconds>(since_epoch).count() % 1000);
  std::tm utc{};
  char time_text[48] = "?";
  if (platform::UtcTime(seconds, &utc)) {
    std::snprintf(time_text, sizeof time_text, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ",
                  utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min,
                  utc.tm_sec, millis);
  }
  char ms[32] = "null";
  if (record.milliseconds >= 0) std::snprintf(ms, sizeof ms, "%.3f", record.milliseconds);
  return "{\"time\":" + JsonString(time_text) + ",\"id\":" + JsonString(record.id) +
         ",\"remote\":" + JsonString(record.remote) + ",\"method\":" + JsonString(record.method) +
         ",\"path\":" + JsonString(record.path) + ",\"status\":" + std::to_string(record.status) +
         ",\"bytes\":" + std::to_string(record.bytes) + ",\"ms\":" + ms + "}";
}

}  // namespace parcel::host
