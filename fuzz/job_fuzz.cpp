// Runs whole requests through the interpreter: the fuzzed bytes become the job
// description (and steer the file parts), wrapped in a well-formed transfer
// form so the job's XML handling, pairing and archive building are reached.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "interpreter/zip_interpreter.h"

namespace {

std::string Field(const std::string& text, std::size_t width) {
  std::string field(width, ' ');
  field.replace(0, std::min(text.size(), width), text.substr(0, width));
  return field;
}

std::string Records(const std::string& name, std::size_t size) {
  const std::string n = std::to_string(size);
  return Field("TBNM", 8) + Field(name, 40) + Field("TBLN", 8) + Field(size ? "1" : "0", 40) +
         Field("TBWD", 8) + Field(n, 40) + Field("CLWD", 8) + Field(n, 40);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  if (size < 1) return 0;
  // First byte: how many file parts (0..7); the rest is the job description.
  const int files = bytes[0] & 7;
  const std::string meta(reinterpret_cast<const char*>(bytes + 1), size - 1);
  std::string description = Field("VERS", 8) + Field("1.0", 40) + Records("META", meta.size());
  std::string data = meta;
  for (int i = 0; i < files; ++i) {
    const std::string part = std::string(std::size_t(i * 37 + 1), char('a' + i));
    description += Records("F" + std::to_string(i), part.size());
    data += part;
  }
  std::string request = "TransMagic" + std::string(6, ' ') +
                        Field(std::to_string(description.size()), 16) + Field("0", 16) +
                        description + data;
  std::vector<char> exact(request.begin(), request.end());

  ZipInterpreter* interpreter = new ZipInterpreter;
  interpreter->Init(0);
  char* response = nullptr;
  std::uint32_t length = 0;
  interpreter->Process(exact.data(), static_cast<std::uint32_t>(exact.size()), &response, &length);
  // Every run answers with a response document: at least one output record.
  if (length < 160) __builtin_trap();
  interpreter->Reset();
  interpreter->Destroy();
  return 0;
}
