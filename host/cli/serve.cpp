// parcel-host serve: HTTP through the serve plug-in, NI beside it or alone.
#include "host/cli/command_support.h"
#include "host/cli/commands.h"
#include "host/ni/ni_serve.h"

namespace parcel::host {

int RunServe(const ServeOptions& options) {
  if (options.http && ServePluginBuilt()) return RunServePlugin(options);
  if (options.ni_port < 0) {
    return Fail(kExitUsage, options.http
                                ? "serve over HTTP is available in the Linux build only; serve "
                                  "over the network library with --ni-port PORT"
                                : "--no-http leaves nothing to serve: add --ni-port PORT");
  }
  return ServeNiOnly(options);
}

}  // namespace parcel::host
