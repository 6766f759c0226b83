// Internal: the bounded printf formatter of the error information and the
// message-number prefix of formats. Only errinfo/ and its tests include this.
#ifndef PARCEL_ERRINFO_FORMAT_H_
#define PARCEL_ERRINFO_FORMAT_H_

#include <cstdarg>
#include <cstddef>

namespace parcel::errinfo::detail {

// A NUL-terminated text of at most `limit` characters in caller storage of
// `limit` + 1 bytes. Appends are cut at the limit; the text never holds a NUL
// byte of its own, so its length is always its strlen.
class BoundedText {
 public:
  // Requires: `storage` has room for `limit` + 1 bytes.
  BoundedText(char* storage, std::size_t limit) noexcept;
  BoundedText(const BoundedText&) = delete;
  BoundedText& operator=(const BoundedText&) = delete;

  // Appends `length` bytes of `text`, up to its first NUL and up to the limit.
  void Append(const char* text, std::size_t length) noexcept;
  void Append(const char* text) noexcept;

  const char* c_str() const noexcept { return data_; }
  std::size_t size() const noexcept { return length_; }
  std::size_t room() const noexcept { return limit_ - length_; }
  // Whether an append was cut.
  bool truncated() const noexcept { return truncated_; }

  // Lets a writer put up to room() characters and a NUL at end(), then
  // accounts for `written` of them (the writer's full length; what did not
  // fit counts as cut, and the text ends at its first NUL).
  char* end() noexcept { return data_ + length_; }
  void Commit(std::size_t written) noexcept;

 private:
  char* data_;
  std::size_t limit_;
  std::size_t length_ = 0;
  bool truncated_ = false;
};

enum class FormatMode {
  kText,           // the whole format: literal text and conversions
  kArgumentTexts,  // only the conversions' texts, joined by ";;;;"
};

// Formats `format` (null: empty) into `out`, taking the arguments from `*args`
// one after the other; `*args` is left behind the last argument taken, so a
// second format can continue on the same list. Conversions and their limits
// are those described in errinfo/errinfo.h: %n takes its pointer and writes
// nothing; an unknown conversion ends the formatting (kText keeps the rest of
// the format as it stands). Every conversion takes its arguments even when
// `out` is full.
void FormatArgs(BoundedText* out, const char* format, FormatMode mode, std::va_list* args) noexcept;

// A format split into its message number and the format proper.
struct SplitFormat {
  const char* number;         // the message number's first character; valid when number_length > 0
  std::size_t number_length;  // 0: no message number (or an empty one)
  const char* format;         // the format proper; never null
};

// Takes a message number from the front of `format`: '(', exactly
// `number_length` characters, ')'. A negative length, a format without that
// prefix, or null give no number and the whole format (null as "").
SplitFormat SplitMessageNumber(const char* format, int number_length) noexcept;

}  // namespace parcel::errinfo::detail

#endif  // PARCEL_ERRINFO_FORMAT_H_
