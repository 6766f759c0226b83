// Windows side of the C library services: the C library's own functions
// already have the ranges and the per-thread generator the callers expect.
#include "platform/crt.h"

#include <cstdlib>
#include <ctime>

namespace parcel::platform {

void SeedRand(unsigned int seed) noexcept { std::srand(seed); }

int Rand() noexcept { return std::rand(); }

long Clock() noexcept { return static_cast<long>(std::clock()); }

}  // namespace parcel::platform
