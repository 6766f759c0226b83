// The archive object: entries opened, written and closed into the buffer, and
// the central directory and end record written at the end.
#include "zip/zip_archive.h"

#include <zlib.h>
#if PARCEL_FAST_DEFLATE
#include <libdeflate.h>
#endif

#include <atomic>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/alloc_hook.h"
#include "zip/zip_records.h"

using parcel::platform::AllocSite;
using parcel::platform::EncodeFixed32;
using parcel::zip::kZipMaxEntries;
using parcel::zip::kZipMaxFieldLength;

namespace parcel::zip {
namespace {

std::atomic<bool> g_one_shot_deflate{kOneShotDeflateBuilt};

}  // namespace

void SetOneShotDeflate(bool on) noexcept { g_one_shot_deflate.store(on && kOneShotDeflateBuilt); }

bool OneShotDeflate() noexcept { return g_one_shot_deflate.load(); }

}  // namespace parcel::zip

ZipArchive::~ZipArchive() {
  std::free(centralRecord);
  parcel::zip::DirRelease(&directory);
  parcel::zip::BufferRelease(&buffer);
}

ZipArchive* ZipArchive::Create() noexcept {
  void* memory = parcel::platform::HookedMalloc(AllocSite::kZipArchive, sizeof(ZipArchive));
  if (memory == nullptr) return nullptr;
  auto* archive = new (memory) ZipArchive();
  archive->one_shot_deflate = parcel::zip::OneShotDeflate();
  if (parcel::zip::BufferInit(&archive->buffer) != ZIP_SUCCESS) {
    Destroy(archive);
    return nullptr;
  }
  return archive;
}

void ZipArchive::Destroy(ZipArchive* archive) noexcept {
  archive->~ZipArchive();
  std::free(archive);
}

namespace {

// A new entry's central record of `size` bytes from the writer's allocator:
// the encoded fields, then the name, the central extra field and the comment.
// Null when memory runs out.
unsigned char* NewCentralRecord(const parcel::zip::EntryFields& fields, std::uint32_t size,
                                const char* name, const void* extra, const char* comment) noexcept {
  auto* record = static_cast<unsigned char*>(
      parcel::platform::HookedMalloc(AllocSite::kZipCentralRecord, size));
  if (record == nullptr) return nullptr;
  parcel::zip::EncodeCentralRecord(record, fields);
  unsigned char* at = record + parcel::zip::kCentralRecordSize;
  std::memcpy(at, name, fields.name_length);
  at += fields.name_length;
  if (fields.extra_length > 0) std::memcpy(at, extra, fields.extra_length);
  at += fields.extra_length;
  if (fields.comment_length > 0) std::memcpy(at, comment, fields.comment_length);
  return record;
}

}  // namespace

parcel::zip::EntryEncoder* ZipArchive::EncoderFor(int entry_method) noexcept {
  if (entry_method != 8) return &stored;
#if PARCEL_FAST_DEFLATE
  if (one_shot_deflate) return &one_shot;
#endif
  return &deflater;
}

int ZipArchive::OpenEntry(const char* name, const ZipEntryInfo* info, const void* localExtra,
                          std::uint32_t localExtraLength, const void* centralExtra,
                          std::uint32_t centralExtraLength, const char* comment, int entry_method,
                          int level) noexcept {
  // Everything the caller passed is checked before the open entry is closed,
  // so a refused call changes nothing.
  if (entry_method != 0 && entry_method != 8) return ZIP_ERR_PARAM;
  if (name == nullptr) name = "-";
  const std::size_t name_length = std::strlen(name);
  const std::size_t comment_length = comment != nullptr ? std::strlen(comment) : 0;
  if (name_length > kZipMaxFieldLength || comment_length > kZipMaxFieldLength ||
      localExtraLength > kZipMaxFieldLength || centralExtraLength > kZipMaxFieldLength) {
    return ZIP_ERR_PARAM;
  }
  if ((localExtra == nullptr && localExtraLength != 0) ||
      (centralExtra == nullptr && centralExtraLength != 0)) {
    return ZIP_ERR_PARAM;
  }
  if (entryOpen) {
    if (int err = CloseEntry(); err != ZIP_SUCCESS) return err;
  }
  if (entryCount >= kZipMaxEntries) return ZIP_ERR_PARAM;

  parcel::zip::EntryFields fields = parcel::zip::NewEntryFields(info, entry_method, level);
  // The flag covers the comment as well: a comment that is not UTF-8 keeps
  // the entry without it.
  if (parcel::zip::IsNonAsciiUtf8(name, name_length) &&
      (!parcel::zip::HasNonAscii(comment, comment_length) ||
       parcel::zip::IsNonAsciiUtf8(comment, comment_length))) {
    fields.flag |= parcel::zip::kFlagUtf8;
    fields.made_by = parcel::zip::kMadeByUtf8;
  }
  fields.name_length = static_cast<std::uint16_t>(name_length);
  fields.extra_length = static_cast<std::uint16_t>(centralExtraLength);
  fields.comment_length = static_cast<std::uint16_t>(comment_length);
  fields.local_header_offset = static_cast<std::uint32_t>(buffer.cursor);  // below buffer.limit
  const std::uint32_t record_size = parcel::zip::CentralRecordSize(fields);
  unsigned char* record = NewCentralRecord(fields, record_size, name, centralExtra, comment);
  if (record == nullptr) return ZIP_ERR_INTERNAL;

  // Room for the whole header and a ready encoder come first: once the header
  // is written, nothing of the entry can fail until its data arrive.
  parcel::zip::EntryEncoder* entry_encoder = EncoderFor(entry_method);
  int err = parcel::zip::BufferReserve(
      &buffer, std::uint64_t{parcel::zip::kLocalHeaderSize} + name_length + localExtraLength);
  if (err == ZIP_SUCCESS) err = entry_encoder->Begin(level);
  if (err != ZIP_SUCCESS) {
    std::free(record);
    return err;
  }
  unsigned char header[parcel::zip::kLocalHeaderSize];
  fields.extra_length = static_cast<std::uint16_t>(localExtraLength);
  parcel::zip::EncodeLocalHeader(header, fields);
  err = ZipBufferWrite(&buffer, header, sizeof header);
  if (err == ZIP_SUCCESS) err = ZipBufferWrite(&buffer, name, name_length);
  if (err == ZIP_SUCCESS) err = ZipBufferWrite(&buffer, localExtra, localExtraLength);
  assert(err == ZIP_SUCCESS);  // the room was reserved

  entryOpen = true;
  encoder = entry_encoder;
  spoilt = ZIP_SUCCESS;
  localHeaderOffset = fields.local_header_offset;
  data_offset = buffer.cursor;
  centralRecord = record;
  centralRecordSize = record_size;
  flag = fields.flag;
  method = entry_method;
  dosDateTime = fields.dos_date_time;
  crc = 0;
  total_in = 0;
  return err;
}

int ZipArchive::WriteEntry(const void* data, std::uint32_t length) noexcept {
  if (!entryOpen || (data == nullptr && length != 0)) return ZIP_ERR_PARAM;
  if (spoilt != ZIP_SUCCESS) return spoilt;
  if (length == 0) return ZIP_SUCCESS;  // crc32 of a null piece would restart the CRC
  if (length > max_entry_size - total_in) return ZIP_ERR_PARAM;
  const auto* bytes = static_cast<const unsigned char*>(data);
#if PARCEL_FAST_DEFLATE
  if (one_shot_deflate) {
    crc = libdeflate_crc32(crc, bytes, length);
  } else {
    crc = static_cast<std::uint32_t>(crc32(crc, bytes, length));
  }
#else
  crc = static_cast<std::uint32_t>(crc32(crc, bytes, length));
#endif
  total_in += length;
  const int err = encoder->Write(bytes, length);
  if (err != ZIP_SUCCESS) spoilt = err;
  return err;
}

int ZipArchive::CloseEntry() noexcept {
  if (!entryOpen) return ZIP_ERR_PARAM;
  int err = spoilt;
  if (err == ZIP_SUCCESS) err = encoder->Finish();
  const int end = encoder->End();
  if (err == ZIP_SUCCESS) err = end;
  if (err == ZIP_SUCCESS) {
    // Every byte of the entry lies between data_offset and the cursor, and
    // the buffer's limit keeps both sizes within 32 bits.
    const auto compressed = static_cast<std::uint32_t>(buffer.cursor - data_offset);
    const auto uncompressed = static_cast<std::uint32_t>(total_in);
    unsigned char* shared = centralRecord + parcel::zip::kCentralSharedOffset;
    EncodeFixed32(shared + parcel::zip::kSharedCrcOffset, crc);
    EncodeFixed32(shared + parcel::zip::kSharedCompressedOffset, compressed);
    EncodeFixed32(shared + parcel::zip::kSharedUncompressedOffset, uncompressed);

    // The header is corrected before the record is listed: a listed entry
    // always has a complete local header. Writes inside the written data
    // never grow the buffer, so these cannot fail for want of memory.
    const std::uint64_t saved = buffer.cursor;
    err = ZipBufferSeek(&buffer, localHeaderOffset + parcel::zip::kLocalSharedOffset +
                                     parcel::zip::kSharedCrcOffset);
    if (err == ZIP_SUCCESS) {
      err = ZipBufferPutLE(&buffer, crc, 4);
      if (err == ZIP_SUCCESS) err = ZipBufferPutLE(&buffer, compressed, 4);
      if (err == ZIP_SUCCESS) err = ZipBufferPutLE(&buffer, uncompressed, 4);
      if (ZipBufferSeek(&buffer, saved) != ZIP_SUCCESS && err == ZIP_SUCCESS) {
        err = ZIP_ERR_POSITION;
      }
    }
    if (err == ZIP_SUCCESS) err = ZipDirAppend(&directory, centralRecord, centralRecordSize);
    if (err == ZIP_SUCCESS) ++entryCount;
  }
  EndEntry();
  return err;
}

void ZipArchive::EndEntry() noexcept {
  std::free(centralRecord);
  centralRecord = nullptr;
  centralRecordSize = 0;
  encoder = nullptr;
  spoilt = ZIP_SUCCESS;
  entryOpen = false;
}

int ZipArchive::Finish(const char* comment, char** outData, std::uint32_t* outLength) noexcept {
  int err = entryOpen ? CloseEntry() : ZIP_SUCCESS;
  const std::size_t comment_length = comment != nullptr ? std::strlen(comment) : 0;
  if (err == ZIP_SUCCESS && comment_length > kZipMaxFieldLength) err = ZIP_ERR_PARAM;
  if (err == ZIP_SUCCESS) {
    const std::uint64_t directory_offset = buffer.cursor;
    // One reservation for the rest of the archive: either all of it fits
    // below the limit and in memory, or nothing more is written.
    err = parcel::zip::BufferReserve(&buffer,
                                     directory.size + parcel::zip::kEndRecordSize + comment_length);
    for (ZipDirBlock* block = directory.first; block != nullptr && err == ZIP_SUCCESS;
         block = block->next) {
      err = ZipBufferWrite(&buffer, block->data, block->filled);
    }
    if (err == ZIP_SUCCESS) {
      unsigned char end[parcel::zip::kEndRecordSize];
      parcel::zip::EncodeEndRecord(
          end, static_cast<std::uint16_t>(entryCount), static_cast<std::uint32_t>(directory.size),
          static_cast<std::uint32_t>(directory_offset), static_cast<std::uint16_t>(comment_length));
      err = ZipBufferWrite(&buffer, end, sizeof end);
      if (err == ZIP_SUCCESS) err = ZipBufferWrite(&buffer, comment, comment_length);
    }
  }
  parcel::zip::DirRelease(&directory);
  if (err == ZIP_SUCCESS && outData != nullptr && outLength != nullptr) {
    *outData = reinterpret_cast<char*>(buffer.data);
    *outLength = static_cast<std::uint32_t>(buffer.length);
    buffer.data = nullptr;  // handed out: the archive no longer releases it
  }
  return err;
}
