// Internal interface of the thread services, for runtime/ and its tests.
#ifndef PARCEL_RUNTIME_THR_INTERNAL_H_
#define PARCEL_RUNTIME_THR_INTERNAL_H_

#include <cstddef>

namespace parcel::runtime::detail {

// Number of keys in the registry.
std::size_t KeyRegistrySize() noexcept;

}  // namespace parcel::runtime::detail

#endif  // PARCEL_RUNTIME_THR_INTERNAL_H_
