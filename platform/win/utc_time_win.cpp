// Windows side of the UTC calendar time: gmtime_s takes its arguments in the
// opposite order to gmtime_r and returns an error number.
#include "platform/utc_time.h"

namespace parcel::platform {

bool UtcNow(std::tm* out) noexcept {
  std::time_t now = std::time(nullptr);
  return now != static_cast<std::time_t>(-1) && gmtime_s(out, &now) == 0;
}

bool UtcTime(std::time_t t, std::tm* out) noexcept { return gmtime_s(out, &t) == 0; }

}  // namespace parcel::platform
