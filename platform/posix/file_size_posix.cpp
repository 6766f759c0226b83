// POSIX side of the file size query.
#include "platform/file_size.h"

#include <sys/stat.h>

namespace parcel::platform {

bool StreamFileSize(std::FILE* stream, std::int64_t* size) noexcept {
  if (stream == nullptr) return false;
  int fd = fileno(stream);
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0) return false;
  *size = static_cast<std::int64_t>(st.st_size);
  return true;
}

}  // namespace parcel::platform
