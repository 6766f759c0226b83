// Version resource tree walking and the Windows-1252 conversion.
#include "platform/version_tree.h"

#include "platform/coding.h"

namespace parcel::platform::pe {
namespace {

constexpr std::size_t kNodeHeaderSize = 6;  // length, value length, type
constexpr std::uint16_t kTextType = 1;

// Node fields are aligned to four bytes from the start of the tree.
constexpr std::size_t Align4(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

// Windows-1252 code units for bytes 0x80..0x9F; the other bytes equal their
// code unit. The five bytes the code page leaves unassigned map to the C1
// control of the same value, as on Windows.
constexpr std::uint16_t kHighControls[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::uint16_t AnsiToUnit(unsigned char c) {
  return c >= 0x80 && c <= 0x9F ? kHighControls[c - 0x80] : c;
}

char UnitToAnsi(std::uint16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  for (unsigned i = 0; i < 32; ++i) {
    if (kHighControls[i] == unit) return static_cast<char>(0x80 + i);
  }
  return '?';
}

std::uint16_t FoldCase(std::uint16_t unit) {
  if (unit >= 'A' && unit <= 'Z') return static_cast<std::uint16_t>(unit + 0x20);
  if (unit >= 0xC0 && unit <= 0xDE && unit != 0xD7) return static_cast<std::uint16_t>(unit + 0x20);
  return unit;
}

struct Node {
  std::size_t end = 0;   // cut at the parent's end
  std::size_t next = 0;  // where the next sibling starts
  std::size_t key = 0;   // first key unit
  std::size_t key_units = 0;
  std::size_t value = 0;
  std::size_t children = 0;
  std::uint16_t type = 0;
};

bool ReadNode(std::span<const std::uint8_t> tree, std::size_t begin, std::size_t parent_end,
              Node* node) {
  if (begin > parent_end || parent_end - begin < kNodeHeaderSize) return false;
  const std::uint8_t* p = tree.data() + begin;
  const std::size_t length = DecodeFixed16(p);
  if (length < kNodeHeaderSize) return false;
  node->end = length < parent_end - begin ? begin + length : parent_end;
  node->next = Align4(begin + length);
  node->type = DecodeFixed16(p + 4);
  node->key = begin + kNodeHeaderSize;
  std::size_t at = node->key;
  while (at + 2 <= node->end && DecodeFixed16(tree.data() + at) != 0) at += 2;
  node->key_units = (at - node->key) / 2;
  if (at + 2 <= node->end) at += 2;  // the key's zero unit
  const std::size_t value_length = DecodeFixed16(p + 2);
  node->value = Align4(at);
  node->children =
      Align4(node->value + (node->type == kTextType ? 2 * value_length : value_length));
  return true;
}

bool NameMatches(std::span<const std::uint8_t> tree, const Node& node, const char* name,
                 std::size_t length) {
  if (node.key_units != length) return false;
  for (std::size_t i = 0; i < length; ++i) {
    const std::uint16_t unit = DecodeFixed16(tree.data() + node.key + 2 * i);
    if (FoldCase(unit) != FoldCase(AnsiToUnit(static_cast<unsigned char>(name[i])))) return false;
  }
  return true;
}

bool FindChild(std::span<const std::uint8_t> tree, const Node& parent, const char* name,
               std::size_t length, Node* child) {
  for (std::size_t at = parent.children; ReadNode(tree, at, parent.end, child); at = child->next) {
    if (NameMatches(tree, *child, name, length)) return true;
  }
  return false;
}

}  // namespace

bool FindVersionText(std::span<const std::uint8_t> tree, const char* key,
                     TextValue* text) noexcept {
  Node node;
  if (!ReadNode(tree, 0, tree.size(), &node)) return false;
  const char* at = key;
  for (;;) {
    while (*at == '\\') ++at;
    if (*at == '\0') break;
    const char* name_end = at;
    while (*name_end != '\0' && *name_end != '\\') ++name_end;
    Node child;
    if (!FindChild(tree, node, at, static_cast<std::size_t>(name_end - at), &child)) return false;
    node = child;
    at = name_end;
  }
  if (node.type != kTextType) return false;
  std::size_t begin = node.value < node.end ? node.value : node.end;
  std::size_t end = begin;
  while (end + 2 <= node.end && DecodeFixed16(tree.data() + end) != 0) end += 2;
  text->offset = begin;
  text->units = (end - begin) / 2;
  return true;
}

void WideToAnsi(const std::uint8_t* wide, std::size_t units, char* out) noexcept {
  for (std::size_t i = 0; i < units; ++i) out[i] = UnitToAnsi(DecodeFixed16(wide + 2 * i));
  out[units] = '\0';
}

}  // namespace parcel::platform::pe
