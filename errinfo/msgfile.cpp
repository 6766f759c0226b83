// The message file of ErrGetTxt: its path is fixed at the first look-up, and
// it stays open between look-ups.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "errinfo/errinfo.h"
#include "errinfo/setter.h"
#include "runtime/mem.h"
#include "runtime/trace.h"

namespace parcel::errinfo::detail {
namespace {

constexpr char kPathVariable[] = "ERR_MSG_FILE";
constexpr char kDefaultPath[] = "errmsg";

struct MessageFile {
  char* path = nullptr;  // owned (MemAlloc); null until the first look-up
  std::FILE* stream = nullptr;
};
MessageFile g_file;

// The path, fixed at its first use. Without memory for the copy it is not yet
// fixed and the current value serves this once.
const char* Path() {
  if (g_file.path != nullptr) return g_file.path;
  const char* value = std::getenv(kPathVariable);
  if (value == nullptr) value = kDefaultPath;
  const std::size_t n = std::strlen(value) + 1;
  void* copy = MemAlloc(n, "ErrGetTxt");
  if (copy == nullptr) return value;
  std::memcpy(copy, value, n);
  g_file.path = static_cast<char*>(copy);
  return g_file.path;
}

std::FILE* Open() {
  if (g_file.stream != nullptr) return g_file.stream;
  const char* path = Path();
  // Binary mode: line ends are taken off the same way on every platform.
  g_file.stream = std::fopen(path, "rb");
  if (g_file.stream == nullptr) {
    const int error = errno;
    char text[kErrErrnoTextLimit + 1];
    ErrSysText(error, text, sizeof text);
    PARCEL_TRC(2, DpTrc, "ErrGetTxt: can't open file %s (%d %s)\n", path, error, text);
  }
  return g_file.stream;
}

}  // namespace

bool LookUpMessage(const char* key, char keyChar, char* buffer, int size) noexcept {
  if (key == nullptr || buffer == nullptr || size < 1) return false;
  std::FILE* stream = Open();
  if (stream == nullptr) return false;
  std::rewind(stream);
  const std::size_t key_length = std::strlen(key);
  char line[kErrMsgLineLimit + 1];
  bool at_line_start = true;
  while (std::fgets(line, sizeof line, stream) != nullptr) {
    std::size_t n = std::strlen(line);
    const bool starts_line = at_line_start;
    at_line_start = n > 0 && line[n - 1] == '\n';
    // The rest of a line longer than one read is never a line of its own.
    if (!starts_line) continue;
    if (line[0] != keyChar || std::strncmp(line + 1, key, key_length) != 0) continue;
    const char* text = line + 1 + key_length;
    n = std::strlen(text);
    if (n > 0 && text[n - 1] == '\n') --n;
    if (n > 0 && text[n - 1] == '\r') --n;
    if (n > static_cast<std::size_t>(size) - 1) n = static_cast<std::size_t>(size) - 1;
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
    return true;
  }
  return false;
}

void CloseMessageFile() noexcept {
  if (g_file.stream != nullptr) std::fclose(g_file.stream);
  g_file.stream = nullptr;
  MemFree(g_file.path);
  g_file.path = nullptr;
}

}  // namespace parcel::errinfo::detail
