// The operating system's log: syslog on POSIX, the application event log on
// Windows.
#ifndef PARCEL_PLATFORM_SYSTEM_LOG_H_
#define PARCEL_PLATFORM_SYSTEM_LOG_H_

#include <cstddef>

namespace parcel::platform {

// Writes one informational entry "<type> <message_id> <record>": on POSIX to
// syslog's user facility as "parcel: " and that text, on Windows to the
// application event log under the source "parcel". `record` is `length` bytes,
// not NUL-terminated; NUL and other control bytes in it are written as blanks,
// and at most 256 bytes of it are written. A null `message_id` is written as
// empty. Failures of the system log are ignored.
void WriteSystemLog(char type, const char* message_id, const char* record,
                    std::size_t length) noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_SYSTEM_LOG_H_
