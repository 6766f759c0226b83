// The compression job: job description in, one zip archive and a response
// document out.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "data/orb_data.h"
#include "interpreter/zip_interpreter.h"
#include "platform/utc_time.h"
#include "xml/mini_xml_parser.h"
#include "zip/zip.h"

namespace {

using parcel::interpreter::kDocumentBufferSize;
using parcel::interpreter::kEntryNameBufferSize;
using parcel::interpreter::kErrorCloseArchive;
using parcel::interpreter::kErrorOpenArchive;
using parcel::interpreter::kErrorRequest;
using parcel::interpreter::kNameBufferSize;
using parcel::interpreter::kSizeTextBufferSize;

// The hosts' limit of files per request is the archive's limit of entries.
static_assert(PARCEL_MAX_FILES == parcel::zip::kZipMaxEntries);

constexpr char kInvalidXml[] = "invalid xml";
constexpr char kInvalidMetaData[] = "invalid meta data";
constexpr char kInvalidFileList[] = "invalid file list";
constexpr char kOpenFailed[] = "internal error while opening zip";
constexpr char kCloseFailed[] = "internal error while closing zip";

// Owns the archive under construction; an archive that is not closed
// successfully is discarded with everything it holds.
class ArchiveGuard {
 public:
  explicit ArchiveGuard(ZipArchive* archive) : archive_(archive) {}
  ~ArchiveGuard() {
    if (archive_ != nullptr) (void)ZipCloseArchive(archive_, nullptr, nullptr, nullptr);
  }
  ArchiveGuard(const ArchiveGuard&) = delete;
  ArchiveGuard& operator=(const ArchiveGuard&) = delete;
  ZipArchive* get() const { return archive_; }
  // Closes the archive; on success the caller owns `*data`.
  int Close(char** data, std::uint32_t* length) {
    ZipArchive* archive = archive_;
    archive_ = nullptr;
    return ZipCloseArchive(archive, nullptr, data, length);
  }

 private:
  ZipArchive* archive_;
};

using parcel::xml::AttributeResult;
using parcel::xml::CopyAttributeValue;

// The one time stamp every entry of an archive carries, in UTC.
ZipEntryInfo EntryTime() {
  ZipEntryInfo info{};
  std::tm utc{};
  if (parcel::platform::UtcNow(&utc)) {
    info.second = static_cast<std::uint32_t>(utc.tm_sec);
    info.minute = static_cast<std::uint32_t>(utc.tm_min);
    info.hour = static_cast<std::uint32_t>(utc.tm_hour);
    info.day = static_cast<std::uint32_t>(utc.tm_mday);
    info.month = static_cast<std::uint32_t>(utc.tm_mon);
    info.year = static_cast<std::uint32_t>(utc.tm_year);
  } else {
    // No calendar time: the earliest DOS time stamp, 1980-01-01 00:00:00.
    info.dosDateTime = (1u + 32u * 1u) << 16;
  }
  return info;
}

}  // namespace

bool ZipInterpreter::Execute() noexcept {
  try {
    int meta = FindPart("META");
    if (meta < 0) meta = 0;
    const char* description = GetPartData(meta);
    const int description_size = GetPartSize(meta);

    CMiniXMLParser parser;
    if (description == nullptr || description_size <= 0 ||
        !parser.Parse(description, static_cast<std::size_t>(description_size))) {
      return Fail(kErrorRequest, kInvalidXml);
    }
    const char* root = parser.GetNodeName("");
    if (root == nullptr || std::strcmp(root, "REQUEST") != 0) {
      return Fail(kErrorRequest, kInvalidMetaData);
    }
    if (parser.GetNodeAttributes("%s", "COMPRESS") == nullptr) {
      return Fail(kErrorRequest, kInvalidMetaData);
    }
    const int files = parser.GetChildCount("%s%s", "COMPRESS", "FILES");
    if (files == 0 || files != GetPartCount() - 1) return Fail(kErrorRequest, kInvalidFileList);

    ArchiveGuard archive(ZipOpenArchive());
    if (archive.get() == nullptr) return Fail(kErrorOpenArchive, kOpenFailed);

    const ZipEntryInfo info = EntryTime();
    char name[kNameBufferSize];
    char entry_name[kEntryNameBufferSize];
    char size_text[kSizeTextBufferSize];
    for (int k = 0; k < files; ++k) {
      const char* attributes = parser.GetNodeAttributes("%s%s%sd", "COMPRESS", "FILES", "FILE", k);
      if (attributes == nullptr) continue;

      AttributeResult found = CopyAttributeValue(attributes, "name", name, sizeof name);
      if (found == AttributeResult::kTooLong) return Fail(kErrorRequest, kInvalidFileList);
      if (found == AttributeResult::kAbsent) std::snprintf(name, sizeof name, "file%d", k);

      // Entry name: path, one backslash, name. The path is kept as written.
      found = CopyAttributeValue(attributes, "path", entry_name, sizeof entry_name);
      if (found == AttributeResult::kTooLong) return Fail(kErrorRequest, kInvalidFileList);
      std::size_t used = 0;
      if (found == AttributeResult::kFound) {
        used = std::strlen(entry_name);
        entry_name[used++] = '\\';
      }
      const std::size_t name_length = std::strlen(name);
      if (used + name_length >= sizeof entry_name) return Fail(kErrorRequest, kInvalidFileList);
      std::memcpy(entry_name + used, name, name_length + 1);

      const auto part_size = static_cast<std::uint32_t>(GetPartSize(k + 1));
      std::uint32_t count = part_size;
      found = CopyAttributeValue(attributes, "size", size_text, sizeof size_text);
      if (found == AttributeResult::kTooLong) return Fail(kErrorRequest, kInvalidFileList);
      if (found == AttributeResult::kFound) {
        count = static_cast<std::uint32_t>(
            parcel::data::ReadNumber(size_text, size_text + std::strlen(size_text)));
      }
      // An empty selection or one larger than the part leaves the file out.
      if (count == 0 || count > part_size) continue;

      int result =
          ZipOpenEntry(archive.get(), entry_name, &info, nullptr, 0, nullptr, 0, nullptr, 8, -1);
      if (result == ZIP_SUCCESS) result = ZipWriteEntry(archive.get(), GetPartData(k + 1), count);
      if (result == ZIP_SUCCESS) result = ZipCloseEntry(archive.get());
      if (result != ZIP_SUCCESS) return Fail(kErrorCloseArchive, kCloseFailed);
    }

    char* bytes = nullptr;
    std::uint32_t length = 0;
    if (archive.Close(&bytes, &length) != ZIP_SUCCESS || bytes == nullptr) {
      return Fail(kErrorCloseArchive, kCloseFailed);
    }
    // The report's size is a signed 32-bit number, and so is an output
    // record's length: a larger archive cannot be answered.
    if (length > INT32_MAX) {
      parcel::zip::ReleaseArchiveData(bytes);
      return Fail(kErrorCloseArchive, kCloseFailed);
    }
    MakeOutputName("zipfile", "zip", entry_name, sizeof entry_name);
    char document[kDocumentBufferSize];
    std::snprintf(document, sizeof document,
                  "<COMPRESSED_FILE name=\"ZIPFILE\" type=\"application/zip\" size=\"%d\" "
                  "url=\"/output/%s\"/>",
                  static_cast<int>(length), entry_name);
    // The archive's block becomes the response: no copy of the archive. An
    // archive without its report would be an answer no host can read.
    const bool stored = AddResponse(document) &&
                        AdoptOutputPart(bytes, length, "application/zip", "ZIPFILE", entry_name);
    if (!stored) {
      parcel::zip::ReleaseArchiveData(bytes);
      // A report without its archive would claim a success the host cannot use.
      DiscardOutput();
      return Fail(kErrorCloseArchive, kCloseFailed);
    }
    return true;
  } catch (...) {
    // Nothing may unwind into the host; a throw here means memory ran out.
    DiscardOutput();
    return Fail(kErrorCloseArchive, kCloseFailed);
  }
}
