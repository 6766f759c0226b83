// parcel-host serve: loads the HTTP host from its plug-in, which lies beside
// the program or in the installed module folder.
#include <cstdio>
#include <string>

#include "host/cli/commands.h"
#include "host/module.h"
#include "host/serve_plugin.h"
#include "platform/dynamic_library.h"

namespace parcel::host {

int RunServePlugin(const ServeOptions& options) {
  const std::string path = CompanionFilePath(platform::ModuleFileName(kServePluginStem));
  platform::DynamicLibrary plugin;
  std::string error;
  if (!plugin.Open(path, &error)) {
    std::fprintf(stderr, "parcel-host: serve is not available: %s\n", error.c_str());
    return kExitInternal;
  }
  auto entry = reinterpret_cast<decltype(&ParcelHostServe)>(plugin.Symbol(kServeEntryName));
  if (entry == nullptr) {
    std::fprintf(stderr, "parcel-host: serve is not available: %s has no %s\n", path.c_str(),
                 kServeEntryName);
    return kExitInternal;
  }
  // The plug-in's libraries keep process-wide records to the end.
  plugin.KeepLoaded();
  return entry(&options);
}

bool ServePluginBuilt() { return true; }

}  // namespace parcel::host
