// Packing over the network library: how a request and its answer, both in
// the transfer form, travel on a buffered NI connection.
//
// A request or answer of at most kMaxMessage bytes travels as one message,
// its bytes as they are. A larger one travels as a header message of
// kLargeHeaderSize bytes, "TransLarge" and blanks to 16 bytes, then its size
// in decimal and blanks to 32 bytes, followed by messages of kMaxMessage
// bytes (the last one the rest) whose bytes, put together, are the request
// or answer. A transfer-form request starts with "TransMagic", so the two
// never mix up.
#ifndef PARCEL_HOST_NI_PACK_PROTOCOL_H_
#define PARCEL_HOST_NI_PACK_PROTOCOL_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "ni/ni.h"

namespace parcel::host {

// The buffered layer's longest message.
inline constexpr std::size_t kMaxMessage = std::size_t{8} << 20;
inline constexpr char kLargeMagic[] = "TransLarge";
inline constexpr std::size_t kLargeHeaderSize = 32;
// Longest answer a client takes: the largest archive with its records.
inline constexpr std::uint64_t kMaxAnswer = (std::uint64_t{1} << 31) + (std::uint64_t{1} << 20);

// The component named in the error information of the server's error
// reports, which tells them from the client's own failures.
inline constexpr char kServerComponent[] = "parcel-host serve";

// The header message announcing a transfer of `size` bytes.
std::string LargeHeader(std::uint64_t size);

// True when `message` starts as a header message does.
bool IsLargeHeader(std::string_view message);

// Milliseconds from now until `deadline`, 0 when it has passed.
int MillisecondsUntil(std::chrono::steady_clock::time_point deadline);

// Sends `data` on the buffered handle `handle`: one message, or a header
// and pieces. Each piece is written with `timeout`; a write that ends with
// NIETIMEOUT before that time has passed (the library's fragmentation test
// ends calls early on purpose) is tried again. The queue of the handle
// must take as many messages as the transfer needs unless the timeout waits
// (PiecesOf). An NI code.
int SendTransfer(NI_HANDLE handle, std::string_view data, int timeout);

// Messages a transfer of `size` bytes takes.
std::size_t PiecesOf(std::uint64_t size);

// Puts a request or an answer together from the messages that carry it.
class TransferAssembler {
 public:
  enum class Step {
    kMore,       // the transfer goes on
    kDone,       // Take() has it
    kTooLarge,   // announced beyond the limit: the stream cannot go on
    kMalformed,  // a header that is no header: the stream cannot go on
  };

  // `limit`: the largest transfer taken; `piece`: the size of every piece
  // but the last (kMaxMessage on the wire; smaller in tests).
  explicit TransferAssembler(std::uint64_t limit, std::size_t piece = kMaxMessage)
      : limit_(limit), piece_(piece) {}

  // Takes the next message. After kTooLarge or kMalformed the assembler is
  // empty again.
  Step Add(std::string_view message);
  // The assembled transfer; the assembler is empty afterwards.
  std::string Take();
  // True while a large transfer is being put together.
  bool InProgress() const { return expected_ != 0; }
  // Size the header announced (0 when none is in progress).
  std::uint64_t expected() const { return expected_; }

 private:
  std::uint64_t limit_;
  std::size_t piece_;
  std::uint64_t expected_ = 0;
  std::string data_;
  bool done_ = false;
};

}  // namespace parcel::host

#endif  // PARCEL_HOST_NI_PACK_PROTOCOL_H_
