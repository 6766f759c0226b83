// `parcel-host serve` over the network library: the NI server beside the
// HTTP one (in the serve plug-in) or alone (in parcel-host, on every
// platform).
#ifndef PARCEL_HOST_NI_NI_SERVE_H_
#define PARCEL_HOST_NI_NI_SERVE_H_

#include <cstddef>
#include <string>

#include "host/ni/pack_server.h"
#include "host/serve_plugin.h"

namespace parcel::host {

// The NI server's options from serve's, with `workers` worker threads.
NiServeOptions NiOptionsOf(const ServeOptions& options, std::size_t workers);

// Worker threads and interpreters for serve's --threads (0: one per
// processor, at least 2).
std::size_t ServeThreads(const ServeOptions& options);

// Starts `server`, writes its port file and prints the line
// {"event":"listening","ni":"ADDRESS:PORT","ni_port":PORT,"local_socket":BOOL}.
// An ExitCode; a message on standard error when it fails.
int StartNiService(const ServeOptions& options, NiPackServer* server);

// Serves over NI alone until the process is asked to stop, then lets the
// requests in flight finish within the shutdown grace. An ExitCode.
int ServeNiOnly(const ServeOptions& options);

// Writes `port` and a newline into `file` through a temporary file renamed
// into place, so a reader never sees half of it.
bool WritePortFile(const std::string& file, int port, std::string* error);

}  // namespace parcel::host

#endif  // PARCEL_HOST_NI_NI_SERVE_H_
