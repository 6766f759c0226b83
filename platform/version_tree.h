// Looking up text values in a version resource tree (a VS_VERSIONINFO block
// of nested nodes with UTF-16 keys) and converting them to the narrow text
// that the Windows "A" functions hand out. Portable code without system
// calls; the tree is untrusted input and never read outside its bounds.
#ifndef PARCEL_PLATFORM_VERSION_TREE_H_
#define PARCEL_PLATFORM_VERSION_TREE_H_

#include <cstddef>
#include <cstdint>
#include <span>

namespace parcel::platform::pe {

// A text value inside a tree: `units` UTF-16 code units starting `offset`
// bytes from the tree's start, without the ending zero unit. Always
// offset + 2 * units <= the tree's size.
struct TextValue {
  std::size_t offset = 0;
  std::size_t units = 0;
};

// Finds the node named by `key` in `tree` and reports its text value.
//
// `key` is a path of node names separated by backslashes, as in
// "\StringFileInfo\040704b0\FileVersion"; the first name is looked up among
// the root's children, repeated backslashes count as one, and names compare
// without regard to letter case (ASCII and Latin-1 letters). The node must be
// of text type (type field 1); its text runs to the first zero unit or to the
// end of the node, whichever comes first.
//
// Returns false when `tree` is too short to hold a root node, a name on the
// path is missing, or the node found is not text. A node whose length field
// is below the node header size ends the search of its level; one reaching
// past its parent is cut at the parent's end. Each step moves forward by at
// least one node header, so the search ends on any input.
//
// Requires: key != nullptr, text != nullptr.
bool FindVersionText(std::span<const std::uint8_t> tree, const char* key, TextValue* text) noexcept;

// Converts `units` UTF-16LE code units at `wide` to Windows-1252, one byte
// per unit, and appends a zero byte: `out` receives exactly units + 1 bytes.
// A unit the code page lacks, including each half of a surrogate pair,
// becomes '?'. Windows itself may map such a character to a similar letter
// instead.
//
// Requires: `wide` holds 2 * units bytes, `out` room for units + 1 bytes.
void WideToAnsi(const std::uint8_t* wide, std::size_t units, char* out) noexcept;

}  // namespace parcel::platform::pe

#endif  // PARCEL_PLATFORM_VERSION_TREE_H_
