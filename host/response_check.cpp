// The response check.
#include "host/response_check.h"

#include <utility>

namespace parcel::host {
namespace {

// Runs the checks in order; the reason of a failed one goes to `reason`.
ResponseStatus Check(std::string_view response, ResponseCheck* check, std::string* reason) {
  if (response.empty()) {
    *reason = "the module gave no response";
    return ResponseStatus::kNoResponse;
  }
  std::string error;
  if (!ParseResponse(response, &check->records, &error)) {
    *reason = "the module's response is malformed: " + error;
    return ResponseStatus::kMalformed;
  }
  const OutputRecord* meta = check->meta();
  if (meta == nullptr) {
    *reason = "the module's response has no META record";
    return ResponseStatus::kNoDocument;
  }
  if (!ParseResponseDocument(meta->data, &check->document)) {
    *reason = "the module's response document is unreadable: " + std::string(meta->data);
    return ResponseStatus::kUnreadableDocument;
  }
  if (check->document.is_error) return ResponseStatus::kJobError;
  const OutputRecord* zip = check->archive();
  if (zip == nullptr) {
    *reason = "the module's response has no ZIPFILE record";
    return ResponseStatus::kNoArchive;
  }
  if (zip->data.size() != check->document.size) {
    *reason = "the response document reports " + std::to_string(check->document.size) +
              " archive bytes, the ZIPFILE record holds " + std::to_string(zip->data.size());
    return ResponseStatus::kSizeMismatch;
  }
  if (!ReadZipDirectory(zip->data, &check->entries, &error)) {
    *reason = "the module's archive is damaged: " + error;
    return ResponseStatus::kDamagedArchive;
  }
  return ResponseStatus::kArchive;
}

}  // namespace

const OutputRecord* ResponseCheck::Find(std::string_view name) const {
  for (const OutputRecord& record : records) {
    if (record.name == name) return &record;
  }
  return nullptr;
}

ResponseCheck CheckResponse(std::string_view response) {
  ResponseCheck check;
  std::string reason;
  check.status = Check(response, &check, &reason);
  check.reason = std::move(reason);
  return check;
}

}  // namespace parcel::host
