// The exit codes' help text.
#include "host/exit_codes.h"

namespace parcel::host {

std::string ExitCodeHelp() {
  return "Exit codes:\n"
         "  0  success\n"
         "  1  internal error (out of memory)\n"
         "  2  usage error, or nothing to pack\n"
         "  3  an input is missing, unreadable or beyond the limits of one request\n"
         "  4  an output file cannot be written\n"
         "  5  the module cannot be loaded or is not a parcel module\n"
         "  6  the module answered with an error document (its code and message are printed)\n"
         "  7  the module's response is missing or malformed\n"
         "  8  serve: the address and port cannot be listened on\n"
         "  9  pack --ni: the server cannot be reached, refused the request or broke off\n";
}

}  // namespace parcel::host
