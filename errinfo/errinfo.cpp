// Entry points of the error information and its process-wide values.
#include "errinfo/errinfo.h"

#include <cstdarg>
#include <cstdint>

#include "errinfo/record.h"
#include "errinfo/setter.h"
#include "platform/system_error_text.h"
#include "runtime/trace.h"

int errCounter = 0;
int errMsgNoLength = 0;
int errLogSwitch = 3;

namespace parcel::errinfo {

void SetErrLocation(const char* location) noexcept { detail::SetLocation(location); }

void SetErrClock(platform::WallTime (*clock)()) noexcept { detail::SetClock(clock); }

void ResetErrInfo() noexcept {
  detail::FreeStore();
  detail::ResetSettings();
  detail::CloseMessageFile();
}

}  // namespace parcel::errinfo

using namespace parcel::errinfo;

int ErrISetSys(const char* component, int componentNumber, const char* module, int line,
               int traceFlag, const char* errorText, int rc, const char* detail,
               const char* systemCall, int errnoValue, const char* descrMsgNo,
               const char* descrVargs, const char* detailMsgNo, const char* detailVargs) noexcept {
  return detail::SetRecord(component, componentNumber, module, line, traceFlag, errorText, rc,
                           detail, systemCall, errnoValue, descrMsgNo, descrVargs, detailMsgNo,
                           detailVargs);
}

int ErrSetFmt(const char* component, int componentNumber, const char* module, int line,
              const char* errorFormat, int rc, const char* detailFormat, ...) noexcept {
  std::va_list args;
  va_start(args, detailFormat);
  int result = detail::SetFromFormats(component, componentNumber, module, line, 0, errorFormat, rc,
                                      detailFormat, nullptr, 0, false, &args);
  va_end(args);
  return result;
}

int ErrSetFmtSys(const char* component, int componentNumber, const char* module, int line,
                 int traceFlag, const char* errorFormat, int rc, const char* detailFormat,
                 const char* systemCall, int errnoValue, ...) noexcept {
  std::va_list args;
  va_start(args, errnoValue);
  int result =
      detail::SetFromFormats(component, componentNumber, module, line, traceFlag, errorFormat, rc,
                             detailFormat, systemCall, errnoValue, true, &args);
  va_end(args);
  return result;
}

int ErrReplace(int index, const char* value, ...) noexcept {
  std::va_list args;
  va_start(args, value);
  int result = detail::ReplaceInStore(index, value, &args);
  va_end(args);
  return result;
}

const char* ErrGetFld(int index) noexcept {
  const detail::Store& store = detail::TheStore();
  if (store.length == 0) {
    PARCEL_TRC(2, DpTrc, "ErrGetFld: no error info available\n");
    return "";
  }
  detail::FieldBounds field;
  if (!detail::FindField(store.area, store.length, index < 0 ? 0 : index, &field)) return "";
  return store.area + field.begin;
}

int ErrGetRecord(const char** address, int* length) noexcept {
  if (!detail::EnsureArea()) return kErrNoMemory;
  const detail::Store& store = detail::TheStore();
  if (address != nullptr) *address = store.area;
  if (length != nullptr) *length = store.length;
  return store.length > 0 ? kErrOk : kErrNoInfo;
}

bool ErrHasInfo() noexcept { return detail::TheStore().length > 0; }

int ErrClear() noexcept {
  detail::ClearStore();
  return kErrOk;
}

char* ErrSysText(int errnoValue, char* buffer, int size) noexcept {
  if (buffer == nullptr || size < 1) return nullptr;
  parcel::platform::SystemErrorText(errnoValue, buffer, static_cast<std::size_t>(size));
  return buffer;
}

int ErrGetNetForm(char* buffer, int* length, int size) noexcept {
  const detail::Store& store = detail::TheStore();
  int n = 0;
  int result = kErrOk;
  for (; n < store.length; ++n) {
    if (buffer == nullptr || n >= size) {
      result = kErrBufferTooSmall;
      break;
    }
    const auto c = static_cast<unsigned char>(store.area[n]);
    buffer[n] = c >= 128 ? '#' : static_cast<char>(c);
  }
  if (length != nullptr) *length = n;
  return result;
}

int ErrCpNetToInt(const char* data, int length) noexcept {
  return detail::CopyFromPeer(data, length);
}

int ErrCpTo(const char* data, int length) noexcept { return detail::CopyInternal(data, length); }

bool ErrGetTxt(const char* key, char keyChar, char* buffer, int size) noexcept {
  return detail::LookUpMessage(key, keyChar, buffer, size);
}

void ErrTraceBadInfo(const char* data, int length, const char* title) noexcept {
  if (trcLevel == 0) return;
  const parcel::runtime::TraceStatement statement(2);
  const int saved_level = trcLevel;
  trcLevel = 2;
  DpTrc(trcHandle, "\n");
  if (DpTrcLevelOf(trcHandle) >= 2 && data != nullptr && length > 0) {
    DpTrcHexDump(trcHandle, title, data, static_cast<std::uint64_t>(length), 0);
  }
  DpTrc(trcHandle, "\n");
  trcLevel = saved_level;
}
