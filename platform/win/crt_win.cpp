// Windows side of the C library services: the C library's own functions
// already have the ranges the callers expect.
#include "platform/crt.h"

#include <cstdlib>
#include <ctime>

namespace parcel::platform {

void SeedRand(unsigned int seed) { std::srand(seed); }

int Rand() { return std::rand(); }

long Clock() { return static_cast<long>(std::clock()); }

bool UtcTime(std::time_t t, std::tm* out) { return gmtime_s(out, &t) == 0; }

}  // namespace parcel::platform
