// The archive object: entries opened, written and closed into the buffer, and
// the central directory and end record written at the end.
#include "zip/zip_archive.h"

#include <zlib.h>

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <new>

#include "zip/zip_records.h"

using parcel::zip::AllocSite;
using parcel::zip::kZipMaxEntries;
using parcel::zip::kZipMaxFieldLength;
using parcel::zip::StoreLE;

ZipArchive::~ZipArchive() {
  std::free(centralRecord);
  parcel::zip::DirRelease(&directory);
  parcel::zip::BufferRelease(&buffer);
}

ZipArchive* ZipArchive::Create() noexcept {
  void* memory = parcel::zip::Allocate(AllocSite::kArchive, sizeof(ZipArchive));
  if (memory == nullptr) return nullptr;
  auto* archive = new (memory) ZipArchive();
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

int ZipArchive::OpenEntry(const char* name, const ZipEntryInfo* info, const void* localExtra,
                          std::uint32_t localExtraLength, const void* centralExtra,
                          std::uint32_t centralExtraLength, const char* comment,
                          int entry_method, int level) noexcept {
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

  const auto n = static_cast<std::uint32_t>(name_length);
  const auto c = static_cast<std::uint32_t>(comment_length);
  const std::uint32_t entry_flag = parcel::zip::FlagForLevel(level);
  const std::uint32_t entry_time = parcel::zip::DosDateTime(info);
  const std::uint64_t header_offset = buffer.cursor;  // below 4 GiB: buffer.limit holds it

  const std::uint32_t record_size =
      parcel::zip::kCentralRecordSize + n + centralExtraLength + c;
  auto* record =
      static_cast<unsigned char*>(parcel::zip::Allocate(AllocSite::kCentralRecord, record_size));
  if (record == nullptr) return ZIP_ERR_INTERNAL;
  StoreLE(record + 0, parcel::zip::kCentralRecordSignature, 4);
  StoreLE(record + 4, 0, 2);  // version made by
  StoreLE(record + 6, parcel::zip::kVersionNeeded, 2);
  StoreLE(record + 8, entry_flag, 2);
  StoreLE(record + 10, static_cast<std::uint32_t>(entry_method), 2);
  StoreLE(record + 12, entry_time, 4);
  StoreLE(record + 16, 0, 4);  // CRC and sizes, completed at close
  StoreLE(record + 20, 0, 4);
  StoreLE(record + 24, 0, 4);
  StoreLE(record + 28, n, 2);
  StoreLE(record + 30, centralExtraLength, 2);
  StoreLE(record + 32, c, 2);
  StoreLE(record + 34, 0, 2);  // disk number start
  StoreLE(record + 36, info != nullptr ? info->internalAttributes : 0, 2);
  StoreLE(record + 38, info != nullptr ? info->externalAttributes : 0, 4);
  StoreLE(record + 42, static_cast<std::uint32_t>(header_offset), 4);
  std::memcpy(record + 46, name, n);
  if (centralExtraLength > 0) std::memcpy(record + 46 + n, centralExtra, centralExtraLength);
  if (c > 0) std::memcpy(record + 46 + n + centralExtraLength, comment, c);

  // Room for the whole header and a ready encoder come first: once the header
  // is written, nothing of the entry can fail until its data arrive.
  const std::uint64_t header_size =
      std::uint64_t{parcel::zip::kLocalHeaderSize} + n + localExtraLength;
  parcel::zip::EntryEncoder* entry_encoder =
      entry_method == 8 ? static_cast<parcel::zip::EntryEncoder*>(&deflater) : &stored;
  int err = parcel::zip::BufferReserve(&buffer, header_size);
  if (err == ZIP_SUCCESS) err = entry_encoder->Begin(level);
  if (err != ZIP_SUCCESS) {
    std::free(record);
    return err;
  }

  unsigned char header[parcel::zip::kLocalHeaderSize];
  StoreLE(header + 0, parcel::zip::kLocalHeaderSignature, 4);
  StoreLE(header + 4, parcel::zip::kVersionNeeded, 2);
  StoreLE(header + 6, entry_flag, 2);
  StoreLE(header + 8, static_cast<std::uint32_t>(entry_method), 2);
  StoreLE(header + 10, entry_time, 4);
  StoreLE(header + 14, 0, 4);  // CRC and sizes, corrected at close
  StoreLE(header + 18, 0, 4);
  StoreLE(header + 22, 0, 4);
  StoreLE(header + 26, n, 2);
  StoreLE(header + 28, localExtraLength, 2);
  err = ZipBufferWrite(&buffer, header, sizeof header);
  if (err == ZIP_SUCCESS) err = ZipBufferWrite(&buffer, name, n);
  if (err == ZIP_SUCCESS) err = ZipBufferWrite(&buffer, localExtra, localExtraLength);
  assert(err == ZIP_SUCCESS);  // the room was reserved

  entryOpen = true;
  encoder = entry_encoder;
  spoilt = ZIP_SUCCESS;
  localHeaderOffset = header_offset;
  data_offset = buffer.cursor;
  centralRecord = record;
  centralRecordSize = record_size;
  flag = entry_flag;
  method = entry_method;
  dosDateTime = entry_time;
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
  crc = static_cast<std::uint32_t>(crc32(crc, bytes, length));
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
    StoreLE(centralRecord + parcel::zip::kCentralCrcOffset, crc, 4);
    StoreLE(centralRecord + parcel::zip::kCentralCompressedOffset, compressed, 4);
    StoreLE(centralRecord + parcel::zip::kCentralUncompressedOffset, uncompressed, 4);

    // The header is corrected before the record is listed: a listed entry
    // always has a complete local header. Writes inside the written data
    // never grow the buffer, so these cannot fail for want of memory.
    const std::uint64_t saved = buffer.cursor;
    err = ZipBufferSeek(&buffer, localHeaderOffset + parcel::zip::kLocalCrcOffset);
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
    err = parcel::zip::BufferReserve(
        &buffer, directory.size + parcel::zip::kEndRecordSize + comment_length);
    for (ZipDirBlock* block = directory.first; block != nullptr && err == ZIP_SUCCESS;
         block = block->next) {
      err = ZipBufferWrite(&buffer, block->data, block->filled);
    }
    if (err == ZIP_SUCCESS) {
      unsigned char end[parcel::zip::kEndRecordSize];
      StoreLE(end + 0, parcel::zip::kEndRecordSignature, 4);
      StoreLE(end + 4, 0, 2);  // this disk
      StoreLE(end + 6, 0, 2);  // disk of the directory
      StoreLE(end + 8, entryCount, 2);
      StoreLE(end + 10, entryCount, 2);
      StoreLE(end + 12, static_cast<std::uint32_t>(directory.size), 4);
      StoreLE(end + 16, static_cast<std::uint32_t>(directory_offset), 4);
      StoreLE(end + 20, static_cast<std::uint32_t>(comment_length), 2);
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
