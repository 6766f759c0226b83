// The transfer-form reader and the output-record writer of OrbData.
#include "data/orb_data.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/alloc_hook.h"

namespace parcel::data {
namespace {

// Zeroed array of `count` elements. Every buffer whose size comes from a
// request is had through the allocation hook, so a test can fail any of them.
template <typename T>
T* AllocateArray(std::int64_t count) noexcept {
  return static_cast<T*>(parcel::platform::HookedCalloc(
      parcel::platform::AllocSite::kTransfer, static_cast<std::size_t>(count), sizeof(T)));
}

std::int32_t ClampWidth(std::int64_t sum) {
  return sum < 0 || sum > INT32_MAX ? -1 : static_cast<std::int32_t>(sum);
}

bool IsSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Copies `text` into a blank-padded field of `width` bytes without terminator.
void PutField(char* field, std::size_t width, const char* text) {
  std::memset(field, ' ', width);
  if (text != nullptr) std::memcpy(field, text, strnlen(text, width));
}

}  // namespace

std::int32_t ReadNumber(const char* text, const char* end) noexcept {
  const char* p = text;
  while (p < end && IsSpace(*p)) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = *p++ == '-';
  std::int64_t value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > std::int64_t{INT32_MAX} + 1) value = std::int64_t{INT32_MAX} + 1;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

}  // namespace parcel::data

using parcel::data::AllocateArray;
using parcel::data::ClampWidth;
using parcel::data::PutField;
using parcel::data::ReadNumber;

OrbData::OrbData() noexcept
    : descriptionLength(0),
      description(nullptr),
      rawLength(0),
      dataStart(nullptr),
      tableData(nullptr),
      tableWidth(nullptr),
      tableColumns(nullptr),
      tableLines(nullptr),
      tableCount(0),
      recordCount(0),
      recordKinds(nullptr),
      parsed(false),
      output(nullptr),
      outputLength(0),
      requestStart(nullptr),
      requestLength(0),
      tableLineWidth(nullptr) {}

OrbData::~OrbData() {
  ReleaseTables();
  ResetOutput();
}

void OrbData::ReleaseTableArrays() noexcept {
  std::free(tableData);
  std::free(tableWidth);
  std::free(tableColumns);
  std::free(tableLines);
  std::free(tableLineWidth);
  tableData = nullptr;
  tableWidth = tableColumns = tableLines = nullptr;
  tableLineWidth = nullptr;
  tableCount = 0;
}

void OrbData::ReleaseTables() noexcept {
  ReleaseTableArrays();
  std::free(recordKinds);
  recordKinds = nullptr;
  recordCount = 0;
}

void OrbData::ClearRequest() noexcept {
  ReleaseTables();
  description = nullptr;
  dataStart = nullptr;
  descriptionLength = 0;
  rawLength = 0;
  parsed = false;
  requestStart = nullptr;
  requestLength = 0;
}

int OrbData::ReadTransfer(char* buffer, std::uint32_t length) noexcept {
  ClearRequest();
  if (buffer == nullptr || length == 0) return 1;
  // A new request starts a new response. Releasing here (rather than only
  // forgetting the pointer) keeps a missing ResetOutput from leaking it.
  ResetOutput();
  if (length < PARCEL_TRANSFER_HEADER_SIZE ||
      std::memcmp(buffer, PARCEL_TRANSFER_MAGIC, PARCEL_TRANSFER_MAGIC_SIZE) != 0) {
    return 1;
  }
  const char* end = buffer + length;
  requestStart = buffer;
  requestLength = length;
  description = buffer + PARCEL_TRANSFER_HEADER_SIZE;
  descriptionLength = static_cast<std::uint32_t>(
      ReadNumber(buffer + PARCEL_TRANSFER_DESCRIPTION_LENGTH_OFFSET, end));
  rawLength = ReadNumber(buffer + 32, end);
  // dataStart may lie beyond the request; ParseDescription never uses it then.
  dataStart = std::uint64_t{PARCEL_TRANSFER_HEADER_SIZE} + descriptionLength <= length
                  ? buffer + PARCEL_TRANSFER_HEADER_SIZE + descriptionLength
                  : nullptr;
  return 0;
}

int OrbData::ParseDescription() noexcept {
  int result = 0;
  if (requestStart != nullptr) {
    if (descriptionLength == 0) {
      // A request without description: one nameless table of width 0.
      if (rawLength != 0) {
        tableData = AllocateArray<char*>(1);
        tableWidth = AllocateArray<std::uint32_t>(1);
        tableColumns = AllocateArray<std::uint32_t>(1);
        tableLines = AllocateArray<std::uint32_t>(1);
        tableLineWidth = AllocateArray<std::int32_t>(1);
        if (tableData && tableWidth && tableColumns && tableLines && tableLineWidth) {
          // Its reported size is 0, so nothing of it is ever read.
          tableCount = 1;
          tableData[0] = dataStart;
          tableWidth[0] = tableLines[0] = static_cast<std::uint32_t>(rawLength);
          tableColumns[0] = 1;
          tableLineWidth[0] = 0;
        } else {
          ReleaseTableArrays();
          result = 1;
        }
      }
    } else {
      result = ParseWithDescription();
    }
  }
  parsed = true;
  return result;
}

int OrbData::ParseWithDescription() noexcept {
  // The whole description must lie inside the request.
  if (dataStart == nullptr) return 1;
  const std::int32_t records =
      static_cast<std::int32_t>(descriptionLength / PARCEL_TRANSFER_RECORD_SIZE);
  if (records < 1) return 1;
  recordKinds = AllocateArray<std::uint32_t>(records);
  if (recordKinds == nullptr) return 1;
  recordCount = records;

  static const struct {
    const char* tag;
    std::uint32_t kind;
  } kTags[] = {{"VERS", parcel::data::kRecordVers}, {"TBNM", parcel::data::kRecordTbnm},
               {"TBLN", parcel::data::kRecordTbln}, {"TBCL", parcel::data::kRecordTbcl},
               {"TBWD", parcel::data::kRecordTbwd}, {"CLNM", parcel::data::kRecordClnm},
               {"CLWD", parcel::data::kRecordClwd}};
  for (std::int32_t r = 0; r < records; ++r) {
    char* tag =
        description + std::size_t{PARCEL_TRANSFER_RECORD_SIZE} * static_cast<std::size_t>(r);
    for (std::uint32_t i = 0; i < PARCEL_TRANSFER_TAG_SIZE; ++i) {
      tag[i] = tag[i] == ' ' ? '\0'
                             : static_cast<char>(std::toupper(static_cast<unsigned char>(tag[i])));
    }
    recordKinds[r] = parcel::data::kRecordOther;
    for (const auto& known : kTags) {
      if (strncmp(tag, known.tag, PARCEL_TRANSFER_TAG_SIZE) == 0) recordKinds[r] = known.kind;
    }
  }

  // Record 0 is VERS and its value contains "1.0" before the first NUL. The
  // search may run past the value (the value has no terminator of its own) but
  // never past the request.
  if (recordKinds[0] != parcel::data::kRecordVers) return 1;
  {
    const char* value = description + PARCEL_TRANSFER_TAG_SIZE;
    const char* end = requestStart + requestLength;
    const char* stop = static_cast<const char*>(std::memchr(value, '\0', std::size_t(end - value)));
    if (stop == nullptr) stop = end;
    bool found = false;
    for (const char* p = value; p + 3 <= stop && !found; ++p) found = std::memcmp(p, "1.0", 3) == 0;
    if (!found) return 1;
  }

  std::int32_t tables = 0;
  for (std::int32_t r = 1; r < records; ++r) {
    if (recordKinds[r] == parcel::data::kRecordTbnm) ++tables;
  }
  if (tables == 0) return 0;
  tableData = AllocateArray<char*>(tables);
  tableWidth = AllocateArray<std::uint32_t>(tables);
  tableColumns = AllocateArray<std::uint32_t>(tables);
  tableLines = AllocateArray<std::uint32_t>(tables);
  tableLineWidth = AllocateArray<std::int32_t>(tables);
  if (!tableData || !tableWidth || !tableColumns || !tableLines || !tableLineWidth) {
    ReleaseTableArrays();
    return 1;
  }
  tableCount = tables;

  // Values of each table; its placement follows once every extent is known.
  const char* end = requestStart + requestLength;
  std::int32_t t = -1;
  std::int64_t width_sum = 0;
  for (std::int32_t r = 1; r < records; ++r) {
    const char* value = description +
                        std::size_t{PARCEL_TRANSFER_RECORD_SIZE} * static_cast<std::size_t>(r) +
                        PARCEL_TRANSFER_TAG_SIZE;
    const std::uint32_t kind = recordKinds[r];
    if (kind == parcel::data::kRecordTbnm) {
      if (t >= 0) tableLineWidth[t] = ClampWidth(width_sum);
      ++t;
      width_sum = 0;
      continue;
    }
    // Records before the first TBNM belong to no table.
    if (t < 0) continue;
    switch (kind) {
      case parcel::data::kRecordTbwd:
        tableWidth[t] = static_cast<std::uint32_t>(ReadNumber(value, end));
        break;
      case parcel::data::kRecordTbln:
        tableLines[t] = static_cast<std::uint32_t>(ReadNumber(value, end));
        break;
      case parcel::data::kRecordTbcl:
        tableColumns[t] = static_cast<std::uint32_t>(ReadNumber(value, end));
        break;
      case parcel::data::kRecordClwd:
        // At most 2^31 records of at most 2^31 each: the 64-bit sum cannot wrap.
        width_sum += ReadNumber(value, end);
        break;
      default: break;
    }
  }
  tableLineWidth[t] = ClampWidth(width_sum);
  if (!PlaceTables()) {
    // FindTable still walks the records; only the tables are gone.
    ReleaseTableArrays();
    return 1;
  }
  return 0;
}

bool OrbData::PlaceTables() noexcept {
  // Offsets are tracked from the request start in 64 bits, so nothing wraps
  // silently; every table must lie inside the request both as placed
  // (TBLN x TBWD) and as the job will read it (TBLN x sum of CLWD).
  std::uint64_t offset = std::uint64_t(dataStart - requestStart);
  for (std::int32_t t = 0; t < tableCount; ++t) {
    if (tableLineWidth[t] < 0) return false;
    const std::uint64_t placed = std::uint64_t{tableLines[t]} * tableWidth[t];
    const std::uint64_t reported = std::uint64_t{tableLines[t]} * std::uint64_t(tableLineWidth[t]);
    if (placed > UINT32_MAX || reported > INT32_MAX) return false;
    if (offset + placed > requestLength || offset + reported > requestLength) return false;
    tableData[t] = requestStart + offset;
    offset += placed;
  }
  return true;
}

void OrbData::EnsureParsed() noexcept {
  if (!parsed) ParseDescription();
}

int OrbData::GetTableCount() noexcept {
  EnsureParsed();
  return tableCount;
}

int OrbData::FindTable(const char* name) noexcept {
  EnsureParsed();
  if (name == nullptr) return -1;
  const std::size_t n = std::strlen(name);
  if (n >= PARCEL_TRANSFER_VALUE_SIZE) return -1;
  std::int32_t k = 0;
  for (std::int32_t r = 0; r < recordCount; ++r) {
    if (recordKinds[r] != parcel::data::kRecordTbnm) continue;
    const char* value = description +
                        std::size_t{PARCEL_TRANSFER_RECORD_SIZE} * static_cast<std::size_t>(r) +
                        PARCEL_TRANSFER_TAG_SIZE;
    const std::int32_t index = k++;
    if (value[n] != ' ' && value[n] != '\0') continue;
    bool equal = true;
    for (std::size_t i = 0; i < n && equal; ++i) {
      equal = std::tolower(static_cast<unsigned char>(value[i])) ==
              std::tolower(static_cast<unsigned char>(name[i]));
    }
    if (equal) return index;
  }
  return -1;
}

char* OrbData::GetTableData(int index) noexcept {
  EnsureParsed();
  return index >= 0 && index < tableCount ? tableData[index] : nullptr;
}

int OrbData::GetTableLineWidth(int index) noexcept {
  EnsureParsed();
  return index >= 0 && index < tableCount ? tableLineWidth[index] : 0;
}

std::uint32_t OrbData::GetTableLineCount(int index) noexcept {
  EnsureParsed();
  return index >= 0 && index < tableCount ? tableLines[index] : 0;
}

namespace {

// The header of an output record of `length` data bytes.
void PutOutputHeader(char* header, std::uint32_t length, const char* mimeType, const char* name,
                     const char* fileName) {
  std::memset(header, 0, PARCEL_OUTPUT_HEADER_SIZE);
  std::memcpy(header, PARCEL_TRANSFER_MAGIC, PARCEL_TRANSFER_MAGIC_SIZE);
  PutField(header + PARCEL_OUTPUT_MIME_TYPE_OFFSET, PARCEL_OUTPUT_MIME_TYPE_SIZE, mimeType);
  PutField(header + PARCEL_OUTPUT_NAME_OFFSET, PARCEL_OUTPUT_NAME_SIZE, name);
  PutField(header + PARCEL_OUTPUT_FILE_NAME_OFFSET, PARCEL_OUTPUT_FILE_NAME_SIZE, fileName);
  std::snprintf(header + PARCEL_OUTPUT_LENGTH_OFFSET, PARCEL_OUTPUT_LENGTH_SIZE, "%d",
                static_cast<int>(length));
}

// The response length with one more record of `length` bytes; 0 when the
// record cannot be appended (see AppendOutput).
std::uint64_t GrownLength(const char* data, std::uint32_t length, const char* mimeType,
                          std::uint32_t outputLength) {
  if (data == nullptr || length == 0 || mimeType == nullptr) return 0;
  if (length > INT32_MAX) return 0;
  const std::uint64_t grown = std::uint64_t{outputLength} + PARCEL_OUTPUT_HEADER_SIZE + length;
  return grown > UINT32_MAX ? 0 : grown;
}

}  // namespace

int OrbData::AppendOutput(const char* data, std::uint32_t length, const char* mimeType,
                          const char* name, const char* fileName) noexcept {
  const std::uint64_t grown = GrownLength(data, length, mimeType, outputLength);
  if (grown == 0) return 1;
  char* buffer = static_cast<char*>(parcel::platform::HookedMalloc(
      parcel::platform::AllocSite::kTransfer, static_cast<std::size_t>(grown)));
  if (buffer == nullptr) return 1;
  if (output != nullptr) std::memcpy(buffer, output, outputLength);
  std::free(output);

  PutOutputHeader(buffer + outputLength, length, mimeType, name, fileName);
  std::memcpy(buffer + outputLength + PARCEL_OUTPUT_HEADER_SIZE, data, length);

  output = buffer;
  outputLength = static_cast<std::uint32_t>(grown);
  return 0;
}

int OrbData::AppendOutputAdopting(char* block, std::uint32_t length, const char* mimeType,
                                  const char* name, const char* fileName) noexcept {
  const std::uint64_t grown = GrownLength(block, length, mimeType, outputLength);
  if (grown == 0) return 1;
  // Growing a large block keeps its pages (no new memory is touched for the
  // data), and the move below stays within them.
  char* buffer = static_cast<char*>(parcel::platform::HookedRealloc(
      parcel::platform::AllocSite::kTransfer, block, static_cast<std::size_t>(grown)));
  if (buffer == nullptr) return 1;
  const std::uint32_t front = outputLength + PARCEL_OUTPUT_HEADER_SIZE;
  std::memmove(buffer + front, buffer, length);
  if (output != nullptr) std::memcpy(buffer, output, outputLength);
  std::free(output);
  PutOutputHeader(buffer + outputLength, length, mimeType, name, fileName);

  output = buffer;
  outputLength = static_cast<std::uint32_t>(grown);
  return 0;
}

bool OrbData::HasOutput() const noexcept { return outputLength != 0 && output != nullptr; }

int OrbData::GetOutput(char** data, std::uint32_t* length) const noexcept {
  if (data == nullptr || length == nullptr) return 1;
  *data = output;
  *length = outputLength;
  return 0;
}

void OrbData::ResetOutput() noexcept {
  std::free(output);
  output = nullptr;
  outputLength = 0;
}
