// Access log lines of the service hosts: one JSON object per request, on one line.
#ifndef PARCEL_HOST_ACCESS_LOG_H_
#define PARCEL_HOST_ACCESS_LOG_H_

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace parcel::host {

struct AccessRecord {
  std::chrono::system_clock::time_point time;
  std::string id;      // the request id, as in the answer's X-Request-Id
  std::string remote;  // client address
  std::string method;
  std::string path;  // without the query
  int status = 0;
  std::uint64_t bytes = 0;   // response body bytes sent
  double milliseconds = -1;  // from routing to the end of the response; negative: unknown
};

// `text` as a JSON string, quotes included. Bytes that are not printable
// ASCII are written as \u00XX, so a line holds ASCII only and a client's
// path can neither break the line nor the object.
std::string JsonString(std::string_view text);

// {"time":"2024-05-01T12:00:00.123Z","id":...,"remote":...,"method":...,
// "path":...,"status":200,"bytes":123,"ms":4.5}, without a newline; "ms" is
// null when unknown.
std::string AccessLogLine(const AccessRecord& record);

}  // namespace parcel::host

#endif  // PARCEL_HOST_ACCESS_LOG_H_
