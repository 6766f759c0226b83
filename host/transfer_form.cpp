// Request building and response reading for hosts.
#include "host/transfer_form.h"

#include <cstdio>
#include <cstring>

#include "interpreter/host_abi.h"

namespace parcel::host {
namespace {

constexpr std::size_t kHeaderSize = PARCEL_TRANSFER_HEADER_SIZE;
constexpr std::size_t kRecordSize = PARCEL_TRANSFER_RECORD_SIZE;
// TBNM, TBLN, TBWD, TBCL, and CLNM, CLWD for the one column.
constexpr std::size_t kRecordsPerTable = 6;
constexpr std::size_t kOutputHeaderSize = PARCEL_OUTPUT_HEADER_SIZE;

// Writes a blank-padded field.
void PutText(char* field, std::size_t width, std::string_view text) {
  std::memset(field, ' ', width);
  std::memcpy(field, text.data(), text.size() < width ? text.size() : width);
}

void PutRecord(char* record, std::string_view tag, std::string_view value) {
  PutText(record, PARCEL_TRANSFER_TAG_SIZE, tag);
  PutText(record + PARCEL_TRANSFER_TAG_SIZE, PARCEL_TRANSFER_VALUE_SIZE, value);
}

std::string Trimmed(std::string_view field) {
  std::size_t end = field.find('\0');
  if (end == std::string_view::npos) end = field.size();
  while (end > 0 && field[end - 1] == ' ') --end;
  return std::string(field.substr(0, end));
}

}  // namespace

bool RequestBuilder::AddTable(std::string_view name, std::string_view bytes,
                              std::uint32_t line_width) {
  if (name.size() >= kMaxTableName) return false;
  std::uint64_t width = line_width != 0 ? line_width : bytes.size();
  std::uint64_t lines = width == 0 ? 0 : (bytes.size() + width - 1) / width;
  // The reader takes line counts and widths as signed decimal numbers and
  // their product as an unsigned 32-bit one.
  if (width > INT32_MAX || lines > INT32_MAX || lines * width > UINT32_MAX) return false;
  Push(name, bytes, static_cast<std::uint32_t>(width), static_cast<std::uint32_t>(lines));
  return true;
}

void RequestBuilder::Push(std::string_view name, std::string_view bytes, std::uint32_t line_width,
                          std::uint32_t lines) {
  tables_.push_back(Table{std::string(name), bytes, line_width, lines, data_size_});
  data_size_ += std::uint64_t{lines} * line_width;
}

bool RequestBuilder::ReserveTable(std::string_view name, std::uint64_t size) {
  if (name.size() >= kMaxTableName || size > INT32_MAX) return false;
  auto width = static_cast<std::uint32_t>(size);
  Push(name, {}, width, width == 0 ? 0u : 1u);
  tables_.back().reserved = true;
  return true;
}

std::uint64_t RequestBuilder::DescriptionSize() const {
  return kRecordSize * (1 + kRecordsPerTable * tables_.size());
}

std::uint64_t RequestBuilder::TableOffset(std::size_t index) const {
  return kHeaderSize + DescriptionSize() + tables_[index].data_offset;
}

bool RequestBuilder::Size(std::uint64_t* size) const {
  *size = kHeaderSize + DescriptionSize() + data_size_;
  return *size <= UINT32_MAX;
}

std::string RequestBuilder::Build() const {
  std::uint64_t size = 0;
  if (!Size(&size)) return {};
  std::string request(static_cast<std::size_t>(size), '\0');
  Write(request.data());
  return request;
}

void RequestBuilder::Write(char* p) const {
  const std::uint64_t description = DescriptionSize();
  PutText(p, PARCEL_TRANSFER_FIELD_SIZE, PARCEL_TRANSFER_MAGIC);
  PutText(p + PARCEL_TRANSFER_DESCRIPTION_LENGTH_OFFSET, PARCEL_TRANSFER_FIELD_SIZE,
          std::to_string(description));
  PutText(p + PARCEL_TRANSFER_SECOND_NUMBER_OFFSET, PARCEL_TRANSFER_FIELD_SIZE, "0");
  char* record = p + kHeaderSize;
  PutRecord(record, "VERS", "1.0");
  record += kRecordSize;
  for (const Table& table : tables_) {
    PutRecord(record, "TBNM", table.name);
    PutRecord(record + kRecordSize, "TBLN", std::to_string(table.lines));
    PutRecord(record + 2 * kRecordSize, "TBWD", std::to_string(table.line_width));
    PutRecord(record + 3 * kRecordSize, "TBCL", "1");
    PutRecord(record + 4 * kRecordSize, "CLNM", "DATA");
    PutRecord(record + 5 * kRecordSize, "CLWD", std::to_string(table.line_width));
    record += kRecordSize * kRecordsPerTable;
  }
  for (const Table& table : tables_) {
    const std::uint64_t size = std::uint64_t{table.lines} * table.line_width;
    if (!table.reserved) {
      if (!table.bytes.empty()) std::memcpy(record, table.bytes.data(), table.bytes.size());
      std::memset(record + table.bytes.size(), 0, size - table.bytes.size());
    }
    record += size;
  }
}

bool ParseResponse(std::string_view response, std::vector<OutputRecord>* records,
                   std::string* error) {
  records->clear();
  std::size_t offset = 0;
  while (offset < response.size()) {
    if (response.size() - offset < kOutputHeaderSize) {
      *error = "truncated output record header at offset " + std::to_string(offset);
      return false;
    }
    std::string_view header = response.substr(offset, kOutputHeaderSize);
    if (header.substr(0, PARCEL_TRANSFER_MAGIC_SIZE) != PARCEL_TRANSFER_MAGIC) {
      *error = "output record without magic at offset " + std::to_string(offset);
      return false;
    }
    std::string length_text =
        Trimmed(header.substr(PARCEL_OUTPUT_LENGTH_OFFSET, PARCEL_OUTPUT_LENGTH_SIZE));
    char* end = nullptr;
    long long length = std::strtoll(length_text.c_str(), &end, 10);
    if (length_text.empty() || *end != '\0' || length < 0 ||
        static_cast<unsigned long long>(length) > response.size() - offset - kOutputHeaderSize) {
      *error = "bad output record length '" + length_text + "' at offset " + std::to_string(offset);
      return false;
    }
    OutputRecord out;
    out.mime_type =
        Trimmed(header.substr(PARCEL_OUTPUT_MIME_TYPE_OFFSET, PARCEL_OUTPUT_MIME_TYPE_SIZE));
    out.name = Trimmed(header.substr(PARCEL_OUTPUT_NAME_OFFSET, PARCEL_OUTPUT_NAME_SIZE));
    out.file_name =
        Trimmed(header.substr(PARCEL_OUTPUT_FILE_NAME_OFFSET, PARCEL_OUTPUT_FILE_NAME_SIZE));
    out.data = response.substr(offset + kOutputHeaderSize, static_cast<std::size_t>(length));
    records->push_back(std::move(out));
    offset += kOutputHeaderSize + static_cast<std::size_t>(length);
  }
  return true;
}

}  // namespace parcel::host
