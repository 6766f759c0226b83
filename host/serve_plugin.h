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
  // Connections and their pace.
  std::size_t max_connections = 1024;         // open connections at most
  std::size_t max_client_connections = 64;    // from one client address at most
  std::uint64_t head_timeout_seconds = 10;    // a request head must arrive within this
  std::uint64_t idle_timeout_seconds = 5;     // a keep-alive connection waits this long
  std::uint64_t min_rate = 4096;              // bytes a second a body or answer must keep up
  std::uint64_t max_held = 256u << 20;        // upload bytes held at once (at least max_upload)
  std::uint64_t client_store_bytes = 0;       // one client address's share of the store; 0: none
  std::uint64_t shutdown_grace_seconds = 30;  // for requests in flight after SIGINT or SIGTERM
  // Packing over the network library (host/ni/pack_server.h), beside HTTP
  // or alone.
  bool http = true;                     // serve HTTP (the Linux build only)
  int ni_port = -1;                     // -1: no NI server; 0: any free port
  std::string ni_listen = "127.0.0.1";  // empty or "*": every address, IPv4 and IPv6
  std::string ni_port_file;             // where to write the NI port; empty: nowhere
  bool ni_local = true;                 // also the local stream socket of the NI port
  std::uint64_t ni_idle_timeout_seconds = 60;
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
