// multipart/form-data parsing.
#include "host/serve/multipart.h"

#include <algorithm>

#include "host/serve/http_message.h"

namespace parcel::host {
namespace {

constexpr std::size_t kMaxBoundary = 70;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

void SkipSpace(std::string_view text, std::size_t* at) {
  while (*at < text.size() && (text[*at] == ' ' || text[*at] == '\t')) ++*at;
}

// Reads the parameters after a media type or disposition type:
// `; name=value` or `; name="value"`, calling visit(name, value) for each.
// Quoted values are taken as they stand between the quotes: browsers write a
// quote inside a file name as %22 and never escape a backslash, which is a
// path separator in names from Windows. False when the text is malformed.
template <typename F>
bool ForEachParameter(std::string_view text, std::size_t at, F&& visit) {
  for (;;) {
    SkipSpace(text, &at);
    if (at == text.size()) return true;
    if (text[at] != ';') return false;
    ++at;
    SkipSpace(text, &at);
    if (at == text.size()) return true;
    const std::size_t equals = text.find('=', at);
    if (equals == std::string_view::npos) return false;
    std::string_view name = text.substr(at, equals - at);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t')) name.remove_suffix(1);
    at = equals + 1;
    SkipSpace(text, &at);
    std::string_view value;
    if (at < text.size() && text[at] == '"') {
      const std::size_t close = text.find('"', at + 1);
      if (close == std::string_view::npos) return false;
      value = text.substr(at + 1, close - at - 1);
      at = close + 1;
    } else {
      std::size_t end = text.find(';', at);
      if (end == std::string_view::npos) end = text.size();
      value = text.substr(at, end - at);
      while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) {
        value.remove_suffix(1);
      }
      at = end;
    }
    visit(name, value);
  }
}

}  // namespace

bool MultipartBoundary(std::string_view content_type, std::string* boundary) {
  boundary->clear();
  const std::size_t semicolon = std::min(content_type.find(';'), content_type.size());
  std::string_view type = content_type.substr(0, semicolon);
  while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.remove_suffix(1);
  while (!type.empty() && (type.front() == ' ' || type.front() == '\t')) type.remove_prefix(1);
  if (!EqualsIgnoringCase(type, "multipart/form-data")) return false;
  std::string found;
  const bool well_formed = ForEachParameter(content_type, semicolon, [&](auto name, auto value) {
    if (EqualsIgnoringCase(name, "boundary")) found = std::string(value);
  });
  if (well_formed && !found.empty() && found.size() <= kMaxBoundary) *boundary = found;
  return true;
}

MultipartParser::MultipartParser(std::string_view boundary)
    // The body's first delimiter may come without the line break before it:
    // one is put in front, so every delimiter looks alike.
    : delimiter_("\r\n--" + std::string(boundary)), pending_("\r\n") {}

MultipartParser::Result MultipartParser::Feed(std::string_view bytes, MultipartSink& sink) {
  if (state_ == State::kFailed) return failure_;
  if (state_ == State::kDone) return Result::kDone;
  pending_.append(bytes);
  std::size_t at = 0;
  Result result = Result::kMore;
  for (;;) {
    const std::size_t before = at;
    result = Step(std::string_view(pending_).substr(at), sink, &at);
    if (result != Result::kMore || at == before) break;
  }
  pending_.erase(0, at);
  if (result == Result::kMalformed || result == Result::kRefused) {
    state_ = State::kFailed;
    failure_ = result;
    std::string().swap(pending_);
  }
  return result;
}

MultipartParser::Result MultipartParser::Step(std::string_view rest, MultipartSink& sink,
                                              std::size_t* at) {
  switch (state_) {
    case State::kPreamble:
    case State::kContent: {
      const std::size_t found = rest.find(delimiter_);
      // Content that cannot be the start of a delimiter is passed on now.
      const std::size_t safe = found != std::string_view::npos ? found
                               : rest.size() >= delimiter_.size()
                                   ? rest.size() - (delimiter_.size() - 1)
                                   : 0;
      if (state_ == State::kContent && safe > 0 && !sink.AddContent(rest.substr(0, safe))) {
        return Result::kRefused;
      }
      *at += safe;
      if (found != std::string_view::npos) {
        *at += delimiter_.size();
        state_ = State::kAfterDelimiter;
      }
      return Result::kMore;
    }
    case State::kAfterDelimiter: {
      if (rest.size() < 2) return Result::kMore;
      if (rest.substr(0, 2) == "--") {
        state_ = State::kDone;
        return parts_ == 0 ? Result::kMalformed : Result::kDone;
      }
      // Transport padding, then a line break.
      std::size_t i = 0;
      while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t')) ++i;
      if (i == rest.size()) return i > kMaxHeadBytes ? Result::kMalformed : Result::kMore;
      if (rest.substr(i, 2) == "\r\n") {
        *at += i + 2;
      } else if (rest[i] == '\r' && i + 1 == rest.size()) {
        return Result::kMore;
      } else {
        return Result::kMalformed;
      }
      state_ = State::kPartHead;
      return Result::kMore;
    }
    case State::kPartHead: {
      const std::size_t end = rest.find("\r\n\r\n");
      if (rest.substr(0, 2) == "\r\n") return Result::kMalformed;  // a part without fields
      if (end == std::string_view::npos) {
        return rest.size() > kMaxHeadBytes ? Result::kMalformed : Result::kMore;
      }
      const Result begun = BeginPart(rest.substr(0, end + 2), sink);
      if (begun != Result::kMore) return begun;
      *at += end + 4;
      state_ = State::kContent;
      return Result::kMore;
    }
    case State::kDone: return Result::kDone;
    case State::kFailed:
    default: return failure_;
  }
}

MultipartParser::Result MultipartParser::BeginPart(std::string_view head, MultipartSink& sink) {
  bool disposition = false, named = false;
  std::string field, file_name;
  std::size_t at = 0;
  while (at < head.size()) {
    const std::size_t end = head.find("\r\n", at);
    const std::string_view line = head.substr(at, end - at);
    at = end + 2;
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return Result::kMalformed;
    if (!EqualsIgnoringCase(line.substr(0, colon), "content-disposition")) continue;
    std::size_t value_at = colon + 1;
    SkipSpace(line, &value_at);
    const std::size_t type_end = std::min(line.find(';', value_at), line.size());
    std::string_view type = line.substr(value_at, type_end - value_at);
    while (!type.empty() && type.back() == ' ') type.remove_suffix(1);
    if (!EqualsIgnoringCase(type, "form-data")) return Result::kMalformed;
    disposition = true;
    if (!ForEachParameter(line, type_end, [&](auto name, auto value) {
          if (EqualsIgnoringCase(name, "name")) {
            named = true;
            field = std::string(value);
          } else if (EqualsIgnoringCase(name, "filename")) {
            file_name = std::string(value);
          }
        })) {
      return Result::kMalformed;
    }
  }
  if (!disposition || !named) return Result::kMalformed;
  ++parts_;
  return sink.BeginPart(field, file_name) ? Result::kMore : Result::kRefused;
}

MultipartParser::Result MultipartParser::Finish() const {
  if (state_ == State::kFailed) return failure_;
  return state_ == State::kDone && parts_ > 0 ? Result::kDone : Result::kMalformed;
}

}  // namespace parcel::host
