// Size of the file behind a C stream, as the file system reports it.
#ifndef PARCEL_PLATFORM_FILE_SIZE_H_
#define PARCEL_PLATFORM_FILE_SIZE_H_

#include <cstdint>
#include <cstdio>

namespace parcel::platform {

// Stores the size in bytes of the file open on `stream` in `*size`. Data still
// in the stream's buffer is not counted: flush first. Returns false, leaving
// `*size` alone, when `stream` is null or the system cannot tell (for pipes and
// terminals the system may report 0).
bool StreamFileSize(std::FILE* stream, std::int64_t* size) noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_FILE_SIZE_H_
