// POSIX side of bulk memory: anonymous mappings, populated on Linux.
// (Transparent huge pages were measured too: filling such a block was slower
// than with small pages made present by MAP_POPULATE.)
#include "platform/bulk_memory.h"

#include <sys/mman.h>

namespace parcel::platform {
namespace {

std::size_t MappedSize(std::size_t size) { return size == 0 ? 1 : size; }

}  // namespace

void* AllocateBulk(std::size_t size) noexcept {
  int flags = MAP_PRIVATE | MAP_ANONYMOUS;
#ifdef MAP_POPULATE
  flags |= MAP_POPULATE;
#endif
  void* block = mmap(nullptr, MappedSize(size), PROT_READ | PROT_WRITE, flags, -1, 0);
  return block == MAP_FAILED ? nullptr : block;
}

void FreeBulk(void* block, std::size_t size) noexcept {
  if (block != nullptr) munmap(block, MappedSize(size));
}

}  // namespace parcel::platform
