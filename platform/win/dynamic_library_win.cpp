// Windows side of the run-time library loader.
#include "platform/dynamic_library.h"

#include "platform/win/win_headers.h"

namespace parcel::platform {

bool DynamicLibrary::Open(const std::string& path, std::string* error) {
  Close();
  HMODULE module = LoadLibraryA(path.c_str());
  handle_ = reinterpret_cast<void*>(module);
  if (module == nullptr && error != nullptr) {
    DWORD code = GetLastError();
    char text[512] = {};
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[--n] = '\0';
    *error = n > 0 ? std::string(text) : "error " + std::to_string(code);
  }
  return module != nullptr;
}

void* DynamicLibrary::Symbol(const char* name) const {
  if (handle_ == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), name));
}

void DynamicLibrary::Close() {
  if (handle_ != nullptr) {
    FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
  }
}

std::string ModuleFileName(const std::string& stem) { return stem + ".dll"; }

std::string ExecutableDirectory() {
  char buffer[MAX_PATH + 1];
  DWORD n = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  std::string path(buffer, n);
  size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace parcel::platform
