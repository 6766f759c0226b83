// The output store of the HTTP host (POSIX: the lock is an flock on the
// directory's marker file).
#include "host/serve/output_store.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <vector>

namespace parcel::host {
namespace fs = std::filesystem;
namespace {

// Marks a directory as a store's and carries its lock. Its leading dot keeps
// it out of the names IsStorableName accepts.
constexpr const char* kMarkerName = ".parcel-store";

std::string SystemError(const std::string& what, int code) {
  return what + ": " + std::strerror(code);
}

}  // namespace

bool IsStorableName(std::string_view name) {
  if (name.empty() || name.size() > 255 || name.front() == '.') return false;
  for (char c : name) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == '_';
    if (!ok) return false;
  }
  return true;
}

std::string NewDownloadToken() {
  static constexpr char kHex[] = "0123456789abcdef";
  std::random_device source;  // the system's random source on Linux
  std::string token;
  for (int i = 0; i < 4; ++i) {
    std::uint32_t word = source();
    for (int k = 0; k < 8; ++k) token += kHex[(word >> (4 * k)) & 0xf];
  }
  return token;
}

OutputStore::~OutputStore() {
  std::error_code ec;
  for (const auto& [name, entry] : entries_) fs::remove(directory_ / name, ec);
  if (lock_fd_ >= 0) {
    if (owns_directory_) fs::remove(directory_ / kMarkerName, ec);
    ::close(lock_fd_);
  }
  if (owns_directory_) fs::remove(directory_, ec);
}

bool OutputStore::Open(Options options, std::string* error) {
  options_ = std::move(options);
  std::error_code ec;
  if (options_.directory.empty()) {
    fs::path base = fs::temp_directory_path(ec);
    if (ec) base = "/tmp";
    std::string pattern = (base / "parcel-store-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      *error = SystemError("cannot create a store directory under " + base.string(), errno);
      return false;
    }
    directory_ = pattern;
    owns_directory_ = true;
  } else {
    directory_ = options_.directory;
    fs::create_directories(directory_, ec);
    if (ec) {
      *error = "cannot create the store directory " + directory_.string() + ": " + ec.message();
      return false;
    }
    bool has_marker = fs::exists(directory_ / kMarkerName, ec);
    bool empty = fs::is_empty(directory_, ec);
    if (ec) {
      *error = "cannot read the store directory " + directory_.string() + ": " + ec.message();
      return false;
    }
    if (!has_marker && !empty) {
      *error = directory_.string() +
               " is neither empty nor a store directory; the store removes what it finds in "
               "its directory, so give it an empty or a new one";
      return false;
    }
  }
  const fs::path marker = directory_ / kMarkerName;
  lock_fd_ = ::open(marker.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd_ < 0) {
    *error = SystemError("cannot create " + marker.string(), errno);
    return false;
  }
  if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
    *error = errno == EWOULDBLOCK ? "another server uses the store directory " + directory_.string()
                                  : SystemError("cannot lock " + marker.string(), errno);
    return false;
  }
  // Archives of an earlier run cannot be downloaded any more: their tokens
  // went with that run.
  std::vector<fs::path> leftovers;
  for (const fs::directory_entry& item : fs::directory_iterator(directory_, ec)) {
    if (item.path().filename() != kMarkerName) leftovers.push_back(item.path());
  }
  for (const fs::path& path : leftovers) fs::remove_all(path, ec);
  if (ec) {
    *error = "cannot clear the store directory " + directory_.string() + ": " + ec.message();
    return false;
  }
  return true;
}

OutputStore::PutStatus OutputStore::Put(std::string_view name, std::string_view archive,
                                        std::string* token, std::string* error) {
  if (!IsStorableName(name)) return PutStatus::kBadName;
  const std::uint64_t size = archive.size();
  std::string key(name);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    SweepLocked(options_.now());
    if (entries_.count(key) != 0) return PutStatus::kNameTaken;
    if (size > options_.max_bytes) return PutStatus::kTooLarge;
    if (size > options_.max_bytes - bytes_) return PutStatus::kFull;
    // Reserved: the name is taken and the bytes counted while the file is written.
    Entry entry;
    entry.token = NewDownloadToken();
    entry.size = size;
    *token = entry.token;
    entries_.emplace(key, std::move(entry));
    bytes_ += size;
  }

  const fs::path path = directory_ / key;
  errno = 0;
  // "x": created exclusively, never over an existing file.
  std::FILE* file = std::fopen(path.c_str(), "wbx");
  PutStatus status = PutStatus::kStored;
  if (file == nullptr) {
    int code = errno;
    status = code == EEXIST ? PutStatus::kNameTaken : PutStatus::kWriteFailed;
    if (code != EEXIST) *error = SystemError("cannot create " + path.string(), code);
  } else {
    bool written = std::fwrite(archive.data(), 1, archive.size(), file) == archive.size();
    int code = errno;
    if (std::fclose(file) != 0 && written) {
      written = false;
      code = errno;
    }
    if (!written) {
      status = PutStatus::kWriteFailed;
      *error = SystemError("cannot write " + path.string(), code != 0 ? code : EIO);
      std::error_code ec;
      fs::remove(path, ec);
    }
  }

  std::lock_guard<std::mutex> lock(mutex_);
  if (status != PutStatus::kStored) {
    // The reservation goes; a file of that name that was not ours stays.
    entries_.erase(key);
    bytes_ -= size;
    token->clear();
    return status;
  }
  Entry& entry = entries_.find(key)->second;
  entry.ready = true;
  entry.expires = options_.now() + options_.expiry;
  by_age_.push_back(std::move(key));
  return PutStatus::kStored;
}

OutputStore::GetStatus OutputStore::Get(std::string_view name, std::string_view token,
                                        bool check_token, Download* download) {
  std::lock_guard<std::mutex> lock(mutex_);
  SweepLocked(options_.now());
  auto it = entries_.find(name);
  if (it == entries_.end() || !it->second.ready) return GetStatus::kNotFound;
  if (check_token) {
    // Compared in full whatever the first difference, so the time taken
    // tells nothing about the token.
    const std::string& expected = it->second.token;
    unsigned difference = token.size() != expected.size() ? 1u : 0u;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      difference |= static_cast<unsigned char>(expected[i]) ^
                    static_cast<unsigned char>(i < token.size() ? token[i] : 0);
    }
    if (difference != 0) return GetStatus::kForbidden;
  }
  std::FILE* file = std::fopen((directory_ / it->first).c_str(), "rb");
  if (file == nullptr) return GetStatus::kNotFound;
  download->file = std::shared_ptr<std::FILE>(file, [](std::FILE* f) { std::fclose(f); });
  download->size = it->second.size;
  return GetStatus::kFound;
}

void OutputStore::Sweep() {
  std::lock_guard<std::mutex> lock(mutex_);
  SweepLocked(options_.now());
}

void OutputStore::SweepLocked(Clock::time_point now) {
  // Every archive lives equally long, so storing order is expiry order.
  while (!by_age_.empty() && entries_.at(by_age_.front()).expires <= now) {
    RemoveLocked(by_age_.front());
    by_age_.pop_front();
  }
}

void OutputStore::RemoveLocked(const std::string& name) {
  auto it = entries_.find(name);
  std::error_code ec;
  fs::remove(directory_ / name, ec);
  bytes_ -= it->second.size;
  entries_.erase(it);
}

std::chrono::seconds OutputStore::RetryAfter() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (by_age_.empty()) return options_.expiry;
  auto left = entries_.at(by_age_.front()).expires - options_.now();
  auto seconds = std::chrono::ceil<std::chrono::seconds>(left);
  return seconds < std::chrono::seconds(1) ? std::chrono::seconds(1) : seconds;
}

OutputStore::Stats OutputStore::stats() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Stats{entries_.size(), bytes_};
}

}  // namespace parcel::host
