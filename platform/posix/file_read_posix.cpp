// POSIX side of whole-file reading: open, readv, close.
#include "platform/file_read.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace parcel::platform {
namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

FileReadResult Failed(FileReadResult result, int error, int* system_error) {
  if (system_error != nullptr) *system_error = error;
  return result;
}

}  // namespace

FileReadResult ReadWholeFile(const std::filesystem::path& path, char* destination,
                             std::uint64_t size, FileReadProgress progress, void* context,
                             int* system_error) noexcept {
  if (system_error != nullptr) *system_error = 0;
  // Non-blocking: a name that became a FIFO since it was measured must not
  // wait for a writer (regular files read the same either way).
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Failed(FileReadResult::kCannotOpen, errno, system_error);
  Descriptor file(fd);

  // The last read asks for one byte more than the place needs: a file that
  // grew fills the scratch byte; one that ends in place reads short.
  std::uint64_t done = 0;
  char scratch = 0;
  for (;;) {
    const std::uint64_t want = std::min(size - done, kFileReadPiece);
    const bool last = done + want == size;
    iovec pieces[2] = {{destination + done, static_cast<std::size_t>(want)}, {&scratch, 1}};
    ssize_t got = readv(fd, pieces, last ? 2 : 1);
    if (got < 0) {
      if (errno == EINTR) continue;
      return Failed(FileReadResult::kReadError, errno, system_error);
    }
    if (static_cast<std::uint64_t>(got) > want) return FileReadResult::kGrew;
    if (got == 0) return done < size ? FileReadResult::kShrank : FileReadResult::kOk;
    done += static_cast<std::uint64_t>(got);
    if (progress != nullptr) progress(context, static_cast<std::uint64_t>(got));
    if (done == size) return FileReadResult::kOk;
  }
}

}  // namespace parcel::platform
