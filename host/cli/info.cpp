// parcel-host info: the name, type and version of the module's interpreter.
#include "host/cli/commands.h"

#include <cstdio>

#include "host/cli/command_support.h"

namespace parcel::host {

int Info(const std::string& module_path) {
  Module module;
  if (int code = LoadModule(module_path, &module); code != kExitOk) return code;
  Interpreter interpreter = module.Instantiate();
  if (!interpreter || !interpreter.Init(0)) {
    return Fail(kExitModule, "the module did not create an interpreter");
  }
  std::printf("name:    %s\ntype:    %s\nversion: %s\n", interpreter.Name(), interpreter.Type(),
              interpreter.Version());
  return kExitOk;
}

}  // namespace parcel::host
