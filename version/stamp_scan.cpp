// The stamp scan's state machine and its file reader.
#include "version/stamp_scan.h"

#include <cstdio>
#include <cstring>
#include <memory>

namespace parcel::version::detail {
namespace {

constexpr std::size_t kMarkerLength = sizeof kStampMarker - 1;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

bool StampScanner::Feed(const char* bytes, std::size_t size) noexcept {
  if (Complete()) return true;
  for (std::size_t i = 0; i < size; ++i) {
    const char c = bytes[i];
    if (in_line_) {
      if (c != '\0' && line_length_ < kMaxLineLength) {
        line_[line_length_++] = c;
        continue;
      }
      EndLine();  // consumes the zero byte or drops the byte past the limit
      if (Complete()) return true;
    } else if (c == kStampMarker[matched_]) {
      if (++matched_ == kMarkerLength) {
        matched_ = 0;
        in_line_ = true;
        line_length_ = 0;
      }
    } else {
      matched_ = 0;
    }
  }
  return false;
}

bool StampScanner::Finish() noexcept {
  if (in_line_ && !Complete()) EndLine();
  return Complete();
}

Values StampScanner::values() const noexcept {
  Values values = {};
  for (std::size_t f = 0; f < kFieldCount; ++f) {
    if (present_[f]) values[f] = values_[f].data();
  }
  return values;
}

void StampScanner::EndLine() noexcept {
  in_line_ = false;
  const std::string_view line(line_, line_length_);
  for (std::size_t f = 0; f < kFieldCount; ++f) {
    if (!line.starts_with(kKeywords[f])) continue;
    const std::string_view value = line.substr(kKeywords[f].size());
    std::memcpy(values_[f].data(), value.data(), value.size());
    values_[f][value.size()] = '\0';
    if (!present_[f]) {
      present_[f] = true;
      ++found_;
    }
    return;
  }
}

bool ScanFile(const char* path, StampScanner* scanner) noexcept {
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path, "rb"));
  if (file == nullptr) return false;
  char block[kBlockBufferSize];
  for (;;) {
    const std::size_t n = std::fread(block, 1, sizeof block, file.get());
    if (scanner->Feed(block, n)) return true;
    if (n < sizeof block) break;  // end of file or a read error
  }
  return scanner->Finish();
}

}  // namespace parcel::version::detail
