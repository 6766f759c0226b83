// The commands of parcel-host: pack files into an archive through the module,
// run a saved request, show the module's identity, and serve through the
// serve plug-in. Each returns an ExitCode (host/exit_codes.h).
#ifndef PARCEL_HOST_CLI_COMMANDS_H_
#define PARCEL_HOST_CLI_COMMANDS_H_

#include <istream>
#include <string>
#include <vector>

#include "host/exit_codes.h"
#include "host/serve_plugin.h"
#include "host/transfer_form.h"

namespace parcel::host {

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
  std::string server;         // HOST:PORT of a packing server; empty: the module, loaded here
  int timeout_seconds = 300;  // with a server: each wait at most this long
  // With a server: the network library cuts every transfer into pieces of 1
  // to this many bytes (0: off). For load tests of servers.
  int ni_fragment_test = 0;
};

// Packs the inputs into one archive through the module, or through a
// packing server when `server` is set (the same request, archive and exit
// codes; kExitNetwork when the server cannot be reached or breaks off). The archive appears
// only when everything succeeded; a failed run leaves no output file behind
// (the request and response files, when asked for, are written as soon as
// they exist). Prints a summary, with kVerbose the archive's listing, and a
// progress bar on a terminal while large inputs are read. Returns an ExitCode.
int Pack(const PackOptions& options, std::istream& names);

struct RunOptions {
  std::string request_file;     // a request in the transfer form
  std::string directory = ".";  // where the output records go; created when missing
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

// Loads the serve plug-in (see CompanionFilePath) and runs the HTTP host in it.
// kExitInternal with a message when the plug-in cannot be loaded; on systems
// without the HTTP host, kExitUsage with a message.
int RunServePlugin(const ServeOptions& options);
// Whether this build has the serve plug-in (the HTTP host).
bool ServePluginBuilt();

// serve: HTTP through the plug-in (with NI beside it when asked), or NI
// alone without loading the plug-in (--no-http, and where there is no HTTP
// host). kExitUsage when nothing is left to serve.
int RunServe(const ServeOptions& options);

}  // namespace parcel::host

#endif  // PARCEL_HOST_CLI_COMMANDS_H_
