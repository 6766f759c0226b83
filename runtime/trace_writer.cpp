// The trace line writers and time stamps: lines are assembled in process-wide
// fixed buffers (no heap) and written to the handle's stream.
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "platform/file_size.h"
#include "platform/wall_clock.h"
#include "runtime/trace.h"
#include "runtime/trace_internal.h"

namespace parcel::runtime::detail {
namespace {

constexpr char kSourceName[] = "dptrace";
constexpr char kErrorPrefix[] = "*** ERROR => ";
constexpr char kWarningPrefix[] = "*** WARNING => ";
// Most characters a prefix takes: tag, two blanks, indentation, warning text.
constexpr std::size_t kMaxPrefix = 1 + 2 + kTraceMaxIndent + sizeof kWarningPrefix - 1;
static_assert(kMaxPrefix < kTraceMaxLineText);
constexpr std::int64_t kSizeCheckSeconds = 10;

// The process-wide line state. Unlocked by design: see the threads note in
// runtime/trace.h.
struct LineState {
  char line[kTraceBufferSize];
  char side[kTraceBufferSize];
  char format[kTraceFormatLimit + 1];
  char last_tag;
  bool at_line_start;
  std::time_t last_stamp;
  DpTrcFile::FineTime last_fine_stamp;
  std::time_t last_size_check;
};

LineState g_state = {{}, {}, {}, 0, true, 0, {0, 0}, 0};
TraceClock g_clock = nullptr;

// Source line numbers the failure texts carry, per line kind and encoding.
struct FailureLines {
  int illegal_encoding;
  int format_failed_narrow;  // encoding 1
  int format_failed_wide;    // encoding 2
};
constexpr FailureLines kPlainLines = {2648, 2628, 2606};
constexpr FailureLines kErrorLines = {3037, 3017, 2977};
constexpr FailureLines kErrnoLines = {3292, 3273, 3241};

const FailureLines& LinesOf(LineKind kind) {
  switch (kind) {
    case LineKind::kPlain: return kPlainLines;
    case LineKind::kErrno: return kErrnoLines;
    default: return kErrorLines;
  }
}

int IndentSpaces(int indent) {
  if (indent <= 0) return 0;
  return indent > kTraceMaxIndent / 2 ? kTraceMaxIndent : 2 * indent;
}

// Writes tag, two blanks and the indentation at `out`; returns its length.
std::size_t ComponentPrefix(char* out, char tag, int indent) {
  std::size_t n = 0;
  if (tag != 0) {
    out[n++] = tag;
    out[n++] = ' ';
    out[n++] = ' ';
  }
  int spaces = IndentSpaces(indent);
  std::memset(out + n, ' ', static_cast<std::size_t>(spaces));
  return n + static_cast<std::size_t>(spaces);
}

void Write(std::FILE* stream, const char* data, std::size_t length) {
  if (length > 0) std::fwrite(data, 1, length, stream);
}

// Formats `format` behind the first `*length` characters of the line buffer,
// within kTraceMaxLineText characters in all. Returns false after writing the
// failure text when nothing could be formatted.
bool FormatText(std::FILE* stream, LineKind kind, int encoding, std::size_t* length,
                bool* truncated, const char* format, std::va_list args) {
  std::size_t room = kTraceMaxLineText - *length;
  char* at = g_state.line + *length;
  int n = -1;
  if (room > 0) {
    if (encoding == 2) {
      n = std::vsnprintf(at, room + 1, format, args);
    } else {
      n = std::vsnprintf(g_state.side, sizeof g_state.side, format, args);
      if (n >= 0) {
        std::size_t copied = std::min(std::strlen(g_state.side), room);
        std::memcpy(at, g_state.side, copied);
        at[copied] = '\0';
      }
    }
  }
  if (n < 0) {
    const FailureLines& lines = LinesOf(kind);
    std::fprintf(stream, "*** ERROR => %s err, errno=%d [%s %d]\n",
                 encoding == 2 ? "vsnprintfU" : "vsnprintf", errno, kSourceName,
                 encoding == 2 ? lines.format_failed_wide : lines.format_failed_narrow);
    std::fflush(stream);
    return false;
  }
  if (static_cast<std::size_t>(n) > room) {
    *truncated = true;
    *length += room;
  } else {
    *length += static_cast<std::size_t>(n);
  }
  g_state.line[*length] = '\0';
  return true;
}

// Writes the first `length` characters of the line buffer. For a tagged
// component every newline inside the text is followed by the component's
// prefix; a newline that ends the text (alone or followed by one carriage
// return) is not. Returns whether the text ends with such a newline.
bool OutputLine(std::FILE* stream, const ResolvedHandle& h, std::size_t length) {
  const char* text = g_state.line;
  bool ends_line = (length >= 1 && text[length - 1] == '\n') ||
                   (length >= 2 && text[length - 2] == '\n' && text[length - 1] == '\r');
  if (h.tag == 0) {
    Write(stream, text, length);
    return ends_line;
  }
  char prefix[kMaxPrefix];
  std::size_t prefix_length = ComponentPrefix(prefix, h.tag, h.indent);
  std::size_t final_newline = length;
  if (ends_line) final_newline = text[length - 1] == '\n' ? length - 1 : length - 2;
  std::size_t start = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (text[i] != '\n' || i == final_newline) continue;
    Write(stream, text + start, i + 1 - start);
    Write(stream, prefix, prefix_length);
    start = i + 1;
  }
  Write(stream, text + start, length - start);
  return ends_line;
}

void WatchPatterns(void* handle, std::FILE* stream) {
  if (trcPatterns == nullptr) return;
  for (DpTrcPattern* entry = trcPatterns; entry->pattern != nullptr; ++entry) {
    if (!DpTrcFindPattern(g_state.line, entry->pattern)) continue;
    std::fprintf(stream, "\nDpTrc: found match for pattern >%s< in output\n", entry->pattern);
    std::fflush(stream);
    if (entry->callback != nullptr) entry->callback(handle, entry->pattern);
  }
}

void WatchSize(void* handle, std::FILE* stream, DpTrcFile* file) {
  if (trcMaxFileSize < 1) return;
  std::time_t now = static_cast<std::time_t>(TraceNow().seconds);
  std::time_t* last = (file != nullptr && file->lastSizeCheck != kTraceTimeUnset)
                          ? &file->lastSizeCheck
                          : &g_state.last_size_check;
  if (now - *last <= kSizeCheckSeconds) return;
  *last = now;
  std::int64_t size = 0;
  if (!platform::StreamFileSize(stream, &size) || size <= trcMaxFileSize) return;
  std::fprintf(stream, "\nDpTrc: maximum file size reached: %lld\n", static_cast<long long>(size));
  std::fflush(stream);
  if (trcMaxSizeHook != nullptr) trcMaxSizeHook(handle, size);
}

// The error and errno suffix: " [file name line]\n" from trcLocation, after
// " (errno: text)" for errno lines.
int FormatSuffix(char* out, std::size_t size, LineKind kind, int error_number) {
  char location[kTraceLocationSize];
  std::memcpy(location, trcLocation, sizeof location);
  location[sizeof location - 1] = '\0';
  const char* line = std::strlen(location) > 12 ? location + 12 : "";
  if (kind != LineKind::kErrno) {
    return std::snprintf(out, size, " [%-12.12s %.5s]\n", location, line);
  }
  const char* text = std::strerror(error_number);
  if (text == nullptr || *text == '\0') {
    text = "illegal errno";
  } else if (std::strlen(text) >= 256) {
    text = "error text too long";
  }
  return std::snprintf(out, size, " (%d: %s) [%-12.12s %.5s]\n", error_number, text, location,
                       line);
}

// Restores errno when it goes out of scope: tracing never changes it.
struct ErrnoGuard {
  const int saved = errno;
  ~ErrnoGuard() { errno = saved; }
};

// The level tests: a tagged component writes plain lines from trcEntryLevel
// on and the other lines from 1 on; with trcFileLevelCheck on, the file
// record's level is held against trcEntryLevel too, except for errno lines.
bool Wanted(const ResolvedHandle& h, LineKind kind) {
  const bool plain = kind == LineKind::kPlain;
  if (h.tag != 0 && h.level < (plain ? trcEntryLevel : 1)) return false;
  return kind == LineKind::kErrno || !trcFileLevelCheck || h.file == nullptr ||
         h.file->level >= trcEntryLevel;
}

// The prefix of a plain line in the line buffer; returns its length. A tagged
// component that continues its own open line gets none; one that interrupts
// another component's open line ends that line first.
std::size_t PlainPrefix(std::FILE* stream, const ResolvedHandle& h) {
  if (h.tag == 0) return 0;
  if (h.tag == g_state.last_tag && !g_state.at_line_start) return 0;
  if (!g_state.at_line_start) {
    Write(stream, "\n", 1);
    g_state.at_line_start = true;
  }
  return ComponentPrefix(g_state.line, h.tag, h.indent);
}

// The prefix of an error, warning or errno line; returns its length.
std::size_t ErrorPrefix(const ResolvedHandle& h, LineKind kind) {
  std::size_t length = ComponentPrefix(g_state.line, h.tag, h.indent);
  const char* marker = kind == LineKind::kWarning ? kWarningPrefix : kErrorPrefix;
  std::size_t marker_length = std::strlen(marker);
  std::memcpy(g_state.line + length, marker, marker_length);
  return length + marker_length;
}

// The working copy of an error line's format, at most kTraceFormatLimit
// characters; its final newline gives way to the suffix.
const char* FormatCopy(std::FILE* stream, LineKind kind, const char* format) {
  std::size_t length = strnlen(format, kTraceFormatLimit + 1);
  if (length > kTraceFormatLimit) {
    if (kind != LineKind::kErrno) std::fputs("*** ERROR => Dptrc fmt string truncated\n", stream);
    // A cut conversion would leave vsnprintf an undefined format.
    length = CompleteFormatPrefix(format, kTraceFormatLimit);
  }
  std::memcpy(g_state.format, format, length);
  if (length > 0 && g_state.format[length - 1] == '\n') --length;
  g_state.format[length] = '\0';
  return g_state.format;
}

// Appends the location suffix when it fits in the line.
void AppendSuffix(LineKind kind, int error_number, std::size_t* length) {
  char suffix[kTraceLocationSize + 320];
  int n = FormatSuffix(suffix, sizeof suffix, kind, error_number);
  if (n > 0 && *length + static_cast<std::size_t>(n) <= kTraceMaxLineText) {
    std::memcpy(g_state.line + *length, suffix, static_cast<std::size_t>(n) + 1);
    *length += static_cast<std::size_t>(n);
  }
}

const char* AsFormat(const char* format) { return format != nullptr ? format : ""; }

}  // namespace

platform::WallTime TraceNow() noexcept {
  return g_clock != nullptr ? g_clock() : platform::NowWallTime();
}

void ResetLineState() noexcept {
  g_state.line[0] = '\0';
  g_state.side[0] = '\0';
  g_state.last_tag = 0;
  g_state.at_line_start = true;
  g_state.last_stamp = 0;
  g_state.last_fine_stamp = {0, 0};
  g_state.last_size_check = 0;
}

std::size_t CompleteFormatPrefix(const char* format, std::size_t limit) noexcept {
  std::size_t i = 0;
  while (i < limit) {
    if (format[i] != '%') {
      ++i;
      continue;
    }
    std::size_t start = i++;
    while (i < limit && std::strchr("-+ #0'123456789.*hlLqjzt", format[i]) != nullptr) ++i;
    if (i >= limit) return start;  // the conversion character was cut off
    ++i;
  }
  return limit;
}

void WriteLine(void* handle, LineKind kind, int encoding, bool stamp, const char* format,
               std::va_list args) noexcept {
  const ErrnoGuard errno_guard;
  ResolvedHandle h;
  if (!ResolveHandle(handle, &h) || !Wanted(h, kind)) return;
  std::FILE* stream = h.stream;
  if (encoding != 1 && encoding != 2) {
    std::fprintf(stream, "*** ERROR => Illegal encoding(%d) for Trace [%s %d]\n", encoding,
                 kSourceName, LinesOf(kind).illegal_encoding);
    std::fflush(stream);
    return;
  }
  if (stamp) DpTrcStamp(handle);

  const bool plain = kind == LineKind::kPlain;
  std::size_t length = 0;
  if (plain) {
    length = PlainPrefix(stream, h);
  } else {
    length = ErrorPrefix(h, kind);
    format = FormatCopy(stream, kind, AsFormat(format));
  }
  bool truncated = false;
  if (!FormatText(stream, kind, encoding, &length, &truncated, AsFormat(format), args)) return;
  if (!plain) AppendSuffix(kind, errno_guard.saved, &length);

  bool ends_line = OutputLine(stream, h, length);
  if (plain && h.tag != 0) {
    g_state.at_line_start = ends_line;
    g_state.last_tag = h.tag;
  }
  if (truncated) std::fprintf(stream, "\n%sdata was truncated\n", kWarningPrefix);
  std::fflush(stream);

  if (kind != LineKind::kErrno) WatchPatterns(handle, stream);
  if (plain) WatchSize(handle, stream, h.file);
}

}  // namespace parcel::runtime::detail

namespace parcel::runtime {

void SetTraceClock(TraceClock clock) noexcept { detail::g_clock = clock; }

}  // namespace parcel::runtime

namespace {

using parcel::runtime::detail::g_state;
using parcel::runtime::detail::LineKind;
using parcel::runtime::detail::ResolvedHandle;
using parcel::runtime::detail::WriteLine;

constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// "Www Mmm dd hh:mm:ss" with the day blank-padded: the first 19 characters of
// the C library's asctime form, built here because asctime is not reentrant and
// the Windows C library's strftime lacks %e and %T. False for fields no
// calendar has.
bool FormatDateTime(const std::tm& tm, char* out, std::size_t size) {
  if (tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 || tm.tm_mon > 11 || tm.tm_mday < 1 ||
      tm.tm_mday > 31 || tm.tm_hour < 0 || tm.tm_hour > 23 || tm.tm_min < 0 || tm.tm_min > 59 ||
      tm.tm_sec < 0 || tm.tm_sec > 60) {
    return false;
  }
  int n = std::snprintf(out, size, "%.3s %.3s%3d %.2d:%.2d:%.2d", kWeekdays[tm.tm_wday],
                        kMonths[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return n > 0 && static_cast<std::size_t>(n) < size;
}

}  // namespace

void DpTrcStamp(void* handle) noexcept {
  using namespace parcel::runtime;
  namespace platform = parcel::platform;
  const detail::ErrnoGuard errno_guard;
  ResolvedHandle h;
  if (!detail::ResolveHandle(handle, &h) || (h.tag != 0 && h.level < 1) || trcStampMode <= 0) {
    return;
  }
  platform::WallTime now = detail::TraceNow();
  std::tm tm{};
  char date[32];
  char text[64];
  int text_length = -1;
  if (trcStampMode == 1) {
    std::time_t* last = (h.file != nullptr && h.file->lastStamp != kTraceTimeUnset)
                            ? &h.file->lastStamp
                            : &g_state.last_stamp;
    if (static_cast<std::time_t>(now.seconds) == *last) return;
    *last = static_cast<std::time_t>(now.seconds);
    if (platform::ToLocalTime(now.seconds, &tm) && FormatDateTime(tm, date, sizeof date)) {
      // asctime: the date and time, a blank and the year, cut to 24 characters.
      text_length = std::snprintf(text, sizeof text, "%s %d", date, tm.tm_year + 1900);
      if (text_length > 24) text_length = 24;
    }
  } else {
    const std::int64_t interval = std::max<std::int64_t>(1000000 / trcStampMode, 100000);
    DpTrcFile::FineTime* last =
        (h.file != nullptr && h.file->lastFineStamp.seconds != kTraceFineSecondsUnset)
            ? &h.file->lastFineStamp
            : &g_state.last_fine_stamp;
    auto seconds = static_cast<std::uint32_t>(now.seconds);
    if (seconds == last->seconds &&
        static_cast<std::int64_t>(now.microseconds) - last->microseconds < interval) {
      return;
    }
    *last = {seconds, now.microseconds};
    if (platform::ToLocalTime(now.seconds, &tm) && FormatDateTime(tm, date, sizeof date)) {
      text_length = std::snprintf(text, sizeof text, "%.24s:%ld %4.4d", date,
                                  static_cast<long>(now.microseconds / 1000), tm.tm_year + 1900);
    }
  }
  // A date that cannot be formatted leaves the stamp out.
  if (text_length <= 0 || static_cast<std::size_t>(text_length) >= sizeof text) return;

  char* out = g_state.line;
  std::size_t n = 0;
  if (trcLevel == 1) {
    if (h.tag != 0) {
      out[n++] = h.tag;
      out[n++] = ' ';
      out[n++] = ' ';
    }
    out[n++] = '\n';
  }
  if (h.tag != 0) {
    out[n++] = h.tag;
    out[n++] = ' ';
  }
  std::memcpy(out + n, text, static_cast<std::size_t>(text_length));
  n += static_cast<std::size_t>(text_length);
  out[n++] = '\n';
  out[n] = '\0';
  std::fwrite(out, 1, n, h.stream);
  std::fflush(h.stream);
}

#define PARCEL_TRC_WRITER(name, kind, encoding, stamp)                \
  void name(void* handle, const char* format, ...) noexcept {         \
    std::va_list args;                                                \
    va_start(args, format);                                           \
    WriteLine(handle, LineKind::kind, encoding, stamp, format, args); \
    va_end(args);                                                     \
  }

PARCEL_TRC_WRITER(DpTrc, kPlain, 2, true)
PARCEL_TRC_WRITER(DpTrcNoStamp, kPlain, 2, false)
PARCEL_TRC_WRITER(DpTrcError, kError, 2, true)
PARCEL_TRC_WRITER(DpTrcErrorNarrow, kError, 1, true)
PARCEL_TRC_WRITER(DpTrcWarning, kWarning, 2, true)
PARCEL_TRC_WRITER(DpTrcErrno, kErrno, 2, true)

#undef PARCEL_TRC_WRITER
