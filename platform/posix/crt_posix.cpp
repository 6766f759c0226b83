// POSIX side of the C library services: glibc's rand() spans 0..2^31-1 and its
// clock() counts processor microseconds, so both are provided here instead.
#include "platform/crt.h"

#include <atomic>
#include <chrono>

namespace parcel::platform {
namespace {

// The generator is the linear congruence of the Windows C library, so a seed
// gives the same sequence on both platforms.
std::atomic<std::uint32_t> g_rand_state{1};

const std::chrono::steady_clock::time_point g_process_start = std::chrono::steady_clock::now();

}  // namespace

void SeedRand(unsigned int seed) { g_rand_state.store(seed, std::memory_order_relaxed); }

int Rand() {
  std::uint32_t state = g_rand_state.load(std::memory_order_relaxed);
  std::uint32_t next;
  do {
    next = state * 214013u + 2531011u;
  } while (!g_rand_state.compare_exchange_weak(state, next, std::memory_order_relaxed));
  return static_cast<int>((next >> 16) & 0x7fffu);
}

long Clock() {
  auto elapsed = std::chrono::steady_clock::now() - g_process_start;
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

bool UtcTime(std::time_t t, std::tm* out) { return gmtime_r(&t, out) != nullptr; }

}  // namespace parcel::platform
