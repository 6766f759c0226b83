// Feeds arbitrary bytes, as a file, to the version readers (the version
// resource and then the stamp scan), and the same bytes in memory to the PE
// reader, the version tree lookup and the stamp scanner; the answers of the
// different routes must agree.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "platform/pe_image.h"
#include "platform/version_tree.h"
#include "version/stamp_scan.h"
#include "version/version.h"

namespace {

using parcel::version::detail::StampScanner;
using parcel::version::detail::Values;

const char* const kKeys[] = {
    "\\StringFileInfo\\040704b0\\FileVersion", "\\StringFileInfo\\040704b0\\ProductVersion",
    "\\StringFileInfo\\040704b0\\Platform", "\\StringFileInfo\\040704b0\\SpecialBuild"};

const std::string& InputPath() {
  static const std::string path = [] {
    char name[] = "/tmp/version_fuzz_XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) std::abort();
    close(fd);
    static std::string made(name);
    std::atexit([] { std::remove(made.c_str()); });
    return made;
  }();
  return path;
}

void WriteInput(const std::uint8_t* bytes, std::size_t size) {
  std::FILE* file = std::fopen(InputPath().c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size != 0 && std::fwrite(bytes, 1, size, file) != size) std::abort();
  std::fclose(file);
}

// Calls a reader and checks all-or-nothing; `values` receives copies.
template <typename Reader>
int Ask(Reader reader, std::vector<std::string>* values) {
  char* outs[4] = {};
  const int result = reader(InputPath().c_str(), &outs[0], &outs[1], &outs[2], &outs[3]);
  if (result != 0 && result != 1) std::abort();
  for (char* out : outs) {
    if ((out != nullptr) != (result == 1)) std::abort();
    if (out != nullptr) {
      if (std::strlen(out) > 0xFFFF) std::abort();
      values->emplace_back(out);
      std::free(out);
    }
  }
  return result;
}

// Looks the four keys up in `tree` and converts what it finds.
void LookUp(std::span<const std::uint8_t> tree) {
  for (const char* key : kKeys) {
    parcel::platform::pe::TextValue text;
    if (!parcel::platform::pe::FindVersionText(tree, key, &text)) continue;
    if (text.offset > tree.size() || text.units > (tree.size() - text.offset) / 2) std::abort();
    std::vector<char> narrow(text.units + 1);
    parcel::platform::pe::WideToAnsi(tree.data() + text.offset, text.units, narrow.data());
    if (std::strlen(narrow.data()) > text.units) std::abort();
  }
}

std::vector<std::string> Strings(const Values& values) {
  std::vector<std::string> out;
  for (const char* v : values) out.emplace_back(v != nullptr ? v : "(none)");
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  // An exact-size copy, so any read past the end is caught by AddressSanitizer.
  const std::vector<std::uint8_t> input(bytes, bytes + size);

  parcel::platform::pe::ResourceRange range;
  if (parcel::platform::pe::FindVersionResource(parcel::platform::pe::MemorySource(input),
                                                &range)) {
    if (range.offset > size || range.size == 0 || range.size > size - range.offset) std::abort();
    LookUp(std::span(input.data() + range.offset, range.size));
  }
  LookUp(input);

  // The stamp scanner in one piece and split where the first byte says.
  StampScanner whole;
  whole.Feed(reinterpret_cast<const char*>(input.data()), size);
  const bool complete = whole.Finish();
  StampScanner split;
  const std::size_t at = size == 0 ? 0 : input[0] % (size + 1);
  split.Feed(reinterpret_cast<const char*>(input.data()), at);
  split.Feed(reinterpret_cast<const char*>(input.data()) + at, size - at);
  if (split.Finish() != complete || Strings(split.values()) != Strings(whole.values())) {
    std::abort();
  }
  for (const char* value : whole.values()) {
    if (value != nullptr && std::strlen(value) > parcel::version::kMaxLineLength) std::abort();
  }

  WriteInput(input.data(), size);
  std::vector<std::string> from_resource;
  std::vector<std::string> from_info;
  const int resource = Ask(ReadVersionResource, &from_resource);
  const int info = Ask(ReadVersionInfo, &from_info);
  if (resource == 1 && (info != 1 || from_info != from_resource)) std::abort();
  if (resource == 0 &&
      (info != static_cast<int>(complete) || (complete && from_info != Strings(whole.values())))) {
    std::abort();
  }
  return 0;
}
