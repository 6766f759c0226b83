// Internal to the zip writer: the path of one entry's bytes from the caller's
// pieces into the archive buffer, for each compression method.
//
// An encoder turns the pieces of one entry into the entry's data and writes it
// to the archive buffer, directly or through the staging area. When Finish
// returns, all of the entry's data lies in the buffer between the offset at
// which the entry's data began and the cursor, so the compressed size is that
// distance whatever path the bytes took. The archive chooses an encoder when
// an entry is opened; an encoder that compresses an entry given in a single
// piece in one call (with another deflate implementation) fits in beside
// these without a change to the entry points.
#ifndef PARCEL_ZIP_ZIP_ENCODER_H_
#define PARCEL_ZIP_ZIP_ENCODER_H_

#include <zlib.h>

#include <cstdint>

#include "zip/zip_buffer.h"

namespace parcel::zip {

// A fixed area that collects an entry's output before it goes to the buffer,
// so that deflate writes into a fixed area and the buffer grows in large steps.
class Staging {
 public:
  static constexpr std::uint32_t kSize = 16384;

  unsigned char* tail() noexcept { return area_ + staged_; }
  std::uint32_t room() const noexcept { return kSize - staged_; }
  std::uint32_t staged() const noexcept { return staged_; }
  void Commit(std::uint32_t n) noexcept { staged_ += n; }
  void Clear() noexcept { staged_ = 0; }
  // Writes the staged bytes to `buffer`. On failure the bytes stay staged.
  [[nodiscard]] int Flush(ZipMemoryBuffer* buffer) noexcept;

 private:
  std::uint32_t staged_ = 0;
  unsigned char area_[kSize];
};

class EntryEncoder {
 public:
  EntryEncoder(ZipMemoryBuffer* buffer, Staging* staging) noexcept
      : buffer_(buffer), staging_(staging) {}
  virtual ~EntryEncoder() = default;
  EntryEncoder(const EntryEncoder&) = delete;
  EntryEncoder& operator=(const EntryEncoder&) = delete;

  // Prepares a new entry at `level`. ZIP_SUCCESS or the compressor's code;
  // after a failure the encoder holds nothing.
  [[nodiscard]] virtual int Begin(int level) noexcept = 0;
  // Takes all `length` bytes of `data` (borrowed for the call). After a
  // failure part of the piece may be lost: the entry cannot be completed.
  [[nodiscard]] virtual int Write(const unsigned char* data, std::uint32_t length) noexcept = 0;
  // Writes every remaining byte of the entry to the buffer.
  [[nodiscard]] virtual int Finish() noexcept = 0;
  // Releases what Begin acquired; harmless when nothing is held. Returns the
  // compressor's result of ending (ZIP_SUCCESS when there is nothing to end).
  virtual int End() noexcept = 0;

 protected:
  ZipMemoryBuffer* buffer_;
  Staging* staging_;
};

// Method 0: the bytes themselves, copied through the staging area.
class StoredEncoder final : public EntryEncoder {
 public:
  using EntryEncoder::EntryEncoder;
  int Begin(int level) noexcept override;
  int Write(const unsigned char* data, std::uint32_t length) noexcept override;
  int Finish() noexcept override;
  int End() noexcept override;
};

// Method 8: a raw deflate stream (no zlib header or trailer, 32 KiB window,
// memory level 8, default strategy) written through the staging area.
class DeflateEncoder final : public EntryEncoder {
 public:
  using EntryEncoder::EntryEncoder;
  ~DeflateEncoder() override { End(); }
  int Begin(int level) noexcept override;
  int Write(const unsigned char* data, std::uint32_t length) noexcept override;
  int Finish() noexcept override;
  int End() noexcept override;

 private:
  // Runs deflate with `flush` into the staging area, flushing the area to the
  // buffer whenever it is full, until deflate has taken every input byte
  // (Z_NO_FLUSH) or ended the stream (Z_FINISH).
  [[nodiscard]] int Run(int flush) noexcept;

  z_stream stream_{};
  bool initialised_ = false;
};

}  // namespace parcel::zip

#endif  // PARCEL_ZIP_ZIP_ENCODER_H_
