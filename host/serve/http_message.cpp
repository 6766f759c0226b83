// HTTP/1.1 request heads, body framing and ranges.
#include "host/serve/http_message.h"

#include <algorithm>
#include <cstdio>

#include "platform/utc_time.h"

namespace parcel::host {
namespace {

constexpr std::uint64_t kMaxUint64 = ~std::uint64_t{0};

bool IsTokenChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '!':
    case '#':
    case '$':
    case '%':
    case '&':
    case '\'':
    case '*':
    case '+':
    case '-':
    case '.':
    case '^':
    case '_':
    case '`':
    case '|':
    case '~': return true;
    default: return false;
  }
}

bool IsToken(std::string_view text) {
  if (text.empty()) return false;
  for (char c : text) {
    if (!IsTokenChar(c)) return false;
  }
  return true;
}

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string LowerCase(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = Lower(c);
  return out;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decimal digits only, at least one; values past 2^64 - 1 saturate.
bool ParseDecimal(std::string_view text, std::uint64_t* value, bool* overflow) {
  if (text.empty()) return false;
  std::uint64_t v = 0;
  *overflow = false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    const auto digit = static_cast<std::uint64_t>(c - '0');
    if (v > (kMaxUint64 - digit) / 10) {
      *overflow = true;
      v = kMaxUint64;
    } else if (!*overflow) {
      v = v * 10 + digit;
    }
  }
  *value = v;
  return true;
}

// Each comma-separated element of a list field, trimmed, empty ones dropped.
template <typename F>
void ForEachListElement(std::string_view value, F&& visit) {
  std::size_t at = 0;
  while (at <= value.size()) {
    std::size_t end = value.find(',', at);
    if (end == std::string_view::npos) end = value.size();
    std::string_view element = Trim(value.substr(at, end - at));
    if (!element.empty()) visit(element);
    at = end + 1;
  }
}

// The line of `text` from `at` to the next LF, without the LF and an optional
// CR before it; `*next` is the index after the LF. False without an LF.
bool NextLine(std::string_view text, std::size_t at, std::string_view* line, std::size_t* next) {
  const std::size_t lf = text.find('\n', at);
  if (lf == std::string_view::npos) return false;
  std::size_t end = lf;
  if (end > at && text[end - 1] == '\r') --end;
  *line = text.substr(at, end - at);
  *next = lf + 1;
  return true;
}

}  // namespace

const std::string* HttpRequest::Header(std::string_view name) const {
  for (const auto& [field, value] : headers) {
    if (field == name) return &value;
  }
  return nullptr;
}

std::size_t HttpRequest::HeaderCount(std::string_view name) const {
  std::size_t n = 0;
  for (const auto& field : headers) n += field.first == name ? 1 : 0;
  return n;
}

RequestHeadParser::Result RequestHeadParser::Fail(int status, std::string message) {
  status_ = status;
  message_ = std::move(message);
  return Result::kError;
}

RequestHeadParser::Result RequestHeadParser::Parse(std::string_view bytes) {
  if (status_ != 0) return Result::kError;
  std::size_t at = scanned_;
  for (;;) {
    std::string_view line;
    std::size_t next = 0;
    if (!NextLine(bytes, at, &line, &next)) {
      if (bytes.size() > kMaxHeadBytes) return Fail(431, "the request head is too large");
      scanned_ = at;
      return Result::kNeedMore;
    }
    if (next > kMaxHeadBytes) return Fail(431, "the request head is too large");
    if (line.empty()) {
      if (head_start_ != std::string_view::npos) {
        consumed_ = next;
        return Finish(bytes.substr(head_start_, at - head_start_));
      }
      // An empty line before the request line, left over from a previous
      // request's body: skipped.
    } else if (head_start_ == std::string_view::npos) {
      head_start_ = at;
    }
    at = next;
  }
}

RequestHeadParser::Result RequestHeadParser::Finish(std::string_view head) {
  HttpRequest& r = request_;
  std::size_t at = 0;
  std::string_view line;
  std::size_t next = 0;
  bool first = true;
  while (at < head.size() && NextLine(head, at, &line, &next)) {
    at = next;
    for (char c : line) {
      auto byte = static_cast<unsigned char>(c);
      if ((byte < 0x20 && c != '\t') || byte == 0x7f) {
        return Fail(400, "the request head holds a control character");
      }
    }
    if (first) {
      first = false;
      const std::size_t sp1 = line.find(' ');
      const std::size_t sp2 = sp1 == std::string_view::npos ? sp1 : line.find(' ', sp1 + 1);
      if (sp2 == std::string_view::npos || line.find(' ', sp2 + 1) != std::string_view::npos) {
        return Fail(400, "the request line is malformed");
      }
      r.method = std::string(line.substr(0, sp1));
      r.target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
      const std::string_view version = line.substr(sp2 + 1);
      if (!IsToken(r.method) || r.target.empty()) return Fail(400, "the request line is malformed");
      if (version == "HTTP/1.1") {
        r.minor_version = 1;
      } else if (version == "HTTP/1.0") {
        r.minor_version = 0;
      } else if (version.size() == 8 && version.substr(0, 5) == "HTTP/" && version[6] == '.') {
        return Fail(505, "this server speaks HTTP/1.1 and HTTP/1.0");
      } else {
        return Fail(400, "the request line is malformed");
      }
      continue;
    }
    if (line.front() == ' ' || line.front() == '\t') {
      return Fail(400, "a header field is folded over lines");
    }
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos || !IsToken(line.substr(0, colon))) {
      return Fail(400, "a header field is malformed");
    }
    if (r.headers.size() >= kMaxHeaderFields) return Fail(431, "the request has too many fields");
    r.headers.emplace_back(LowerCase(line.substr(0, colon)),
                           std::string(Trim(line.substr(colon + 1))));
  }

  // The target: origin form, or absolute form reduced to its path.
  std::string_view target = r.target;
  for (std::string_view scheme : {"http://", "https://"}) {
    if (target.size() > scheme.size() &&
        EqualsIgnoringCase(target.substr(0, scheme.size()), scheme)) {
      const std::size_t slash = target.find('/', scheme.size());
      target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
    }
  }
  if (target.front() != '/') return Fail(400, "the request target is not a path");
  if (!PercentDecode(target.substr(0, target.find_first_of("?#")), &r.path)) {
    return Fail(400, "the request target holds a bad percent escape");
  }

  if (r.minor_version == 1 && r.HeaderCount("host") != 1) {
    return Fail(400, "an HTTP/1.1 request needs exactly one Host field");
  }

  const std::size_t lengths = r.HeaderCount("content-length");
  const std::size_t encodings = r.HeaderCount("transfer-encoding");
  if (lengths > 1) return Fail(400, "the request holds more than one Content-Length");
  if (lengths == 1 && encodings > 0) {
    return Fail(400, "the request holds both Content-Length and Transfer-Encoding");
  }
  if (lengths == 1) {
    std::uint64_t length = 0;
    bool overflow = false;
    if (!ParseDecimal(*r.Header("content-length"), &length, &overflow) || overflow) {
      return Fail(400, "the Content-Length is not a length");
    }
    r.content_length = length;
  }
  if (encodings > 0) {
    std::vector<std::string> codings;
    for (const auto& [field, value] : r.headers) {
      if (field == "transfer-encoding") {
        ForEachListElement(value, [&](std::string_view e) { codings.push_back(LowerCase(e)); });
      }
    }
    if (codings.size() != 1 || codings[0] != "chunked") {
      return Fail(501, "the only transfer coding this server reads is chunked");
    }
    if (r.minor_version == 0) return Fail(400, "an HTTP/1.0 request cannot be chunked");
    r.chunked = true;
  }

  bool close = false, keep_alive = false;
  for (const auto& [field, value] : r.headers) {
    if (field == "connection") {
      ForEachListElement(value, [&](std::string_view option) {
        close |= EqualsIgnoringCase(option, "close");
        keep_alive |= EqualsIgnoringCase(option, "keep-alive");
      });
    } else if (field == "expect" && r.minor_version == 1) {
      r.expect_continue |= EqualsIgnoringCase(value, "100-continue");
    }
  }
  r.keep_alive = !close && (r.minor_version == 1 || keep_alive);
  return Result::kDone;
}

BodyDecoder BodyDecoder::WithLength(std::uint64_t length) {
  BodyDecoder decoder;
  decoder.state_ = length == 0 ? State::kDone : State::kLength;
  decoder.left_ = length;
  return decoder;
}

BodyDecoder BodyDecoder::Chunked() {
  BodyDecoder decoder;
  decoder.state_ = State::kChunkSize;
  return decoder;
}

BodyDecoder::Result BodyDecoder::Decode(std::string_view in, std::string_view* content,
                                        std::size_t* used) {
  *content = {};
  *used = 0;
  std::size_t at = 0;
  while (state_ != State::kDone) {
    if (state_ == State::kLength || state_ == State::kChunkData) {
      const std::uint64_t take = std::min<std::uint64_t>(left_, in.size() - at);
      if (take == 0) break;
      *content = in.substr(at, static_cast<std::size_t>(take));
      at += static_cast<std::size_t>(take);
      left_ -= take;
      decoded_ += take;
      if (left_ == 0) state_ = state_ == State::kLength ? State::kDone : State::kChunkEnd;
      break;  // one piece of content per call
    }
    // A line: chunk size, the CRLF after a chunk, or a trailer field.
    const std::size_t lf = in.find('\n', at);
    const std::size_t end = lf == std::string_view::npos ? in.size() : lf;
    line_.append(in.substr(at, end - at));
    at = lf == std::string_view::npos ? in.size() : lf + 1;
    if (line_.size() > kMaxHeadBytes) return Result::kError;
    if (lf == std::string_view::npos) break;
    std::string_view line = line_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find('\r') != std::string_view::npos) return Result::kError;
    switch (state_) {
      case State::kChunkSize: {
        std::size_t digits = 0;
        std::uint64_t size = 0;
        while (digits < line.size() && HexValue(line[digits]) >= 0) {
          if (digits == 16) return Result::kError;
          size = size * 16 + static_cast<std::uint64_t>(HexValue(line[digits]));
          ++digits;
        }
        const std::string_view rest = Trim(line.substr(digits));
        if (digits == 0 || (!rest.empty() && rest.front() != ';')) return Result::kError;
        left_ = size;
        state_ = size == 0 ? State::kTrailer : State::kChunkData;
        break;
      }
      case State::kChunkEnd:
        if (!line.empty()) return Result::kError;
        state_ = State::kChunkSize;
        break;
      case State::kTrailer:
        // Trailer fields are read and dropped; the server uses none.
        left_ += line.size();
        if (left_ > kMaxHeadBytes) return Result::kError;
        if (line.empty()) state_ = State::kDone;
        break;
      case State::kLength:
      case State::kChunkData:
      case State::kDone:
      default: break;
    }
    line_.clear();
  }
  *used = at;
  return state_ == State::kDone ? Result::kDone : Result::kNeedMore;
}

RangeAnswer ResolveRange(std::string_view value, std::uint64_t size) {
  RangeAnswer answer;
  value = Trim(value);
  const std::size_t equals = value.find('=');
  if (equals == std::string_view::npos ||
      !EqualsIgnoringCase(Trim(value.substr(0, equals)), "bytes")) {
    return answer;
  }
  std::vector<std::string_view> ranges;
  ForEachListElement(value.substr(equals + 1), [&](std::string_view r) { ranges.push_back(r); });
  if (ranges.size() != 1) return answer;
  const std::string_view range = ranges[0];
  const std::size_t dash = range.find('-');
  if (dash == std::string_view::npos) return answer;
  const std::string_view first_text = Trim(range.substr(0, dash));
  const std::string_view last_text = Trim(range.substr(dash + 1));
  std::uint64_t first = 0, last = 0;
  bool overflow = false;
  if (first_text.empty()) {
    // A suffix: the last `last` bytes.
    if (!ParseDecimal(last_text, &last, &overflow)) return answer;
    if (last == 0 || size == 0) {
      answer.kind = RangeAnswer::kUnsatisfiable;
      return answer;
    }
    answer.kind = RangeAnswer::kPart;
    answer.range.length = std::min(last, size);
    answer.range.first = size - answer.range.length;
    return answer;
  }
  if (!ParseDecimal(first_text, &first, &overflow)) return answer;
  if (last_text.empty()) {
    last = kMaxUint64;
  } else if (!ParseDecimal(last_text, &last, &overflow) || last < first) {
    return answer;
  }
  if (first >= size) {
    answer.kind = RangeAnswer::kUnsatisfiable;
    return answer;
  }
  answer.kind = RangeAnswer::kPart;
  answer.range.first = first;
  answer.range.length = std::min(last, size - 1) - first + 1;
  return answer;
}

bool PercentDecode(std::string_view text, std::string* out) {
  out->clear();
  out->reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      *out += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    const int high = HexValue(text[i + 1]);
    const int low = HexValue(text[i + 2]);
    if (high < 0 || low < 0 || (high == 0 && low == 0)) return false;
    *out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return true;
}

std::string PercentEncode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      const auto byte = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 15];
    }
  }
  return out;
}

std::string HttpDate(std::time_t seconds) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm utc{};
  if (!platform::UtcTime(seconds, &utc) || utc.tm_wday < 0 || utc.tm_wday > 6 || utc.tm_mon < 0 ||
      utc.tm_mon > 11) {
    return "Thu, 01 Jan 1970 00:00:00 GMT";
  }
  char text[40];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[utc.tm_wday],
                utc.tm_mday, kMonths[utc.tm_mon], utc.tm_year + 1900, utc.tm_hour, utc.tm_min,
                utc.tm_sec);
  return text;
}

const char* ReasonPhrase(int status) {
  switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 206: return "Partial Content";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Content Too Large";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    case 507: return "Insufficient Storage";
    default: return "Unknown";
  }
}

}  // namespace parcel::host
