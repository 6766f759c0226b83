// Stored and deflated entry data: through the staging area, or for the
// one-shot path compressed straight into the buffer.
#include "zip/zip_encoder.h"

#include <cstdlib>
#include <cstring>

#if PARCEL_FAST_DEFLATE
#include <libdeflate.h>
#endif

#include "platform/alloc_hook.h"

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

#if PARCEL_FAST_DEFLATE

namespace parcel::zip {
namespace {

// Inflated bytes are handed to the streaming encoder in pieces of this size.
constexpr std::uint32_t kHandoverChunk = 65536;

}  // namespace

OneShotDeflateEncoder::~OneShotDeflateEncoder() { libdeflate_free_compressor(compressor_); }

int OneShotDeflateEncoder::Begin(int level) noexcept {
  End();
  // The levels zlib accepts, so both paths refuse the same calls.
  if (level < -1 || level > 9) return Z_STREAM_ERROR;
  const int effective = level == -1 ? 6 : level;
  if (compressor_ == nullptr || compressor_level_ != effective) {
    libdeflate_free_compressor(compressor_);
    compressor_ = libdeflate_alloc_compressor(effective);
    if (compressor_ == nullptr) return Z_MEM_ERROR;
    compressor_level_ = effective;
  }
  level_ = level;
  state_ = State::kEmpty;
  return ZIP_SUCCESS;
}

int OneShotDeflateEncoder::Write(const unsigned char* data, std::uint32_t length) noexcept {
  if (length == 0) return ZIP_SUCCESS;
  switch (state_) {
    case State::kEmpty: {
      const std::size_t bound = libdeflate_deflate_compress_bound(compressor_, length);
      if (BufferReserve(buffer_, bound) == ZIP_SUCCESS) {
        const std::size_t n = libdeflate_deflate_compress(compressor_, data, length,
                                                          buffer_->data + buffer_->cursor, bound);
        if (n != 0) {  // 0 only when the bound was too small, which it never is
          data_begin_ = buffer_->cursor;
          buffer_->cursor += n;
          buffer_->length = buffer_->cursor;
          state_ = State::kOneShot;
          return ZIP_SUCCESS;
        }
      }
      // No room for the worst case: the streaming encoder grows the buffer
      // only as far as the data need and reports the limit when they pass it.
      if (int err = streaming_->Begin(level_); err != ZIP_SUCCESS) return err;
      state_ = State::kStreaming;
      return streaming_->Write(data, length);
    }
    case State::kOneShot:
      if (int err = Handover(); err != ZIP_SUCCESS) return err;
      return streaming_->Write(data, length);
    case State::kStreaming: return streaming_->Write(data, length);
    default: return ZIP_ERR_PARAM;
  }
}

int OneShotDeflateEncoder::Handover() noexcept {
  // An open entry's data end the buffer, so they are [data_begin_, cursor)
  // and the cursor equals the length.
  const std::uint64_t compressed = buffer_->cursor - data_begin_;
  auto* saved = static_cast<unsigned char*>(platform::HookedMalloc(
      platform::AllocSite::kZipHandover, static_cast<std::size_t>(compressed) + kHandoverChunk));
  if (saved == nullptr) return ZIP_ERR_INTERNAL;
  unsigned char* chunk = saved + compressed;
  std::memcpy(saved, buffer_->data + data_begin_, static_cast<std::size_t>(compressed));

  z_stream in{};
  int err = inflateInit2(&in, -15);
  if (err == Z_OK) err = streaming_->Begin(level_);
  if (err == ZIP_SUCCESS) {
    // From here the entry belongs to the streaming encoder, which rewrites
    // its data from where they began.
    buffer_->cursor = buffer_->length = data_begin_;
    state_ = State::kStreaming;
    in.next_in = saved;
    in.avail_in = static_cast<uInt>(compressed);
    int z = Z_OK;
    while (err == ZIP_SUCCESS && z != Z_STREAM_END) {
      in.next_out = chunk;
      in.avail_out = kHandoverChunk;
      z = inflate(&in, Z_NO_FLUSH);
      if (z != Z_OK && z != Z_STREAM_END) {
        // The bytes were written by the compressor a moment ago; a stream
        // that does not inflate means memory was lost or overwritten.
        err = z == Z_MEM_ERROR ? Z_MEM_ERROR : ZIP_ERR_INTERNAL;
        break;
      }
      err = streaming_->Write(chunk, kHandoverChunk - in.avail_out);
    }
  }
  inflateEnd(&in);
  std::free(saved);
  return err;
}

int OneShotDeflateEncoder::Finish() noexcept {
  switch (state_) {
    case State::kEmpty: {
      // The empty raw deflate stream: one final fixed-Huffman block holding
      // only its end code.
      static constexpr unsigned char kEmptyStream[2] = {0x03, 0x00};
      return ZipBufferWrite(buffer_, kEmptyStream, sizeof kEmptyStream);
    }
    case State::kOneShot: return ZIP_SUCCESS;
    case State::kStreaming: return streaming_->Finish();
    default: return ZIP_ERR_PARAM;
  }
}

int OneShotDeflateEncoder::End() noexcept {
  state_ = State::kEmpty;
  return streaming_->End();
}

}  // namespace parcel::zip

#endif  // PARCEL_FAST_DEFLATE
