// The XML a host sends as table META to describe a compression job, and the
// response document the module answers with.
#ifndef PARCEL_HOST_JOB_DESCRIPTION_H_
#define PARCEL_HOST_JOB_DESCRIPTION_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace parcel::host {

// One file of a job: the archive entry it becomes and how many bytes of its
// table belong to it. The module names the entry `path` + '\' + `name`, or
// `name` alone when `path` is empty.
struct JobFile {
  std::string path;  // entry path, levels joined by backslashes; empty for none
  std::string name;  // entry file name, UTF-8
  std::uint64_t size = 0;
};

// The entry name the module makes of `file`: path, backslash, name.
std::string EntryName(const JobFile& file);

// `text` escaped for a double-quoted attribute value of the module's parser:
// the five predefined entities for & < > " and '. Every other byte, white
// space and non-ASCII bytes included, passes unchanged. The apostrophe needs
// escaping as well: the parser pairs every quote character in the document,
// whichever delimits the value, to decide where white space is kept, so a bare
// one would make it collapse white space inside the values that follow.
std::string EscapeAttributeValue(std::string_view text);

// The job description for `files`, in order: the k-th FILE element describes
// request table k + 1. Every FILE carries `name` and `size`; `path` only when
// it is not empty (an empty one would still give the entry a leading
// backslash).
std::string BuildJobDescription(std::span<const JobFile> files);

// What a response document says.
struct ResponseDocument {
  bool is_error = false;
  // Error document: the module's code and message.
  int code = 0;
  std::string message;
  // Archive report: the archive's size and the URL path it is offered under.
  std::uint64_t size = 0;
  std::string url;
};

// Reads a response document: an ERROR element with a numeric `code`
// attribute and its message, or a COMPRESSED_FILE element with numeric
// `size` and a `url`. False when it is neither.
bool ParseResponseDocument(std::string_view document, ResponseDocument* out);

}  // namespace parcel::host

#endif  // PARCEL_HOST_JOB_DESCRIPTION_H_
