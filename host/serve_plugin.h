// The contract between parcel-host and its serve plug-in
// (parcel-host-serve.so beside the program), built from the same sources.
#ifndef PARCEL_HOST_SERVE_PLUGIN_H_
#define PARCEL_HOST_SERVE_PLUGIN_H_

#include "platform/export.h"

namespace parcel::host {
struct ServeOptions;

// The plug-in's file name without its suffix, and the name of its export.
inline constexpr char kServePluginStem[] = "parcel-host-serve";
inline constexpr char kServeEntryName[] = "ParcelHostServe";
}  // namespace parcel::host

// The plug-in's one export: runs Serve (serve.h) and returns its exit code.
extern "C" PARCEL_EXPORT int ParcelHostServe(const parcel::host::ServeOptions* options);

#endif  // PARCEL_HOST_SERVE_PLUGIN_H_
