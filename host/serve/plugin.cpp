// The HTTP host as a plug-in of parcel-host, so that the HTTP library and the
// libraries it needs are loaded by `parcel-host serve` alone and every other
// command starts without them.
#include "host/serve_plugin.h"

#include "host/serve/serve.h"

extern "C" int ParcelHostServe(const parcel::host::ServeOptions* options) {
  return parcel::host::Serve(*options);
}
