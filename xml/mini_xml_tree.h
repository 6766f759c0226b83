// Internal core of the mini XML parser: whitespace compaction, the element
// reader, node release, child selection and entity decoding. Only xml/ and
// its tests include this header.
#ifndef PARCEL_XML_MINI_XML_TREE_H_
#define PARCEL_XML_MINI_XML_TREE_H_

#include <cstddef>
#include <cstdint>
#include <new>

#include "platform/alloc_hook.h"
#include "xml/mini_xml_parser.h"

namespace parcel::xml::detail {

// Every buffer of the parser comes from here: an array of `count` elements
// from `new (std::nothrow)` behind the allocation hook (site kXml); null when
// memory runs out. NewArray leaves the elements default-initialized,
// NewZeroedArray value-initializes them. Release with delete[].
template <typename T>
T* NewArray(std::size_t count) noexcept {
  if (platform::AllocationFails(platform::AllocSite::kXml)) return nullptr;
  return new (std::nothrow) T[count];
}

template <typename T>
T* NewZeroedArray(std::size_t count) noexcept {
  if (platform::AllocationFails(platform::AllocSite::kXml)) return nullptr;
  return new (std::nothrow) T[count]();
}

// Rewrites the `length` bytes at `text` in place: outside quotes, each run of
// blank, tab, LF and CR becomes one blank written before the next other
// character, and a run at the end is dropped; inside quotes whitespace is
// kept. Every apostrophe and double quote flips one shared quote flag,
// wherever it stands. Returns the new length and writes a NUL behind it, so
// `text` needs `length` + 1 bytes.
std::size_t CompactWhitespace(char* text, std::size_t length) noexcept;

enum class ReadStatus {
  kOk,
  kFailed,       // a structural gap: no element, no '>', no '<', no "]]>"
  kTooDeep,      // an element lies deeper than kMaxNestingDepth
  kOutOfMemory,  // a copy or a children array could not be allocated
  kTooMuchWork,  // re-reading after failed children exceeded the work budget
};

// Work the reader may spend per byte of text: one unit per element read and
// per byte copied into the tree. A document read once costs at most about
// two units per byte; only content re-read after failing children costs more.
inline constexpr std::size_t kReadBudgetPerByte = 16;
// Cap of the whole budget, so the product cannot wrap.
inline constexpr std::size_t kReadBudgetLimit = SIZE_MAX / 2;

// Reads the document element of the compacted text [text, text + length),
// which must be followed by a NUL, into `root` (which must be empty), starting
// at `start`. On anything but kOk `root` is left empty.
ReadStatus ReadDocument(const char* text, std::size_t length, const char* start,
                        MiniXMLNode* root) noexcept;

// Releases `node`'s strings and, depth first, its children and their array;
// leaves `node` empty (all null or zero).
void FreeNode(MiniXMLNode* node) noexcept;

// True when `a` and `b` are equal ignoring the case of ASCII letters.
bool NamesEqual(const char* a, const char* b) noexcept;

// Index of the first child of `parent` from position `from` on whose name
// equals `name` (ASCII case ignored); `parent->childCount` when there is none.
std::uint64_t NextChildNamed(const MiniXMLNode& parent, const char* name,
                             std::uint64_t from) noexcept;

// Where the value of attribute `name` sits inside `attributes`: [begin, end).
struct ValueSpan {
  const char* begin;
  const char* end;
};
// Finds the value of `name` in `attributes` (see GetAttributeValue). Returns
// false when it is absent or not in double quotes.
bool FindAttributeValue(const char* attributes, const char* name, ValueSpan* span) noexcept;

// Decodes the five predefined entities of [src, src + length) into `out`,
// which may be `src` itself (decoding never lengthens). Writes the decoded
// bytes and a NUL when they fit in `out_size` bytes and returns their count;
// returns SIZE_MAX, with `out` partly written, when they do not.
std::size_t DecodeEntitiesInto(const char* src, std::size_t length, char* out,
                               std::size_t out_size) noexcept;

}  // namespace parcel::xml::detail

#endif  // PARCEL_XML_MINI_XML_TREE_H_
