// CMiniXMLParser: owns the tree, turns input into a compacted copy for the
// reader, and walks paths over the tree.
#include "xml/mini_xml_parser.h"

#include <cstdint>
#include <cstring>
#include <string_view>

#include "xml/mini_xml_tree.h"

namespace detail = parcel::xml::detail;

CMiniXMLParser::CMiniXMLParser() noexcept : root{}, memo_{} {}

CMiniXMLParser::~CMiniXMLParser() { detail::FreeNode(&root); }

void CMiniXMLParser::Clear() noexcept {
  detail::FreeNode(&root);
  // A new tree may reuse the addresses of the old one's nodes.
  for (StepMemo& memo : memo_) memo = StepMemo{};
}

bool CMiniXMLParser::Parse(const char* data, std::size_t size) noexcept {
  if (data == nullptr || size == 0) return false;
  Clear();
  const void* nul = std::memchr(data, '\0', size);
  const std::size_t length =
      nul != nullptr ? std::size_t(static_cast<const char*>(nul) - data) : size;
  if (length == SIZE_MAX) return false;
  char* copy = detail::NewArray<char>(length + 1);
  if (copy == nullptr) return false;
  std::memcpy(copy, data, length);
  const std::size_t compacted = detail::CompactWhitespace(copy, length);

  // With any '>' the first tag is taken for the declaration and skipped.
  const char* start = copy;
  const std::string_view text(copy, compacted);
  const std::size_t first_close = text.find('>');
  bool readable = true;
  if (first_close != std::string_view::npos) {
    readable = text.find("xml") != std::string_view::npos;
    const std::size_t first_open = text.find('<', first_close + 1);
    start = first_open != std::string_view::npos ? copy + first_open : copy + compacted;
  }
  const bool parsed =
      readable && detail::ReadDocument(copy, compacted, start, &root) == detail::ReadStatus::kOk;
  delete[] copy;
  return parsed;
}

const MiniXMLNode* CMiniXMLParser::SelectByName(int step, const MiniXMLNode* parent,
                                                const char* name, int ordinal) const noexcept {
  if (name == nullptr || ordinal < 0) return nullptr;
  const std::uint64_t wanted = std::uint64_t(ordinal);
  std::uint64_t index = 0;
  std::uint64_t seen = 0;  // matches before `index`
  StepMemo* memo = step < kMemoSteps ? &memo_[step] : nullptr;
  // Resume from a remembered match when it is one of the same set: names equal
  // ignoring case form classes, so a query name equal to the remembered
  // child's name selects exactly the children the remembered query did.
  if (memo != nullptr && memo->parent == parent && memo->ordinal <= wanted &&
      memo->index < parent->childCount &&
      detail::NamesEqual(parent->children[memo->index].name, name)) {
    index = memo->index;
    seen = memo->ordinal;
  }
  for (index = detail::NextChildNamed(*parent, name, index); index < parent->childCount;
       index = detail::NextChildNamed(*parent, name, index + 1)) {
    if (seen == wanted) {
      if (memo != nullptr) *memo = StepMemo{parent, wanted, index};
      return &parent->children[index];
    }
    ++seen;
  }
  return nullptr;
}

const MiniXMLNode* CMiniXMLParser::FindNode(const char* path,
                                            std::va_list arguments) const noexcept {
  if (path == nullptr) return nullptr;
  const MiniXMLNode* node = &root;
  for (int step = 0; *path != '\0'; ++step) {
    switch (path[1]) {
      case 's':
      case 'S': {
        const char* name = va_arg(arguments, const char*);
        int ordinal = 0;
        path += 2;
        if (*path == 'd' || *path == 'D' || *path == 'i' || *path == 'I') {
          ordinal = va_arg(arguments, int);
          ++path;
        }
        node = SelectByName(step, node, name, ordinal);
        break;
      }
      case 'd':
      case 'D':
      case 'i':
      case 'I': {
        const int position = va_arg(arguments, int);
        path += 2;
        if (position < 0 || std::uint64_t(position) >= node->childCount) return nullptr;
        node = &node->children[position];
        break;
      }
      default:  // another letter, or the path ends after the introducer
        return nullptr;
    }
    if (node == nullptr) return nullptr;
  }
  return node;
}

const char* CMiniXMLParser::GetNodeName(const char* path, ...) const noexcept {
  std::va_list arguments;
  va_start(arguments, path);
  const MiniXMLNode* node = FindNode(path, arguments);
  va_end(arguments);
  return node != nullptr ? node->name : nullptr;
}

const char* CMiniXMLParser::GetNodeAttributes(const char* path, ...) const noexcept {
  std::va_list arguments;
  va_start(arguments, path);
  const MiniXMLNode* node = FindNode(path, arguments);
  va_end(arguments);
  return node != nullptr ? node->attributes : nullptr;
}

int CMiniXMLParser::GetChildCount(const char* path, ...) const noexcept {
  std::va_list arguments;
  va_start(arguments, path);
  const MiniXMLNode* node = FindNode(path, arguments);
  va_end(arguments);
  return node != nullptr ? static_cast<int>(static_cast<std::uint32_t>(node->childCount)) : 0;
}

bool CMiniXMLParser::GetAttributeValue(const char* attributes, const char* name,
                                       char* out) noexcept {
  if (attributes == nullptr || name == nullptr || out == nullptr) return false;
  detail::ValueSpan span{};
  if (!detail::FindAttributeValue(attributes, name, &span)) return false;
  const std::size_t length = std::size_t(span.end - span.begin);
  std::memmove(out, span.begin, length);
  out[length] = '\0';
  // Decoding in place never lengthens, so length + 1 bytes always suffice.
  (void)detail::DecodeEntitiesInto(out, length, out, length + 1);
  return true;
}

char* CMiniXMLParser::DecodeEntities(const char* text) noexcept {
  if (text == nullptr) return nullptr;
  const std::size_t length = std::strlen(text);
  char* decoded = detail::NewArray<char>(length + 1);
  if (decoded == nullptr) return nullptr;
  (void)detail::DecodeEntitiesInto(text, length, decoded, length + 1);
  return decoded;
}

namespace parcel::xml {

AttributeResult CopyAttributeValue(const char* attributes, const char* name, char* out,
                                   std::size_t out_size) noexcept {
  if (out == nullptr) out_size = 0;
  detail::ValueSpan span{};
  if (attributes == nullptr || name == nullptr ||
      !detail::FindAttributeValue(attributes, name, &span)) {
    if (out_size > 0) out[0] = '\0';
    return AttributeResult::kAbsent;
  }
  const std::size_t length = std::size_t(span.end - span.begin);
  if (detail::DecodeEntitiesInto(span.begin, length, out, out_size) == SIZE_MAX) {
    if (out_size > 0) out[0] = '\0';
    return AttributeResult::kTooLong;
  }
  return AttributeResult::kFound;
}

}  // namespace parcel::xml
