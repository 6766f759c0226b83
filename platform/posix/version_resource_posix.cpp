// POSIX side of the version resource: the file's PE resource directory read
// with pread. The block holds the resource length, the resource bytes and an
// area for the narrow texts, where a text converted from the UTF-16 value at
// tree offset k is written at area offset k. A converted text takes one byte
// per UTF-16 unit plus its ending zero, so texts never overlap and the area
// needs one byte more than the tree.
#include "platform/version_resource.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <span>

#include "platform/pe_image.h"
#include "platform/version_tree.h"

namespace parcel::platform {
namespace {

constexpr std::uint32_t kLengthFieldSize = 4;

std::uint32_t BlockSize(std::uint32_t resource_size) {
  return kLengthFieldSize + 2 * resource_size + 1;
}

// A file opened for reading; closed on destruction.
class ReadOnlyFile final : public pe::ByteSource {
 public:
  explicit ReadOnlyFile(const char* path) : fd_(open(path, O_RDONLY | O_CLOEXEC)) {}
  ~ReadOnlyFile() override {
    if (fd_ >= 0) close(fd_);
  }
  ReadOnlyFile(const ReadOnlyFile&) = delete;
  ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

  bool IsOpen() const { return fd_ >= 0; }

  bool ReadAt(std::uint64_t offset, void* out, std::size_t size) const noexcept override {
    auto* bytes = static_cast<unsigned char*>(out);
    while (size > 0) {
      if (offset > static_cast<std::uint64_t>(INT64_MAX)) return false;
      const ssize_t n = pread(fd_, bytes, size, static_cast<off_t>(offset));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;  // an error, or the end of the file
      bytes += n;
      size -= static_cast<std::size_t>(n);
      offset += static_cast<std::uint64_t>(n);
    }
    return true;
  }

 private:
  int fd_;
};

bool Locate(const ReadOnlyFile& file, pe::ResourceRange* range) {
  return file.IsOpen() && pe::FindVersionResource(file, range);
}

}  // namespace

std::uint32_t VersionResourceSize(const char* path) noexcept {
  ReadOnlyFile file(path);
  pe::ResourceRange range;
  return Locate(file, &range) ? BlockSize(range.size) : 0;
}

bool LoadVersionResource(const char* path, std::uint32_t size, void* block) noexcept {
  // The file may have changed since its size was asked for.
  ReadOnlyFile file(path);
  pe::ResourceRange range;
  if (!Locate(file, &range) || BlockSize(range.size) > size) return false;
  auto* bytes = static_cast<unsigned char*>(block);
  std::memcpy(bytes, &range.size, kLengthFieldSize);
  return file.ReadAt(range.offset, bytes + kLengthFieldSize, range.size);
}

const char* QueryVersionText(void* block, const char* key) noexcept {
  auto* bytes = static_cast<unsigned char*>(block);
  std::uint32_t size;
  std::memcpy(&size, bytes, kLengthFieldSize);
  const std::uint8_t* tree = bytes + kLengthFieldSize;
  pe::TextValue text;
  if (!pe::FindVersionText(std::span(tree, size), key, &text)) return nullptr;
  char* narrow = reinterpret_cast<char*>(bytes + kLengthFieldSize + size + text.offset);
  pe::WideToAnsi(tree + text.offset, text.units, narrow);
  return narrow;
}

}  // namespace parcel::platform
