// The contract between parcel-host and its serve plug-in
// (parcel-host-serve.so beside the program), built from the same sources.
#ifndef PARCEL_HOST_SERVE_PLUGIN_H_
#define PARCEL_HOST_SERVE_PLUGIN_H_

#include "platform/export.h"

// The plug-in's one export: runs Serve (serve.h) and returns its exit code.
#define PARCEL_SERVE_ENTRY ParcelHostServe
#define PARCEL_SERVE_ENTRY_NAME "ParcelHostServe"
#define PARCEL_SERVE_PLUGIN_STEM "parcel-host-serve"

namespace parcel::host {
struct ServeOptions;
}

extern "C" {
using ParcelServeEntryFn = int (*)(const parcel::host::ServeOptions* options);
}

#endif  // PARCEL_HOST_SERVE_PLUGIN_H_
