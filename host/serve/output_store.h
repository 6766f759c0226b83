// The HTTP host's output store: archives made for clients, kept in a
// directory under their generated names until they expire, each readable only
// with the download token handed to the client that made it.
#ifndef PARCEL_HOST_SERVE_OUTPUT_STORE_H_
#define PARCEL_HOST_SERVE_OUTPUT_STORE_H_

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace parcel::host {

// True when `name` can be an archive name of the store: 1 to 255 bytes of
// ASCII letters, digits, '.', '-' and '_', not beginning with '.'. Such a
// name never leaves the store's directory and never names its marker file.
bool IsStorableName(std::string_view name);

// A fresh download token: 32 lower-case hex digits from the system's random
// source (128 bits).
std::string NewDownloadToken();

class OutputStore {
 public:
  using Clock = std::chrono::steady_clock;

  struct Options {
    // The store's directory. Empty: a new directory under the system's
    // temporary directory, removed again when the store closes. A given
    // directory is created when missing; it must be empty or a store
    // directory of an earlier run (it holds the marker file). Of what an
    // earlier run left, only the store's own files are removed: archives
    // (regular files with a storable name ending in ".zip") and partly
    // written files; anything else stays.
    std::filesystem::path directory;
    std::uint64_t max_bytes = std::uint64_t{1} << 30;  // sum of the archives' sizes
    // Most bytes the archives of one owner (a client address) may hold
    // together; 0: no share, any owner may fill the store.
    std::uint64_t owner_bytes = 0;
    std::chrono::seconds expiry{3600};  // an archive's lifetime from its storing
    // The clock expiry is measured with; a runtime setting so tests can move time.
    std::function<Clock::time_point()> now = [] { return Clock::now(); };
  };

  enum class PutStatus {
    kStored,      // the archive is stored; `token` holds its download token
    kNameTaken,   // an archive of that name exists (or a file of that name is in the directory)
    kFull,        // the unexpired archives leave no room for it
    kOwnerFull,   // the owner's unexpired archives leave no room in its share
    kTooLarge,    // larger than the whole store, or than one owner's share
    kBadName,     // not IsStorableName
    kNoSpace,     // the file system has no room (or the process's file size limit is hit)
    kWriteFailed  // the file could not be written; `error` says why
  };

  enum class GetStatus {
    kFound,      // `download` is filled
    kNotFound,   // no such archive, or it has expired, or it is still being written
    kForbidden,  // the archive exists but the token does not match
  };

  // An archive opened for reading. The file stays readable through this
  // handle even when the archive expires and its file is removed meanwhile.
  struct Download {
    std::shared_ptr<std::FILE> file;
    std::uint64_t size = 0;
    std::chrono::seconds expires_in{0};  // until the archive expires, rounded down
  };

  struct Stats {
    std::size_t archives = 0;  // stored and being written
    std::uint64_t bytes = 0;   // their sizes, as counted against max_bytes
  };

  OutputStore() = default;
  // Removes every archive the store wrote; a directory the store created
  // itself goes as well.
  ~OutputStore();
  OutputStore(const OutputStore&) = delete;
  OutputStore& operator=(const OutputStore&) = delete;

  // Prepares the directory and takes its lock, so two servers never share
  // one store. False with a message when the directory cannot be created or
  // read, is not empty and not a store directory, or another process holds
  // its lock.
  bool Open(Options options, std::string* error);

  const std::filesystem::path& directory() const { return directory_; }

  // Stores `archive` under `name` for `owner`. Expired archives are removed
  // first, the oldest first; unexpired archives are never removed to make
  // room. A name that is taken is never overwritten: the caller makes another
  // one. The archive is written under a temporary name and linked into place
  // only when complete, so a crash never leaves a truncated archive under an
  // archive's name, and a file of that name put into the directory by anyone
  // else is not overwritten. `*error` (for kNoSpace and kWriteFailed) names
  // the file and the system's reason: for the server's log, not for clients.
  // Thread-safe; the file is written without holding the store's lock.
  PutStatus Put(std::string_view name, std::string_view archive, std::string_view owner,
                std::string* token, std::string* error);

  // Removes archive `name` (an answer that carried its token never reached
  // the client). A name the store does not hold is no error. Thread-safe.
  void Remove(std::string_view name);

  // Opens archive `name` when `token` is its download token, or for anyone
  // when `check_token` is false. Names are looked up in the store's index,
  // never joined to a path unchecked. Thread-safe.
  GetStatus Get(std::string_view name, std::string_view token, bool check_token,
                Download* download);

  // Removes the expired archives. Thread-safe.
  void Sweep();

  // Time until the oldest stored archive expires (at least one second), or
  // the expiry time when nothing is stored: when a full store has room again
  // at the earliest. With `owner`, the oldest archive of that owner.
  // Thread-safe.
  std::chrono::seconds RetryAfter(std::string_view owner = {});

  Stats stats();

 private:
  struct Entry {
    std::string token;
    std::string owner;
    std::uint64_t size = 0;
    bool ready = false;  // written completely; readable
    Clock::time_point expires;
  };

  // Requires: mutex_ held.
  void SweepLocked(Clock::time_point now);
  void RemoveLocked(const std::string& name);
  // Takes an entry's bytes off the counts.
  void ReleaseLocked(const Entry& entry);

  Options options_;
  std::filesystem::path directory_;
  bool owns_directory_ = false;
  int lock_fd_ = -1;

  std::mutex mutex_;
  std::map<std::string, Entry, std::less<>> entries_;
  std::deque<std::string> by_age_;  // ready archives, oldest first
  std::uint64_t bytes_ = 0;
  std::map<std::string, std::uint64_t, std::less<>> owner_bytes_;  // owners holding bytes
};

}  // namespace parcel::host

#endif  // PARCEL_HOST_SERVE_OUTPUT_STORE_H_
