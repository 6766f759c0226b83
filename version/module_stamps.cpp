// The version stamps every module carries in its constant data, so that a
// scan of the module file finds them, and the module's own values read from
// them. Built as an object file of its own and linked directly into the
// module: an object named on the link line is always kept, and `used` keeps
// the compiler from dropping stamps that only a file scan ever reads.
#include <array>
#include <cstddef>

#include "version/module_version.h"
#include "version/stamp_scan.h"
#include "version/version_internal.h"

namespace parcel::version::detail {
namespace {

// The zero-terminated text marker + keyword + value.
template <std::size_t M, std::size_t K, std::size_t V>
constexpr std::array<char, M + K + V - 2> Stamp(const char (&marker)[M], const char (&keyword)[K],
                                                const char (&value)[V]) {
  std::array<char, M + K + V - 2> stamp = {};
  std::size_t at = 0;
  for (std::size_t i = 0; i + 1 < M; ++i) stamp[at++] = marker[i];
  for (std::size_t i = 0; i + 1 < K; ++i) stamp[at++] = keyword[i];
  for (std::size_t i = 0; i < V; ++i) stamp[at++] = value[i];
  return stamp;
}

[[gnu::used]] constexpr auto kFileVersionStamp =
    Stamp(kStampMarker, kFileVersionKeyword, PARCEL_FILE_VERSION_TEXT);
[[gnu::used]] constexpr auto kProductVersionStamp =
    Stamp(kStampMarker, kProductVersionKeyword, PARCEL_PRODUCT_VERSION_TEXT);
[[gnu::used]] constexpr auto kPlatformStamp =
    Stamp(kStampMarker, kPlatformKeyword, PARCEL_PLATFORM_TEXT);
[[gnu::used]] constexpr auto kSpecialBuildStamp =
    Stamp(kStampMarker, kSpecialBuildKeyword, PARCEL_SPECIAL_BUILD_TEXT);

template <std::size_t N, std::size_t K>
constexpr const char* ValueOf(const std::array<char, N>& stamp, const char (&)[K]) {
  return stamp.data() + (sizeof kStampMarker - 1) + (K - 1);
}

}  // namespace

Values ModuleValues() noexcept {
  return {ValueOf(kFileVersionStamp, kFileVersionKeyword),
          ValueOf(kProductVersionStamp, kProductVersionKeyword),
          ValueOf(kPlatformStamp, kPlatformKeyword),
          ValueOf(kSpecialBuildStamp, kSpecialBuildKeyword)};
}

}  // namespace parcel::version::detail
