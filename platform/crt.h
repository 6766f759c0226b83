// C library services whose value ranges differ between platforms, presented
// with the Windows ranges everywhere: the interpreter's output names rely on
// a generator of 0..32767 and on a clock of elapsed milliseconds.
#ifndef PARCEL_PLATFORM_CRT_H_
#define PARCEL_PLATFORM_CRT_H_

#include <cstdint>
#include <ctime>

namespace parcel::platform {

// Largest value Rand() returns (the Windows RAND_MAX).
inline constexpr int kRandMax = 32767;

// Reseeds the process-wide pseudo-random generator. Thread-safe.
void SeedRand(unsigned int seed);

// Next value of the process-wide generator, 0..kRandMax. Thread-safe.
int Rand();

// Milliseconds of wall-clock time since the process started (the value the
// Windows C library's clock() returns, CLOCKS_PER_SEC being 1000 there).
long Clock();

// Breaks `t` down into UTC calendar fields (as gmtime does, but into the
// caller's `out`, so it is safe on any thread). False when `t` cannot be
// represented; `out` is then unspecified.
bool UtcTime(std::time_t t, std::tm* out);

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_CRT_H_
