// C library services whose value ranges differ between platforms, presented
// with the Windows ranges and semantics everywhere: the interpreter's output
// names rely on a generator of 0..32767 and on a clock of elapsed milliseconds.
#ifndef PARCEL_PLATFORM_CRT_H_
#define PARCEL_PLATFORM_CRT_H_

namespace parcel::platform {

// Largest value Rand() returns (the Windows RAND_MAX).
inline constexpr int kRandMax = 32767;

// Reseeds the calling thread's pseudo-random generator. Each thread has its
// own generator, which starts as if seeded with 1 (as the Windows C library's
// rand does), so a seed affects only draws on the thread that set it.
void SeedRand(unsigned int seed) noexcept;

// Next value of the calling thread's generator, 0..kRandMax. The sequence
// for a seed is the same on every platform.
int Rand() noexcept;

// Milliseconds of wall-clock time elapsed since the process started (the
// value the Windows C library's clock() returns, CLOCKS_PER_SEC being 1000
// there). On POSIX the count starts when the module is loaded. Never
// decreases; it keeps counting while the thread sleeps. Thread-safe.
long Clock() noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_CRT_H_
