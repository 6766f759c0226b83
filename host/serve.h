// parcel-host serve: the HTTP service host. Clients upload files and get the
// module's response document; the archive waits in an output store for the
// client that made it, under the URL path the document names.
#ifndef PARCEL_HOST_SERVE_H_
#define PARCEL_HOST_SERVE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace parcel::host {

struct ServeOptions {
  std::string module;                 // module file to load
  std::string listen = "127.0.0.1";   // address to listen on
  int port = 8080;                    // 0: any free port
  std::string port_file;              // where to write the bound port; empty: nowhere
  std::size_t threads = 0;            // workers and interpreters; 0: one per processor, at least 2
  std::string store;                  // store directory; empty: a new one under the temporary directory
  std::uint64_t store_bytes = std::uint64_t{1} << 30;
  std::uint64_t expiry_seconds = 3600;
  std::uint64_t max_upload = 64u << 20;  // largest request body
  std::size_t max_files = 65535;         // files in one upload
  bool public_downloads = false;         // serve archives without their download token
  bool quiet = false;                    // no access log
};

// Largest upload the server takes: the transfer form and the archive's sizes
// must stay within 32 bits, with room for an archive larger than its input.
inline constexpr std::uint64_t kMaxUploadLimit = std::uint64_t{1} << 30;

// Runs the server until SIGINT or SIGTERM, then lets the requests in flight
// finish. Writes one line on standard output when it listens, then one access
// log line per request. Returns an ExitCode (commands.h); on systems without
// the server, kExitUsage with a message.
int Serve(const ServeOptions& options);

}  // namespace parcel::host

#endif  // PARCEL_HOST_SERVE_H_
