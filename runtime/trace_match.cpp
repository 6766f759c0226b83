// Watch-pattern matching: `*`, `?` and backslash escapes, without recursion.
#include <cctype>
#include <cstddef>
#include <cstring>

#include "runtime/trace.h"

namespace {

struct Pattern {
  const char* text;
  std::size_t length;
};

bool SameChar(unsigned char pattern_char, unsigned char text_char, bool ignore_case) {
  if (ignore_case) {
    return std::toupper(pattern_char) == std::toupper(text_char);
  }
  return pattern_char == text_char;
}

// Matches `pattern` against `text` from its start. The only choice points are
// the `*`s, and a later `*` subsumes every earlier one, so it suffices to
// remember the last `*` seen and, when the characters after it fail, let it
// take one more text character: time O(text * pattern), no recursion.
// `leading_star` matches as if the pattern began with `*`.
bool Match(const char* text, std::size_t text_length, Pattern pattern, bool prefix_only,
           bool ignore_case, bool leading_star) {
  std::size_t t = 0;
  std::size_t p = 0;
  bool have_star = leading_star;
  std::size_t star_p = 0;  // pattern position after the last `*`
  std::size_t star_t = 0;  // text position that `*` last stopped at
  while (true) {
    bool advanced = false;
    if (p == pattern.length) {
      if (prefix_only || t == text_length) return true;
    } else if (pattern.text[p] == '*') {
      while (p < pattern.length && pattern.text[p] == '*') ++p;
      if (p == pattern.length) return true;  // a final `*` takes the rest
      have_star = true;
      star_p = p;
      star_t = t;
      continue;
    } else {
      // A pattern character against the end of the text: no later start of the
      // last `*` leaves more text, so the attempt fails.
      if (t == text_length) return false;
      std::size_t width = 1;
      bool ok = true;
      if (pattern.text[p] != '?') {
        unsigned char wanted = static_cast<unsigned char>(pattern.text[p]);
        if (wanted == '\\' && p + 1 < pattern.length) {
          wanted = static_cast<unsigned char>(pattern.text[p + 1]);
          width = 2;
        }
        ok = SameChar(wanted, static_cast<unsigned char>(text[t]), ignore_case);
      }
      if (ok) {
        p += width;
        ++t;
        advanced = true;
      }
    }
    if (advanced) continue;
    if (!have_star || star_t >= text_length) return false;
    t = ++star_t;
    p = star_p;
  }
}

// Text characters any match of the pattern needs: one per `?` or (escaped)
// character.
std::size_t MinimumLength(Pattern pattern) {
  std::size_t needed = 0;
  for (std::size_t p = 0; p < pattern.length; ++p) {
    if (pattern.text[p] == '*') continue;
    if (pattern.text[p] == '\\' && p + 1 < pattern.length) ++p;
    ++needed;
  }
  return needed;
}

}  // namespace

bool DpTrcWildMatch(const char* text, const char* pattern, bool prefixOnly,
                    bool ignoreCase) noexcept {
  if (text == nullptr || pattern == nullptr) return false;
  return Match(text, std::strlen(text), Pattern{pattern, std::strlen(pattern)}, prefixOnly,
               ignoreCase, false);
}

bool DpTrcFindPattern(const char* text, const char* pattern) noexcept {
  if (text == nullptr || pattern == nullptr || *pattern == '\0') return false;
  Pattern p{pattern, std::strlen(pattern)};
  std::size_t text_length = std::strlen(text);
  if (text_length < MinimumLength(p)) return false;
  // A pattern that begins with a wildcard is tried at the start only; any other
  // at every position, which is a match of the pattern behind a virtual `*`.
  bool anchored = pattern[0] == '*' || pattern[0] == '?';
  return Match(text, text_length, p, true, false, !anchored);
}
