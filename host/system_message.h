// The system's text for an error number, for the host's messages.
#ifndef PARCEL_HOST_SYSTEM_MESSAGE_H_
#define PARCEL_HOST_SYSTEM_MESSAGE_H_

#include <string>

namespace parcel::host {

// The system's text for `error_number` (SystemErrorText), or `fallback` when
// the number is 0 or the system has no text for it.
std::string SystemMessage(int error_number, const char* fallback);

// SystemMessage for errno, the last failed file operation's reason. Callers
// clear errno before the operation.
std::string ErrnoMessage(const char* fallback);

}  // namespace parcel::host

#endif  // PARCEL_HOST_SYSTEM_MESSAGE_H_
