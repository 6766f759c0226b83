// Thread-local keys with the process-wide registry of their destructors.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/critical_section.h"
#include "platform/thread_local_key.h"
#include "runtime/mem.h"
#include "runtime/thr.h"
#include "runtime/thr_internal.h"

namespace parcel::runtime {
namespace {

struct KeyEntry {
  ThrKeyDestructor destructor;
  std::uint32_t key;
  KeyEntry* next;
};

// Newest first. Guarded by RegistryLock while thrActive is on.
KeyEntry* g_registry = nullptr;

// Created on first use and never destroyed: threads may end after static
// destruction has begun.
platform::RecursiveMutex& RegistryLock() {
  static platform::RecursiveMutex* lock = new platform::RecursiveMutex();
  return *lock;
}

// Holds the registry lock for its lifetime when thrActive was on at its start.
class RegistryGuard {
 public:
  RegistryGuard() : locked_(thrActive.load(std::memory_order_acquire)) {
    if (locked_) RegistryLock().Lock();
  }
  ~RegistryGuard() {
    if (locked_) RegistryLock().Unlock();
  }
  RegistryGuard(const RegistryGuard&) = delete;
  RegistryGuard& operator=(const RegistryGuard&) = delete;

 private:
  bool locked_;
};

// Key variables may be shared between threads that make the key on first use,
// so they are read and written atomically.
std::uint32_t LoadKey(std::uint32_t* key) {
  return std::atomic_ref<std::uint32_t>(*key).load(std::memory_order_acquire);
}

void StoreKey(std::uint32_t* key, std::uint32_t value) {
  std::atomic_ref<std::uint32_t>(*key).store(value, std::memory_order_release);
}

bool Registered(std::uint32_t key) {
  for (KeyEntry* entry = g_registry; entry != nullptr; entry = entry->next) {
    if (entry->key == key) return true;
  }
  return false;
}

// Unlinks the entry of `key`; returns it (for release by the caller) or null.
KeyEntry* Unlink(std::uint32_t key) {
  for (KeyEntry** link = &g_registry; *link != nullptr; link = &(*link)->next) {
    if ((*link)->key == key) {
      KeyEntry* entry = *link;
      *link = entry->next;
      return entry;
    }
  }
  return nullptr;
}

}  // namespace

namespace detail {

std::size_t KeyRegistrySize() noexcept {
  RegistryGuard guard;
  std::size_t count = 0;
  for (KeyEntry* entry = g_registry; entry != nullptr; entry = entry->next) ++count;
  return count;
}

}  // namespace detail

void ReleaseThreadValues() noexcept {
  // Destructors run outside the registry lock (they may use keys, or take the
  // caller's locks), so the registry is read in chunks of (destructor, key).
  constexpr int kRounds = 4;
  constexpr std::size_t kChunk = 32;
  for (int round = 0; round < kRounds; ++round) {
    bool called = false;
    std::size_t skip = 0;
    bool more = true;
    while (more) {
      struct {
        ThrKeyDestructor destructor;
        std::uint32_t key;
      } chunk[kChunk];
      std::size_t count = 0;
      std::size_t walked = 0;
      {
        RegistryGuard guard;
        KeyEntry* entry = g_registry;
        for (std::size_t i = 0; i < skip && entry != nullptr; ++i) entry = entry->next;
        for (; entry != nullptr && count < kChunk; entry = entry->next, ++walked) {
          if (entry->destructor != nullptr) chunk[count++] = {entry->destructor, entry->key};
        }
        more = entry != nullptr;
      }
      skip += walked;
      for (std::size_t i = 0; i < count; ++i) {
        void* value = platform::TlsKeyGetValue(chunk[i].key);
        if (value == nullptr) continue;
        platform::TlsKeySetValue(chunk[i].key, nullptr);
        chunk[i].destructor(value);
        called = true;
      }
    }
    if (!called) return;
  }
}

}  // namespace parcel::runtime

using parcel::runtime::KeyEntry;
using parcel::runtime::RegistryGuard;

int ThrKeyAlloc(std::uint32_t* key, parcel::runtime::ThrKeyDestructor destructor) noexcept {
  if (key == nullptr) return THR_ERR_NOKEY;
  // The entry is allocated before the registry lock is taken, so that the
  // allocator's failure trace never runs under it.
  auto* entry = static_cast<KeyEntry*>(MemAlloc(sizeof(KeyEntry), "ThrKeyAlloc"));
  int result = THR_OK;
  {
    RegistryGuard guard;
    std::uint32_t current = parcel::runtime::LoadKey(key);
    if (current != THR_KEY_NONE && parcel::runtime::Registered(current)) {
      result = THR_ERR_EXISTS;
    } else {
      parcel::platform::TlsKey made;
      if (!parcel::platform::TlsKeyCreate(&made, destructor)) {
        parcel::runtime::StoreKey(key, THR_KEY_NONE);
        result = THR_ERR_NOKEYS;
      } else {
        parcel::runtime::StoreKey(key, made);
        if (entry == nullptr) {
          result = THR_ERR_NOMEM;
        } else {
          *entry = KeyEntry{destructor, made, parcel::runtime::g_registry};
          parcel::runtime::g_registry = entry;
          entry = nullptr;
        }
      }
    }
  }
  MemFree(entry);
  return result;
}

int ThrKeyRelease(std::uint32_t* key) noexcept {
  if (key == nullptr) return THR_ERR_NOKEY;
  KeyEntry* entry = nullptr;
  int result = THR_OK;
  {
    RegistryGuard guard;
    std::uint32_t current = parcel::runtime::LoadKey(key);
    if (current == THR_KEY_NONE) return THR_ERR_NOKEY;
    if (!parcel::platform::TlsKeyDelete(current)) result = THR_ERR_SYSCALL;
    entry = parcel::runtime::Unlink(current);
    parcel::runtime::StoreKey(key, THR_KEY_NONE);
  }
  MemFree(entry);
  return result;
}

int ThrKeySet(std::uint32_t* key, void* value) noexcept {
  if (key == nullptr) return THR_ERR_NOKEY;
  if (parcel::runtime::LoadKey(key) == THR_KEY_NONE) {
    int result = ThrKeyAlloc(key, nullptr);
    if (result != THR_OK && result != THR_ERR_EXISTS) return result;
  }
  return parcel::platform::TlsKeySetValue(parcel::runtime::LoadKey(key), value) ? THR_OK
                                                                                : THR_ERR_SYSCALL;
}

void* ThrKeyGet(std::uint32_t* key) noexcept {
  if (key == nullptr) return nullptr;
  std::uint32_t current = parcel::runtime::LoadKey(key);
  if (current != THR_KEY_NONE) return parcel::platform::TlsKeyGetValue(current);
  int result = ThrKeyAlloc(key, nullptr);
  if (result != THR_OK && result != THR_ERR_EXISTS) return nullptr;
  return parcel::platform::TlsKeyGetValue(parcel::runtime::LoadKey(key));
}
