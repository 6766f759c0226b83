// The tests' own zip reader, independent of the writer: finds the end record
// (behind any comment), walks the central directory, checks each local header
// against its central record, inflates the data with zlib and checks a CRC
// computed here bit by bit.
#ifndef PARCEL_TESTS_ZIP_READER_H_
#define PARCEL_TESTS_ZIP_READER_H_

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/coding.h"

namespace parcel::testing {

// One entry as its central record describes it, with its data uncompressed.
struct ReadEntry {
  std::string name;
  std::string data;
  std::uint32_t method = 0, flag = 0, time = 0, crc = 0, compressed = 0;  // time: DOS date, time
  std::uint32_t made_by = 0;  // version made by: 0 (FAT), or 0x0b00 (NTFS) with the UTF-8 flag
  std::uint32_t internal = 0, external = 0, offset = 0;  // attributes, local header offset
  std::string local_extra, central_extra, comment;
};

// A whole archive as read.
struct ReadArchive {
  std::vector<ReadEntry> entries;
  std::string comment;
  std::uint32_t directory_offset = 0, directory_size = 0;
};

// The CRC-32 of zip archives, computed one bit at a time.
inline std::uint32_t BitwiseCrc32(std::string_view bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : bytes) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

// Inflates the raw deflate stream `in`, which must end exactly and give
// `size` bytes: one spare byte of room reveals a longer stream.
inline ::testing::AssertionResult InflateRaw(std::string_view in, std::size_t size,
                                             std::string* out) {
  z_stream s{};
  if (inflateInit2(&s, -15) != Z_OK) return ::testing::AssertionFailure() << "inflateInit2";
  out->assign(size + 1, '\0');
  s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = reinterpret_cast<Bytef*>(out->data());
  s.avail_out = static_cast<uInt>(out->size());
  const int z = inflate(&s, Z_FINISH);
  inflateEnd(&s);
  if (z != Z_STREAM_END || s.avail_in != 0 || s.total_out != size) {
    return ::testing::AssertionFailure() << "inflate " << z << ", " << s.avail_in << " bytes left, "
                                         << s.total_out << " out of " << size;
  }
  out->resize(size);
  return ::testing::AssertionSuccess();
}

namespace detail {

// A little-endian field of `n` (2 or 4) bytes at `at`.
inline std::uint32_t Le(std::string_view z, std::size_t at, int n) {
  return n == 2 ? platform::DecodeFixed16(z.data() + at) : platform::DecodeFixed32(z.data() + at);
}

// The end record: the last signature whose comment reaches the archive's end.
inline std::size_t FindEndRecord(std::string_view z) {
  for (std::size_t p = z.size() >= 22 ? z.size() - 22 : std::string_view::npos;
       p != std::string_view::npos; --p) {
    if (Le(z, p, 4) == 0x06054B50 && p + 22 + Le(z, p + 20, 2) == z.size()) return p;
    if (p == 0) break;
  }
  return std::string_view::npos;
}

// Reads the central record at `*p` (advancing past it) and the entry's local
// header and data.
inline ::testing::AssertionResult ReadEntryAt(std::string_view z, std::size_t* p, std::size_t end,
                                              std::uint32_t directory_offset, ReadEntry* e) {
  auto fail = [] { return ::testing::AssertionFailure(); };
  const std::size_t c = *p;
  if (c + 46 > end || Le(z, c, 4) != 0x02014B50) return fail() << "no central record at " << c;
  e->flag = Le(z, c + 8, 2);
  e->method = Le(z, c + 10, 2);
  e->time = Le(z, c + 12, 4);
  e->crc = Le(z, c + 16, 4);
  e->compressed = Le(z, c + 20, 4);
  const std::uint32_t size = Le(z, c + 24, 4);
  const std::uint32_t n = Le(z, c + 28, 2), x = Le(z, c + 30, 2), k = Le(z, c + 32, 2);
  e->made_by = Le(z, c + 4, 2);
  if (e->made_by != ((e->flag & 0x800) != 0 ? 0x0b00u : 0u) || Le(z, c + 6, 2) != 20 ||
      Le(z, c + 34, 2) != 0) {
    return fail() << "versions or disk of the record at " << c;
  }
  e->internal = Le(z, c + 36, 2);
  e->external = Le(z, c + 38, 4);
  e->offset = Le(z, c + 42, 4);
  if (c + 46 + n + x + k > end) return fail() << "the record at " << c << " overruns";
  e->name = z.substr(c + 46, n);
  e->central_extra = z.substr(c + 46 + n, x);
  e->comment = z.substr(c + 46 + n + x, k);
  *p = c + 46 + n + x + k;

  const std::size_t h = e->offset;
  if (h + 30 > directory_offset || Le(z, h, 4) != 0x04034B50 || Le(z, h + 4, 2) != 20) {
    return fail() << "local header of " << e->name;
  }
  if (Le(z, h + 6, 2) != e->flag || Le(z, h + 8, 2) != e->method || Le(z, h + 10, 4) != e->time ||
      Le(z, h + 14, 4) != e->crc || Le(z, h + 18, 4) != e->compressed || Le(z, h + 22, 4) != size ||
      Le(z, h + 26, 2) != n) {
    return fail() << "local header of " << e->name << " differs from its central record";
  }
  const std::uint32_t lx = Le(z, h + 28, 2);
  const std::size_t data_at = h + 30 + n + lx;
  if (z.substr(h + 30, n) != e->name) return fail() << "local name of " << e->name;
  if (data_at + e->compressed > directory_offset) return fail() << "data of " << e->name;
  e->local_extra = z.substr(h + 30 + n, lx);
  const std::string_view raw = z.substr(data_at, e->compressed);
  if (e->method == 0) {
    if (size != e->compressed) return fail() << "stored sizes of " << e->name;
    e->data = raw;
  } else if (e->method == 8) {
    if (auto r = InflateRaw(raw, size, &e->data); !r) return r << " in " << e->name;
  } else {
    return fail() << "method " << e->method;
  }
  if (BitwiseCrc32(e->data) != e->crc) return fail() << "CRC of " << e->name;
  return ::testing::AssertionSuccess();
}

}  // namespace detail

// Reads a whole single-disk archive; fails, saying why, at the first
// inconsistency.
inline ::testing::AssertionResult ReadZip(std::string_view z, ReadArchive* out) {
  auto fail = [] { return ::testing::AssertionFailure(); };
  const std::size_t end = detail::FindEndRecord(z);
  if (end == std::string_view::npos) return fail() << "no end record in " << z.size() << " bytes";
  const std::uint32_t count = detail::Le(z, end + 10, 2);
  if (detail::Le(z, end + 4, 4) != 0 || detail::Le(z, end + 8, 2) != count) {
    return fail() << "disk fields";
  }
  out->directory_size = detail::Le(z, end + 12, 4);
  out->directory_offset = detail::Le(z, end + 16, 4);
  out->comment = z.substr(end + 22);
  if (std::uint64_t{out->directory_offset} + out->directory_size != end) {
    return fail() << "directory " << out->directory_offset << "+" << out->directory_size
                  << " does not end at the end record " << end;
  }
  out->entries.clear();
  std::size_t p = out->directory_offset;
  for (std::uint32_t i = 0; i < count; ++i) {
    ReadEntry e;
    if (auto r = detail::ReadEntryAt(z, &p, end, out->directory_offset, &e); !r) return r;
    out->entries.push_back(std::move(e));
  }
  if (p != end) return fail() << "directory holds more than " << count << " records";
  return ::testing::AssertionSuccess();
}

}  // namespace parcel::testing

#endif  // PARCEL_TESTS_ZIP_READER_H_
