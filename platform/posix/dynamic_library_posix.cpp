// POSIX side of the run-time library loader.
#include "platform/dynamic_library.h"

#include <dlfcn.h>
#include <unistd.h>

#include <climits>

namespace parcel::platform {

bool DynamicLibrary::Open(const std::string& path, std::string* error) {
  Close();
  // A bare file name would make dlopen search the system paths; the module is
  // always named by a path.
  std::string name = path.find('/') == std::string::npos ? "./" + path : path;
  handle_ = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr && error != nullptr) {
    const char* reason = dlerror();
    *error = reason != nullptr ? reason : "unknown error";
  }
  return handle_ != nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
  return handle_ != nullptr ? dlsym(handle_, name) : nullptr;
}

void DynamicLibrary::Close() {
  if (handle_ != nullptr) {
    dlclose(handle_);
    handle_ = nullptr;
  }
}

std::string ModuleFileName(const std::string& stem) { return stem + ".so"; }

std::string ExecutableDirectory() {
  char buffer[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return {};
  std::string path(buffer, static_cast<size_t>(n));
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace parcel::platform
