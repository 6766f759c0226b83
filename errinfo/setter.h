// Internal: setting, replacing and copying in records, behind the entry points
// of errinfo/errinfo.h, and the process-wide settings they read. Only errinfo/
// and its tests include this.
#ifndef PARCEL_ERRINFO_SETTER_H_
#define PARCEL_ERRINFO_SETTER_H_

#include <cstdarg>

#include "errinfo/errinfo.h"
#include "platform/wall_clock.h"

namespace parcel::errinfo::detail {

// Source name and line numbers of the error lines.
inline constexpr char kTraceSource[] = "err";
inline constexpr int kLineSetTooLarge = 944;
inline constexpr int kLineCpToBad = 1670;
inline constexpr int kLineCpToTooLarge = 1687;
inline constexpr int kLineNetTooLarge = 1745;
inline constexpr int kLineNetBad = 1793;
inline constexpr int kLineReplaceTooLarge = 2036;

// The LOCATION text (SetErrLocation) and the clock of TIME (SetErrClock).
const char* Location() noexcept;
void SetLocation(const char* location) noexcept;
platform::WallTime Now() noexcept;
void SetClock(platform::WallTime (*clock)()) noexcept;
// errCounter, errMsgNoLength, errLogSwitch, LOCATION and the clock as at start.
void ResetSettings() noexcept;

// Increments errCounter, wrapping at the end of the 32-bit range; returns it.
int NextCounter() noexcept;

// ErrISetSys.
int SetRecord(const char* component, int componentNumber, const char* module, int line,
              int traceFlag, const char* errorText, int rc, const char* detail,
              const char* systemCall, int errnoValue, const char* descrMsgNo,
              const char* descrVargs, const char* detailMsgNo, const char* detailVargs) noexcept;

// ErrSetFmt (`all_arguments` false) and ErrSetFmtSys (true): the formats'
// arguments are taken from `*args`.
int SetFromFormats(const char* component, int componentNumber, const char* module, int line,
                   int traceFlag, const char* errorFormat, int rc, const char* detailFormat,
                   const char* systemCall, int errnoValue, bool all_arguments,
                   std::va_list* args) noexcept;

// ErrReplace, its further arguments taken from `*args`.
int ReplaceInStore(int index, const char* value, std::va_list* args) noexcept;

// ErrCpNetToInt and ErrCpTo.
int CopyFromPeer(const char* data, int length) noexcept;
int CopyInternal(const char* data, int length) noexcept;

// ErrGetTxt, and the reset of its file and path.
bool LookUpMessage(const char* key, char keyChar, char* buffer, int size) noexcept;
void CloseMessageFile() noexcept;

}  // namespace parcel::errinfo::detail

#endif  // PARCEL_ERRINFO_SETTER_H_
