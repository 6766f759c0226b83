// The contract between parcel-host and its serve plug-in (parcel-host-serve.so,
// beside the program or in the module folder), built from the same sources:
// the options `parcel-host serve` takes, and the plug-in's one export.
#ifndef PARCEL_HOST_SERVE_PLUGIN_H_
#define PARCEL_HOST_SERVE_PLUGIN_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "interpreter/host_abi.h"
#include "platform/export.h"

namespace parcel::host {

struct ServeOptions {
  std::string module;                // module file to load
  std::string listen = "127.0.0.1";  // address to listen on
  int port = 8080;                   // 0: any free port
  std::string port_file;             // where to write the bound port; empty: nowhere
  std::size_t threads = 0;           // workers and interpreters; 0: one per processor, at least 2
  std::string store;  // store directory; empty: a new one under the temporary directory
  std::uint64_t store_bytes = std::uint64_t{1} << 30;
  std::uint64_t expiry_seconds = 3600;
  std::uint64_t max_upload = 64u << 20;      // largest request body
  std::size_t max_files = PARCEL_MAX_FILES;  // files in one upload
  bool public_downloads = false;             // serve archives without their download token
  bool quiet = false;                        // no access log
};

// Largest upload the server takes: the transfer form and the archive's sizes
// must stay within 32 bits, with room for an archive larger than its input.
inline constexpr std::uint64_t kMaxUploadLimit = std::uint64_t{1} << 30;

// The plug-in's file name without its suffix, and the name of its export.
inline constexpr char kServePluginStem[] = "parcel-host-serve";
inline constexpr char kServeEntryName[] = "ParcelHostServe";

}  // namespace parcel::host

// The plug-in's one export: runs the HTTP server until SIGINT or SIGTERM and
// returns an ExitCode (host/exit_codes.h).
extern "C" PARCEL_EXPORT int ParcelHostServe(const parcel::host::ServeOptions* options);

#endif  // PARCEL_HOST_SERVE_PLUGIN_H_
