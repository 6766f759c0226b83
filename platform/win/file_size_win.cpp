// Windows side of the file size query.
#include "platform/file_size.h"

#include <io.h>

namespace parcel::platform {

bool StreamFileSize(std::FILE* stream, std::int64_t* size) noexcept {
  if (stream == nullptr) return false;
  int fd = _fileno(stream);
  if (fd < 0) return false;
  __int64 n = _filelengthi64(fd);
  if (n < 0) return false;
  *size = static_cast<std::int64_t>(n);
  return true;
}

}  // namespace parcel::platform
