// Temporary file, then rename.
#include "host/cli/atomic_file.h"

#include <cerrno>
#include <cstdio>
#include <random>

#include "host/path_text.h"
#include "host/system_message.h"

namespace parcel::host {
namespace fs = std::filesystem;

AtomicFile::~AtomicFile() { Discard(); }

bool AtomicFile::Open(const fs::path& target, std::string* error) {
  Discard();
  std::error_code ec;
  if (fs::is_directory(target, ec)) {
    *error = "cannot write " + QuotedPath(target) + ": it is a directory";
    return false;
  }
  // A random name, so runs writing beside each other do not collide.
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
    std::string name = ".";
    name += DisplayPath(target.filename());
    name += suffix;
    fs::path candidate = target.parent_path() / PathFromUtf8(name);
    if (fs::exists(candidate, ec)) continue;
    errno = 0;
    out_.open(candidate, std::ios::binary | std::ios::trunc);
    if (!out_.is_open()) {
      *error =
          "cannot write " + QuotedPath(target) + ": " + ErrnoMessage("cannot create a file there");
      return false;
    }
    target_ = target;
    temp_ = std::move(candidate);
    return true;
  }
  *error = "cannot write " + QuotedPath(target) + ": no free temporary name";
  return false;
}

bool AtomicFile::Write(std::string_view data, std::string* error) {
  errno = 0;
  if (!out_.write(data.data(), static_cast<std::streamsize>(data.size()))) {
    *error = "cannot write " + QuotedPath(target_) + ": " + ErrnoMessage("write failed");
    Discard();
    return false;
  }
  return true;
}

bool AtomicFile::Commit(std::string* error) {
  errno = 0;
  out_.close();
  if (out_.fail()) {
    *error = "cannot write " + QuotedPath(target_) + ": " + ErrnoMessage("write failed");
    Discard();
    return false;
  }
  std::error_code ec;
  fs::rename(temp_, target_, ec);
  if (ec) {
    *error = "cannot write " + QuotedPath(target_) + ": " + ec.message();
    Discard();
    return false;
  }
  temp_.clear();
  return true;
}

void AtomicFile::Discard() {
  if (out_.is_open()) out_.close();
  if (!temp_.empty()) {
    std::error_code ec;
    fs::remove(temp_, ec);
    temp_.clear();
  }
}

bool WriteFileAtomically(const fs::path& target, std::string_view data, std::string* error) {
  AtomicFile file;
  return file.Open(target, error) && file.Write(data, error) && file.Commit(error);
}

}  // namespace parcel::host
