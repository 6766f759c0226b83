// Entry points of the zip writer: argument checks over the archive object.
#include "zip/zip.h"

#include <cstdlib>

#include "zip/zip_archive.h"

ZipArchive* ZipOpenArchive() noexcept { return ZipArchive::Create(); }

int ZipOpenEntry(ZipArchive* archive, const char* name, const ZipEntryInfo* info,
                 const void* localExtra, std::uint32_t localExtraLength, const void* centralExtra,
                 std::uint32_t centralExtraLength, const char* comment, int method,
                 int level) noexcept {
  if (archive == nullptr) return ZIP_ERR_PARAM;
  return archive->OpenEntry(name, info, localExtra, localExtraLength, centralExtra,
                            centralExtraLength, comment, method, level);
}

int ZipWriteEntry(ZipArchive* archive, const void* data, std::uint32_t length) noexcept {
  if (archive == nullptr) return ZIP_ERR_PARAM;
  return archive->WriteEntry(data, length);
}

int ZipCloseEntry(ZipArchive* archive) noexcept {
  if (archive == nullptr) return ZIP_ERR_PARAM;
  return archive->CloseEntry();
}

int ZipCloseArchive(ZipArchive* archive, const char* comment, char** outData,
                    std::uint32_t* outLength) noexcept {
  if (archive == nullptr) return ZIP_ERR_PARAM;
  const int err = archive->Finish(comment, outData, outLength);
  ZipArchive::Destroy(archive);
  return err;
}

namespace parcel::zip {

void ReleaseArchiveData(char* data) noexcept { std::free(data); }

}  // namespace parcel::zip
