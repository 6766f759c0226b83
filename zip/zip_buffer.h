// Internal to the zip writer: the archive's growing output buffer and the list
// of central-directory blocks. The writer's memory comes through the
// allocation hook (platform/alloc_hook.h), one site for each kind of block.
#ifndef PARCEL_ZIP_ZIP_BUFFER_H_
#define PARCEL_ZIP_ZIP_BUFFER_H_

#include <cstddef>
#include <cstdint>

#include "zip/zip.h"

namespace parcel::zip {

// Capacity of a new buffer; it only ever doubles from here.
inline constexpr std::uint64_t kBufferInitialCapacity = 16384;
// Payload bytes of one directory block.
inline constexpr std::uint32_t kDirBlockSize = 4080;

}  // namespace parcel::zip

// The archive's output. Invariant after every operation:
// cursor <= length <= capacity, length <= limit.
struct ZipMemoryBuffer {
  std::uint64_t cursor = 0;    // offset at which the next write lands
  std::uint64_t length = 0;    // highest offset any write has reached
  std::uint64_t capacity = 0;  // size of data
  unsigned char* data = nullptr;
  // Largest length the buffer may reach; writes past it are refused.
  std::uint64_t limit = parcel::zip::kZipMaxSize;
};

// One node of the list in which central records collect; a block is full
// before the next one is begun, so a record may straddle two blocks.
struct ZipDirBlock {
  ZipDirBlock* next;
  std::uint32_t free;    // bytes still free in data
  std::uint32_t filled;  // bytes used in data
  unsigned char data[parcel::zip::kDirBlockSize];
};

namespace parcel::zip {

// The collected central records, in entry order.
struct Directory {
  ZipDirBlock* first = nullptr;
  ZipDirBlock* last = nullptr;
  std::uint64_t size = 0;  // bytes appended so far
};

// Gives `buffer` its first data block of kBufferInitialCapacity bytes.
// ZIP_ERR_INTERNAL when it cannot be had.
[[nodiscard]] int BufferInit(ZipMemoryBuffer* buffer) noexcept;
// Releases the data block (unless handed out) and empties the buffer.
void BufferRelease(ZipMemoryBuffer* buffer) noexcept;
// Makes room for a write of `n` bytes at the cursor without writing: the same
// growth and the same results as ZipBufferWrite, so writes of up to `n` bytes
// that follow cannot fail.
[[nodiscard]] int BufferReserve(ZipMemoryBuffer* buffer, std::uint64_t n) noexcept;
// Releases every block and empties the list.
void DirRelease(Directory* directory) noexcept;

}  // namespace parcel::zip

// Copies `n` bytes to data[cursor], growing the block by doubling its capacity
// as often as needed; the cursor advances by n and length becomes the larger of
// length and cursor. n = 0 changes nothing. A larger block keeps the first
// length bytes; it is had with realloc, which for large blocks can move the
// pages instead of copying them.
// Returns ZIP_SUCCESS; ZIP_ERR_PARAM when the length would pass the buffer's
// limit; ZIP_ERR_INTERNAL when the larger block cannot be had. On failure the
// buffer is unchanged: every byte written before stays in place.
[[nodiscard]] int ZipBufferWrite(ZipMemoryBuffer* buffer, const void* bytes,
                                 std::uint64_t n) noexcept;

// Writes the `n` (1 to 4) low-order bytes of `value`, least significant first,
// through ZipBufferWrite. ZIP_ERR_PARAM for any other n.
[[nodiscard]] int ZipBufferPutLE(ZipMemoryBuffer* buffer, std::uint32_t value, unsigned n) noexcept;

// Moves the cursor to `position`; ZIP_ERR_POSITION, cursor unchanged, when
// position is beyond the length.
[[nodiscard]] int ZipBufferSeek(ZipMemoryBuffer* buffer, std::uint64_t position) noexcept;

// Appends `n` bytes to the directory, filling the last block before beginning
// another. All or nothing: ZIP_ERR_INTERNAL, with the directory unchanged, when
// a block cannot be had, so a record is never left half listed.
[[nodiscard]] int ZipDirAppend(parcel::zip::Directory* directory, const void* bytes,
                               std::uint64_t n) noexcept;

#endif  // PARCEL_ZIP_ZIP_BUFFER_H_
