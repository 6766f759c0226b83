// Fixed-width integers as bytes: little-endian, as zip records and PE images
// store them, and big-endian, as network frames carry them. Explicit shifts,
// so the machine's own byte order never matters and no structure is ever cast
// over a buffer.
#ifndef PARCEL_PLATFORM_CODING_H_
#define PARCEL_PLATFORM_CODING_H_

#include <cstdint>
#include <string>

namespace parcel::platform {

// Little-endian: the least significant byte first.
// Requires: `dst` has 2 (4) writable bytes, `src` 2 (4) readable ones.
inline void EncodeFixed16(void* dst, std::uint16_t value) noexcept {
  auto* out = static_cast<unsigned char*>(dst);
  out[0] = static_cast<unsigned char>(value);
  out[1] = static_cast<unsigned char>(value >> 8);
}

inline void EncodeFixed32(void* dst, std::uint32_t value) noexcept {
  auto* out = static_cast<unsigned char*>(dst);
  EncodeFixed16(out, static_cast<std::uint16_t>(value));
  EncodeFixed16(out + 2, static_cast<std::uint16_t>(value >> 16));
}

inline std::uint16_t DecodeFixed16(const void* src) noexcept {
  const auto* in = static_cast<const unsigned char*>(src);
  return static_cast<std::uint16_t>(in[0] | in[1] << 8);
}

inline std::uint32_t DecodeFixed32(const void* src) noexcept {
  const auto* in = static_cast<const unsigned char*>(src);
  return DecodeFixed16(in) | static_cast<std::uint32_t>(DecodeFixed16(in + 2)) << 16;
}

// Appends the little-endian bytes of `value` to `dst`.
inline void PutFixed16(std::string* dst, std::uint16_t value) {
  char bytes[2];
  EncodeFixed16(bytes, value);
  dst->append(bytes, sizeof bytes);
}

inline void PutFixed32(std::string* dst, std::uint32_t value) {
  char bytes[4];
  EncodeFixed32(bytes, value);
  dst->append(bytes, sizeof bytes);
}

// Big-endian: the most significant byte first.
// Requires: as for the little-endian forms.
inline void EncodeBigEndian16(void* dst, std::uint16_t value) noexcept {
  auto* out = static_cast<unsigned char*>(dst);
  out[0] = static_cast<unsigned char>(value >> 8);
  out[1] = static_cast<unsigned char>(value);
}

inline void EncodeBigEndian32(void* dst, std::uint32_t value) noexcept {
  auto* out = static_cast<unsigned char*>(dst);
  EncodeBigEndian16(out, static_cast<std::uint16_t>(value >> 16));
  EncodeBigEndian16(out + 2, static_cast<std::uint16_t>(value));
}

inline std::uint16_t DecodeBigEndian16(const void* src) noexcept {
  const auto* in = static_cast<const unsigned char*>(src);
  return static_cast<std::uint16_t>(in[0] << 8 | in[1]);
}

inline std::uint32_t DecodeBigEndian32(const void* src) noexcept {
  const auto* in = static_cast<const unsigned char*>(src);
  return static_cast<std::uint32_t>(DecodeBigEndian16(in)) << 16 | DecodeBigEndian16(in + 2);
}

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_CODING_H_
