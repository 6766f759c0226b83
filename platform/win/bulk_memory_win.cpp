// Windows side of bulk memory: committed virtual memory.
#include "platform/bulk_memory.h"

#include "platform/win/win_headers.h"

namespace parcel::platform {

void* AllocateBulk(std::size_t size) noexcept {
  return VirtualAlloc(nullptr, size == 0 ? 1 : size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void FreeBulk(void* block, std::size_t /*size*/) noexcept {
  if (block != nullptr) VirtualFree(block, 0, MEM_RELEASE);
}

}  // namespace parcel::platform
