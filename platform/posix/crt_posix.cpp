// POSIX side of the C library services: glibc's rand() spans 0..2^31-1 and is
// shared by all threads, and its clock() counts processor microseconds, so
// both are provided here instead.
#include "platform/crt.h"

#include <chrono>
#include <cstdint>

namespace parcel::platform {
namespace {

// The linear congruence of the Windows C library, per thread as there, so a
// seed gives the same sequence on both platforms.
thread_local std::uint32_t t_rand_state = 1;

const std::chrono::steady_clock::time_point g_start = std::chrono::steady_clock::now();

}  // namespace

void SeedRand(unsigned int seed) noexcept { t_rand_state = seed; }

int Rand() noexcept {
  t_rand_state = t_rand_state * 214013u + 2531011u;
  return static_cast<int>((t_rand_state >> 16) & 0x7fffu);
}

long Clock() noexcept {
  auto elapsed = std::chrono::steady_clock::now() - g_start;
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

}  // namespace parcel::platform
