// System-log records: 64 bytes built from a formatted text and the source
// location, handed to the log hook.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "runtime/trace.h"

namespace {

using parcel::runtime::kTraceSysLogRecordSize;

constexpr int kAreaSize = 100;
constexpr int kShortText = 52;   // DpTrcSysLog texts that leave room for the location
constexpr int kShortText2 = 38;  // DpTrcSysLog2 texts that leave room for two fields
constexpr int kFieldSize = 7;
constexpr int kFileNameSize = 8;
constexpr int kLineSize = 4;
constexpr int kLineOffset = 12;  // where DpTrcSetLocation puts the line number

// Formats into `area`, blank-filled first; returns the text length (at most 99)
// or -1 when the text cannot be formatted.
int FormatArea(char (&area)[kAreaSize], const char* format, std::va_list args) {
  std::memset(area, ' ', sizeof area);
  int n = std::vsnprintf(area, sizeof area, format != nullptr ? format : "", args);
  if (n < 0) return -1;
  return n < kAreaSize ? n : kAreaSize - 1;
}

// Appends the 8 characters of file name and 4 of line number from trcLocation.
void CopyLocation(char* record) {
  trcCopyHook(record, trcLocation, kFileNameSize);
  trcCopyHook(record + kFileNameSize, trcLocation + kLineOffset, kLineSize);
}

}  // namespace

void DpTrcSysLog(const char* messageId, const char* format, ...) noexcept {
  const int saved_errno = errno;
  if (trcLogHook == nullptr || trcCopyHook == nullptr) return;
  char area[kAreaSize];
  std::va_list args;
  va_start(args, format);
  int length = FormatArea(area, format, args);
  va_end(args);
  if (length < 0) {
    // Nothing usable was formatted: the record carries an empty text.
    std::memset(area, ' ', sizeof area);
    area[0] = '\0';
    length = 0;
  }
  char record[kTraceSysLogRecordSize];
  char type = ' ';
  if (length <= kShortText) {
    trcCopyHook(record, area, kShortText);
    CopyLocation(record + kShortText);
    type = 'l';
  } else {
    trcCopyHook(record, area, static_cast<int>(kTraceSysLogRecordSize));
  }
  trcLogHook(type, messageId, record);
  errno = saved_errno;
}

void DpTrcSysLog2(const char* messageId, const char* field1, const char* field2, const char* format,
                  ...) noexcept {
  if (trcLogHook == nullptr || trcCopyHook == nullptr) return;
  char area[kAreaSize];
  std::va_list args;
  va_start(args, format);
  int length = FormatArea(area, format, args);
  va_end(args);
  if (length < 0 || length > kShortText2) {
    DpTrcSysLog(messageId, "%s", length < 0 ? "" : area);
    return;
  }
  // Fields are copied blank-padded from at most 7 of their characters, so a
  // shorter field is never read past its end.
  char fields[2][kFieldSize];
  const char* sources[2] = {field1, field2};
  for (int i = 0; i < 2; ++i) {
    std::memset(fields[i], ' ', kFieldSize);
    if (sources[i] != nullptr) std::memcpy(fields[i], sources[i], strnlen(sources[i], kFieldSize));
  }
  char record[kTraceSysLogRecordSize];
  trcCopyHook(record, area, kShortText2);
  trcCopyHook(record + kShortText2, fields[0], kFieldSize);
  trcCopyHook(record + kShortText2 + kFieldSize, fields[1], kFieldSize);
  CopyLocation(record + kShortText2 + 2 * kFieldSize);
  trcLogHook('m', messageId, record);
}
