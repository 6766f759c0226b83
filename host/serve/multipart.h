// multipart/form-data bodies read as they arrive: each part's name, file
// name and content go to a sink, so an upload is never held twice while it is
// being received.
#ifndef PARCEL_HOST_SERVE_MULTIPART_H_
#define PARCEL_HOST_SERVE_MULTIPART_H_

#include <string>
#include <string_view>

namespace parcel::host {

// Receives the parts of a body in order.
class MultipartSink {
 public:
  virtual ~MultipartSink() = default;
  // A part begins; `file_name` is empty for a text field. False stops the
  // parse (the sink keeps its reason).
  virtual bool BeginPart(std::string_view field, std::string_view file_name) = 0;
  // More content of the current part. False stops the parse.
  virtual bool AddContent(std::string_view bytes) = 0;
};

// Sets `*boundary` from a Content-Type value "multipart/form-data;
// boundary=..." (the boundary token or quoted string, 1 to 70 bytes). False
// for another media type; true with an empty boundary for multipart/form-data
// without a usable one.
bool MultipartBoundary(std::string_view content_type, std::string* boundary);

class MultipartParser {
 public:
  enum class Result {
    kMore,       // every byte so far is consumed; the body goes on
    kDone,       // the closing delimiter was read; the rest is ignored
    kMalformed,  // the body is no multipart/form-data body with this boundary
    kRefused,    // the sink returned false
  };

  // Requires: boundary is not empty.
  explicit MultipartParser(std::string_view boundary);

  // Parses the next bytes of the body. The first result other than kMore
  // sticks. Holds at most one part head, or the length of a delimiter, of
  // bytes between calls.
  Result Feed(std::string_view bytes, MultipartSink& sink);

  // The body ended: kDone after the closing delimiter, kMalformed otherwise
  // (cut short, or no part at all).
  Result Finish() const;

 private:
  enum class State {
    kPreamble,        // before the first delimiter
    kAfterDelimiter,  // "--" ends the body, CRLF begins a part
    kPartHead,        // header lines of a part until an empty line
    kContent,         // content until the next delimiter
    kDone,
    kFailed,
  };

  // One step on the unparsed bytes `rest`; adds the bytes it consumed to *at.
  Result Step(std::string_view rest, MultipartSink& sink, std::size_t* at);
  Result BeginPart(std::string_view head, MultipartSink& sink);

  std::string delimiter_;  // CRLF "--" boundary
  State state_ = State::kPreamble;
  Result failure_ = Result::kMore;
  std::string pending_;  // bytes not parsed yet
  std::size_t parts_ = 0;
};

}  // namespace parcel::host

#endif  // PARCEL_HOST_SERVE_MULTIPART_H_
