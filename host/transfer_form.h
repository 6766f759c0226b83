// Host side of the transfer form: building requests and reading responses.
#ifndef PARCEL_HOST_TRANSFER_FORM_H_
#define PARCEL_HOST_TRANSFER_FORM_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "interpreter/host_abi.h"

namespace parcel::host {

// Builds a request: a description with one group of records per table, then
// the tables' bytes back to back. Tables are either given as bytes to copy
// (AddTable) or reserved by size and filled by the caller in the built request
// (ReserveTable, TableOffset), so large files are read straight into place.
class RequestBuilder {
 public:
  // Longest table name the description's value field holds.
  static constexpr std::size_t kMaxTableName = PARCEL_TRANSFER_VALUE_SIZE;

  // Adds a table `name` holding `bytes`. The bytes are viewed, not copied:
  // they must outlive Build. With `line_width` 0 the table is one line of
  // bytes.size() bytes; otherwise it has as many lines of `line_width` bytes
  // as the bytes need, the last one padded with NUL bytes. False when the name
  // does not fit its field, the width or line count exceeds INT32_MAX or the
  // table's size exceeds UINT32_MAX.
  bool AddTable(std::string_view name, std::string_view bytes, std::uint32_t line_width = 0);

  // Adds a table `name` of one line of `size` bytes (no line for size 0),
  // left as NUL bytes by Build for the caller to fill. False when the name
  // does not fit its field or the size exceeds INT32_MAX (the reader takes
  // line widths as signed decimal numbers).
  bool ReserveTable(std::string_view name, std::uint64_t size);

  // Number of tables added so far.
  std::size_t TableCount() const { return tables_.size(); }

  // Offset in the built request of the first byte of table `index`.
  // Requires: index < TableCount().
  std::uint64_t TableOffset(std::size_t index) const;

  // Size in bytes the request will have; false when it would outgrow 32 bits.
  bool Size(std::uint64_t* size) const;

  // The request in the transfer form: bytes given to AddTable copied in place,
  // reserved tables and line padding NUL. Empty when it would outgrow 32 bits.
  std::string Build() const;

  // Writes the request into the Size() bytes at `request` like Build, except
  // that the bytes of reserved tables are left untouched for the caller to
  // fill, so a large request is written once instead of cleared first.
  // Requires: Size() is true.
  void Write(char* request) const;

 private:
  struct Table {
    std::string name;
    std::string_view bytes;  // empty for a reserved table
    std::uint32_t line_width;
    std::uint32_t lines;
    std::uint64_t data_offset;  // from the start of the data area
    bool reserved = false;      // filled by the caller, not by Write
  };
  void Push(std::string_view name, std::string_view bytes, std::uint32_t line_width,
            std::uint32_t lines);
  std::uint64_t DescriptionSize() const;

  std::vector<Table> tables_;
  std::uint64_t data_size_ = 0;
};

// One output record of a response; `data` views the response buffer.
struct OutputRecord {
  std::string mime_type;
  std::string name;
  std::string file_name;
  std::string_view data;
};

// Splits a response into its records. False, with a reason in `error`, when
// the bytes are not a sequence of well-formed output records.
bool ParseResponse(std::string_view response, std::vector<OutputRecord>* records,
                   std::string* error);

}  // namespace parcel::host

#endif  // PARCEL_HOST_TRANSFER_FORM_H_
