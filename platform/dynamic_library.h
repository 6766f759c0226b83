// Loading a shared library (the parcel module) at run time and resolving its
// exported functions: dlopen/dlsym on POSIX, LoadLibrary/GetProcAddress on Windows.
#ifndef PARCEL_PLATFORM_DYNAMIC_LIBRARY_H_
#define PARCEL_PLATFORM_DYNAMIC_LIBRARY_H_

#include <string>
#include <utility>

namespace parcel::platform {

// Owns one loaded library; unloads it on destruction. Move-only.
class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary() { Close(); }
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;
  DynamicLibrary(DynamicLibrary&& other) noexcept
      : handle_(std::exchange(other.handle_, nullptr)) {}
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept {
    if (this != &other) {
      Close();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }

  // Loads the library at `path`. On failure returns false and `error` (if not
  // null) receives the system's reason. A library already held is unloaded first.
  bool Open(const std::string& path, std::string* error);

  // Address of the exported symbol `name`, or null when it is missing or no
  // library is loaded. The address stays valid until Close or destruction.
  void* Symbol(const char* name) const;

  bool IsOpen() const { return handle_ != nullptr; }
  void Close();
  // Leaves the library loaded for the rest of the process: one whose
  // process-wide records (error information, thread keys) outlive its calls
  // must not be unloaded from under them.
  void KeepLoaded() { handle_ = nullptr; }

 private:
  void* handle_ = nullptr;
};

// The conventional file name of a module called `stem` on this platform:
// "stem.so" on POSIX, "stem.dll" on Windows.
std::string ModuleFileName(const std::string& stem);

// Directory that holds the running executable, with a trailing separator;
// empty when it cannot be determined.
std::string ExecutableDirectory();

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_DYNAMIC_LIBRARY_H_
