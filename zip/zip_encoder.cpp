// Stored and deflated entry data, both through the staging area.
#include "zip/zip_encoder.h"

#include <cstring>

namespace parcel::zip {

int Staging::Flush(ZipMemoryBuffer* buffer) noexcept {
  int err = ZipBufferWrite(buffer, area_, staged_);
  if (err == ZIP_SUCCESS) staged_ = 0;
  return err;
}

int StoredEncoder::Begin(int) noexcept {
  staging_->Clear();
  return ZIP_SUCCESS;
}

int StoredEncoder::Write(const unsigned char* data, std::uint32_t length) noexcept {
  while (length > 0) {
    if (staging_->room() == 0) {
      if (int err = staging_->Flush(buffer_); err != ZIP_SUCCESS) return err;
    }
    const std::uint32_t k = length < staging_->room() ? length : staging_->room();
    std::memcpy(staging_->tail(), data, k);
    staging_->Commit(k);
    data += k;
    length -= k;
  }
  return ZIP_SUCCESS;
}

int StoredEncoder::Finish() noexcept { return staging_->Flush(buffer_); }

int StoredEncoder::End() noexcept { return ZIP_SUCCESS; }

int DeflateEncoder::Begin(int level) noexcept {
  End();
  staging_->Clear();
  stream_ = z_stream{};  // null zalloc/zfree/opaque: zlib's own allocator
  int err = deflateInit2(&stream_, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  if (err != Z_OK) return err;
  initialised_ = true;
  return ZIP_SUCCESS;
}

int DeflateEncoder::Run(int flush) noexcept {
  for (;;) {
    if (staging_->room() == 0) {
      if (int err = staging_->Flush(buffer_); err != ZIP_SUCCESS) return err;
    }
    stream_.next_out = staging_->tail();
    stream_.avail_out = staging_->room();
    const int z = deflate(&stream_, flush);
    staging_->Commit(staging_->room() - stream_.avail_out);
    if (flush == Z_FINISH) {
      if (z == Z_STREAM_END) return ZIP_SUCCESS;
      // With room to write, Z_OK means the area filled up; anything else,
      // Z_BUF_ERROR included, means no progress and is returned.
      if (z != Z_OK) return z;
    } else {
      if (z != Z_OK) return z;
      // deflate stops early only when the area is full.
      if (stream_.avail_in == 0) return ZIP_SUCCESS;
    }
  }
}

int DeflateEncoder::Write(const unsigned char* data, std::uint32_t length) noexcept {
  if (length == 0) return ZIP_SUCCESS;
  // deflate only reads through next_in; zlib declares it non-const.
  stream_.next_in = const_cast<unsigned char*>(data);
  stream_.avail_in = length;
  int err = Run(Z_NO_FLUSH);
  stream_.next_in = nullptr;
  stream_.avail_in = 0;
  return err;
}

int DeflateEncoder::Finish() noexcept {
  stream_.avail_in = 0;
  if (int err = Run(Z_FINISH); err != ZIP_SUCCESS) return err;
  return staging_->Flush(buffer_);
}

int DeflateEncoder::End() noexcept {
  if (!initialised_) return ZIP_SUCCESS;
  initialised_ = false;
  const int z = deflateEnd(&stream_);
  return z == Z_OK ? ZIP_SUCCESS : z;
}

}  // namespace parcel::zip
