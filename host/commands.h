// The commands of parcel-host: pack files into an archive through the module,
// run a saved request, and show the module's identity.
#ifndef PARCEL_HOST_COMMANDS_H_
#define PARCEL_HOST_COMMANDS_H_

#include <istream>
#include <string>
#include <vector>

#include "host/transfer_form.h"

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
};

// The exit codes as help text, one per line.
std::string ExitCodeHelp();

// -q and -v.
enum class Verbosity { kQuiet, kNormal, kVerbose };

struct PackOptions {
  std::string output;               // the archive to write (UTF-8)
  std::vector<std::string> inputs;  // files and directories (UTF-8)
  bool names_from_stdin = false;    // also read names, one per line, from `names`
  bool junk_paths = false;          // store file names alone
  std::string module;               // module file to load
  std::string response_file;        // where to save the response document; empty: not saved
  std::string request_file;         // where to save the request; empty: not saved
  Verbosity verbosity = Verbosity::kNormal;
};

// Packs the inputs into one archive through the module. The archive appears
// only when everything succeeded; a failed run leaves no output file behind
// (the request and response files, when asked for, are written as soon as
// they exist). Prints a summary, with kVerbose the archive's listing, and a
// progress bar on a terminal while large inputs are read. Returns an ExitCode.
int Pack(const PackOptions& options, std::istream& names);

struct RunOptions {
  std::string request_file;      // a request in the transfer form
  std::string directory = ".";   // where the output records go; created when missing
  std::string module;
  Verbosity verbosity = Verbosity::kNormal;
};

// Feeds a saved request to the module and writes every output record of the
// response into the directory, under OutputFileName. An error document is
// written as well and its code and message printed; the result is then
// kExitJobError. Returns an ExitCode.
int Run(const RunOptions& options);

// Prints the name, type and version of the module's interpreter.
int Info(const std::string& module);

// Prints the file version, product version, platform and special build of a
// module file, read from its version resource or its version stamps. With an
// empty path, those of the version reader's own module. kExitInput when the
// file carries no complete set of values.
int Version(const std::string& file);

// A file name for output record `index` of a response: the record's file
// name, or else its name with an extension after its MIME type (".xml",
// ".zip", ".bin"). Only letters, digits, '.', '-' and '_' are kept (others
// become '_'), and a leading '.' gets a '_' before it, so the name never
// leaves the directory it is written to. Names already in `taken` get
// "-<index>" before their extension; the result is added to `taken`.
std::string OutputFileName(const OutputRecord& record, std::size_t index,
                           std::vector<std::string>* taken);

}  // namespace parcel::host

#endif  // PARCEL_HOST_COMMANDS_H_
