// Windows side of the sleep: SleepEx in the alertable state.
#include "platform/alertable_sleep.h"
#include "platform/win/win_headers.h"

namespace parcel::platform {

void AlertableSleep(std::uint32_t milliseconds) noexcept {
  // INFINITE (0xFFFFFFFF) is a sleep without end, as SleepEx defines it.
  SleepEx(milliseconds, TRUE);
}

}  // namespace parcel::platform
