// Feeds a packing server's assembler the messages a hostile client may send:
// single requests, "TransLarge" headers with any text, pieces of any size,
// in any order. The assembler must refuse what breaks the rules, never take
// more than its limit, and hand out exactly the bytes the pieces carried.
//
// Input: byte 0 the limit (in units of 64 bytes, 0 = 1 MiB), byte 1 the piece
// size (1 to 256; pieces are 8 MiB on the wire), then messages, each a one-
// byte length and its bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "host/ni/pack_protocol.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using parcel::host::TransferAssembler;
  if (size < 2) return 0;
  const std::uint64_t limit = data[0] == 0 ? std::uint64_t{1} << 20 : std::uint64_t{data[0]} * 64;
  const std::size_t piece = std::size_t{data[1]} + 1;
  TransferAssembler assembler(limit, piece);
  std::string expected;  // what the pieces of the transfer in progress carried
  std::size_t at = 2;
  while (at < size) {
    const std::size_t length = std::min<std::size_t>(data[at], size - at - 1);
    const std::string message(reinterpret_cast<const char*>(data + at + 1), length);
    at += 1 + length;
    const bool was_in_progress = assembler.InProgress();
    const std::uint64_t announced = assembler.expected();
    const TransferAssembler::Step step = assembler.Add(message);
    if (was_in_progress) expected += message;
    switch (step) {
      case TransferAssembler::Step::kDone: {
        const std::string got = assembler.Take();
        Check(got.size() <= limit);
        Check(was_in_progress ? got == expected && got.size() == announced : got == message);
        expected.clear();
        break;
      }
      case TransferAssembler::Step::kMore:
        Check(assembler.InProgress() && assembler.expected() <= limit);
        Check(expected.size() < assembler.expected());
        Check(was_in_progress ? message.size() == piece : message.size() == 32);
        break;
      case TransferAssembler::Step::kTooLarge:
      case TransferAssembler::Step::kMalformed:
        Check(!assembler.InProgress());
        expected.clear();
        break;
    }
  }
  return 0;
}
