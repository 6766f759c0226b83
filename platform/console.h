// Console services for command-line programs: the program's arguments as
// UTF-8, UTF-8 output, and whether a stream is an interactive terminal.
#ifndef PARCEL_PLATFORM_CONSOLE_H_
#define PARCEL_PLATFORM_CONSOLE_H_

#include <cstdio>
#include <string>
#include <vector>

namespace parcel::platform {

// The program's arguments after the program name, as UTF-8. POSIX passes
// argv through unchanged; Windows reads the wide command line instead, so
// names outside the ANSI code page survive.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// Makes UTF-8 text written to the standard streams show as such on a console
// (a no-op where terminals take UTF-8 already).
void UseUtf8Console();

// True when `stream` is connected to an interactive terminal.
bool IsTerminal(std::FILE* stream);

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_CONSOLE_H_
