// The one place where Windows system headers are included. Keeps macros such as
// min, max and ERROR out of the rest of the code; winsock2.h must come first.
#ifndef PARCEL_PLATFORM_WIN_WIN_HEADERS_H_
#define PARCEL_PLATFORM_WIN_WIN_HEADERS_H_

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <windows.h>

// After winsock2.h, which defines the address family type it uses.
#include <afunix.h>

#endif  // PARCEL_PLATFORM_WIN_WIN_HEADERS_H_
