// CMiniXMLParser: a forgiving reader of job descriptions. It builds a tree of
// elements from a byte buffer and answers path queries (name, raw attribute
// text, child count of one element) and attribute lookups with the five
// predefined entities replaced.
//
// Forgiving means: tags are found by searching for '<' and '>', an end tag's
// name is never compared with its start tag, character data is kept only for
// elements whose content is text or one CDATA section, text between sibling
// elements is dropped, and comments, DOCTYPE and processing instructions are
// skipped up to the next '<' only.
//
// Storage: Parse copies the input; nothing refers to the caller's bytes after
// it returns. Every string in the tree is a separate heap copy owned by the
// parser. Pointers handed out by the queries stay valid until the next Parse
// that gets past its argument checks, or the destruction of the parser.
//
// Soundness: every read stays inside the copy. A NUL byte ends the document.
// Nesting deeper than parcel::xml::kMaxNestingDepth makes Parse fail instead
// of exhausting the stack (the reader recurses once per level).
//
// Thread safety: none. One parser serves one thread; parsers share nothing.
// The class-level operations touch no parser and may run on any thread.
#ifndef PARCEL_XML_MINI_XML_PARSER_H_
#define PARCEL_XML_MINI_XML_PARSER_H_

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace parcel::xml {

// Deepest element nesting Parse accepts; the document element is level 1.
// Far above any job description (four levels), and low enough that reading
// and releasing a tree this deep, which recurse once per level at about
// 250 bytes each in optimised builds (g++ and mingw-w64), take about a
// quarter of a 1 MiB thread stack.
inline constexpr int kMaxNestingDepth = 1024;

// Outcome of CopyAttributeValue.
enum class AttributeResult {
  kFound,    // the decoded value and its NUL are in the caller's buffer
  kAbsent,   // no such attribute, or its value is not in double quotes
  kTooLong,  // the decoded value plus NUL does not fit the caller's buffer
};

}  // namespace parcel::xml

// One element of the tree. The parser owns the node and every string and
// array in it; callers only read through the pointers the queries return.
struct MiniXMLNode {
  // The element name exactly as written (letter case kept). Never null in a
  // parsed tree; null only in the root of a parser that holds no document.
  char* name;
  // The start tag's text after its first blank, up to but excluding the
  // closing ">" or "/>", after whitespace compaction and without entity
  // replacement. Null when the start tag has no blank; may be empty.
  char* attributes;
  // Character data of an element whose content is text (possibly empty) or
  // one CDATA section, compacted like the rest of the document. Null for an
  // empty element ("<x/>") and for an element with child elements.
  char* text;
  // True when `text` came from a CDATA section.
  bool isCData;
  // Child elements in document order, held by value; null when none.
  MiniXMLNode* children;
  std::uint64_t childCount;
  // Slots in `children`: 0, then 10, then doubled each time it is full.
  std::uint64_t childCapacity;
};

class CMiniXMLParser {
 public:
  // An empty tree: the root has null strings and no children.
  CMiniXMLParser() noexcept;
  // Releases the whole tree.
  virtual ~CMiniXMLParser();

  CMiniXMLParser(const CMiniXMLParser&) = delete;
  CMiniXMLParser& operator=(const CMiniXMLParser&) = delete;

  // Reads the document in the `size` bytes at `data` (borrowed for the call
  // only) into the tree.
  //
  // The bytes are copied up to the first NUL (or all of them). Runs of blank,
  // tab, LF and CR outside quotes become one blank. When the text holds a '>'
  // it must also hold "xml" (case counts) and reading starts at the first '<'
  // after the first '>' (the XML declaration is skipped unread); without any
  // '>' it starts at the beginning. The first element found is the document
  // element; anything after it is ignored.
  //
  // Returns true when the document element was read. Returns false when
  // `size` is 0 or `data` is null (the tree is then left as it was); when the
  // text holds a '>' but no "xml"; when no element start is found; when the
  // document element's start tag has no '>' or is followed by no further '<';
  // when its CDATA section lacks "]]>"; when its closing '>' is missing; when
  // any element lies deeper than kMaxNestingDepth; when memory runs out; or
  // when the work exceeds a fixed multiple of the text length. (Children that
  // fail after their start tag make the enclosing elements read their content
  // again; nested, such failures would cost exponential time. A document read
  // once stays far below the limit.)
  // After false (other than for size 0 or null data) the tree is empty.
  // The same structural gaps inside a child element end its parent's children
  // instead: the parent closes at the next '>' from there.
  bool Parse(const char* data, std::size_t size) noexcept;

  // Path queries. A path is a sequence of two-character conversions, each an
  // introducer (any character; "%" by convention) and a letter, read left to
  // right; each selects one child of the node selected so far, starting at
  // the document element, so the document element itself is never named and
  // the empty path selects it. The variable arguments follow in the order of
  // the conversions that take them; strings are `const char*`, indices `int`:
  //   s, S              string X: the first child whose name equals X,
  //                     ignoring the case of ASCII letters
  //   s or S, then one of d D i I (as in "%sd")
  //                     string X, int n: the (n+1)-th child named X in
  //                     document order, case ignored; n < 0 selects nothing
  //   d, D, i, I        int n: the child at position n from 0; n < 0 or
  //                     n >= childCount selects nothing
  // Any other letter, a path ending right after an introducer, a null path
  // and a null string argument select nothing, and so does the whole path
  // when one conversion selects nothing.
  // Example: "%s%s%sd" with "COMPRESS", "FILES", "FILE", k selects the
  // (k+1)-th FILE child of the first FILES child of the first COMPRESS child.
  //
  // Queries do not change the tree. Asking for the (n+1)-th child by name
  // right after the n-th (or any earlier one) under the same parent resumes
  // where that search stopped, so walking all children costs linear time.

  // The selected node's name; null when the path selects nothing, and for the
  // empty path on a parser that holds no document. Owned by the parser.
  const char* GetNodeName(const char* path, ...) const noexcept;
  // The selected node's attribute text (see MiniXMLNode::attributes); null
  // when the path selects nothing or the start tag had no blank. Owned by the
  // parser. Pass it to GetAttributeValue or parcel::xml::CopyAttributeValue.
  const char* GetNodeAttributes(const char* path, ...) const noexcept;
  // The selected node's child count (its low 32 bits); 0 when the path
  // selects nothing.
  int GetChildCount(const char* path, ...) const noexcept;
  // The selected node itself, with the arguments as a va_list (consumed);
  // null when the path selects nothing. Owned by the parser.
  const MiniXMLNode* FindNode(const char* path, std::va_list arguments) const noexcept;

  // Looks up attribute `name` in the attribute text `attributes`. Names are
  // compared character by character through tolower; an attribute matches
  // when the whole requested name is consumed and the text goes on with
  // whitespace or '='. Only double quotes delimit values.
  // Requires: `out` holds at least strlen(attributes) + 1 bytes, which always
  // suffices since a value is never longer than the text that holds it.
  // Callers with a smaller buffer use parcel::xml::CopyAttributeValue.
  // Returns true with the value, entities replaced and NUL-terminated, in
  // `out`; false, leaving `out` untouched, when the attribute is absent, its
  // value is not in double quotes, or any argument is null.
  static bool GetAttributeValue(const char* attributes, const char* name, char* out) noexcept;

  // A new copy of `text` with "&amp;", "&lt;", "&gt;", "&apos;" and "&quot;"
  // replaced by & < > ' ". Any other '&' and numeric character references
  // stay as they are. Ownership passes to the caller, who releases the string
  // with delete[]. Null when `text` is null or memory runs out.
  static char* DecodeEntities(const char* text) noexcept;

 private:
  // Memo of the last search by name and position at one path step: the
  // `ordinal`-th match among `parent`'s children sits at `index`.
  struct StepMemo {
    const MiniXMLNode* parent;
    std::uint64_t ordinal;
    std::uint64_t index;
  };
  static constexpr int kMemoSteps = 8;

  void Clear() noexcept;
  const MiniXMLNode* SelectByName(int step, const MiniXMLNode* parent, const char* name,
                                  int ordinal) const noexcept;

  MiniXMLNode root;
  mutable StepMemo memo_[kMemoSteps];
};

namespace parcel::xml {

// Bounded form of CMiniXMLParser::GetAttributeValue with the same matching
// and decoding, for callers whose buffer may be shorter than the attribute
// text. Writes at most `out_size` bytes to `out`.
// Returns kFound with the decoded value and NUL in `out`; kAbsent when the
// attribute is absent, its value is not in double quotes, or `attributes` or
// `name` is null; kTooLong when the decoded value needs more than
// `out_size` - 1 bytes (or `out` is null). The value is never truncated: after
// kAbsent or kTooLong `out` holds the empty string when `out_size` > 0.
AttributeResult CopyAttributeValue(const char* attributes, const char* name, char* out,
                                   std::size_t out_size) noexcept;

}  // namespace parcel::xml

#endif  // PARCEL_XML_MINI_XML_PARSER_H_
