// Windows side of the version resource: the system's version functions.
#include "platform/version_resource.h"

#include "platform/win/win_headers.h"

namespace parcel::platform {

std::uint32_t VersionResourceSize(const char* path) noexcept {
  DWORD ignored = 0;
  return GetFileVersionInfoSizeA(path, &ignored);
}

bool LoadVersionResource(const char* path, std::uint32_t size, void* block) noexcept {
  return GetFileVersionInfoA(path, 0, size, block) != FALSE;
}

const char* QueryVersionText(void* block, const char* key) noexcept {
  void* value = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(block, key, &value, &length)) return nullptr;
  return static_cast<const char*>(value);
}

}  // namespace parcel::platform
