// parcel-host serve on systems where the HTTP host is not built.
#include <cstdio>

#include "host/cli/commands.h"

namespace parcel::host {

int RunServePlugin(const ServeOptions&) {
  std::fprintf(stderr, "parcel-host: serve is available in the Linux build only\n");
  return kExitUsage;
}

bool ServePluginBuilt() { return false; }

}  // namespace parcel::host
