// Windows side of the C library services: the C library's own functions
// already have the ranges the callers expect.
#include "platform/crt.h"

#include <cstdlib>
#include <ctime>

namespace parcel::platform {

void SeedRand(unsigned int seed) { std::srand(seed); }

int Rand() { return std::rand(); }

long Clock() { return static_cast<long>(std::clock()); }

}  // namespace parcel::platform
