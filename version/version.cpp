// The two readers: the version resource through the platform layer, then the
// stamp scan, with all-or-nothing hand-out of heap copies.
#include "version/version.h"

#include <cstring>

#include "platform/version_resource.h"
#include "version/stamp_scan.h"
#include "version/version_internal.h"

namespace parcel::version::detail {
namespace {

constexpr Values kResourceKeys = {
    "\\StringFileInfo\\040704b0\\FileVersion", "\\StringFileInfo\\040704b0\\ProductVersion",
    "\\StringFileInfo\\040704b0\\Platform", "\\StringFileInfo\\040704b0\\SpecialBuild"};

char* Copy(const char* text, const Heap& heap) {
  const std::size_t size = std::strlen(text) + 1;
  auto* copy = static_cast<char*>(heap.allocate(size));
  if (copy != nullptr) std::memcpy(copy, text, size);
  return copy;
}

}  // namespace

bool ClearOuts(const Outs& outs) noexcept {
  bool all = true;
  for (char** out : outs) {
    if (out != nullptr) {
      *out = nullptr;
    } else {
      all = false;
    }
  }
  return all;
}

std::int32_t HandOut(const Values& values, const Outs& outs, const Heap& heap) noexcept {
  ClearOuts(outs);
  for (const char* value : values) {
    if (value == nullptr) return 0;
  }
  for (std::size_t f = 0; f < kFieldCount; ++f) {
    *outs[f] = Copy(values[f], heap);
    if (*outs[f] == nullptr) {
      for (std::size_t g = 0; g < f; ++g) heap.release(*outs[g]);
      ClearOuts(outs);
      return 0;
    }
  }
  return 1;
}

std::int32_t ReadResource(const char* path, const Outs& outs, const Heap& heap) noexcept {
  if (!ClearOuts(outs) || path == nullptr) return 0;
  const std::uint32_t size = platform::VersionResourceSize(path);
  if (size == 0) return 0;
  void* block = heap.allocate(size);
  if (block == nullptr) return 0;
  std::int32_t result = 0;
  if (platform::LoadVersionResource(path, size, block)) {
    Values texts;
    for (std::size_t f = 0; f < kFieldCount; ++f) {
      texts[f] = platform::QueryVersionText(block, kResourceKeys[f]);
    }
    result = HandOut(texts, outs, heap);  // copies before the block goes
  }
  heap.release(block);
  return result;
}

std::int32_t ReadInfo(const char* path, const Outs& outs, const Heap& heap) noexcept {
  if (!ClearOuts(outs)) return 0;
  if (path == nullptr) return HandOut(ModuleValues(), outs, heap);
  if (ReadResource(path, outs, heap) == 1) return 1;
  StampScanner scanner;
  if (!ScanFile(path, &scanner)) return 0;
  return HandOut(scanner.values(), outs, heap);
}

}  // namespace parcel::version::detail

std::int32_t ReadVersionInfo(const char* path, char** fileVersion, char** productVersion,
                             char** platform, char** specialBuild) noexcept {
  using namespace parcel::version::detail;
  return ReadInfo(path, {fileVersion, productVersion, platform, specialBuild}, kCHeap);
}

std::int32_t ReadVersionResource(const char* path, char** fileVersion, char** productVersion,
                                 char** platform, char** specialBuild) noexcept {
  using namespace parcel::version::detail;
  return ReadResource(path, {fileVersion, productVersion, platform, specialBuild}, kCHeap);
}
