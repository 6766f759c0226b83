// Input collection: argument paths, directory walks, entry names and limits.
#include "host/cli/input_files.h"

#include <algorithm>
#include <utility>

#include "host/path_text.h"

namespace parcel::host {
namespace fs = std::filesystem;
namespace {

// The reason `path` cannot be examined, telling a dangling link apart from a
// plain missing file.
std::string Unreachable(const fs::path& path, const std::error_code& ec) {
  std::error_code link_ec;
  if (fs::is_symlink(fs::symlink_status(path, link_ec))) {
    return QuotedPath(path) + ": dangling symbolic link";
  }
  return QuotedPath(path) + ": " + (ec ? ec.message() : "no such file or directory");
}

// The levels an argument contributes to entry paths: its components without
// root, ".", "..", or the empty one a trailing separator leaves.
bool ArgumentLevels(const fs::path& argument, std::vector<std::string>* levels) {
  for (const fs::path& part : argument.lexically_normal().relative_path()) {
    std::string level;
    if (!Utf8FromPath(part, &level)) return false;
    if (level.empty() || level == "." || level == "..") continue;
    levels->push_back(std::move(level));
  }
  return true;
}

}  // namespace

bool InputCollector::Add(std::string_view argument, std::string* error) {
  if (argument.empty()) {
    *error = "an empty name is not a file";
    return false;
  }
  fs::path source = PathFromUtf8(argument);
  std::vector<std::string> levels;
  if (!ArgumentLevels(source, &levels)) {
    *error = QuotedPath(source) + ": the name has no UTF-8 form";
    return false;
  }
  std::string level;
  if (!levels.empty()) {
    level = std::move(levels.back());
    levels.pop_back();
  }
  std::string parent;
  for (const std::string& part : levels) {
    if (!JoinLevel(parent, part, source, &parent, error)) return false;
  }
  std::vector<fs::path> ancestors;
  return AddPath(source, parent, level, &ancestors, error);
}

bool InputCollector::JoinLevel(const std::string& parent, const std::string& level,
                               const fs::path& source, std::string* joined, std::string* error) {
  if (options_.junk_paths || level.empty()) {
    *joined = parent;
    return true;
  }
  if (level.find('\\') != std::string::npos) {
    *error = QuotedPath(source) + ": the directory name '" + level +
             "' contains a backslash, which separates the levels of archive entry names";
    return false;
  }
  *joined = parent.empty() ? level : parent + "\\" + level;
  return true;
}

bool InputCollector::AddPath(const fs::path& source, const std::string& parent,
                             const std::string& level, std::vector<fs::path>* ancestors,
                             std::string* error) {
  std::error_code ec;
  // One system call for the common case: only a regular file has a size.
  std::uint64_t size = fs::file_size(source, ec);
  if (!ec) return AddFile(source, parent, level, size, error);
  fs::file_status status = fs::status(source, ec);
  if (status.type() == fs::file_type::not_found || (ec && status.type() == fs::file_type::none)) {
    *error = Unreachable(source, ec);
    return false;
  }
  if (fs::is_directory(status)) {
    std::string entry_path;
    if (!JoinLevel(parent, level, source, &entry_path, error)) return false;
    return AddDirectory(source, entry_path, ancestors, error);
  }
  if (!fs::is_regular_file(status)) {
    *error = QuotedPath(source) + ": neither a regular file nor a directory";
    return false;
  }
  // A regular file whose size could not be had a moment ago.
  size = fs::file_size(source, ec);
  if (ec) {
    *error = QuotedPath(source) + ": " + ec.message();
    return false;
  }
  return AddFile(source, parent, level, size, error);
}

bool InputCollector::AddDirectory(const fs::path& source, const std::string& entry_path,
                                  std::vector<fs::path>* ancestors, std::string* error) {
  // File identity, not the path, tells a loop: a link may be transparent to
  // the path functions (Unix links seen from Windows programs under Wine).
  std::error_code ec;
  for (const fs::path& ancestor : *ancestors) {
    if (fs::equivalent(source, ancestor, ec)) {
      *error = QuotedPath(source) + ": directory loop: it leads back to " + QuotedPath(ancestor);
      return false;
    }
  }
  std::vector<std::pair<std::string, fs::path>> children;
  fs::directory_iterator it(source, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::string name;
    if (!Utf8FromPath(it->path().filename(), &name)) {
      *error = QuotedPath(it->path()) + ": the name has no UTF-8 form";
      return false;
    }
    children.emplace_back(std::move(name), it->path());
  }
  if (ec) {
    *error = "cannot read directory " + QuotedPath(source) + ": " + ec.message();
    return false;
  }
  // Byte order of UTF-8 names is code point order, the same on every system.
  std::sort(children.begin(), children.end());
  ancestors->push_back(source);
  for (const auto& [name, child] : children) {
    if (!AddPath(child, entry_path, name, ancestors, error)) return false;
  }
  ancestors->pop_back();
  return true;
}

bool InputCollector::AddFile(const fs::path& source, const std::string& entry_path,
                             const std::string& name, std::uint64_t size, std::string* error) {
  if (IsExcluded(source)) {
    notes_.push_back(QuotedPath(source) + " is the archive being written; left out");
    return true;
  }
  JobFile entry{options_.junk_paths ? std::string() : entry_path, name, 0};
  if (entry.name.empty() && !Utf8FromPath(source.filename(), &entry.name)) {
    *error = QuotedPath(source) + ": the name has no UTF-8 form";
    return false;
  }
  if (entry.name.find('\\') != std::string::npos) {
    *error = QuotedPath(source) +
             ": the file name contains a backslash, which separates the levels of archive entry "
             "names";
    return false;
  }
  if (entry.name.size() > PARCEL_MAX_NAME_BYTES) {
    *error = QuotedPath(source) + ": the file name is " + std::to_string(entry.name.size()) +
             " bytes long; the limit is " + std::to_string(PARCEL_MAX_NAME_BYTES);
    return false;
  }
  std::string entry_name = EntryName(entry);
  if (entry_name.size() > PARCEL_MAX_ENTRY_NAME_BYTES) {
    *error = QuotedPath(source) + ": the entry name '" + entry_name + "' is " +
             std::to_string(entry_name.size()) + " bytes long; the limit is " +
             std::to_string(PARCEL_MAX_ENTRY_NAME_BYTES) + " (use -j to store file names alone)";
    return false;
  }
  std::error_code ec;
  if (auto found = by_entry_name_.find(entry_name); found != by_entry_name_.end()) {
    const fs::path& first = files_[found->second].source;
    if (fs::equivalent(first, source, ec)) return true;
    *error = QuotedPath(first) + " and " + QuotedPath(source) + " would both be stored as '" +
             entry_name + "'";
    return false;
  }
  if (files_.size() >= options_.max_files) {
    *error = "more than " + std::to_string(options_.max_files) +
             " files; one archive holds at most " + std::to_string(options_.max_files);
    return false;
  }
  entry.size = size;
  by_entry_name_.emplace(std::move(entry_name), files_.size());
  files_.push_back(InputFile{source, std::move(entry)});
  return true;
}

bool InputCollector::IsExcluded(const fs::path& source) const {
  for (const fs::path& excluded : options_.excluded) {
    std::error_code ec;
    // Comparing names first keeps the walk to one status call per file.
    if (source.filename() == excluded.filename() && fs::equivalent(source, excluded, ec)) {
      return true;
    }
  }
  return false;
}

std::uint64_t WorstCaseArchiveSize(std::span<const InputFile> files) {
  constexpr std::uint64_t kEndRecord = 22;
  constexpr std::uint64_t kHeaders = 30 + 46;  // local header and central record
  std::uint64_t total = kEndRecord;
  for (const InputFile& file : files) {
    std::uint64_t n = file.entry.size;
    // zlib's bound for a raw deflate stream, with a few bytes to spare.
    std::uint64_t deflated = n + (n >> 12) + (n >> 14) + (n >> 25) + 13;
    total += kHeaders + 2 * EntryName(file.entry).size() + deflated;
  }
  return total;
}

bool CheckRequestLimits(std::span<const InputFile> files, std::string* error) {
  std::uint64_t worst = WorstCaseArchiveSize(files);
  if (worst <= PARCEL_MAX_ARCHIVE_BYTES) return true;
  std::uint64_t input = 0;
  for (const InputFile& file : files) input += file.entry.size;
  *error = "the inputs are too large for one request: " + std::to_string(input) + " bytes in " +
           std::to_string(files.size()) + " files could make an archive of up to " +
           std::to_string(worst) + " bytes; the limit is " +
           std::to_string(PARCEL_MAX_ARCHIVE_BYTES) + " bytes";
  return false;
}

}  // namespace parcel::host
