// An independent zip reader for tests: walks the end record and the central
// directory, checks each local header against its central record, inflates
// the data with zlib and checks the CRC computed here.
#ifndef PARCEL_TESTS_ZIP_READER_H_
#define PARCEL_TESTS_ZIP_READER_H_

#include <zlib.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/coding.h"

namespace parcel::testing {

struct ReadEntry {
  std::string name;
  std::uint16_t method = 0;
  std::uint16_t flag = 0;
  std::uint32_t dos_date_time = 0;
  std::uint32_t crc = 0;
  std::uint32_t compressed_size = 0;
  std::string data;  // uncompressed
};

inline std::uint32_t Le(std::string_view bytes, std::size_t offset, int n) {
  return n == 2 ? platform::DecodeFixed16(bytes.data() + offset)
                : platform::DecodeFixed32(bytes.data() + offset);
}

inline bool InflateRaw(std::string_view in, std::size_t expected, std::string* out) {
  out->assign(expected, '\0');
  z_stream stream{};
  if (inflateInit2(&stream, -15) != Z_OK) return false;
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  stream.avail_in = static_cast<uInt>(in.size());
  stream.next_out = reinterpret_cast<Bytef*>(out->data());
  stream.avail_out = static_cast<uInt>(expected);
  int result = inflate(&stream, Z_FINISH);
  bool ok = result == Z_STREAM_END && stream.total_out == expected && stream.avail_in == 0;
  inflateEnd(&stream);
  return ok;
}

// Reads a whole archive (without archive comment). False with a reason on
// any inconsistency.
inline bool ReadZip(std::string_view zip, std::vector<ReadEntry>* entries, std::string* error) {
  entries->clear();
  if (zip.size() < 22) return *error = "shorter than an end record", false;
  const std::size_t end = zip.size() - 22;
  if (Le(zip, end, 4) != 0x06054b50) return *error = "no end record", false;
  const std::uint32_t count = Le(zip, end + 10, 2);
  if (Le(zip, end + 8, 2) != count) return *error = "disk counts differ", false;
  const std::uint32_t dir_size = Le(zip, end + 12, 4);
  const std::uint32_t dir_offset = Le(zip, end + 16, 4);
  if (std::uint64_t{dir_offset} + dir_size != end) return *error = "directory not before end", false;
  std::size_t p = dir_offset;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (p + 46 > end || Le(zip, p, 4) != 0x02014b50) return *error = "bad central record", false;
    ReadEntry e;
    e.flag = static_cast<std::uint16_t>(Le(zip, p + 8, 2));
    e.method = static_cast<std::uint16_t>(Le(zip, p + 10, 2));
    e.dos_date_time = (Le(zip, p + 14, 2) << 16) | Le(zip, p + 12, 2);  // date, time
    e.crc = Le(zip, p + 16, 4);
    e.compressed_size = Le(zip, p + 20, 4);
    const std::uint32_t size = Le(zip, p + 24, 4);
    const std::uint32_t name_length = Le(zip, p + 28, 2);
    const std::uint32_t extra = Le(zip, p + 30, 2), comment = Le(zip, p + 32, 2);
    const std::uint32_t local = Le(zip, p + 42, 4);
    e.name = std::string(zip.substr(p + 46, name_length));
    p += 46 + name_length + extra + comment;
    if (local + 30 > dir_offset || Le(zip, local, 4) != 0x04034b50) return *error = "bad local header", false;
    if (Le(zip, local + 14, 4) != e.crc || Le(zip, local + 18, 4) != e.compressed_size ||
        Le(zip, local + 22, 4) != size || Le(zip, local + 8, 2) != e.method ||
        Le(zip, local + 26, 2) != name_length || zip.substr(local + 30, name_length) != e.name) {
      return *error = "local header differs from central record for " + e.name, false;
    }
    const std::size_t data = local + 30 + name_length + Le(zip, local + 28, 2);
    if (data + e.compressed_size > dir_offset) return *error = "data past directory", false;
    std::string_view stored = zip.substr(data, e.compressed_size);
    if (e.method == 8) {
      if (!InflateRaw(stored, size, &e.data)) return *error = "inflate failed for " + e.name, false;
    } else if (e.method == 0) {
      e.data = std::string(stored);
    } else {
      return *error = "unknown method", false;
    }
    const auto crc = static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(e.data.data()), static_cast<uInt>(e.data.size())));
    if (crc != e.crc) return *error = "CRC mismatch for " + e.name, false;
    entries->push_back(std::move(e));
  }
  if (p != end) return *error = "directory size mismatch", false;
  return true;
}

}  // namespace parcel::testing

#endif  // PARCEL_TESTS_ZIP_READER_H_
