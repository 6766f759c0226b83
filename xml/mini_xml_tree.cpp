// The element reader and the text helpers behind CMiniXMLParser.
#include "xml/mini_xml_tree.h"

#include <cctype>
#include <cstdint>
#include <cstring>

namespace parcel::xml::detail {
namespace {

bool IsSpace(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

char FoldAscii(char c) noexcept { return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c; }

// Finds the next occurrence of a fixed needle in one text and remembers its
// last answer. A failing element makes each enclosing level search again from
// a nearby position for the same '>' (or the same missing one); the memo
// answers those repeats without rescanning, so malformed input of any depth
// costs linear time, not depth times length.
class NextFinder {
 public:
  NextFinder(const char* text, std::size_t length, const char* needle) noexcept
      : text_(text), length_(length), needle_(needle), needle_length_(std::strlen(needle)) {}

  // First occurrence starting at or after `from` (inside the text), or null.
  const char* From(const char* from) noexcept {
    const std::size_t start = std::size_t(from - text_);
    if (memo_valid_ && start >= memo_start_) {
      // No occurrence starts in [memo_start_, memo_found_).
      if (memo_found_ == kNone || start <= memo_found_) return At(memo_found_);
    } else if (memo_valid_) {
      const std::size_t found = Scan(start, memo_start_);
      memo_start_ = start;
      if (found != kNone) memo_found_ = found;
      return At(memo_found_);
    }
    memo_valid_ = true;
    memo_start_ = start;
    memo_found_ = Scan(start, length_);
    return At(memo_found_);
  }

 private:
  static constexpr std::size_t kNone = SIZE_MAX;

  const char* At(std::size_t offset) const noexcept {
    return offset == kNone ? nullptr : text_ + offset;
  }

  // First occurrence starting in [begin, limit) that lies wholly in the text.
  std::size_t Scan(std::size_t begin, std::size_t limit) const noexcept {
    if (length_ < needle_length_) return kNone;
    if (limit > length_ - needle_length_ + 1) limit = length_ - needle_length_ + 1;
    while (begin < limit) {
      const void* hit = std::memchr(text_ + begin, needle_[0], limit - begin);
      if (hit == nullptr) return kNone;
      const std::size_t at = std::size_t(static_cast<const char*>(hit) - text_);
      if (std::memcmp(text_ + at, needle_, needle_length_) == 0) return at;
      begin = at + 1;
    }
    return kNone;
  }

  const char* text_;
  std::size_t length_;
  const char* needle_;
  std::size_t needle_length_;
  bool memo_valid_ = false;
  std::size_t memo_start_ = 0;
  std::size_t memo_found_ = kNone;
};

constexpr char kCDataOpen[] = "![CDATA[";
constexpr std::size_t kCDataOpenLength = sizeof(kCDataOpen) - 1;
constexpr std::uint64_t kFirstChildCapacity = 10;

// Reads elements out of one compacted, NUL-terminated text. The first fatal
// status sticks and fails every enclosing element.
//
// A child that fails after its start tag makes its parent close at that start
// tag's '>', so the grandparent reads the failed child's content again, one
// level up. Nested failures compound this without bound (a few hundred bytes
// can demand billions of element reads). Two measures keep the cost linear
// without changing any answer the reader gives within its budget: an element
// start that failed once fails again at once (the outcome at a position does
// not depend on the level, except through the depth limit, which is checked
// first), and the total work is capped at a fixed multiple of the text length.
class Reader {
 public:
  Reader(const char* text, std::size_t length) noexcept
      : text_(text),
        end_(text + length),
        budget_(length < kReadBudgetLimit / kReadBudgetPerByte ? kReadBudgetPerByte * (length + 1)
                                                               : kReadBudgetLimit),
        less_(text, length, "<"),
        greater_(text, length, ">"),
        cdata_close_(text, length, "]]>") {}
  ~Reader() { delete[] failed_; }

  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  ReadStatus status() const noexcept { return status_; }

  // Reads one element at `cursor` into the empty `node` at nesting `depth`.
  // On success moves `cursor` to the first '<' behind the element (or the end
  // of the text). On failure leaves `cursor` alone and `node` empty.
  bool ParseElement(const char*& cursor, MiniXMLNode* node, int depth) noexcept;

 private:
  bool Fail(MiniXMLNode* node) noexcept {
    FreeNode(node);
    return false;
  }
  bool Fatal(MiniXMLNode* node, ReadStatus status) noexcept {
    SetFatal(status);
    return Fail(node);
  }
  // Charges `work` to the budget; false once it is spent.
  bool Spend(std::size_t work) noexcept {
    if (work > budget_) return false;
    budget_ -= work;
    return true;
  }
  // A new NUL-terminated copy of [begin, end) stored in `*field`; sets the
  // fatal status and returns false when memory or the budget runs out.
  bool Copy(const char* begin, const char* end, char** field) noexcept {
    const std::size_t length = std::size_t(end - begin);
    if (!Spend(length)) return SetFatal(ReadStatus::kTooMuchWork);
    char* copy = NewArray<char>(length + 1);
    if (copy == nullptr) return SetFatal(ReadStatus::kOutOfMemory);
    std::memcpy(copy, begin, length);
    copy[length] = '\0';
    *field = copy;
    return true;
  }
  bool SetFatal(ReadStatus status) noexcept {
    if (status_ == ReadStatus::kOk) status_ = status;
    return false;
  }
  bool FailedBefore(const char* open) const noexcept {
    const std::size_t at = std::size_t(open - text_);
    return failed_ != nullptr && (failed_[at / 8] >> (at % 8) & 1) != 0;
  }
  // Without memory for the record the reader only loses speed; the budget
  // still bounds the work.
  void RecordFailure(const char* open) noexcept {
    const std::size_t at = std::size_t(open - text_);
    if (failed_ == nullptr) {
      failed_ = NewZeroedArray<unsigned char>(std::size_t(end_ - text_) / 8 + 1);
      if (failed_ == nullptr) return;
    }
    failed_[at / 8] = static_cast<unsigned char>(failed_[at / 8] | 1u << (at % 8));
  }
  bool ReadElementAt(const char* open, const char*& cursor, MiniXMLNode* node, int depth) noexcept;
  bool AppendChild(MiniXMLNode* parent, const MiniXMLNode& child) noexcept;
  bool ReadChildren(const char* first, MiniXMLNode* node, int depth, const char** after) noexcept;

  const char* text_;
  const char* end_;
  std::size_t budget_;
  unsigned char* failed_ = nullptr;  // one bit per text position: an element start that failed
  NextFinder less_;
  NextFinder greater_;
  NextFinder cdata_close_;
  ReadStatus status_ = ReadStatus::kOk;
};

bool Reader::AppendChild(MiniXMLNode* parent, const MiniXMLNode& child) noexcept {
  if (parent->childCount == parent->childCapacity) {
    const std::uint64_t capacity =
        parent->childCapacity == 0 ? kFirstChildCapacity : parent->childCapacity * 2;
    if (capacity > SIZE_MAX / sizeof(MiniXMLNode)) return false;
    MiniXMLNode* grown = NewZeroedArray<MiniXMLNode>(std::size_t(capacity));
    if (grown == nullptr) return false;
    for (std::uint64_t i = 0; i < parent->childCount; ++i) grown[i] = parent->children[i];
    delete[] parent->children;
    parent->children = grown;
    parent->childCapacity = capacity;
  }
  parent->children[parent->childCount++] = child;
  return true;
}

// Reads children from the '<' at `first` until one fails; stores in `after`
// where the last successful child left the cursor (`first` when none did).
bool Reader::ReadChildren(const char* first, MiniXMLNode* node, int depth,
                          const char** after) noexcept {
  const char* cursor = first;
  for (;;) {
    MiniXMLNode child{};
    if (!ParseElement(cursor, &child, depth + 1)) break;
    if (!AppendChild(node, child)) {
      FreeNode(&child);
      return SetFatal(ReadStatus::kOutOfMemory);
    }
  }
  *after = cursor;
  return status_ == ReadStatus::kOk;
}

bool Reader::ParseElement(const char*& cursor, MiniXMLNode* node, int depth) noexcept {
  // The text ends in a NUL at end_, so the byte after any '<' can be read.
  const char* open = less_.From(cursor);
  while (open != nullptr && (open[1] == '!' || open[1] == '?')) open = less_.From(open + 1);
  if (open == nullptr || open[1] == '/') return false;
  if (depth > kMaxNestingDepth) return Fatal(node, ReadStatus::kTooDeep);
  if (FailedBefore(open)) return false;
  if (!Spend(1)) return Fatal(node, ReadStatus::kTooMuchWork);
  if (ReadElementAt(open, cursor, node, depth)) return true;
  if (status_ == ReadStatus::kOk) RecordFailure(open);
  return false;
}

bool Reader::ReadElementAt(const char* open, const char*& cursor, MiniXMLNode* node,
                           int depth) noexcept {
  // "/>" precedes the first '>' exactly when that '>' follows a '/'.
  const char* name_begin = open + 1;
  const char* close = greater_.From(name_begin);
  if (close == nullptr) return false;
  const bool empty = close > name_begin && close[-1] == '/';
  const char* tag_end = empty ? close - 1 : close;
  const char* blank =
      static_cast<const char*>(std::memchr(name_begin, ' ', std::size_t(tag_end - name_begin)));
  if (!Copy(name_begin, blank != nullptr ? blank : tag_end, &node->name)) return Fail(node);
  if (blank != nullptr && !Copy(blank + 1, tag_end, &node->attributes)) return Fail(node);

  const char* last;  // the element's last character, or the end for "/>"
  if (empty) {
    last = close + 1;
  } else {
    const char* content = less_.From(close + 1);
    if (content == nullptr) return Fail(node);
    if (content[1] == '/') {
      if (!Copy(close + 1, content, &node->text)) return Fail(node);
      last = greater_.From(content);
    } else if (std::size_t(end_ - content - 1) >= kCDataOpenLength &&
               std::memcmp(content + 1, kCDataOpen, kCDataOpenLength) == 0) {
      const char* data = content + 1 + kCDataOpenLength;
      const char* data_end = cdata_close_.From(data);
      if (data_end == nullptr) return Fail(node);
      if (!Copy(data, data_end, &node->text)) return Fail(node);
      node->isCData = true;
      last = greater_.From(data_end + 3);
    } else {
      const char* after = content;
      if (!ReadChildren(content, node, depth, &after)) return Fail(node);
      last = greater_.From(after);
    }
    if (last == nullptr) return Fail(node);
  }
  const char* next = less_.From(last);
  cursor = next != nullptr ? next : end_;
  return true;
}

}  // namespace

std::size_t CompactWhitespace(char* text, std::size_t length) noexcept {
  bool quoted = false;
  bool blank_pending = false;
  std::size_t out = 0;
  // Writing never overtakes reading: a pending blank stands for at least one
  // whitespace byte already read.
  for (std::size_t in = 0; in < length; ++in) {
    const char c = text[in];
    if (!quoted && IsSpace(c)) {
      blank_pending = true;
      continue;
    }
    if (blank_pending) {
      text[out++] = ' ';
      blank_pending = false;
    }
    if (c == '"' || c == '\'') quoted = !quoted;
    text[out++] = c;
  }
  text[out] = '\0';
  return out;
}

ReadStatus ReadDocument(const char* text, std::size_t length, const char* start,
                        MiniXMLNode* root) noexcept {
  Reader reader(text, length);
  const char* cursor = start;
  if (reader.ParseElement(cursor, root, 1)) return ReadStatus::kOk;
  return reader.status() == ReadStatus::kOk ? ReadStatus::kFailed : reader.status();
}

void FreeNode(MiniXMLNode* node) noexcept {
  delete[] node->name;
  delete[] node->attributes;
  delete[] node->text;
  for (std::uint64_t i = 0; i < node->childCount; ++i) FreeNode(&node->children[i]);
  delete[] node->children;
  *node = MiniXMLNode{};
}

bool NamesEqual(const char* a, const char* b) noexcept {
  for (; *a != '\0' && *b != '\0'; ++a, ++b) {
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
  }
  return *a == *b;
}

std::uint64_t NextChildNamed(const MiniXMLNode& parent, const char* name,
                             std::uint64_t from) noexcept {
  for (std::uint64_t i = from; i < parent.childCount; ++i) {
    if (NamesEqual(parent.children[i].name, name)) return i;
  }
  return parent.childCount;
}

bool FindAttributeValue(const char* attributes, const char* name, ValueSpan* span) noexcept {
  const char* p = attributes;
  for (;;) {
    while (IsSpace(*p)) ++p;
    if (*p == '\0') return false;
    const char* wanted = name;
    while (*wanted != '\0' && *p != '\0' &&
           std::tolower(static_cast<unsigned char>(*wanted)) ==
               std::tolower(static_cast<unsigned char>(*p))) {
      ++wanted;
      ++p;
    }
    if (*p == '\0') return false;
    const bool matched = *wanted == '\0' && (IsSpace(*p) || *p == '=');
    const char* equals = std::strchr(p, '=');
    if (equals == nullptr) return false;
    const char* open = std::strchr(equals + 1, '"');
    if (open == nullptr) return false;
    const char* close = std::strchr(open + 1, '"');
    if (close == nullptr) return false;
    if (matched) {
      *span = ValueSpan{open + 1, close};
      return true;
    }
    p = close + 1;
    if (*p == '\0') return false;
  }
}

std::size_t DecodeEntitiesInto(const char* src, std::size_t length, char* out,
                               std::size_t out_size) noexcept {
  struct Entity {
    const char* text;
    std::size_t length;
    char replacement;
  };
  static constexpr Entity kEntities[] = {
      {"&amp;", 5, '&'},   {"&lt;", 4, '<'},   {"&gt;", 4, '>'},
      {"&apos;", 6, '\''}, {"&quot;", 6, '"'},
  };
  std::size_t written = 0;
  std::size_t read = 0;
  // written <= read throughout, so `out` may be `src`: each entity is read
  // before anything is written over it.
  while (read < length) {
    char c = src[read];
    std::size_t step = 1;
    if (c == '&') {
      for (const Entity& entity : kEntities) {
        if (length - read >= entity.length &&
            std::memcmp(src + read, entity.text, entity.length) == 0) {
          c = entity.replacement;
          step = entity.length;
          break;
        }
      }
    }
    if (written + 1 >= out_size) return SIZE_MAX;
    out[written++] = c;
    read += step;
  }
  if (written >= out_size) return SIZE_MAX;
  out[written] = '\0';
  return written;
}

}  // namespace parcel::xml::detail
