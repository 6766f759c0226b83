// The record store and the byte-level work on records. Every function here
// keeps to the bytes it is given: a record's own length, never a terminator
// it might lack, bounds each walk.
#include "errinfo/record.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/wall_clock.h"
#include "runtime/mem.h"

namespace parcel::errinfo::detail {
namespace {

constexpr char kEyecatcher[] = "*ERR*";
constexpr int kEyecatcherLength = 5;
// The shortest record the checks accept.
constexpr int kMinRecordLength = 8;

Store g_store;

}  // namespace

Store& TheStore() noexcept { return g_store; }

bool EnsureArea() noexcept {
  if (g_store.area == nullptr) {
    void* area = MemAlloc(static_cast<std::size_t>(kErrInfoSize), "ErrInfo");
    if (area == nullptr) return false;
    std::memset(area, 0, static_cast<std::size_t>(kErrInfoSize));
    g_store.area = static_cast<char*>(area);
    g_store.length = 0;
  }
  return true;
}

void ClearStore() noexcept {
  if (g_store.area != nullptr && g_store.length > 0) {
    std::memset(g_store.area, 0, static_cast<std::size_t>(kErrInfoSize));
  }
  g_store.length = 0;
}

void FreeStore() noexcept {
  MemFree(g_store.area);
  g_store.area = nullptr;
  g_store.length = 0;
}

bool FindField(const char* record, int length, int index, FieldBounds* out) noexcept {
  if (record == nullptr || length <= 0 || index < 0) return false;
  int begin = 0;
  for (int field = 0;; ++field) {
    const void* nul = std::memchr(record + begin, '\0', static_cast<std::size_t>(length - begin));
    if (nul == nullptr) return false;
    int end = static_cast<int>(static_cast<const char*>(nul) - record);
    if (field == index) {
      *out = {begin, end};
      return true;
    }
    begin = end + 1;
  }
}

int ReplaceField(char* record, int* length, int index, const char* text,
                 std::size_t text_length) noexcept {
  FieldBounds field;
  if (!FindField(record, *length, index, &field)) return kErrBadField;
  const std::size_t old_length = static_cast<std::size_t>(field.end - field.begin);
  const std::size_t rest = static_cast<std::size_t>(*length) - old_length;
  if (text_length > static_cast<std::size_t>(kErrInfoSize) - rest) return kErrTooLarge;
  const std::size_t tail = static_cast<std::size_t>(*length - field.end);  // from the NUL on
  std::memmove(record + field.begin + text_length, record + field.end, tail);
  if (text_length > 0) std::memcpy(record + field.begin, text, text_length);
  *length = static_cast<int>(rest + text_length);
  return kErrOk;
}

bool IsWholeRecord(const char* data, int length) noexcept {
  if (data == nullptr || length < kMinRecordLength || length > kErrInfoSize) return false;
  if (std::memcmp(data, kEyecatcher, kEyecatcherLength) != 0) return false;
  // The closing eyecatcher with its NUL.
  if (std::memcmp(data + length - (kEyecatcherLength + 1), kEyecatcher, kEyecatcherLength + 1) !=
      0) {
    return false;
  }
  int fields = 0;
  for (int i = 0; i < length; ++i) {
    if (data[i] == '\0') ++fields;
  }
  return fields >= kErrFieldCount;
}

void TranslateFromPeer(const char* data, int length, char* out) noexcept {
  if (data == nullptr || length <= 0) return;
  const auto* in = reinterpret_cast<const unsigned char*>(data);
  const bool ebcdic = length >= 5 && std::memcmp(in, kEbcdicEyecatcher, 5) == 0;
  for (int i = 0; i < length; ++i) {
    unsigned char c = in[i];
    out[i] = static_cast<char>(ebcdic ? kEbcdic500ToLatin1[c] : (c >= 128 ? '#' : c));
  }
}

int BuildRecord(const char* const* fields, char* out) noexcept {
  std::size_t length = 0;
  for (int i = 0; i < kErrFieldCount; ++i) {
    // Bounded: a text longer than the area cannot fit anyway.
    std::size_t n = strnlen(fields[i], static_cast<std::size_t>(kErrInfoSize) + 1);
    if (n + 1 > static_cast<std::size_t>(kErrInfoSize) - length) return -1;
    std::memcpy(out + length, fields[i], n);
    out[length + n] = '\0';
    length += n + 1;
  }
  return static_cast<int>(length);
}

void FormatTimeField(std::int64_t seconds, char* out, std::size_t size) noexcept {
  static constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  // asctime itself is not reentrant; its form is rebuilt from the fields.
  if (!platform::ToLocalTime(seconds, &tm) || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 ||
      tm.tm_mon > 11) {
    std::snprintf(out, size, "%s", "error in localtime");
    return;
  }
  std::snprintf(out, size, "%.3s %.3s%3d %.2d:%.2d:%.2d %d", kWeekdays[tm.tm_wday],
                kMonths[tm.tm_mon], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                tm.tm_year + 1900);
}

}  // namespace parcel::errinfo::detail
