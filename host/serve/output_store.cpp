// The output store of the HTTP host (POSIX: the lock is an flock on the
// directory's marker file).
#include "host/serve/output_store.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
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
// Archives being written: the leading dot keeps them out of the archive
// names, so a partly written file is never served or mistaken for one.
constexpr std::string_view kPartialPrefix = ".partial-";

// True for files the store makes: archives and partly written archives.
bool IsOwnFileName(const std::string& name) {
  if (name.compare(0, kPartialPrefix.size(), kPartialPrefix) == 0) return true;
  return IsStorableName(name) && name.size() > 4 && name.compare(name.size() - 4, 4, ".zip") == 0;
}

// Writes all of `data` to `fd`; 0 or the errno value.
int WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return 0;
}

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
  // went with that run. Only the store's own files go; symbolic links,
  // directories and other names are not its own.
  std::vector<fs::path> leftovers;
  for (const fs::directory_entry& item : fs::directory_iterator(directory_, ec)) {
    std::error_code type_ec;
    if (item.is_regular_file(type_ec) && !item.is_symlink(type_ec) &&
        IsOwnFileName(item.path().filename().string())) {
      leftovers.push_back(item.path());
    }
  }
  for (const fs::path& path : leftovers) fs::remove(path, ec);
  if (ec) {
    *error = "cannot clear the store directory " + directory_.string() + ": " + ec.message();
    return false;
  }
  return true;
}

OutputStore::PutStatus OutputStore::Put(std::string_view name, std::string_view archive,
                                        std::string_view owner, std::string* token,
                                        std::string* error) {
  if (!IsStorableName(name)) return PutStatus::kBadName;
  const std::uint64_t size = archive.size();
  std::string key(name);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    SweepLocked(options_.now());
    if (entries_.count(key) != 0) return PutStatus::kNameTaken;
    if (size > options_.max_bytes) return PutStatus::kTooLarge;
    if (options_.owner_bytes != 0) {
      if (size > options_.owner_bytes) return PutStatus::kTooLarge;
      auto held = owner_bytes_.find(owner);
      if (held != owner_bytes_.end() && size > options_.owner_bytes - held->second) {
        return PutStatus::kOwnerFull;
      }
    }
    if (size > options_.max_bytes - bytes_) return PutStatus::kFull;
    // Reserved: the name is taken and the bytes counted while the file is written.
    Entry entry;
    entry.token = NewDownloadToken();
    entry.owner = std::string(owner);
    entry.size = size;
    *token = entry.token;
    entries_.emplace(key, std::move(entry));
    bytes_ += size;
    owner_bytes_[std::string(owner)] += size;
  }

  const fs::path path = directory_ / key;
  const fs::path partial = directory_ / (std::string(kPartialPrefix) + NewDownloadToken());
  PutStatus status = PutStatus::kStored;
  int code = 0;
  const char* step = "create";
  const int fd = ::open(partial.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    code = errno;
  } else {
    step = "write";
    code = WriteAll(fd, archive);
    if (::close(fd) != 0 && code == 0) code = errno;
    // Linked, not renamed, into place: a link never replaces a file that
    // is there already.
    if (code == 0) {
      step = "link";
      if (::link(partial.c_str(), path.c_str()) != 0) code = errno;
    }
    ::unlink(partial.c_str());
  }
  if (code == EEXIST && std::string_view(step) == "link") {
    status = PutStatus::kNameTaken;
  } else if (code == ENOSPC || code == EDQUOT || code == EFBIG) {
    status = PutStatus::kNoSpace;
  } else if (code != 0) {
    status = PutStatus::kWriteFailed;
  }
  if (code != 0 && status != PutStatus::kNameTaken) {
    *error = SystemError(std::string("cannot ") + step + " " + path.string(), code);
  }

  std::lock_guard<std::mutex> lock(mutex_);
  if (status != PutStatus::kStored) {
    // The reservation goes; a file of that name that was not ours stays.
    auto it = entries_.find(key);
    ReleaseLocked(it->second);
    entries_.erase(it);
    token->clear();
    return status;
  }
  Entry& entry = entries_.find(key)->second;
  entry.ready = true;
  entry.expires = options_.now() + options_.expiry;
  by_age_.push_back(std::move(key));
  return PutStatus::kStored;
}

void OutputStore::Remove(std::string_view name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = entries_.find(name);
  if (it == entries_.end() || !it->second.ready) return;
  const std::string key = it->first;
  RemoveLocked(key);
  by_age_.erase(std::find(by_age_.begin(), by_age_.end(), key));
}

void OutputStore::ReleaseLocked(const Entry& entry) {
  bytes_ -= entry.size;
  auto held = owner_bytes_.find(entry.owner);
  held->second -= entry.size;
  if (held->second == 0) owner_bytes_.erase(held);
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
  download->expires_in =
      std::chrono::duration_cast<std::chrono::seconds>(it->second.expires - options_.now());
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
  ReleaseLocked(it->second);
  entries_.erase(it);
}

std::chrono::seconds OutputStore::RetryAfter(std::string_view owner) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto oldest = std::find_if(by_age_.begin(), by_age_.end(), [&](const std::string& name) {
    return owner.empty() || entries_.at(name).owner == owner;
  });
  if (oldest == by_age_.end()) return options_.expiry;
  auto left = entries_.at(*oldest).expires - options_.now();
  auto seconds = std::chrono::ceil<std::chrono::seconds>(left);
  return seconds < std::chrono::seconds(1) ? std::chrono::seconds(1) : seconds;
}

OutputStore::Stats OutputStore::stats() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Stats{entries_.size(), bytes_};
}

}  // namespace parcel::host
