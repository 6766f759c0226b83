// Feeds arbitrary bytes as a request to the container and asks every question
// of every table, as the interpreter's job would.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "data/orb_data.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size > UINT32_MAX) return 0;
  // An exact-size copy: the container writes tag bytes in place, and any read
  // past the end is caught by AddressSanitizer.
  std::vector<char> request(bytes, bytes + size);
  OrbData data;
  data.ReadTransfer(request.empty() ? nullptr : request.data(), static_cast<std::uint32_t>(size));
  const int count = data.GetTableCount();
  for (int t = -1; t <= count; ++t) {
    char* table = data.GetTableData(t);
    const std::uint64_t bytes_in_table =
        std::uint64_t(static_cast<std::uint32_t>(data.GetTableLineWidth(t))) *
        data.GetTableLineCount(t);
    if (table != nullptr && bytes_in_table > 0) {
      // Touch the first and last byte the job would read.
      volatile char first = table[0];
      volatile char last = table[bytes_in_table - 1];
      (void)first;
      (void)last;
    }
  }
  static const char* kNames[] = {"", "META", "meta", "FILE", "F", "T", "DATA", "a"};
  for (const char* name : kNames) data.FindTable(name);
  data.AppendOutput("x", 1, "text/xml", "META", nullptr);
  data.ResetOutput();
  return 0;
}
