// The files of one upload: the parts of a multipart/form-data body, in the
// order they arrive, turned into the files of a compression request.
#ifndef PARCEL_HOST_SERVE_UPLOAD_H_
#define PARCEL_HOST_SERVE_UPLOAD_H_

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "host/job_description.h"
#include "host/serve/multipart.h"
#include "interpreter/host_abi.h"

namespace parcel::host {

// What makes a path text unusable as an entry path.
enum class PathProblem {
  kNone,
  kDotLevel,          // a "." or ".." level
  kControlCharacter,  // a byte below 0x20, or 0x7f
  kInvalidUtf8,       // bytes that are not UTF-8
};

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool IsValidUtf8(std::string_view text);

// Sets `*out` to the entry path of a path text: a drive letter ("C:") at the
// start and leading separators are removed, levels split at '/' and '\',
// empty levels dropped, the rest joined with backslashes ("C:\\a//b/"
// gives "a\b"). Refuses, leaving `*out` empty, a text with a "." or ".."
// level, a control character or invalid UTF-8: nothing of an entry path can
// climb above the archive's root or name a drive.
PathProblem NormalizeEntryPath(std::string_view text, std::string* out);

// Why an upload cannot become a request.
enum class UploadError {
  kNone,
  kBadRequest,  // a bad file name or path, a name given twice, or no file at all
  kTooLarge,    // more bytes or more files than the limits allow
};

// Collects the parts of one upload.
//
// Every part with a file name is a file: the file name's last level becomes
// the entry's `name`; levels before it (clients that send a folder send
// relative paths) are appended to the current path. A text part named "path"
// sets the current path for the files that follow it. Other text parts are
// ignored. A file part with an empty file name (a form's file input left
// empty) is skipped.
//
// Usage: BeginPart, then AddContent for its bytes, for every part in order;
// then Finish; then TakeRequest. The first error sticks: later calls return
// false and change nothing.
class UploadCollector : public MultipartSink {
 public:
  struct Limits {
    std::size_t max_files = PARCEL_MAX_FILES;
    std::uint64_t max_bytes = 64u << 20;  // file contents together
  };

  explicit UploadCollector(Limits limits) : limits_(limits) {}

  // A part begins. False when the previous part or this one's file name
  // breaks a rule: a path or name NormalizeEntryPath refuses, a name that is
  // only separators, a name of more than PARCEL_MAX_NAME_BYTES, an entry name
  // (path, backslash, name) of more than PARCEL_MAX_ENTRY_NAME_BYTES, an entry
  // name an earlier file of the upload has, or one file too many.
  bool BeginPart(std::string_view field, std::string_view file_name) override;

  // More bytes of the current part. False when the files' bytes exceed
  // max_bytes, or a "path" text exceeds the entry name limit.
  bool AddContent(std::string_view bytes) override;

  // The body ended. False when no file was uploaded.
  bool Finish();

  UploadError error() const { return error_; }
  // What went wrong, for the client; empty without an error.
  const std::string& message() const { return message_; }

  // The files collected so far, in order.
  const std::vector<JobFile>& files() const { return files_; }

  // Entry names (path, backslash, name) of the files without content, in
  // order: the module leaves them out of the archive.
  std::vector<std::string> EmptyFiles() const;

  // The request in the transfer form: table META with the job description,
  // then table FILE<k> for the k-th file. The collected contents are released
  // as they are copied, so the upload is held about once, not twice.
  // Requires: Finish returned true.
  std::string TakeRequest();

 private:
  enum class PartKind { kNone, kFile, kPath, kIgnored };

  bool Fail(UploadError error, std::string message);
  bool EndPart();

  Limits limits_;
  UploadError error_ = UploadError::kNone;
  std::string message_;
  PartKind part_ = PartKind::kNone;
  std::string path_;       // current entry path for file parts
  std::string path_text_;  // the "path" part being read
  std::vector<JobFile> files_;
  std::vector<std::string> contents_;
  std::set<std::string, std::less<>> entries_;  // entry names so far
  std::uint64_t bytes_ = 0;
};

}  // namespace parcel::host

#endif  // PARCEL_HOST_SERVE_UPLOAD_H_
