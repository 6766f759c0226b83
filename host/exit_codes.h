// The exit codes of parcel-host, shared by its commands and its serve plug-in.
#ifndef PARCEL_HOST_EXIT_CODES_H_
#define PARCEL_HOST_EXIT_CODES_H_

#include <string>

namespace parcel::host {

// Process exit codes. Every failure prints one message to standard error.
enum ExitCode : int {
  kExitOk = 0,
  kExitInternal = 1,     // out of memory or an unexpected failure of the host
  kExitUsage = 2,        // bad command line, or nothing to pack
  kExitInput = 3,        // an input is missing, unreadable or beyond the limits of one request
  kExitOutput = 4,       // an output file cannot be written
  kExitModule = 5,       // the module cannot be loaded, is no parcel module or makes no interpreter
  kExitJobError = 6,     // the module answered with an error document
  kExitBadResponse = 7,  // the module's response is missing or malformed
  kExitListen = 8,       // serve: the address cannot be listened on
  kExitNetwork = 9,      // pack --ni: the server cannot be reached, refused or broke off
};

// The exit codes as help text, one per line.
std::string ExitCodeHelp();

}  // namespace parcel::host

#endif  // PARCEL_HOST_EXIT_CODES_H_
