// OrbData: one request in the transfer form, read in place, and the response
// collected as output records in the transfer form.
//
// The layout of requests and output records is the one the hosts share,
// written out in interpreter/host_abi.h.
//
// Storage: the container keeps pointers into the caller's request buffer and
// never copies it. The caller keeps that buffer valid, writable and unchanged
// while the container is asked about the request; decoding the description
// rewrites its tag bytes in place. Every pointer handed out for a table stays
// valid as long as the caller's buffer does.
//
// Soundness: every read stays inside [buffer, buffer + length). A description
// or a table that does not fit the request length, and sizes whose 32-bit
// products or sums wrap, leave the container with no tables.
//
// Memory: the table arrays and the response come from the C library's heap
// through the allocation hook (platform/alloc_hook.h, site kTransfer).
//
// Thread safety: none; one request at a time from one thread at a time.
#ifndef PARCEL_DATA_ORB_DATA_H_
#define PARCEL_DATA_ORB_DATA_H_

#include <cstddef>
#include <cstdint>

#include "interpreter/host_abi.h"

namespace parcel::data {

// Kind codes of description records.
enum : std::uint32_t {
  kRecordVers = 0,
  kRecordTbnm = 1,
  kRecordTbwd = 2,
  kRecordTbln = 3,
  kRecordTbcl = 4,
  kRecordClnm = 5,
  kRecordClwd = 6,
  kRecordOther = 255,
};

}  // namespace parcel::data

class OrbData {
 public:
  // An empty container: no request, no tables, no output.
  OrbData() noexcept;
  // Releases the table arrays. The owner calls ResetOutput first; whatever
  // output is still held is released here as well.
  virtual ~OrbData();

  OrbData(const OrbData&) = delete;
  OrbData& operator=(const OrbData&) = delete;

  // Takes the request `buffer` of `length` bytes (borrowed, see above).
  // Returns 0 when the buffer begins with the magic and holds the whole
  // header, 1 otherwise (null buffer, length 0, short buffer, wrong magic);
  // after 1 the container holds no request. A null buffer or length 0 leaves
  // the output untouched; any other call releases the output first.
  int ReadTransfer(char* buffer, std::uint32_t length) noexcept;

  // Decodes the description: 0 decoded (or no description), 1 not decodable.
  // Runs by itself at the first query after ReadTransfer.
  int ParseDescription() noexcept;

  // Table queries. Each decodes the description first when needed.
  int GetTableCount() noexcept;
  // Index of the first table whose TBNM value starts with `name` (compared
  // without regard to case) followed by a blank or NUL; -1 when none.
  int FindTable(const char* name) noexcept;
  // First byte of table `index` (inside the caller's buffer); null when out of range.
  char* GetTableData(int index) noexcept;
  // Sum of the table's CLWD values; 0 when out of range.
  int GetTableLineWidth(int index) noexcept;
  // The table's TBLN value; 0 when out of range.
  std::uint32_t GetTableLineCount(int index) noexcept;

  // Appends one output record: a copy of `length` bytes of `data` with
  // `mimeType`, `name` and `fileName` (the last two may be null; texts longer
  // than their fields are cut). Returns 0 when appended; 1, leaving the output
  // unchanged, when data or mimeType is null, length is 0 or above INT32_MAX
  // (the record's length field is signed), the response would outgrow 32 bits,
  // or memory is exhausted.
  int AppendOutput(const char* data, std::uint32_t length, const char* mimeType, const char* name,
                   const char* fileName) noexcept;

  // Appends the same record as AppendOutput for the `length` bytes at the
  // start of `block`, a block from malloc, without copying them elsewhere:
  // the block grows (realloc) to hold the whole response and becomes the
  // output, the bytes moving up behind the records before them. On 0 the
  // container owns `block` (the caller must not touch or free it); on 1 (the
  // same refusals as AppendOutput) the caller still owns the unchanged block
  // and the output is unchanged.
  int AppendOutputAdopting(char* block, std::uint32_t length, const char* mimeType,
                           const char* name, const char* fileName) noexcept;

  // True when output bytes are held.
  bool HasOutput() const noexcept;
  // Lends the response: stores the output pointer (null when none) and its
  // length. Valid until ResetOutput. Returns 1, storing nothing, when either
  // pointer is null; 0 otherwise.
  int GetOutput(char** data, std::uint32_t* length) const noexcept;
  // Releases the output; harmless without output.
  void ResetOutput() noexcept;

 private:
  void ClearRequest() noexcept;
  void ReleaseTables() noexcept;
  void ReleaseTableArrays() noexcept;
  int ParseWithDescription() noexcept;
  bool PlaceTables() noexcept;
  void EnsureParsed() noexcept;

  std::uint32_t descriptionLength;
  char* description;
  std::int32_t rawLength;
  char* dataStart;
  char** tableData;
  std::uint32_t* tableWidth;
  std::uint32_t* tableColumns;
  std::uint32_t* tableLines;
  std::int32_t tableCount;
  std::int32_t recordCount;
  std::uint32_t* recordKinds;
  bool parsed;
  char* output;
  std::uint32_t outputLength;

  // The request's extent, for the bounds checks the layout itself lacks.
  char* requestStart;
  std::uint32_t requestLength;
  // Per table, the sum of its CLWD values (the reported line width).
  std::int32_t* tableLineWidth;
};

namespace parcel::data {

// Reads a decimal number the way atoi does (leading white space, optional
// sign, digits up to the first non-digit; no digits reads as 0) but never past
// `end`, and saturating at the 32-bit limits as the Windows C library does.
std::int32_t ReadNumber(const char* text, const char* end) noexcept;

}  // namespace parcel::data

#endif  // PARCEL_DATA_ORB_DATA_H_
