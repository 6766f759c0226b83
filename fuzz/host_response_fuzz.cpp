// Fuzzes the host's readers of what a module hands back: the response's
// output records, the response document and the archive's central directory.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/job_description.h"
#include "host/transfer_form.h"
#include "host/zip_directory.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly `size` bytes, so reads past the end are caught.
  std::vector<char> bytes(data, data + size);
  std::string_view input(bytes.data(), bytes.size());
  std::string error;
  std::vector<parcel::host::OutputRecord> records;
  if (parcel::host::ParseResponse(input, &records, &error)) {
    for (const auto& record : records) {
      parcel::host::ResponseDocument document;
      parcel::host::ParseResponseDocument(record.data, &document);
      std::vector<parcel::host::ZipEntry> entries;
      parcel::host::ReadZipDirectory(record.data, &entries, &error);
    }
  }
  parcel::host::ResponseDocument document;
  parcel::host::ParseResponseDocument(input, &document);
  std::vector<parcel::host::ZipEntry> entries;
  parcel::host::ReadZipDirectory(input, &entries, &error);
  return 0;
}
