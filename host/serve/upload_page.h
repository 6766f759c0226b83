// The upload page the HTTP host serves at "/": one self-contained HTML
// document (no outside fonts, styles or scripts) whose script lets people drop
// files and folders, see what they chose, follow the upload and browse the
// archive's listing. Without script it is a plain form posting to /compress.
#ifndef PARCEL_HOST_SERVE_UPLOAD_PAGE_H_
#define PARCEL_HOST_SERVE_UPLOAD_PAGE_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace parcel::host {

// The server's limits, shown in the page and checked there before anything
// is sent.
struct UploadPageLimits {
  std::uint64_t max_upload = 0;      // largest request body, in bytes
  std::size_t max_files = 0;         // files in one upload
  std::uint64_t expiry_seconds = 0;  // how long an archive is kept
};

// The page, UTF-8, with `limits` in its text and on the form's data-
// attributes (data-max-upload, data-max-files, data-expiry) for its script.
std::string UploadPage(const UploadPageLimits& limits);

// `bytes` for people: "812 bytes", "1 KB", "1.5 MB", "64 MB", "1 GB" (units of
// 1024, one decimal below 10 of a unit when it is not whole).
std::string ReadableSize(std::uint64_t bytes);

// `seconds` for people: "45 seconds", "1 minute", "90 minutes", "1 hour",
// "2 days": the largest unit that divides it evenly.
std::string ReadableDuration(std::uint64_t seconds);

}  // namespace parcel::host

#endif  // PARCEL_HOST_SERVE_UPLOAD_PAGE_H_
