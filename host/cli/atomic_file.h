// Output files that appear whole or not at all: bytes go to a temporary file
// beside the target, which is renamed over the target only when complete.
#ifndef PARCEL_HOST_CLI_ATOMIC_FILE_H_
#define PARCEL_HOST_CLI_ATOMIC_FILE_H_

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace parcel::host {

// One output file in the making. Move-only in spirit; not copyable. A file
// that is not committed leaves nothing behind: the destructor removes the
// temporary file, and the target keeps whatever it held before.
class AtomicFile {
 public:
  AtomicFile() = default;
  ~AtomicFile();
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;

  // Creates the temporary file in the target's directory, so a target that
  // cannot be written is found before any work is done. False with a message
  // when the target is a directory or the temporary file cannot be created
  // (missing directory, no permission).
  bool Open(const std::filesystem::path& target, std::string* error);

  // The temporary file while open; empty otherwise.
  const std::filesystem::path& temp_path() const { return temp_; }

  // Appends `data`. False with a message when the write fails.
  // Requires: Open succeeded and Commit has not been called.
  bool Write(std::string_view data, std::string* error);

  // Closes the temporary file and renames it over the target. False with a
  // message, and the temporary file removed, when closing (flushing) or the
  // rename fails.
  bool Commit(std::string* error);

 private:
  void Discard();

  std::filesystem::path target_;
  std::filesystem::path temp_;
  std::ofstream out_;
};

// Writes `data` to `target` through an AtomicFile.
bool WriteFileAtomically(const std::filesystem::path& target, std::string_view data,
                         std::string* error);

}  // namespace parcel::host

#endif  // PARCEL_HOST_CLI_ATOMIC_FILE_H_
