// Feeds arbitrary bytes to the error information as a peer's record, then
// reads every field, replaces fields and produces the transfer form, checking
// after each step that the store still holds a whole record or none.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "errinfo/errinfo.h"
#include "runtime/trace.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// The store holds nothing, or a record that readers can walk: within the
// area, ending with "*ERR*" and its NUL.
void CheckStore() {
  const char* area = nullptr;
  int length = -1;
  const int rc = ErrGetRecord(&area, &length);
  Check(rc == 0 || rc == -2);
  Check(length >= 0 && length <= parcel::errinfo::kErrInfoSize);
  Check((rc == 0) == (length > 0));
  if (length == 0) return;
  Check(std::memcmp(area, "*ERR*", 5) == 0);
  Check(std::memcmp(area + length - 6, "*ERR*", 6) == 0);
  for (int i = -2; i < 24; ++i) {
    const char* field = ErrGetFld(i);
    if (*field == '\0') continue;
    // Every non-empty field lies inside the stored bytes, NUL included.
    Check(field >= area && field + std::strlen(field) < area + length);
  }
}

// ErrReplace for a text field: called through a pointer, since the value is
// no format there and the compiler's check would flag a non-literal.
int ReplaceText(int index, const char* value) {
  int (*replace)(int, const char*, ...) noexcept = ErrReplace;
  return replace(index, value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  static std::FILE* sink = std::fopen("/dev/null", "wb");
  if (size > 4096) return 0;
  trcHandle = sink;
  trcLevel = (size % 3 == 0 && sink != nullptr) ? 2 : 0;
  trcStampMode = 0;

  // Exact-size copy: a read past the received bytes is caught.
  std::vector<char> data(bytes, bytes + size);
  ErrCpNetToInt(data.empty() ? nullptr : data.data(), static_cast<int>(size));
  CheckStore();

  // Texts for the replacements come from the same bytes.
  const std::string text(data.begin(), data.end());
  const char* value = text.c_str();  // up to the first NUL
  for (int index = -1; index <= 21; ++index) {
    switch (index) {
      case 2:
      case 9:
      case 15:
      case 16:
      case 18: ErrReplace(index, "%s|%.3s", value, value); break;
      case 3:
      case 12:
      case 14: ErrReplace(index, "%d", static_cast<int>(size) - 7); break;
      default: ReplaceText(index, value); break;
    }
    CheckStore();
  }

  char net[600];
  int length = -1;
  const int net_size = static_cast<int>(size % sizeof net);
  const int rc = ErrGetNetForm(net, &length, net_size);
  Check(rc == 0 || rc == -8);
  Check(length >= 0 && length <= net_size);
  for (int i = 0; i < length; ++i) Check(static_cast<unsigned char>(net[i]) < 128);
  if (rc == 0 && length > 0) {
    Check(ErrCpNetToInt(net, length) == 0);
    CheckStore();
  }

  const char* area = nullptr;
  int stored = 0;
  if (ErrGetRecord(&area, &stored) == 0) {
    // The record copied onto itself stays stored, with or without its new counter.
    const int copied = ErrCpTo(area, stored);
    Check(copied == 0 || copied == -1);
    CheckStore();
    Check(ErrHasInfo());
  }
  return 0;
}
