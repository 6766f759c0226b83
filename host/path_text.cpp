// Paths to UTF-8 text and back.
#include "host/path_text.h"

#include <exception>

namespace parcel::host {
namespace fs = std::filesystem;

fs::path PathFromUtf8(std::string_view text) {
  return fs::path(std::u8string(text.begin(), text.end()));
}

bool Utf8FromPath(const fs::path& path, std::string* out) {
  try {
    std::u8string text = path.u8string();
    out->assign(text.begin(), text.end());
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

std::string DisplayPath(const fs::path& path) {
  std::string text;
  return Utf8FromPath(path, &text) ? text : "?";
}

std::string QuotedPath(const fs::path& path) {
  std::string quoted = "'";
  quoted += DisplayPath(path);
  quoted += '\'';
  return quoted;
}

}  // namespace parcel::host
