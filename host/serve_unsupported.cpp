// parcel-host serve on systems where the HTTP host is not built.
#include <cstdio>

#include "host/commands.h"
#include "host/serve.h"

namespace parcel::host {

int Serve(const ServeOptions&) {
  std::fprintf(stderr, "parcel-host: serve is available in the Linux build only\n");
  return kExitUsage;
}

}  // namespace parcel::host
