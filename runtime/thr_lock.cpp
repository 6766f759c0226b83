// Named locks over the system's critical sections, governed by the two
// process-wide switches.
#include "runtime/thr.h"

std::atomic<bool> thrActive{false};
std::atomic<bool> thrReady{false};

namespace parcel::runtime {

void EnableThreadServices() noexcept {
  thrActive.store(true, std::memory_order_release);
  thrReady.store(true, std::memory_order_release);
}

}  // namespace parcel::runtime

int ThrLockInit(parcel::runtime::ThrLock* lock, const char* /*name*/) noexcept {
  if (lock != nullptr) parcel::platform::CriticalSectionInit(lock);
  return THR_OK;
}

int ThrLockEnter(parcel::runtime::ThrLock* lock) noexcept {
  if (lock != nullptr && thrActive.load(std::memory_order_acquire)) {
    parcel::platform::CriticalSectionEnter(lock);
  }
  return THR_OK;
}

int ThrLockLeave(parcel::runtime::ThrLock* lock) noexcept {
  if (lock != nullptr && thrActive.load(std::memory_order_acquire)) {
    parcel::platform::CriticalSectionLeave(lock);
  }
  return THR_OK;
}

int ThrLockDelete(parcel::runtime::ThrLock* lock) noexcept {
  if (!thrReady.load(std::memory_order_acquire)) return THR_ERR_NOTREADY;
  if (lock != nullptr) parcel::platform::CriticalSectionDelete(lock);
  return THR_OK;
}
