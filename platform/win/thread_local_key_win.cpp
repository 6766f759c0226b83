// Windows side of the thread-local keys: TlsAlloc slots. Windows keeps no
// destructor with a slot, so this file records one per slot number and runs
// them from a TLS callback, which the loader calls in every ending thread
// (DLL_THREAD_DETACH) for the module that contains it, while it is loaded.
#include "platform/thread_local_key.h"

#include <atomic>

#include "platform/win/win_headers.h"

namespace parcel::platform {
namespace {

// TLS_MINIMUM_AVAILABLE (64) plus the 1024 expansion slots: every slot number
// TlsAlloc can return.
constexpr DWORD kMaxSlots = 64 + 1024;
constexpr int kDestructorRounds = 4;

std::atomic<TlsDestructor> g_destructors[kMaxSlots];

// Runs the destructors for the ending thread's non-null values. Slots are
// scanned in number order; a destructor that stores a value again causes
// another round.
void RunDestructors() {
  for (int round = 0; round < kDestructorRounds; ++round) {
    bool called = false;
    for (DWORD slot = 0; slot < kMaxSlots; ++slot) {
      TlsDestructor destructor = g_destructors[slot].load(std::memory_order_acquire);
      if (destructor == nullptr) continue;
      void* value = TlsGetValue(slot);
      if (value == nullptr) continue;
      TlsSetValue(slot, nullptr);
      destructor(value);
      called = true;
    }
    if (!called) return;
  }
}

void NTAPI OnTlsCallback(PVOID /*module*/, DWORD reason, PVOID /*reserved*/) {
  // Only thread ends: at process end no thread's values are released, as with
  // pthread keys when the process exits.
  if (reason == DLL_THREAD_DETACH) RunDestructors();
}

// The C runtime's TLS directory lists every pointer placed in the .CRT$XL*
// sections (sorted by name between .CRT$XLA and .CRT$XLZ) as a TLS callback.
__attribute__((section(".CRT$XLP"), used)) PIMAGE_TLS_CALLBACK g_tls_callback = OnTlsCallback;

}  // namespace

bool TlsKeyCreate(TlsKey* key, TlsDestructor destructor) noexcept {
  DWORD slot = TlsAlloc();
  if (slot == TLS_OUT_OF_INDEXES) return false;
  if (slot >= kMaxSlots) {
    TlsFree(slot);
    return false;
  }
  g_destructors[slot].store(destructor, std::memory_order_release);
  *key = static_cast<TlsKey>(slot);
  return true;
}

bool TlsKeyDelete(TlsKey key) noexcept {
  if (key < kMaxSlots) g_destructors[key].store(nullptr, std::memory_order_release);
  return TlsFree(key) != FALSE;
}

bool TlsKeySetValue(TlsKey key, void* value) noexcept { return TlsSetValue(key, value) != FALSE; }

void* TlsKeyGetValue(TlsKey key) noexcept { return TlsGetValue(key); }

}  // namespace parcel::platform
