// The bounded printf formatter of the error information. Each conversion is
// parsed here, its arguments are taken with their exact types, and it is
// formatted alone by the C library into what is left of the text. So texts
// from arguments are never read as formats, %n never writes, arguments stay
// in step when the text is full, and the two formats of one call can share one
// argument list without a separator in between.
#include "errinfo/format.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <type_traits>

#include "errinfo/errinfo.h"

namespace parcel::errinfo::detail {

BoundedText::BoundedText(char* storage, std::size_t limit) noexcept
    : data_(storage), limit_(limit) {
  data_[0] = '\0';
}

void BoundedText::Append(const char* text, std::size_t length) noexcept {
  if (text == nullptr) return;
  std::size_t n = 0;
  while (n < length && text[n] != '\0') ++n;
  if (n > room()) {
    n = room();
    truncated_ = true;
  }
  std::memcpy(data_ + length_, text, n);
  length_ += n;
  data_[length_] = '\0';
}

void BoundedText::Append(const char* text) noexcept {
  if (text != nullptr) Append(text, std::strlen(text));
}

void BoundedText::Commit(std::size_t written) noexcept {
  if (written > room()) {
    written = room();
    truncated_ = true;
  }
  // A %c of 0 writes a NUL: the text ends there.
  length_ += strnlen(data_ + length_, written);
  data_[length_] = '\0';
}

namespace {

constexpr char kArgumentSeparator[] = ";;;;";

enum class Length { kNone, kHH, kH, kL, kLL, kJ, kZ, kT, kBigL };

// One conversion, from its '%' to its conversion letter.
struct Conversion {
  bool minus = false, plus = false, space = false, hash = false, zero = false;
  bool width_star = false;
  int width = -1;  // -1: none
  bool precision_star = false;
  int precision = -1;  // -1: none
  Length length = Length::kNone;
  char letter = 0;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Reads decimal digits at `*p`, saturating at the width limit.
int ReadNumber(const char** p) {
  int value = 0;
  while (IsDigit(**p)) {
    value = value * 10 + (**p - '0');
    if (value > kErrFormatWidthLimit) value = kErrFormatWidthLimit;
    ++*p;
  }
  return value;
}

// Parses the conversion behind a '%' at `p`. Returns the character after
// its letter, or null when the letter is none of ours.
const char* ParseConversion(const char* p, Conversion* c) {
  for (;; ++p) {
    if (*p == '-') {
      c->minus = true;
    } else if (*p == '+') {
      c->plus = true;
    } else if (*p == ' ') {
      c->space = true;
    } else if (*p == '#') {
      c->hash = true;
    } else if (*p == '0') {
      c->zero = true;
    } else if (*p != '\'') {  // grouping is locale-bound and left out
      break;
    }
  }
  if (*p == '*') {
    c->width_star = true;
    ++p;
  } else if (IsDigit(*p)) {
    c->width = ReadNumber(&p);
  }
  if (*p == '.') {
    ++p;
    if (*p == '*') {
      c->precision_star = true;
      ++p;
    } else {
      c->precision = ReadNumber(&p);
    }
  }
  switch (*p) {
    case 'h':
      c->length = (p[1] == 'h') ? Length::kHH : Length::kH;
      p += (p[1] == 'h') ? 2 : 1;
      break;
    case 'l':
      c->length = (p[1] == 'l') ? Length::kLL : Length::kL;
      p += (p[1] == 'l') ? 2 : 1;
      break;
    case 'q':
      c->length = Length::kLL;
      ++p;
      break;
    case 'j':
      c->length = Length::kJ;
      ++p;
      break;
    case 'z':
      c->length = Length::kZ;
      ++p;
      break;
    case 't':
      c->length = Length::kT;
      ++p;
      break;
    case 'L':
      c->length = Length::kBigL;
      ++p;
      break;
    default: break;
  }
  if (*p == '\0' || std::strchr("diouxXeEfFgGaAcspn", *p) == nullptr) return nullptr;
  c->letter = *p;
  return p + 1;
}

// The conversion text handed to the C library: flags, the resolved width and
// precision, `length_text` and the letter.
void BuildDirective(const Conversion& c, const char* length_text, char* directive,
                    std::size_t size) {
  char flags[8];
  std::size_t n = 0;
  if (c.minus) flags[n++] = '-';
  if (c.plus) flags[n++] = '+';
  if (c.space) flags[n++] = ' ';
  if (c.hash) flags[n++] = '#';
  if (c.zero) flags[n++] = '0';
  flags[n] = '\0';
  char width[16] = "";
  char precision[16] = "";
  if (c.width >= 0) std::snprintf(width, sizeof width, "%d", c.width);
  if (c.precision >= 0) std::snprintf(precision, sizeof precision, ".%d", c.precision);
  std::snprintf(directive, size, "%%%s%s%s%s%c", flags, width, precision, length_text, c.letter);
}

// Formats one value with `directive` into the rest of `out`.
template <typename T>
void FormatValue(BoundedText* out, const char* directive, T value) {
  // The conversion text is built here from checked parts; the value has its exact type.
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#endif
  int n = std::snprintf(out->end(), out->room() + 1, directive, value);
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
  if (n < 0) {
    *out->end() = '\0';  // an encoding failure writes nothing usable
    return;
  }
  out->Commit(static_cast<std::size_t>(n));
}

using SignedSize = std::make_signed_t<std::size_t>;
using UnsignedPtrdiff = std::make_unsigned_t<std::ptrdiff_t>;

long long TakeSigned(Length length, std::va_list* args) {
  switch (length) {
    case Length::kHH: return static_cast<signed char>(va_arg(*args, int));
    case Length::kH: return static_cast<short>(va_arg(*args, int));
    case Length::kL: return va_arg(*args, long);
    case Length::kLL:
    case Length::kBigL: return va_arg(*args, long long);
    case Length::kJ: return static_cast<long long>(va_arg(*args, std::intmax_t));
    case Length::kZ: return static_cast<long long>(va_arg(*args, SignedSize));
    case Length::kT: return static_cast<long long>(va_arg(*args, std::ptrdiff_t));
    case Length::kNone:
    default: return va_arg(*args, int);
  }
}

unsigned long long TakeUnsigned(Length length, std::va_list* args) {
  switch (length) {
    case Length::kHH: return static_cast<unsigned char>(va_arg(*args, unsigned int));
    case Length::kH: return static_cast<unsigned short>(va_arg(*args, unsigned int));
    case Length::kL: return va_arg(*args, unsigned long);
    case Length::kLL:
    case Length::kBigL: return va_arg(*args, unsigned long long);
    case Length::kJ: return static_cast<unsigned long long>(va_arg(*args, std::uintmax_t));
    case Length::kZ: return static_cast<unsigned long long>(va_arg(*args, std::size_t));
    case Length::kT: return static_cast<unsigned long long>(va_arg(*args, UnsignedPtrdiff));
    case Length::kNone:
    default: return va_arg(*args, unsigned int);
  }
}

// %n: the pointer is taken with its type and nothing is written through it.
void SkipCountPointer(Length length, std::va_list* args) {
  switch (length) {
    case Length::kHH: (void)va_arg(*args, signed char*); break;
    case Length::kH: (void)va_arg(*args, short*); break;
    case Length::kL: (void)va_arg(*args, long*); break;
    case Length::kLL:
    case Length::kBigL: (void)va_arg(*args, long long*); break;
    case Length::kJ: (void)va_arg(*args, std::intmax_t*); break;
    case Length::kZ: (void)va_arg(*args, SignedSize*); break;
    case Length::kT: (void)va_arg(*args, std::ptrdiff_t*); break;
    case Length::kNone:
    default: (void)va_arg(*args, int*); break;
  }
}

// Takes the arguments of `c` (stars first) and formats it into `out`.
void FormatConversion(BoundedText* out, Conversion c, std::va_list* args) {
  if (c.width_star) {
    long long w = va_arg(*args, int);
    if (w < 0) {
      c.minus = true;
      w = -w;
    }
    c.width = static_cast<int>(w > kErrFormatWidthLimit ? kErrFormatWidthLimit : w);
  }
  if (c.precision_star) {
    int p = va_arg(*args, int);
    c.precision = p < 0 ? -1 : (p > kErrFormatWidthLimit ? kErrFormatWidthLimit : p);
  }
  char directive[64];
  switch (c.letter) {
    case 'd':
    case 'i':
      BuildDirective(c, "ll", directive, sizeof directive);
      FormatValue(out, directive, TakeSigned(c.length, args));
      break;
    case 'o':
    case 'u':
    case 'x':
    case 'X':
      BuildDirective(c, "ll", directive, sizeof directive);
      FormatValue(out, directive, TakeUnsigned(c.length, args));
      break;
    case 'c':
      if (c.length == Length::kL) {
        BuildDirective(c, "l", directive, sizeof directive);
        // wint_t is narrower than int on Windows and arrives promoted.
        using Promoted = std::conditional_t<(sizeof(std::wint_t) < sizeof(int)), int, std::wint_t>;
        FormatValue(out, directive, static_cast<std::wint_t>(va_arg(*args, Promoted)));
      } else {
        BuildDirective(c, "", directive, sizeof directive);
        FormatValue(out, directive, va_arg(*args, int));
      }
      break;
    case 's':
      if (c.length == Length::kL) {
        const wchar_t* text = va_arg(*args, const wchar_t*);
        BuildDirective(c, "l", directive, sizeof directive);
        FormatValue(out, directive, text != nullptr ? text : L"(null)");
      } else {
        const char* text = va_arg(*args, const char*);
        BuildDirective(c, "", directive, sizeof directive);
        FormatValue(out, directive, text != nullptr ? text : "(null)");
      }
      break;
    case 'p':
      BuildDirective(c, "", directive, sizeof directive);
      FormatValue(out, directive, va_arg(*args, void*));
      break;
    case 'n': SkipCountPointer(c.length, args); break;
    default:  // the floating conversions e E f F g G a A
      if (c.length == Length::kBigL) {
        BuildDirective(c, "L", directive, sizeof directive);
        FormatValue(out, directive, va_arg(*args, long double));
      } else {
        BuildDirective(c, "", directive, sizeof directive);
        FormatValue(out, directive, va_arg(*args, double));
      }
      break;
  }
}

}  // namespace

void FormatArgs(BoundedText* out, const char* format, FormatMode mode,
                std::va_list* args) noexcept {
  if (format == nullptr) return;
  const bool text_mode = mode == FormatMode::kText;
  bool first_conversion = true;
  const char* p = format;
  while (*p != '\0') {
    if (*p != '%') {
      const char* next = std::strchr(p, '%');
      std::size_t n = next != nullptr ? static_cast<std::size_t>(next - p) : std::strlen(p);
      if (text_mode) out->Append(p, n);
      p += n;
      continue;
    }
    if (p[1] == '%') {
      if (text_mode) out->Append("%", 1);
      p += 2;
      continue;
    }
    Conversion c;
    const char* after = ParseConversion(p + 1, &c);
    if (after == nullptr) {
      // The arguments' types are unknown from here on: none is taken.
      if (text_mode) out->Append(p);
      return;
    }
    if (!text_mode && !first_conversion) out->Append(kArgumentSeparator);
    first_conversion = false;
    FormatConversion(out, c, args);
    p = after;
  }
}

SplitFormat SplitMessageNumber(const char* format, int number_length) noexcept {
  if (format == nullptr) return {nullptr, 0, ""};
  if (number_length < 0 || format[0] != '(') return {nullptr, 0, format};
  const std::size_t n = static_cast<std::size_t>(number_length);
  if (strnlen(format, n + 2) < n + 2 || format[n + 1] != ')') return {nullptr, 0, format};
  return {format + 1, n, format + n + 2};
}

}  // namespace parcel::errinfo::detail
