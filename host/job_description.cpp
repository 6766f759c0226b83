// Job description writing and response document reading.
#include "host/job_description.h"

#include <charconv>
#include <optional>

namespace parcel::host {
namespace {

// The value of attribute `name` inside the start tag `tag` (the text after
// the element name up to '>'), taken verbatim between double quotes.
std::optional<std::string_view> Attribute(std::string_view tag, std::string_view name) {
  std::size_t at = 0;
  while ((at = tag.find(name, at)) != std::string_view::npos) {
    std::size_t after = at + name.size();
    bool starts_word = at > 0 && (tag[at - 1] == ' ' || tag[at - 1] == '\t');
    if (starts_word && tag.substr(after, 2) == "=\"") {
      std::size_t begin = after + 2;
      std::size_t end = tag.find('"', begin);
      if (end == std::string_view::npos) return std::nullopt;
      return tag.substr(begin, end - begin);
    }
    at = after;
  }
  return std::nullopt;
}

template <typename Number>
bool ParseNumber(std::string_view text, Number* value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The start tag of the first element `name` in `document`, without '<',
// the name and the closing '>' or "/>"; nullopt when there is none.
std::optional<std::string_view> StartTag(std::string_view document, std::string_view name,
                                         std::size_t* end_of_tag) {
  std::string open = "<";
  open += name;
  std::size_t at = document.find(open);
  while (at != std::string_view::npos) {
    std::size_t after = at + open.size();
    if (after < document.size() &&
        (document[after] == ' ' || document[after] == '>' || document[after] == '/')) {
      std::size_t close = document.find('>', after);
      if (close == std::string_view::npos) return std::nullopt;
      *end_of_tag = close + 1;
      return document.substr(after, close - after);
    }
    at = document.find(open, after);
  }
  return std::nullopt;
}

}  // namespace

std::string EntryName(const JobFile& file) {
  return file.path.empty() ? file.name : file.path + "\\" + file.name;
}

std::string EscapeAttributeValue(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c; break;
    }
  }
  return out;
}

std::string BuildJobDescription(std::span<const JobFile> files) {
  std::string xml =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<REQUEST><COMPRESS format=\"zip\"><FILES>\n";
  for (const JobFile& file : files) {
    xml += "<FILE name=\"" + EscapeAttributeValue(file.name) + "\"";
    if (!file.path.empty()) xml += " path=\"" + EscapeAttributeValue(file.path) + "\"";
    xml += " size=\"" + std::to_string(file.size) + "\"/>\n";
  }
  xml += "</FILES></COMPRESS></REQUEST>\n";
  return xml;
}

bool ParseResponseDocument(std::string_view document, ResponseDocument* out) {
  *out = ResponseDocument();
  std::size_t end = 0;
  if (auto tag = StartTag(document, "ERROR", &end)) {
    auto code = Attribute(*tag, "code");
    std::size_t close = document.find("</ERROR>", end);
    if (!code || !ParseNumber(*code, &out->code) || close == std::string_view::npos) return false;
    out->is_error = true;
    out->message = document.substr(end, close - end);
    return true;
  }
  if (auto tag = StartTag(document, "COMPRESSED_FILE", &end)) {
    auto size = Attribute(*tag, "size");
    auto url = Attribute(*tag, "url");
    if (!size || !url || !ParseNumber(*size, &out->size)) return false;
    out->url = *url;
    return true;
  }
  return false;
}

}  // namespace parcel::host
