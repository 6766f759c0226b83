// The files of one pack run: named on the command line or walked in
// directories, each paired with the archive entry it becomes, and checked
// against the limits of one request.
#ifndef PARCEL_HOST_CLI_INPUT_FILES_H_
#define PARCEL_HOST_CLI_INPUT_FILES_H_

#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "host/job_description.h"
#include "interpreter/host_abi.h"

namespace parcel::host {

// One file to pack.
struct InputFile {
  std::filesystem::path source;  // where its bytes are read
  JobFile entry;                 // the entry it becomes; entry.size is its size when collected
};

// Collects the files of one run, in the order given, each directory's
// contents in byte order of their names.
//
// Entry paths: a file keeps the directories of the path it was named by and
// a directory walk adds the levels below, joined with backslashes; root
// names, leading separators, "." and ".." are dropped, so "/srv/./a/../b/c"
// becomes entry path "srv\b" and name "c". With junk_paths every entry is
// its file name alone.
//
// Symbolic links are followed. The same file reached twice under the same
// entry name is packed once. Files equivalent to one of `excluded` (the
// archive being written) are left out and noted.
class InputCollector {
 public:
  struct Options {
    bool junk_paths = false;
    std::vector<std::filesystem::path> excluded;
    std::size_t max_files = PARCEL_MAX_FILES;
  };

  explicit InputCollector(Options options) : options_(std::move(options)) {}

  // Adds the file, or recursively the directory, named by `argument` (UTF-8).
  // False with a message in `error` at the first problem: a missing or
  // unreadable path, a dangling link, something that is neither a regular
  // file nor a directory, a directory that contains itself through a link,
  // a name with a backslash or beyond the name limits, two different files
  // with one entry name, or more than max_files files.
  bool Add(std::string_view argument, std::string* error);

  const std::vector<InputFile>& files() const { return files_; }
  // One line for each input left out because it is excluded.
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  // `parent` is the entry path above `source`, `level` its own name.
  bool AddPath(const std::filesystem::path& source, const std::string& parent,
               const std::string& level, std::vector<std::filesystem::path>* ancestors,
               std::string* error);
  // `ancestors` holds the directories being walked, outermost first.
  bool AddDirectory(const std::filesystem::path& source, const std::string& entry_path,
                    std::vector<std::filesystem::path>* ancestors, std::string* error);
  // `size` is the file's size as just found.
  bool AddFile(const std::filesystem::path& source, const std::string& entry_path,
               const std::string& name, std::uint64_t size, std::string* error);
  // `parent` with `level` appended (unchanged under junk_paths).
  bool JoinLevel(const std::string& parent, const std::string& level,
                 const std::filesystem::path& source, std::string* joined, std::string* error);
  bool IsExcluded(const std::filesystem::path& source) const;

  Options options_;
  std::vector<InputFile> files_;
  std::unordered_map<std::string, std::size_t> by_entry_name_;
  std::vector<std::string> notes_;
};

// Upper bound of the archive the module makes of `files`: headers, names
// and the deflate stream's worst case for every file, and the end record.
std::uint64_t WorstCaseArchiveSize(std::span<const InputFile> files);

// False, with a message, when `files` cannot travel in one request: the
// archive could outgrow PARCEL_MAX_ARCHIVE_BYTES.
bool CheckRequestLimits(std::span<const InputFile> files, std::string* error);

}  // namespace parcel::host

#endif  // PARCEL_HOST_CLI_INPUT_FILES_H_
