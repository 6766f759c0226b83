// First look-ups of system libraries and their functions, once each: the
// double-checked state below, with each side's loader and lock.
#include "platform/lazy_symbol.h"

namespace parcel::platform {
namespace {

// state_ starts at 0 (not asked yet) and turns to kResolved once, for good.
constexpr int kResolved = 1;

class LookupLock {
 public:
  LookupLock() noexcept { detail::LockLookups(); }
  ~LookupLock() { detail::UnlockLookups(); }
  LookupLock(const LookupLock&) = delete;
  LookupLock& operator=(const LookupLock&) = delete;
};

}  // namespace

void* SystemLibrary::Handle() noexcept {
  // The release store of kResolved publishes handle_, written before it.
  if (state_.load(std::memory_order_acquire) == kResolved) return handle_;
  LookupLock lock;
  if (state_.load(std::memory_order_relaxed) != kResolved) {
    handle_ = detail::OpenSystemLibrary(name_);
    state_.store(kResolved, std::memory_order_release);
  }
  return handle_;
}

bool SystemLibrary::Load() noexcept { return Handle() != nullptr; }

void* detail::LazyAddress::Resolve() noexcept {
  if (state_.load(std::memory_order_acquire) == kResolved) return address_;
  // The library first, outside the lock: its own look-up takes the same lock.
  void* library = library_.Handle();
  LookupLock lock;
  if (state_.load(std::memory_order_relaxed) != kResolved) {
    address_ = library != nullptr ? FindSystemSymbol(library, name_) : nullptr;
    state_.store(kResolved, std::memory_order_release);
  }
  return address_;
}

}  // namespace parcel::platform
