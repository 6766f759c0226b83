// The output buffer and the directory block list of the zip writer.
#include "zip/zip_buffer.h"

#include <cstdlib>
#include <cstring>

#include "platform/alloc_hook.h"
#include "platform/coding.h"

namespace parcel::zip {
namespace {

ZipDirBlock* NewDirBlock() noexcept {
  auto* block = static_cast<ZipDirBlock*>(
      platform::HookedMalloc(platform::AllocSite::kZipDirBlock, sizeof(ZipDirBlock)));
  if (block == nullptr) return nullptr;
  block->next = nullptr;
  block->free = kDirBlockSize;
  block->filled = 0;
  return block;
}

void FreeDirChain(ZipDirBlock* block) noexcept {
  while (block != nullptr) {
    ZipDirBlock* next = block->next;
    std::free(block);
    block = next;
  }
}

}  // namespace

int BufferInit(ZipMemoryBuffer* buffer) noexcept {
  auto* data = static_cast<unsigned char*>(
      platform::HookedMalloc(platform::AllocSite::kZipBuffer, kBufferInitialCapacity));
  if (data == nullptr) return ZIP_ERR_INTERNAL;
  buffer->cursor = 0;
  buffer->length = 0;
  buffer->capacity = kBufferInitialCapacity;
  buffer->data = data;
  return ZIP_SUCCESS;
}

void BufferRelease(ZipMemoryBuffer* buffer) noexcept {
  std::free(buffer->data);
  buffer->data = nullptr;
  buffer->cursor = buffer->length = buffer->capacity = 0;
}

int BufferReserve(ZipMemoryBuffer* buffer, std::uint64_t n) noexcept {
  // cursor <= length <= limit, so the subtraction cannot wrap.
  if (n > buffer->limit - buffer->cursor) return ZIP_ERR_PARAM;
  const std::uint64_t end = buffer->cursor + n;
  if (end <= buffer->capacity) return ZIP_SUCCESS;
  std::uint64_t capacity = buffer->capacity == 0 ? kBufferInitialCapacity : buffer->capacity;
  while (capacity < end) capacity *= 2;
  if (capacity > SIZE_MAX) return ZIP_ERR_INTERNAL;
  // On failure realloc leaves the old block, and every byte in it, as it was.
  auto* data = static_cast<unsigned char*>(platform::HookedRealloc(
      platform::AllocSite::kZipBuffer, buffer->data, static_cast<std::size_t>(capacity)));
  if (data == nullptr) return ZIP_ERR_INTERNAL;
  buffer->data = data;
  buffer->capacity = capacity;
  return ZIP_SUCCESS;
}

void DirRelease(Directory* directory) noexcept {
  FreeDirChain(directory->first);
  directory->first = directory->last = nullptr;
  directory->size = 0;
}

}  // namespace parcel::zip

int ZipBufferWrite(ZipMemoryBuffer* buffer, const void* bytes, std::uint64_t n) noexcept {
  if (n == 0) return ZIP_SUCCESS;
  if (int err = parcel::zip::BufferReserve(buffer, n); err != ZIP_SUCCESS) return err;
  std::memcpy(buffer->data + buffer->cursor, bytes, static_cast<std::size_t>(n));
  buffer->cursor += n;
  if (buffer->cursor > buffer->length) buffer->length = buffer->cursor;
  return ZIP_SUCCESS;
}

int ZipBufferPutLE(ZipMemoryBuffer* buffer, std::uint32_t value, unsigned n) noexcept {
  if (n < 1 || n > 4) return ZIP_ERR_PARAM;
  unsigned char bytes[4];
  parcel::platform::EncodeFixed32(bytes, value);
  return ZipBufferWrite(buffer, bytes, n);
}

int ZipBufferSeek(ZipMemoryBuffer* buffer, std::uint64_t position) noexcept {
  if (position > buffer->length) return ZIP_ERR_POSITION;
  buffer->cursor = position;
  return ZIP_SUCCESS;
}

int ZipDirAppend(parcel::zip::Directory* directory, const void* bytes, std::uint64_t n) noexcept {
  using parcel::zip::kDirBlockSize;
  if (n == 0) return ZIP_SUCCESS;
  // Every block the bytes need is had before any byte is copied, so a failure
  // leaves the list exactly as it was.
  const std::uint64_t room = directory->last != nullptr ? directory->last->free : 0;
  const std::uint64_t missing = n > room ? n - room : 0;
  ZipDirBlock* chain = nullptr;
  ZipDirBlock* chain_last = nullptr;
  for (std::uint64_t have = 0; have < missing; have += kDirBlockSize) {
    ZipDirBlock* block = parcel::zip::NewDirBlock();
    if (block == nullptr) {
      parcel::zip::FreeDirChain(chain);
      return ZIP_ERR_INTERNAL;
    }
    (chain == nullptr ? chain : chain_last->next) = block;
    chain_last = block;
  }
  if (chain != nullptr) {
    (directory->last == nullptr ? directory->first : directory->last->next) = chain;
  }
  const auto* in = static_cast<const unsigned char*>(bytes);
  std::uint64_t remaining = n;
  ZipDirBlock* block = directory->last != nullptr ? directory->last : directory->first;
  while (remaining > 0) {
    if (block->free == 0) block = block->next;
    const std::uint32_t k =
        remaining < block->free ? static_cast<std::uint32_t>(remaining) : block->free;
    std::memcpy(block->data + block->filled, in, k);
    block->filled += k;
    block->free -= k;
    in += k;
    remaining -= k;
  }
  directory->last = block;
  directory->size += n;
  return ZIP_SUCCESS;
}
