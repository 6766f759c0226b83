// The one check of a module's response that every host makes before it acts
// on it: output records, the response document in META, an error document,
// the ZIPFILE record, its size against the document's, and the archive's
// directory. Each host maps the status to its own answer (an exit code, an
// HTTP status).
#ifndef PARCEL_HOST_RESPONSE_CHECK_H_
#define PARCEL_HOST_RESPONSE_CHECK_H_

#include <string>
#include <string_view>
#include <vector>

#include "host/job_description.h"
#include "host/transfer_form.h"
#include "host/zip_directory.h"

namespace parcel::host {

// What a response is, in the order the checks run: the first that fails
// decides.
enum class ResponseStatus {
  kArchive,             // an archive report whose archive is present and readable
  kJobError,            // an error document: the module refused the job
  kNoResponse,          // no bytes at all
  kMalformed,           // not a sequence of well-formed output records
  kNoDocument,          // no META record
  kUnreadableDocument,  // META holds neither an error document nor an archive report
  kNoArchive,           // an archive report without a ZIPFILE record
  kSizeMismatch,        // the ZIPFILE record's size is not the one the document reports
  kDamagedArchive,      // the archive's central directory cannot be read
};

// The outcome of CheckResponse. `records` view the checked response, so the
// result is valid only as long as those bytes are.
struct ResponseCheck {
  ResponseStatus status = ResponseStatus::kNoResponse;
  // One line for a person saying what is wrong; empty for kArchive and
  // kJobError (the document says what the module meant).
  std::string reason;
  // Filled as far as the checks got: the records from kNoDocument on, the
  // document from kJobError on, the entries for kArchive.
  std::vector<OutputRecord> records;
  ResponseDocument document;
  std::vector<ZipEntry> entries;

  // The META record; null when there is none.
  const OutputRecord* meta() const { return Find("META"); }
  // The ZIPFILE record; null when there is none.
  const OutputRecord* archive() const { return Find("ZIPFILE"); }
  // The first record named `name`; null when there is none.
  const OutputRecord* Find(std::string_view name) const;
};

// Checks `response`, a module's whole response in the transfer form.
ResponseCheck CheckResponse(std::string_view response);

}  // namespace parcel::host

#endif  // PARCEL_HOST_RESPONSE_CHECK_H_
