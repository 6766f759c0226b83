// A stored (method 0) zip archive built field by field, as the directory
// readers' independent counterpart.
#ifndef PARCEL_TESTS_TINY_ZIP_H_
#define PARCEL_TESTS_TINY_ZIP_H_

#include <zlib.h>

#include <cstdint>
#include <string>

#include "platform/coding.h"

namespace parcel::testing {

struct TinyZip {
  std::string bytes;
  std::string directory;
  int count = 0;

  void Add(const std::string& name, const std::string& data) {
    auto crc =
        std::uint32_t(crc32(0, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size())));
    auto offset = std::uint32_t(bytes.size());
    auto size = std::uint32_t(data.size());
    auto name_length = std::uint16_t(name.size());
    platform::PutFixed32(&bytes, 0x04034B50);
    platform::PutFixed16(&bytes, 20), platform::PutFixed16(&bytes, 0),
        platform::PutFixed16(&bytes, 0), platform::PutFixed32(&bytes, 0);
    platform::PutFixed32(&bytes, crc), platform::PutFixed32(&bytes, size),
        platform::PutFixed32(&bytes, size);
    platform::PutFixed16(&bytes, name_length), platform::PutFixed16(&bytes, 0);
    bytes += name + data;
    platform::PutFixed32(&directory, 0x02014B50);
    platform::PutFixed16(&directory, 0), platform::PutFixed16(&directory, 20),
        platform::PutFixed16(&directory, 0);
    platform::PutFixed16(&directory, 0), platform::PutFixed32(&directory, 0),
        platform::PutFixed32(&directory, crc);
    platform::PutFixed32(&directory, size), platform::PutFixed32(&directory, size);
    platform::PutFixed16(&directory, name_length);
    for (int i = 0; i < 4; ++i) platform::PutFixed16(&directory, 0);
    platform::PutFixed32(&directory, 0), platform::PutFixed32(&directory, offset);
    directory += name;
    ++count;
  }
  std::string Finish(const std::string& comment = "") const {
    std::string out = bytes + directory;
    platform::PutFixed32(&out, 0x06054B50);
    platform::PutFixed16(&out, 0), platform::PutFixed16(&out, 0);
    platform::PutFixed16(&out, std::uint16_t(count)),
        platform::PutFixed16(&out, std::uint16_t(count));
    platform::PutFixed32(&out, std::uint32_t(directory.size())),
        platform::PutFixed32(&out, std::uint32_t(bytes.size()));
    platform::PutFixed16(&out, std::uint16_t(comment.size()));
    return out + comment;
  }
};

}  // namespace parcel::testing

#endif  // PARCEL_TESTS_TINY_ZIP_H_
