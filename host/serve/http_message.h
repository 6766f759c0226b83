// HTTP/1.1 messages for the serve host: the request head parsed from bytes as
// they arrive, the body's framing (a declared length or chunks) decoded
// incrementally, byte ranges, and the texts of response heads. Independent of
// sockets, so every rule here is tested on byte strings.
#ifndef PARCEL_HOST_SERVE_HTTP_MESSAGE_H_
#define PARCEL_HOST_SERVE_HTTP_MESSAGE_H_

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace parcel::host {

// Largest request head (request line and header fields) the server reads.
inline constexpr std::size_t kMaxHeadBytes = 16 * 1024;
// Most header fields in one request head.
inline constexpr std::size_t kMaxHeaderFields = 100;

struct HttpRequest {
  std::string method;  // as sent (methods are case-sensitive)
  std::string target;  // the request target as sent
  std::string path;    // the target's path, percent-decoded
  int minor_version = 1;
  // Field names in lower case; values without surrounding white space, in
  // the order sent.
  std::vector<std::pair<std::string, std::string>> headers;

  // Framing: a declared length, chunks, or no body.
  std::optional<std::uint64_t> content_length;
  bool chunked = false;
  bool keep_alive = true;        // the connection may carry another request afterwards
  bool expect_continue = false;  // "Expect: 100-continue"

  // The value of the first field `name` (lower case); null without one.
  const std::string* Header(std::string_view name) const;
  // How many fields are named `name` (lower case).
  std::size_t HeaderCount(std::string_view name) const;
  bool has_body() const { return chunked || content_length.value_or(0) > 0; }
};

// Reads one request head from bytes as they come.
class RequestHeadParser {
 public:
  enum class Result {
    kNeedMore,  // the head is incomplete; call again with more bytes
    kDone,      // `request()` holds the head; `consumed()` bytes belonged to it
    kError,     // `status()` and `message()` say why; the connection cannot go on
  };

  // Parses `bytes`, which hold everything received since the head began
  // (the parser keeps no copy; pass the whole buffer again with more).
  // Empty lines before the request line are skipped (RFC 9112 2.2). Errors:
  //   400 a malformed request line or field, a field name with white space
  //       before its colon, a folded line, a bare CR, a missing Host in
  //       HTTP/1.1, a malformed, negative, overflowing or repeated
  //       Content-Length, Content-Length beside Transfer-Encoding, a target
  //       that is not a path or has a bad percent escape;
  //   431 a head larger than kMaxHeadBytes or with more than kMaxHeaderFields;
  //   501 a Transfer-Encoding other than "chunked";
  //   505 an HTTP version other than 1.0 and 1.1.
  Result Parse(std::string_view bytes);

  const HttpRequest& request() const { return request_; }
  HttpRequest TakeRequest() { return std::move(request_); }
  std::size_t consumed() const { return consumed_; }
  int status() const { return status_; }
  const std::string& message() const { return message_; }

 private:
  Result Fail(int status, std::string message);
  Result Finish(std::string_view head);

  HttpRequest request_;
  std::size_t consumed_ = 0;
  std::size_t scanned_ = 0;                          // bytes already searched for the head's end
  std::size_t head_start_ = std::string_view::npos;  // where the request line begins
  int status_ = 0;
  std::string message_;
};

// Decodes a request body's framing: a declared length, or chunks (sizes,
// extensions and trailers dropped). Bytes of the next request stay unread.
class BodyDecoder {
 public:
  enum class Result { kNeedMore, kDone, kError };

  // A body of `length` bytes.
  static BodyDecoder WithLength(std::uint64_t length);
  // A chunked body.
  static BodyDecoder Chunked();

  // Decodes from `in`: appends what belongs to the body's content to
  // `*content` (cleared first) and sets `*used` to the bytes of `in` taken.
  // kDone once the body ended; kError for a malformed chunk size (not hex,
  // more than 16 digits), a missing CRLF after a chunk, or a chunk line or
  // trailer field longer than kMaxHeadBytes.
  Result Decode(std::string_view in, std::string_view* content, std::size_t* used);

  // Content bytes decoded so far.
  std::uint64_t decoded() const { return decoded_; }

 private:
  enum class State {
    kLength,     // counting down `left_` bytes of a declared length
    kChunkSize,  // reading a chunk-size line
    kChunkData,  // `left_` bytes of the current chunk
    kChunkEnd,   // the CRLF after a chunk's data
    kTrailer,    // trailer fields until an empty line
    kDone,
  };

  State state_ = State::kLength;
  std::uint64_t left_ = 0;
  std::uint64_t decoded_ = 0;
  std::string line_;  // a chunk-size or trailer line split between calls
};

// A byte range of a representation of `size` bytes, resolved.
struct ByteRange {
  std::uint64_t first = 0;
  std::uint64_t length = 0;
};

// What a Range field asks of a representation of `size` bytes.
struct RangeAnswer {
  enum Kind {
    kWhole,          // answer 200 with everything: no Range, a Range that is
                     // not bytes or malformed, or several ranges
    kPart,           // answer 206 with `range`
    kUnsatisfiable,  // answer 416 with "Content-Range: bytes */size"
  };
  Kind kind = kWhole;
  ByteRange range;
};

// Resolves a Range field value ("bytes=0-99", "bytes=-500", "bytes=9500-")
// against `size`. One satisfiable range gives kPart (clipped to the end); a
// single range that starts at or past the end (or a suffix of length 0) gives
// kUnsatisfiable; several ranges give kWhole, which RFC 9110 permits and
// which avoids multipart answers; anything malformed is ignored (kWhole).
RangeAnswer ResolveRange(std::string_view value, std::uint64_t size);

// Percent-decodes `text` into `*out`. False for a '%' not followed by two
// hex digits, or an escape that decodes to NUL.
bool PercentDecode(std::string_view text, std::string* out);

// `text` with every byte outside RFC 3986's unreserved set as %XX, so any
// entry name fits in a header field.
std::string PercentEncode(std::string_view text);

// The IMF-fixdate of `seconds` since 1970 ("Sun, 06 Nov 1994 08:49:37 GMT"),
// for the Date field.
std::string HttpDate(std::time_t seconds);

// The reason phrase of `status` ("Not Found"); "Unknown" for others.
const char* ReasonPhrase(int status);

}  // namespace parcel::host

#endif  // PARCEL_HOST_SERVE_HTTP_MESSAGE_H_
