// The trace facility's process-wide settings, the component registry, handle
// resolution and the statement bracket.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/critical_section.h"
#include "platform/system_log.h"
#include "runtime/thr.h"
#include "runtime/trace.h"
#include "runtime/trace_internal.h"

int trcLevel = 0;
int trcEntryLevel = 2;
void* trcHandle = nullptr;
int trcStampMode = 1;
int trcMaxFileSize = -1;
bool trcFileLevelCheck = false;
bool trcMaskSecrets = true;
DpTrcPattern* trcPatterns = nullptr;
parcel::runtime::TraceMaxSizeHook trcMaxSizeHook = nullptr;
parcel::runtime::TraceLogHook trcLogHook = nullptr;
parcel::runtime::TraceCopyHook trcCopyHook = nullptr;
std::FILE* trcErrorStream = nullptr;
char trcLocation[parcel::runtime::kTraceLocationSize] = {};
std::atomic<int> trcNesting{0};
DpTrcFile* trcDefaultFile = nullptr;

DpTrcComponent ctrcadm[parcel::runtime::kTraceComponentSlots] = {};
int next_free_comp = 1;

namespace parcel::runtime {
namespace {

// Created on first use and never destroyed, so that statements traced while
// the process shuts down still find it.
platform::RecursiveMutex& StatementLock() {
  static platform::RecursiveMutex* lock = new platform::RecursiveMutex();
  return *lock;
}

// Index of the slot `handle` lies in, or -1 when it lies outside ctrcadm.
// Addresses are compared as integers: the handle may point anywhere.
long SlotOf(const void* handle) {
  auto address = reinterpret_cast<std::uintptr_t>(handle);
  auto base = reinterpret_cast<std::uintptr_t>(&ctrcadm[0]);
  if (address < base || address - base >= sizeof ctrcadm) return -1;
  return static_cast<long>((address - base) / sizeof(DpTrcComponent));
}

DpTrcComponent* InUseComponent(void* handle) {
  long slot = SlotOf(handle);
  if (slot < 1 || slot >= detail::InUseSlots()) return nullptr;
  return &ctrcadm[slot];
}

void SystemLogHook(char type, const char* message_id, const char* record) {
  platform::WriteSystemLog(type, message_id, record, kTraceSysLogRecordSize);
}

void PlainCopyHook(char* destination, const char* source, int count) {
  if (count > 0) std::memcpy(destination, source, static_cast<std::size_t>(count));
}

}  // namespace

namespace detail {

int InUseSlots() noexcept {
  if (next_free_comp < 1) return 1;
  if (next_free_comp > kTraceComponentSlots) return kTraceComponentSlots;
  return next_free_comp;
}

bool ResolveHandle(void* handle, ResolvedHandle* out) noexcept {
  *out = ResolvedHandle{};
  if (handle == nullptr) {
    out->stream = stderr;
    return true;
  }
  long slot = SlotOf(handle);
  if (slot < 0) {
    out->stream = static_cast<std::FILE*>(handle);
    return true;
  }
  // Slot 0 is never a component: taking its address for a stream would write
  // through the registry, so it is refused like an unused slot.
  if (!CTRC_IS_HANDLE(handle)) return false;
  DpTrcComponent* component = &ctrcadm[slot];
  out->component = component;
  out->tag = component->tag;
  out->level = component->level;
  out->indent = component->indent;
  DpTrcFile* file = component->file;
  if (file == nullptr || file->stream == nullptr) file = trcDefaultFile;
  if (file != nullptr && file->stream != nullptr) {
    out->file = file;
    out->stream = file->stream;
  } else {
    // A component with nowhere to write falls back to the null handle's stream.
    out->stream = stderr;
  }
  return true;
}

}  // namespace detail

TraceStatement::TraceStatement(int level) noexcept
    : level_(level), locked_(thrActive.load(std::memory_order_acquire)) {
  if (locked_) StatementLock().Lock();
  DpTrcEnter();
  if (level_ != 2) trcEntryLevel = level_;
}

TraceStatement::~TraceStatement() {
  if (level_ != 2) trcEntryLevel = 2;
  DpTrcLeave();
  if (locked_) StatementLock().Unlock();
}

void LockTraceStatements() noexcept { StatementLock().Lock(); }

void UnlockTraceStatements() noexcept { StatementLock().Unlock(); }

DpTrcComponent* RegisterTraceComponent(char tag, int level, DpTrcFile* file) noexcept {
  int slot = detail::InUseSlots();
  if (slot >= kTraceComponentSlots) return nullptr;
  ctrcadm[slot] = DpTrcComponent{tag, level, 0, file};
  next_free_comp = slot + 1;
  return &ctrcadm[slot];
}

bool SetTraceComponentLevel(void* handle, int level) noexcept {
  DpTrcComponent* component = InUseComponent(handle);
  if (component == nullptr) return false;
  component->level = level;
  return true;
}

bool SetTraceComponentIndent(void* handle, int indent) noexcept {
  DpTrcComponent* component = InUseComponent(handle);
  if (component == nullptr) return false;
  component->indent = indent;
  return true;
}

void InitTraceFile(DpTrcFile* file, std::FILE* stream, int level) noexcept {
  if (file == nullptr) return;
  *file = DpTrcFile{stream, level, 0, {0, 0}, 0};
}

DpTrcFile* OpenTraceFile(const char* path, bool append, int level) noexcept {
  if (path == nullptr) return nullptr;
  auto* file = static_cast<DpTrcFile*>(std::malloc(sizeof(DpTrcFile)));
  if (file == nullptr) return nullptr;
  std::FILE* stream = std::fopen(path, append ? "ab" : "wb");
  if (stream == nullptr) {
    std::free(file);
    return nullptr;
  }
  InitTraceFile(file, stream, level);
  return file;
}

void CloseTraceFile(DpTrcFile* file) noexcept {
  if (file == nullptr) return;
  for (DpTrcComponent& component : ctrcadm) {
    if (component.file == file) component.file = nullptr;
  }
  if (trcDefaultFile == file) trcDefaultFile = nullptr;
  if (file->stream != nullptr) std::fclose(file->stream);
  std::free(file);
}

void UseSystemLog() noexcept {
  trcLogHook = SystemLogHook;
  trcCopyHook = PlainCopyHook;
}

void ResetTrace() noexcept {
  trcLevel = 0;
  trcEntryLevel = 2;
  trcHandle = nullptr;
  trcStampMode = 1;
  trcMaxFileSize = -1;
  trcFileLevelCheck = false;
  trcMaskSecrets = true;
  trcPatterns = nullptr;
  trcMaxSizeHook = nullptr;
  trcLogHook = nullptr;
  trcCopyHook = nullptr;
  trcErrorStream = nullptr;
  std::memset(trcLocation, 0, sizeof trcLocation);
  trcNesting.store(0);
  trcDefaultFile = nullptr;
  std::memset(static_cast<void*>(ctrcadm), 0, sizeof ctrcadm);
  next_free_comp = 1;
  SetTraceClock(nullptr);
  detail::ResetLineState();
}

}  // namespace parcel::runtime

using parcel::runtime::detail::InUseSlots;

bool CTRC_IS_HANDLE(const void* handle) noexcept {
  long slot = parcel::runtime::SlotOf(handle);
  if (slot < 0 || (slot >= 1 && slot < InUseSlots())) return true;
  if (trcErrorStream != nullptr) {
    auto base = reinterpret_cast<std::uintptr_t>(&ctrcadm[0]);
    auto next = base + static_cast<std::uintptr_t>(static_cast<long>(next_free_comp) *
                                                   static_cast<long>(sizeof(DpTrcComponent)));
    std::fprintf(trcErrorStream,
                 "ERROR => CTRC_IS_HANDLE2 != CTRC_IS_HANDLE\n"
                 "         hdl                      =%p\n"
                 "         ctrcadm                  =%p\n"
                 "         next_free_comp           =%d\n"
                 "         ctrcadm + next_free_comp =%p\n",
                 handle, static_cast<void*>(&ctrcadm[0]), next_free_comp,
                 reinterpret_cast<void*>(next));
    std::fflush(trcErrorStream);
  }
  return false;
}

void DpTrcEnter() noexcept { trcNesting.fetch_add(1, std::memory_order_relaxed); }

void DpTrcLeave() noexcept { trcNesting.fetch_sub(1, std::memory_order_relaxed); }

int DpTrcLevelOf(void* handle) noexcept {
  parcel::runtime::detail::ResolvedHandle resolved;
  if (!parcel::runtime::detail::ResolveHandle(handle, &resolved)) return 3;
  if (resolved.component != nullptr && resolved.tag != 0) return resolved.level;
  return 3;
}

void DpTrcSetLocation(const char* sourcePath, int line) noexcept {
  const char* name = sourcePath != nullptr ? sourcePath : "";
  const char* backslash = std::strrchr(name, '\\');
  if (backslash != nullptr) name = backslash + 1;
  std::snprintf(trcLocation, sizeof trcLocation, "%-12.12s%d", name, line);
}
