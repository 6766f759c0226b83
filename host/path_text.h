// Paths as UTF-8 text, for names given on a command line or in an upload and
// for the paths messages show.
#ifndef PARCEL_HOST_PATH_TEXT_H_
#define PARCEL_HOST_PATH_TEXT_H_

#include <filesystem>
#include <string>
#include <string_view>

namespace parcel::host {

// UTF-8 text to a path and back. On POSIX names that are not valid UTF-8
// pass through as bytes. Utf8FromPath is false for a Windows name without a
// UTF-8 form (a lone surrogate); DisplayPath shows such a path as "?".
std::filesystem::path PathFromUtf8(std::string_view text);
bool Utf8FromPath(const std::filesystem::path& path, std::string* out);
std::string DisplayPath(const std::filesystem::path& path);
// DisplayPath in single quotes, for messages.
std::string QuotedPath(const std::filesystem::path& path);

}  // namespace parcel::host

#endif  // PARCEL_HOST_PATH_TEXT_H_
