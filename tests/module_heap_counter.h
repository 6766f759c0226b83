// Counts the C library heap blocks a loaded Windows module holds, by routing
// the module's imports of the allocation functions through counters. Precise
// where walking the heap is not: Wine groups small blocks.
#ifndef PARCEL_TESTS_MODULE_HEAP_COUNTER_H_
#define PARCEL_TESTS_MODULE_HEAP_COUNTER_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstring>

#include "platform/win/win_headers.h"

namespace parcel::testing {

// One module at a time; the imports are restored on destruction, which must
// come before the module is unloaded.
class ModuleHeapCounter {
 public:
  ModuleHeapCounter() = default;
  ModuleHeapCounter(const ModuleHeapCounter&) = delete;
  ModuleHeapCounter& operator=(const ModuleHeapCounter&) = delete;
  ~ModuleHeapCounter() {
    for (Hook& hook : Hooks()) {
      if (hook.slot != nullptr) Write(hook.slot, hook.original);
      hook.slot = nullptr;
    }
  }

  // Patches `module`'s imports from msvcrt.dll. Returns true when malloc and
  // free were among them; counts mean nothing otherwise.
  bool Install(HMODULE module) {
    auto* base = reinterpret_cast<BYTE*>(module);
    auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<IMAGE_NT_HEADERS64*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (dir.VirtualAddress == 0) return false;
    for (auto* import = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         import->Name != 0; ++import) {
      if (_stricmp(reinterpret_cast<char*>(base + import->Name), "msvcrt.dll") != 0) continue;
      auto* names = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + import->OriginalFirstThunk);
      auto* slots = reinterpret_cast<IMAGE_THUNK_DATA64*>(base + import->FirstThunk);
      for (; names->u1.AddressOfData != 0; ++names, ++slots) {
        if (IMAGE_SNAP_BY_ORDINAL64(names->u1.Ordinal)) continue;
        auto* by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
        for (Hook& hook : Hooks()) {
          if (std::strcmp(reinterpret_cast<char*>(by_name->Name), hook.name) != 0) continue;
          hook.slot = reinterpret_cast<void**>(&slots->u1.Function);
          hook.original = *hook.slot;
          Write(hook.slot, hook.replacement);
        }
      }
    }
    return Hooks()[0].slot != nullptr && Hooks()[3].slot != nullptr;
  }

  // Blocks allocated minus blocks released by the module since Install.
  static long Live() { return live_.load(); }

 private:
  struct Hook {
    const char* name;
    void* replacement;
    void** slot;
    void* original;
  };

  static std::array<Hook, 6>& Hooks() {
    static std::array<Hook, 6> hooks = {{
        {"malloc", reinterpret_cast<void*>(&Malloc), nullptr, nullptr},
        {"calloc", reinterpret_cast<void*>(&Calloc), nullptr, nullptr},
        {"realloc", reinterpret_cast<void*>(&Realloc), nullptr, nullptr},
        {"free", reinterpret_cast<void*>(&Free), nullptr, nullptr},
        {"_strdup", reinterpret_cast<void*>(&Strdup), nullptr, nullptr},
        {"strdup", reinterpret_cast<void*>(&Strdup), nullptr, nullptr},
    }};
    return hooks;
  }
  template <typename Fn>
  static Fn Original(int index) {
    return reinterpret_cast<Fn>(Hooks()[index].original);
  }
  static void Write(void** slot, void* value) {
    DWORD old = 0;
    VirtualProtect(slot, sizeof *slot, PAGE_READWRITE, &old);
    *slot = value;
    VirtualProtect(slot, sizeof *slot, old, &old);
  }

  static void* __cdecl Malloc(std::size_t size) {
    void* p = Original<void*(__cdecl*)(std::size_t)>(0)(size);
    if (p != nullptr) ++live_;
    return p;
  }
  static void* __cdecl Calloc(std::size_t count, std::size_t size) {
    void* p = Original<void*(__cdecl*)(std::size_t, std::size_t)>(1)(count, size);
    if (p != nullptr) ++live_;
    return p;
  }
  static void* __cdecl Realloc(void* old, std::size_t size) {
    void* p = Original<void*(__cdecl*)(void*, std::size_t)>(2)(old, size);
    if (old == nullptr && p != nullptr) ++live_;
    if (old != nullptr && size == 0) --live_;  // the C library frees the block
    return p;
  }
  static void __cdecl Free(void* p) {
    if (p != nullptr) --live_;
    Original<void(__cdecl*)(void*)>(3)(p);
  }
  static char* __cdecl Strdup(const char* text) {
    char* p = static_cast<char*>(Malloc(std::strlen(text) + 1));
    if (p != nullptr) std::strcpy(p, text);
    return p;
  }

  static inline std::atomic<long> live_{0};
};

}  // namespace parcel::testing

#endif  // PARCEL_TESTS_MODULE_HEAP_COUNTER_H_
