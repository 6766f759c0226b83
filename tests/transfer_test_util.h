// Test helpers that spell out requests in the transfer form field by field,
// independently of the host's request builder.
#ifndef PARCEL_TESTS_TRANSFER_TEST_UTIL_H_
#define PARCEL_TESTS_TRANSFER_TEST_UTIL_H_

#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace parcel::testing {

// A blank-padded field of `width` bytes (the text is cut when longer).
inline std::string Field(std::string_view text, std::size_t width) {
  std::string field(width, ' ');
  std::memcpy(field.data(), text.data(), std::min(text.size(), width));
  return field;
}

// One 48-byte description record.
inline std::string Rec(std::string_view tag, std::string_view value) {
  return Field(tag, 8) + Field(value, 40);
}

// The 48-byte request header for a description of `description_length` bytes.
inline std::string Header(std::string_view description_length, std::string_view raw = "0") {
  return "TransMagic" + std::string(6, ' ') + Field(description_length, 16) + Field(raw, 16);
}

// A whole request: header, the records, then `data`.
inline std::string Request(const std::vector<std::string>& records, std::string_view data) {
  std::string description;
  for (const auto& r : records) description += r;
  return Header(std::to_string(description.size())) + description + std::string(data);
}

// Records of one table with a single column.
inline std::vector<std::string> TableRecords(std::string_view name, std::size_t lines,
                                             std::size_t width) {
  return {Rec("TBNM", name),
          Rec("TBLN", std::to_string(lines)),
          Rec("TBWD", std::to_string(width)),
          Rec("TBCL", "1"),
          Rec("CLNM", "DATA"),
          Rec("CLWD", std::to_string(width))};
}

// A request of tables given as (name, bytes), each one line wide.
inline std::string RequestOf(const std::vector<std::pair<std::string, std::string>>& tables) {
  std::vector<std::string> records = {Rec("VERS", "1.0")};
  std::string data;
  for (const auto& [name, bytes] : tables) {
    auto table = TableRecords(name, bytes.empty() ? 0 : 1, bytes.size());
    records.insert(records.end(), table.begin(), table.end());
    data += bytes;
  }
  return Request(records, data);
}

}  // namespace parcel::testing

#endif  // PARCEL_TESTS_TRANSFER_TEST_UTIL_H_
