// parcel-host: loads the parcel module as a service host does and runs requests
// through it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "host/module.h"
#include "host/transfer_form.h"

namespace {

int Info(const std::string& module_path) {
  parcel::host::Module module;
  std::string error;
  if (!module.Load(module_path, &error)) {
    std::fprintf(stderr, "parcel-host: cannot load module: %s\n", error.c_str());
    return 3;
  }
  parcel::host::Interpreter interpreter = module.Instantiate();
  if (!interpreter || !interpreter.Init(0)) {
    std::fprintf(stderr, "parcel-host: the module did not create an interpreter\n");
    return 3;
  }
  std::printf("name:    %s\ntype:    %s\nversion: %s\n", interpreter.Name(), interpreter.Type(),
              interpreter.Version());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string module_path = parcel::host::DefaultModulePath();
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    if (args[i] == "--module") module_path = args[i + 1];
  }
  if (!args.empty() && args[0] == "info") return Info(module_path);
  std::fprintf(stderr, "usage: parcel-host info [--module FILE]\n");
  return 2;
}
