// Setting, replacing and copying in records. Each operation builds its new
// record in a buffer of its own and stores it only when it is whole, so a
// failure leaves the stored record as it was (or, where that is the rule,
// empty), and texts may be taken from the stored record itself.
#include "errinfo/setter.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "errinfo/format.h"
#include "errinfo/record.h"
#include "runtime/trace.h"

namespace parcel::errinfo::detail {
namespace {

constexpr char kEyecatcher[] = "*ERR*";
constexpr char kFormatVersion[] = "1";
constexpr char kRelease[] = "700";
constexpr int kSeparatorLength = 4;  // "::::" between the error's and the detail's texts

char g_location[kErrLocationLimit + 1];
platform::WallTime (*g_clock)() = nullptr;

const char* OrEmpty(const char* text) { return text != nullptr ? text : ""; }

// `value` in decimal, or the empty text for 0 when `empty_for_zero`.
void Decimal(int value, bool empty_for_zero, char (&out)[16]) {
  if (value == 0 && empty_for_zero) {
    out[0] = '\0';
  } else {
    std::snprintf(out, sizeof out, "%d", value);
  }
}

// The ERRNO TEXT of a number: the system's text, empty for 0.
void ErrnoText(int errno_value, char (&out)[kErrErrnoTextLimit + 1]) {
  out[0] = '\0';
  if (errno_value != 0) ErrSysText(errno_value, out, sizeof out);
}

// A message number as a text of its own. Numbers too long for any record are
// kept one character beyond the area, so the record that holds them is
// refused as too large.
void CopyNumber(const SplitFormat& split, char (&out)[kErrInfoSize + 2]) {
  constexpr std::size_t kKept = static_cast<std::size_t>(kErrInfoSize) + 1;
  const std::size_t n = split.number_length < kKept ? split.number_length : kKept;
  if (n > 0) std::memcpy(out, split.number, n);
  out[n] = '\0';
}

// Formats `first` and then `second` on one argument list (a copy of `*args`)
// within one budget of kErrTextLimit characters: the second text gets what
// the first leaves, less the separator between them.
void FormatPair(const char* first, const char* second, FormatMode mode, std::va_list* args,
                char (&first_out)[kErrTextLimit + 1], char (&second_out)[kErrTextLimit + 1]) {
  std::va_list copy;
  va_copy(copy, *args);
  BoundedText a(first_out, kErrTextLimit);
  FormatArgs(&a, first, mode, &copy);
  const std::size_t used = a.size() + kSeparatorLength;
  BoundedText b(second_out, used < kErrTextLimit ? kErrTextLimit - used : 0);
  if (used < kErrTextLimit) FormatArgs(&b, second, mode, &copy);
  va_end(copy);
}

// Formats `format` alone on a copy of `*args`.
void FormatOne(const char* format, FormatMode mode, std::va_list* args,
               char (&out)[kErrTextLimit + 1]) {
  std::va_list copy;
  va_copy(copy, *args);
  BoundedText text(out, kErrTextLimit);
  FormatArgs(&text, format, mode, &copy);
  va_end(copy);
}

// A decimal 32-bit integer, optionally signed, and nothing else.
bool ParseInt(const char* text, int* out) {
  const char* p = text;
  bool negative = *p == '-';
  if (*p == '-' || *p == '+') ++p;
  if (*p == '\0') return false;
  long long value = 0;
  for (; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + (*p - '0');
    if (value > static_cast<long long>(INT_MAX) + 1) return false;
  }
  if (negative) value = -value;
  if (value < INT_MIN || value > INT_MAX) return false;
  *out = static_cast<int>(value);
  return true;
}

// Stores the whole record of `length` bytes at `record` (which may be the
// area itself); bytes of an earlier, longer record are cleared.
void Commit(const char* record, int length) {
  Store& store = TheStore();
  std::memmove(store.area, record, static_cast<std::size_t>(length));
  if (store.length > length) {
    std::memset(store.area + length, 0, static_cast<std::size_t>(store.length - length));
  }
  store.length = length;
}

struct FieldChange {
  int index;
  const char* text;
};

// Applies `changes` in order to a copy of the stored record and stores the
// result only when all of them succeed. Requires: a record is stored.
int ApplyChanges(const FieldChange* changes, int count) {
  const Store& store = TheStore();
  char record[kErrInfoSize];
  int length = store.length;
  std::memcpy(record, store.area, static_cast<std::size_t>(length));
  for (int i = 0; i < count; ++i) {
    const char* text = OrEmpty(changes[i].text);
    int rc = ReplaceField(record, &length, changes[i].index, text,
                          strnlen(text, static_cast<std::size_t>(kErrInfoSize) + 1));
    if (rc == kErrTooLarge) {
      PARCEL_TRC_AT(1, kTraceSource, kLineReplaceTooLarge, DpTrcError,
                    "ErrReplace: error info too large");
    }
    if (rc != kErrOk) return rc;
  }
  Commit(record, length);
  return kErrOk;
}

void TraceTooLarge(const char* const* fields, const char* time_text) {
  PARCEL_TRC_AT(1, kTraceSource, kLineSetTooLarge, DpTrcError, "ErrISetSys: error info too large");
  static constexpr struct {
    const char* name;
    int index;
  } kDumpOrder[] = {
      {"LOCATION", kErrFieldLocation},
      {"ERROR", kErrFieldError},
      {"TIME", kErrFieldTime},
      {"RELEASE", kErrFieldRelease},
      {"COMPONENT", kErrFieldComponent},
      {"VERSION", kErrFieldVersion},
      {"RC", kErrFieldRc},
      {"MODULE", kErrFieldModule},
      {"LINE", kErrFieldLine},
      {"DETAIL", kErrFieldDetail},
      {"SYSTEM CALL", kErrFieldSystemCall},
      {"ERRNO", kErrFieldErrno},
      {"ERRNO TEXT", kErrFieldErrnoText},
      {"DESCR MSG NO", kErrFieldDescrMsgNo},
      {"DESCR VARGS", kErrFieldDescrVargs},
      {"DETAIL MSG NO", kErrFieldDetailMsgNo},
      {"DETAIL VARGS", kErrFieldDetailVargs},
      {"COUNTER", kErrFieldCounter},
  };
  PARCEL_TRC(1, DpTrc, "%s\n", time_text);
  for (const auto& entry : kDumpOrder) {
    PARCEL_TRC(1, DpTrc, "%-12.12s%s\n", entry.name, fields[entry.index]);
  }
}

// The trace line and the system-log record of a set with its trace flag.
void TraceAndLog(const char* module, int line, const char* detail, const char* system_call,
                 int errno_value, const char* errno_text) {
  const runtime::TraceStatement statement(2);
  PARCEL_TRC(1, DpTrc, "***LOG Q0I=> %s: %s ", detail, system_call);
  if (errno_value != 0) PARCEL_TRC(1, DpTrc, "(%d: %s) ", errno_value, errno_text);
  PARCEL_TRC(1, DpTrc, "[%s %d]\n", module, line);
  DpTrcSetLocation(module, line);
  if (errLogSwitch != 0) {
    DpTrcSysLog2("Q0I", detail, system_call, "%14.14s%3d", system_call, errno_value);
  }
}

// Whether `length` bytes at `data` begin with "*ERR*" and end with "*ERR*"
// and its NUL.
bool HasEyecatchers(const char* data, int length) {
  constexpr int kTail = sizeof kEyecatcher;  // with the NUL
  return data != nullptr && length >= kTail && std::memcmp(data, kEyecatcher, kTail - 1) == 0 &&
         std::memcmp(data + length - kTail, kEyecatcher, kTail) == 0;
}

void ReportBadRecord(int line, const char* text, const char* data, int length) {
  PARCEL_TRC_AT(1, kTraceSource, line, DpTrcError, "%s", text);
  ErrTraceBadInfo(data, length, "bad err info");
}

}  // namespace

const char* Location() noexcept { return g_location; }

void SetLocation(const char* location) noexcept {
  BoundedText text(g_location, kErrLocationLimit);
  text.Append(location);
}

platform::WallTime Now() noexcept {
  return g_clock != nullptr ? g_clock() : platform::NowWallTime();
}

void SetClock(platform::WallTime (*clock)()) noexcept { g_clock = clock; }

void ResetSettings() noexcept {
  errCounter = 0;
  errMsgNoLength = 0;
  errLogSwitch = 3;
  g_location[0] = '\0';
  g_clock = nullptr;
}

int NextCounter() noexcept {
  errCounter = static_cast<int>(static_cast<unsigned int>(errCounter) + 1u);
  return errCounter;
}

int SetRecord(const char* component, int componentNumber, const char* module, int line,
              int traceFlag, const char* errorText, int rc, const char* detail,
              const char* systemCall, int errnoValue, const char* descrMsgNo,
              const char* descrVargs, const char* detailMsgNo, const char* detailVargs) noexcept {
  if (!EnsureArea()) return kErrNoMemory;
  char counter_text[16];
  Decimal(NextCounter(), false, counter_text);
  char time_text[32];
  FormatTimeField(Now().seconds, time_text, sizeof time_text);
  char rc_text[16], version_text[16], line_text[16], errno_text[16];
  Decimal(rc, true, rc_text);
  Decimal(componentNumber, true, version_text);
  Decimal(line, true, line_text);
  Decimal(errnoValue, true, errno_text);
  char errno_system_text[kErrErrnoTextLimit + 1];
  ErrnoText(errnoValue, errno_system_text);
  const char* const fields[kErrFieldCount] = {
      kEyecatcher,
      kFormatVersion,
      OrEmpty(errorText),
      rc_text,
      OrEmpty(component),
      kRelease,
      version_text,
      OrEmpty(module),
      line_text,
      OrEmpty(detail),
      time_text,
      OrEmpty(systemCall),
      errno_text,
      errno_system_text,
      counter_text,
      g_location,
      OrEmpty(descrMsgNo),
      OrEmpty(descrVargs),
      OrEmpty(detailMsgNo),
      OrEmpty(detailVargs),
      kEyecatcher,
  };
  char record[kErrInfoSize];
  const int length = BuildRecord(fields, record);
  if (length < 0) {
    TraceTooLarge(fields, time_text);
    ClearStore();
    return kErrTooLarge;
  }
  if (traceFlag != 0 && errLogSwitch >= 1) {
    TraceAndLog(OrEmpty(module), line, OrEmpty(detail), OrEmpty(systemCall), errnoValue,
                errno_system_text);
  }
  Commit(record, length);
  return kErrOk;
}

int SetFromFormats(const char* component, int componentNumber, const char* module, int line,
                   int traceFlag, const char* errorFormat, int rc, const char* detailFormat,
                   const char* systemCall, int errnoValue, bool all_arguments,
                   std::va_list* args) noexcept {
  const SplitFormat error = SplitMessageNumber(errorFormat, errMsgNoLength);
  const SplitFormat detail = SplitMessageNumber(detailFormat, errMsgNoLength);
  char error_args[kErrTextLimit + 1], detail_args[kErrTextLimit + 1];
  FormatPair(error.format, detail.format, FormatMode::kArgumentTexts, args, error_args,
             detail_args);
  char error_text[kErrTextLimit + 1], detail_text[kErrTextLimit + 1];
  FormatPair(error.format, detail.format, FormatMode::kText, args, error_text, detail_text);
  char error_number[kErrInfoSize + 2], detail_number[kErrInfoSize + 2];
  CopyNumber(error, error_number);
  CopyNumber(detail, detail_number);
  return SetRecord(component, componentNumber, module, line, traceFlag, error_text, rc, detail_text,
                   systemCall, errnoValue, error_number,
                   (all_arguments || error_number[0] != '\0') ? error_args : "", detail_number,
                   (all_arguments || detail_number[0] != '\0') ? detail_args : "");
}

int ReplaceInStore(int index, const char* value, std::va_list* args) noexcept {
  if (TheStore().length == 0) {
    PARCEL_TRC(2, DpTrc, "ErrReplace: no error info available\n");
    return kErrNoInfo;
  }
  if (index < kErrFieldError || index > kErrFieldDetailVargs || index == kErrFieldTime) {
    return kErrBadField;
  }
  FieldChange changes[3];
  int count = 0;
  char text[kErrTextLimit + 1];
  char argument_texts[kErrTextLimit + 1];
  char number[kErrInfoSize + 2];
  char decimal[16];
  char errno_system_text[kErrErrnoTextLimit + 1];
  switch (index) {
    case kErrFieldError:
    case kErrFieldDetail: {
      const SplitFormat split = SplitMessageNumber(value, errMsgNoLength);
      FormatOne(split.format, FormatMode::kText, args, text);
      FormatOne(split.format, FormatMode::kArgumentTexts, args, argument_texts);
      CopyNumber(split, number);
      const bool error = index == kErrFieldError;
      changes[count++] = {index, text};
      changes[count++] = {error ? kErrFieldDescrMsgNo : kErrFieldDetailMsgNo, number};
      changes[count++] = {error ? kErrFieldDescrVargs : kErrFieldDetailVargs,
                          number[0] != '\0' ? argument_texts : ""};
      break;
    }
    case kErrFieldRc:
    case kErrFieldErrno:
    case kErrFieldCounter: {
      int number_value = 0;
      FormatOne(value, FormatMode::kText, args, text);
      if (!ParseInt(text, &number_value)) return kErrBadField;
      Decimal(number_value, index != kErrFieldErrno, decimal);
      changes[count++] = {index, decimal};
      if (index == kErrFieldErrno) {
        ErrnoText(number_value, errno_system_text);
        changes[count++] = {kErrFieldErrnoText, errno_system_text};
      }
      break;
    }
    case kErrFieldLocation:
    case kErrFieldDescrMsgNo:
    case kErrFieldDetailMsgNo:
      FormatOne(value, FormatMode::kText, args, text);
      changes[count++] = {index, text};
      break;
    default: changes[count++] = {index, value}; break;
  }
  return ApplyChanges(changes, count);
}

int CopyFromPeer(const char* data, int length) noexcept {
  if (length > kErrInfoSize) {
    PARCEL_TRC_AT(1, kTraceSource, kLineNetTooLarge, DpTrcError,
                  "ErrCpNetToInt2: internal area too small (%d<%d)", kErrInfoSize, length);
    return kErrTooLarge;
  }
  if (!EnsureArea()) return kErrNoMemory;
  const int n = (data != nullptr && length > 0) ? length : 0;
  char record[kErrInfoSize];
  TranslateFromPeer(data, n, record);
  if (!IsWholeRecord(record, n)) {
    // The earlier record stays: storing these bytes would leave one that
    // readers cannot walk.
    ReportBadRecord(kLineNetBad, "ErrCpNetToInt: bad err info (eyecatcher destroyed)", record, n);
    return kErrBadRecord;
  }
  Commit(record, n);
  return kErrOk;
}

int CopyInternal(const char* data, int length) noexcept {
  const bool eyecatchers = HasEyecatchers(data, length);
  if (eyecatchers && length > kErrInfoSize) {
    PARCEL_TRC_AT(1, kTraceSource, kLineCpToTooLarge, DpTrcError,
                  "ErrCpTo: error info too large (%d bytes)", length);
    return kErrTooLarge;
  }
  if (!eyecatchers || !IsWholeRecord(data, length)) {
    ReportBadRecord(kLineCpToBad, "ErrCpTo: bad err info (eyecatcher destroyed)", data,
                    data != nullptr && length > 0 ? length : 0);
    return kErrBadRecord;
  }
  if (!EnsureArea()) return kErrNoMemory;
  Commit(data, length);
  char counter_text[16];
  Decimal(NextCounter(), false, counter_text);
  const FieldChange change = {kErrFieldCounter, counter_text};
  return ApplyChanges(&change, 1);
}

}  // namespace parcel::errinfo::detail
