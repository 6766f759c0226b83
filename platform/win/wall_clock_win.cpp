// Windows side of the wall clock: the system time in 100-ns units since 1601.
#include "platform/wall_clock.h"

#include "platform/win/win_headers.h"

namespace parcel::platform {
namespace {

constexpr std::uint64_t kTicksPerSecond = 10000000;
constexpr std::uint64_t kUnixEpochInTicks = 116444736000000000;  // 1970-01-01 in FILETIME ticks

}  // namespace

WallTime NowWallTime() noexcept {
  FILETIME ft;
  GetSystemTimePreciseAsFileTime(&ft);
  std::uint64_t ticks = (static_cast<std::uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  ticks -= kUnixEpochInTicks;
  return {static_cast<std::int64_t>(ticks / kTicksPerSecond),
          static_cast<std::uint32_t>((ticks % kTicksPerSecond) / 10)};
}

bool ToLocalTime(std::int64_t seconds, std::tm* out) noexcept {
  __time64_t t = static_cast<__time64_t>(seconds);
  return _localtime64_s(out, &t) == 0;
}

}  // namespace parcel::platform
