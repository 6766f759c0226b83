// Windows side of whole-file reading: CreateFileW, ReadFile, CloseHandle.
#include "platform/file_read.h"

#include <algorithm>

#include "platform/win/win_headers.h"

namespace parcel::platform {
namespace {

class FileHandle {
 public:
  explicit FileHandle(HANDLE handle) : handle_(handle) {}
  ~FileHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

FileReadResult Failed(FileReadResult result, int* system_error) {
  if (system_error != nullptr) *system_error = static_cast<int>(GetLastError());
  return result;
}

}  // namespace

FileReadResult ReadWholeFile(const std::filesystem::path& path, char* destination,
                             std::uint64_t size, FileReadProgress progress, void* context,
                             int* system_error) noexcept {
  if (system_error != nullptr) *system_error = 0;
  // Others may go on reading, writing or deleting it, as with the C library.
  FileHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (file.get() == INVALID_HANDLE_VALUE) return Failed(FileReadResult::kCannotOpen, system_error);

  std::uint64_t done = 0;
  while (done < size) {
    const DWORD want = static_cast<DWORD>(std::min(size - done, kFileReadPiece));
    DWORD got = 0;
    if (!ReadFile(file.get(), destination + done, want, &got, nullptr)) {
      return Failed(FileReadResult::kReadError, system_error);
    }
    if (got == 0) return FileReadResult::kShrank;
    done += got;
    if (progress != nullptr) progress(context, got);
  }
  // ReadFile reads no more than asked, so the end is checked with one byte.
  char scratch = 0;
  DWORD got = 0;
  if (!ReadFile(file.get(), &scratch, 1, &got, nullptr)) {
    return Failed(FileReadResult::kReadError, system_error);
  }
  return got == 0 ? FileReadResult::kOk : FileReadResult::kGrew;
}

}  // namespace parcel::platform
