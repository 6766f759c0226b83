// Library start and end, the per-thread globals, and failure recording.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "errinfo/errinfo.h"
#include "ni/nii.h"
#include "platform/monotonic_clock.h"
#include "platform/system_info.h"
#include "runtime/mem.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

constexpr const char* kSource = "ni_init.cpp";

NiLibrary g_library;
std::atomic<std::int64_t> g_live_blocks{0};
std::int64_t (*g_clock)() = nullptr;

void SetMapped(NI_NODEADDR* address, unsigned char a, unsigned char b, unsigned char c,
               unsigned char d) {
  std::memset(address->addr, 0, sizeof address->addr);
  address->addr[10] = address->addr[11] = 0xFF;
  address->addr[12] = a;
  address->addr[13] = b;
  address->addr[14] = c;
  address->addr[15] = d;
}

void SetIPv4Defaults() {
  SetMapped(&g_library.any, 0, 0, 0, 0);
  SetMapped(&g_library.loopback, 127, 0, 0, 1);
}

// Settings of a fresh library: test settings off, the three failure
// switches on.
void DefaultSettings() {
  g_library.settings = NiSettings{};
  g_library.settings.trace_shutdown_inval = true;
  g_library.settings.trace_send_broken = true;
  g_library.settings.trace_recv_broken = true;
}

struct DefaultsAtStart {
  DefaultsAtStart() {
    SetIPv4Defaults();
    DefaultSettings();
    g_library.thread_key = THR_KEY_NONE;
  }
} g_defaults_at_start;

bool IsLiveRecord(const HandleRecord* handle) {
  const NiLibrary& lib = g_library;
  return handle != nullptr && lib.table != nullptr && handle >= lib.table &&
         handle < lib.table + lib.max_handles && handle->state != NI_FREE;
}

// Destructor of the per-thread globals: closes the block's handles.
void ReleaseThreadGlobals(void* value) {
  auto* globals = static_cast<ThreadGlobals*>(value);
  for (HandleRecord*& handle : globals->handles) {
    if (IsLiveRecord(handle)) (void)NiICloseHandle(handle, false, false);
    handle = nullptr;
  }
  NiIFree(globals);
}

void MakeLocks() {
  NiLibrary& lib = g_library;
  if (lib.locks_made) return;
  ThrLockInit(&lib.hdl_lock, "NI hdl section");
  ThrLockInit(&lib.param_lock, "NI param section");
  ThrLockInit(&lib.wakeup_lock, "NI wakeup mutex");
  ThrLockInit(&lib.trc_peer_lock, "NI trc-peer mutex");
  lib.locks_made = true;
}

void DeleteLocks() {
  NiLibrary& lib = g_library;
  if (lib.locks_made) {
    ThrLockDelete(&lib.hdl_lock);
    ThrLockDelete(&lib.param_lock);
    ThrLockDelete(&lib.wakeup_lock);
    ThrLockDelete(&lib.trc_peer_lock);
    lib.locks_made = false;
  }
  if (lib.buffer_locks_made) {
    ThrLockDelete(&lib.ref_lock);
    ThrLockDelete(&lib.heap_lock);
    lib.buffer_locks_made = false;
  }
}

void FreeTable() {
  NiLibrary& lib = g_library;
  NiIFree(lib.free_list);
  lib.free_list = nullptr;
  lib.free_count = 0;
  if (lib.table != nullptr) {
    PARCEL_TRC(2, DpTrc, "%s: free nitab %p\n", "NiIExit", static_cast<void*>(lib.table));
  }
  NiIFree(lib.table);
  lib.table = nullptr;
  lib.max_handles = 0;
  lib.used_head = nullptr;
}

// Dumps the used chain at a start that finds a table (under the handle lock).
void DumpChainAtRestart(const char* function) {
  NiLibrary& lib = g_library;
  ThrLockEnter(&lib.hdl_lock);
  for (HandleRecord* handle = lib.used_head; handle != nullptr; handle = handle->next) {
    if (handle->state == NI_FREE) {
      PARCEL_TRC(1, DpTrc, "%s: NI-chain destroyed\n", function);
      break;
    }
    (void)NiIHdlDump(handle, nullptr, 0);
  }
  ThrLockLeave(&lib.hdl_lock);
}

}  // namespace

NiLibrary& Library() noexcept { return g_library; }

void* NiIAlloc(std::size_t size, const char* caller) noexcept {
  void* block = MemAlloc(size, caller);
  if (block != nullptr) g_live_blocks.fetch_add(1, std::memory_order_relaxed);
  return block;
}

void NiIFree(void* block) noexcept {
  if (block == nullptr) return;
  g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
  MemFree(block);
}

std::uint32_t NiIRandom() noexcept {
  // splitmix64 over a counter: independent draws without a shared state to
  // update under a lock.
  std::uint64_t z =
      g_library.random_seed + 0x9E3779B97F4A7C15ull * (g_library.random_counter.fetch_add(1) + 1);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return static_cast<std::uint32_t>((z ^ (z >> 31)) >> 32);
}

std::int64_t NiILiveBlocks() noexcept { return g_live_blocks.load(std::memory_order_relaxed); }

void SetNiClock(std::int64_t (*clock)()) noexcept { g_clock = clock; }

std::int64_t NiNow() noexcept {
  return g_clock != nullptr ? g_clock() : static_cast<std::int64_t>(std::time(nullptr));
}

namespace {

// Records error information with `rc` and the formatted text; returns the text.
const char* RecordFailure(int rc, const char* source, int line, char* text, std::size_t size,
                          const char* format, va_list args) {
  std::vsnprintf(text, size, format, args);
  ErrISetSys(kNiComponent, kNiComponentNumber, source, line, 0, text, rc, nullptr, nullptr, 0,
             nullptr, nullptr, nullptr, nullptr);
  return text;
}

}  // namespace

int NiIError(int rc, const char* source, int line, bool warning, const char* format, ...) noexcept {
  char text[512];
  va_list args;
  va_start(args, format);
  RecordFailure(rc, source, line, text, sizeof text, format, args);
  va_end(args);
  if (warning) {
    PARCEL_TRC_AT(1, source, line, DpTrcWarning, "%s\n", text);
  } else {
    PARCEL_TRC_AT(1, source, line, DpTrcError, "%s\n", text);
  }
  return rc;
}

int NiIRecord(int rc, const char* source, int line, const char* format, ...) noexcept {
  char text[512];
  va_list args;
  va_start(args, format);
  RecordFailure(rc, source, line, text, sizeof text, format, args);
  va_end(args);
  return rc;
}

}  // namespace parcel::ni

using parcel::ni::Library;
using parcel::ni::NiIAlloc;
using parcel::ni::NiIError;
using parcel::ni::NiIFree;
using parcel::ni::NiLibrary;

int NiInit3() noexcept {
  NiLibrary& lib = Library();
  if (lib.init_count > 0) {
    ++lib.init_count;
    PARCEL_TRC(2, DpTrc, "%s: NI already initializes (%d)\n", "NiInit3", lib.init_count);
    return QEL_O_K;
  }
  if (lib.init_count < 0) {
    PARCEL_TRC(1, DpTrc, "%s: NI initialization negative (%d)\n", "NiInit3", lib.init_count);
  }
  lib.init_count = 1;
  int rc = NiIInit(parcel::ni::kNiDefaultHandles, std::getenv("NI_USEIPv6") != nullptr);
  if (rc != QEL_O_K) {
    NiIExit();
    lib.init_count = 0;
    return rc;
  }
  ThrLockInit(&lib.ref_lock, "NI ref section");
  ThrLockInit(&lib.heap_lock, "NI heap section");
  lib.buffer_locks_made = true;
  return QEL_O_K;
}

int NiIInit(int max_handles, bool ipv6) noexcept {
  constexpr const char* kFunction = "NiIInit";
  NiLibrary& lib = Library();
  if (lib.table != nullptr) {
    // A start that finds a table keeps it: making a second one would lose
    // every handle of the first.
    PARCEL_TRC(1, DpTrcWarning, "%s: NI already initialized (%p)\n", kFunction,
               static_cast<void*>(lib.table));
    parcel::ni::DumpChainAtRestart(kFunction);
    return QEL_O_K;
  }
  if (max_handles < 1 || max_handles > parcel::ni::kNiMaxHandles) {
    return NiIError(NIEINVAL, parcel::ni::kSource, __LINE__, false,
                    "%s: invalid number of handles (%d)", kFunction, max_handles);
  }
  parcel::ni::MakeLocks();
  lib.random_seed = static_cast<std::uint64_t>(parcel::platform::MonotonicMicroseconds()) ^
                    (static_cast<std::uint64_t>(parcel::ni::NiNow()) << 20) ^
                    static_cast<std::uint64_t>(parcel::platform::ProcessId());
  lib.random_counter.store(0);
  lib.queue_test_run.store(0);
  if (lib.thread_key == THR_KEY_NONE) {
    (void)ThrKeyAlloc(&lib.thread_key, &parcel::ni::ReleaseThreadGlobals);
  }

  int system_error = 0;
  int si = SiInit(&system_error);
  if (si != SI_OK) {
    return NiIMapSiError(si, parcel::ni::kSiCallInit, nullptr, nullptr, system_error, nullptr,
                         nullptr, 0, kFunction, parcel::ni::kSource, __LINE__, true);
  }

  const std::size_t table_bytes = sizeof(NiHdl) * static_cast<std::size_t>(max_handles);
  lib.table = static_cast<NiHdl*>(NiIAlloc(table_bytes, "NiIInit"));
  if (lib.table == nullptr) {
    int error_si;
    SiExit(&error_si);
    return NiIError(NIEINTERN, parcel::ni::kSource, __LINE__, false,
                    "%s: malloc failed for %d bytes", kFunction, static_cast<int>(table_bytes));
  }
  std::memset(static_cast<void*>(lib.table), 0, table_bytes);
  lib.max_handles = max_handles;
  PARCEL_TRC(2, DpTrc, "%s: allocated nitab (%d at %p)\n", kFunction, max_handles,
             static_cast<void*>(lib.table));

  lib.free_list =
      static_cast<int*>(NiIAlloc(sizeof(int) * static_cast<std::size_t>(max_handles), "NiIInit"));
  if (lib.free_list == nullptr) {
    parcel::ni::FreeTable();
    int error_si;
    SiExit(&error_si);
    return NiIError(NIEINTERN, parcel::ni::kSource, __LINE__, false, "%s: FtInit failed (rc=%d)",
                    kFunction, -1);
  }
  // A stack whose top is handle 0: handles come out as 0, 1, 2, ...
  for (int i = 0; i < max_handles; ++i) lib.free_list[i] = max_handles - 1 - i;
  lib.free_count = max_handles;
  lib.used_head = nullptr;

  int rc = parcel::ni::NameCacheStart(ipv6);
  bool cache_created = rc == QEL_O_K;
  if (rc == NIECALL) {
    PARCEL_TRC(2, DpTrc, "%s: host/serv bufs already initialized\n", kFunction);
  } else if (rc != QEL_O_K) {
    PARCEL_TRC(1, DpTrc, "%s: failed to create host/serv bufs (rc=%d)\n", kFunction, rc);
    parcel::ni::FreeTable();
    int error_si;
    SiExit(&error_si);
    return rc;
  }
  lib.cache_started_here = cache_created;

  lib.ipv6 = ipv6;
  if (ipv6) {
    std::memset(&lib.any, 0, sizeof lib.any);
    std::memset(&lib.loopback, 0, sizeof lib.loopback);
    lib.loopback.addr[15] = 1;
  }

  rc = parcel::ni::LocalHostStart();
  if (rc == NIECALL) {
    PARCEL_TRC(1, DpTrc, "%s: localhost structures already initialized\n", kFunction);
  } else if (rc != QEL_O_K) {
    PARCEL_TRC(1, DpTrc, "%s: NiLHInit failed (rc=%d)\n", kFunction, rc);
    if (cache_created) parcel::ni::NameCacheEnd();
    parcel::ni::FreeTable();
    int error_si;
    SiExit(&error_si);
    return rc;
  }

  if (max_handles > 32768) {
    PARCEL_TRC(1, DpTrc, "%s: FD_SETSIZE (%d) < NI_FD_SETSIZE (%d)\n", kFunction, 32768,
               max_handles);
  }
  ThrLockEnter(&lib.param_lock);
  std::snprintf(lib.local_path_template, sizeof lib.local_path_template, "%s", "/tmp/.qelstream%d");
  ThrLockLeave(&lib.param_lock);
  return QEL_O_K;
}

int NiIExit() noexcept {
  constexpr const char* kFunction = "NiIExit";
  NiLibrary& lib = Library();
  // Close every used handle; the handle lock is not held while sockets close.
  for (;;) {
    ThrLockEnter(&lib.hdl_lock);
    NiHdl* handle = lib.used_head;
    ThrLockLeave(&lib.hdl_lock);
    if (handle == nullptr || lib.table == nullptr) break;
    (void)NiICloseHandle(handle, false, false);
  }
  // The cache goes whoever made it: a look-up before the start makes one too.
  parcel::ni::NameCacheEnd();
  lib.cache_started_here = false;
  // The calling thread's globals go with the key; other threads' blocks are
  // released when those threads end.
  if (lib.thread_key != THR_KEY_NONE) {
    if (void* globals = ThrKeyGet(&lib.thread_key); globals != nullptr) {
      ThrKeySet(&lib.thread_key, nullptr);
      NiIFree(globals);
    }
    ThrKeyRelease(&lib.thread_key);
  }
  parcel::ni::DeleteLocks();
  int rc = QEL_O_K;
  int system_error = 0;
  int si = SiExit(&system_error);
  if (si != SI_OK) {
    rc = NiIMapSiError(si, parcel::ni::kSiCallExit, nullptr, nullptr, system_error, nullptr,
                       nullptr, 0, kFunction, parcel::ni::kSource, __LINE__, true);
  }
  parcel::ni::LocalHostEnd();
  parcel::ni::FreeTable();
  lib.ipv6 = false;
  parcel::ni::SetIPv4Defaults();
  parcel::ni::DefaultSettings();
  lib.init_count = 0;
  return rc;
}

int NiThrInit() noexcept {
  NiLibrary& lib = Library();
  if (lib.init_count <= 0) {
    return NiIError(NIECALL, parcel::ni::kSource, __LINE__, false,
                    "%s: NI library not initialized (%d)", "NiThrInit", lib.init_count);
  }
  return NiIThrInit();
}

int NiIThrInit() noexcept {
  NiLibrary& lib = Library();
  if (ThrKeyGet(&lib.thread_key) != nullptr) return QEL_O_K;
  constexpr int kBytes = static_cast<int>(sizeof(parcel::ni::ThreadGlobals));
  void* globals = NiIAlloc(sizeof(parcel::ni::ThreadGlobals), "NiIThrInit");
  if (globals == nullptr) {
    return NiIError(NIEINTERN, parcel::ni::kSource, __LINE__, false,
                    "%s: calloc failed for %d bytes", "NiIThrInit", kBytes);
  }
  std::memset(globals, 0, sizeof(parcel::ni::ThreadGlobals));
  if (ThrKeySet(&lib.thread_key, globals) != THR_OK) {
    NiIFree(globals);
    return NiIError(NIEINTERN, parcel::ni::kSource, __LINE__, false, "%s: thread key not set",
                    "NiIThrInit");
  }
  return QEL_O_K;
}

parcel::ni::ThreadGlobals* NiIGetThrGlob() noexcept {
  NiLibrary& lib = Library();
  if (lib.init_count <= 0 && NiInit3() != QEL_O_K) return nullptr;
  if (NiThrInit() != QEL_O_K) return nullptr;
  return static_cast<parcel::ni::ThreadGlobals*>(ThrKeyGet(&lib.thread_key));
}
