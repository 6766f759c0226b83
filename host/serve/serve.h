// parcel-host serve: the HTTP service host. Clients upload files and get the
// module's response document; the archive waits in an output store for the
// client that made it, under the URL path the document names.
#ifndef PARCEL_HOST_SERVE_SERVE_H_
#define PARCEL_HOST_SERVE_SERVE_H_

#include "host/serve_plugin.h"

namespace parcel::host {

// Runs the server until SIGINT or SIGTERM, then lets the requests in flight
// finish. Writes one line on standard output when it listens, then one access
// log line per request. Returns an ExitCode (host/exit_codes.h).
int Serve(const ServeOptions& options);

}  // namespace parcel::host

#endif  // PARCEL_HOST_SERVE_SERVE_H_
