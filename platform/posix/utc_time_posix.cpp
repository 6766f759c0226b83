// POSIX side of the UTC calendar time.
#include "platform/utc_time.h"

namespace parcel::platform {

bool UtcNow(std::tm* out) noexcept {
  std::time_t now = std::time(nullptr);
  return now != static_cast<std::time_t>(-1) && gmtime_r(&now, out) != nullptr;
}

bool UtcTime(std::time_t t, std::tm* out) noexcept { return gmtime_r(&t, out) != nullptr; }

}  // namespace parcel::platform
