// parcel-host version: the version values a module file carries.
#include "host/cli/commands.h"

#include <cstdio>
#include <cstdlib>

#include "host/cli/command_support.h"
#include "version/version.h"

namespace parcel::host {

int Version(const std::string& file) {
  char* values[4] = {};
  if (ReadVersionInfo(file.empty() ? nullptr : file.c_str(), &values[0], &values[1], &values[2],
                      &values[3]) != 1) {
    return Fail(kExitInput, file + " carries no version information");
  }
  static const char* const kLabels[4] = {
      "file version:    ", "product version: ", "platform:        ", "special build:   "};
  for (int i = 0; i < 4; ++i) {
    std::printf("%s%s\n", kLabels[i], values[i]);
    std::free(values[i]);
  }
  return kExitOk;
}

}  // namespace parcel::host
