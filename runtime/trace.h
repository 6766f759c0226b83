// The trace facility of the library layers: developer trace lines written to C
// streams through trace handles, with component tags and indentation, time
// stamps, error lines carrying a source location, hex dumps with masking of
// marked identifiers, a system-log hook, watch patterns and a file size watch.
//
// Trace handles. A handle is a pointer-sized value of one of three kinds:
//  - null: the standard error stream; no component, no file record;
//  - an address inside slots 1 .. next_free_comp-1 of `ctrcadm`: the component
//    of that slot (any address inside a slot stands for it). It writes to the
//    stream of its file record; without a record, or when the record has no
//    stream, `trcDefaultFile` is used, and without that the standard error;
//  - any other value: the address of an open C stream, written to directly.
// An address inside `ctrcadm` that is not in an in-use component slot (slot 0,
// or at or beyond slot `next_free_comp`) fails CTRC_IS_HANDLE: the diagnostic
// goes to `trcErrorStream` and the writer writes nothing.
//
// Statements. Library code writes trace through the PARCEL_TRC macros below,
// which test `trcLevel` inline (a statement that is off costs one comparison)
// and bracket the writer call as a TraceStatement.
//
// Threads. The settings, the registry and the line state (line buffer, side
// buffer, last writer, at-line-start flag, stamp and size-check times,
// `trcLocation`) are process-wide and unlocked; the writers themselves take no
// lock, and DpTrcEnter/DpTrcLeave only count. Concurrent writers are kept
// apart outside the facility: every TraceStatement (so every PARCEL_TRC
// statement) holds the process-wide trace statement lock while `thrActive` is
// on (see runtime/thr.h). Code that calls the writers directly from several
// threads holds that lock itself (parcel::runtime::LockTraceStatements). The
// settings and the registry are changed only while no other thread traces.
// Hooks and pattern callbacks run inside the statement, under that lock: they
// must not wait for other threads that trace, nor take locks that are held
// while tracing.
#ifndef PARCEL_RUNTIME_TRACE_H_
#define PARCEL_RUNTIME_TRACE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "platform/export.h"
#include "platform/wall_clock.h"

namespace parcel::runtime {

// Slots of `ctrcadm`; slot 0 is never a component.
inline constexpr int kTraceComponentSlots = 2000;
// The process-wide line buffer and side buffer, in bytes.
inline constexpr std::size_t kTraceBufferSize = 8192;
// Characters of one line (prefix, text and suffix) that reach the stream per write.
inline constexpr std::size_t kTraceMaxLineText = 8190;
// `trcLocation`, terminator included.
inline constexpr std::size_t kTraceLocationSize = 32;
// Longest format an error or errno line uses; longer formats are cut.
inline constexpr std::size_t kTraceFormatLimit = 1024;
// Most spaces of indentation in front of a component's line.
inline constexpr int kTraceMaxIndent = 31;
// A system-log record handed to `trcLogHook`, in bytes (no terminator).
inline constexpr std::size_t kTraceSysLogRecordSize = 64;
// "Use the process-wide value" in the time fields of a DpTrcFile.
inline constexpr std::time_t kTraceTimeUnset = -1;
inline constexpr std::uint32_t kTraceFineSecondsUnset = 0xFFFFFFFFu;

// Called with the handle and the file size when a trace file exceeds
// `trcMaxFileSize`.
using TraceMaxSizeHook = void (*)(void* handle, std::int64_t size);
// Receives a system-log record: its type character, the message id given to
// DpTrcSysLog, and kTraceSysLogRecordSize bytes (not NUL-terminated, borrowed
// for the call).
using TraceLogHook = void (*)(char type, const char* message_id, const char* record);
// Copies `count` bytes from `source` to `destination` while a system-log record
// is built (a code-page converter may stand in for a plain copy).
using TraceCopyHook = void (*)(char* destination, const char* source, int count);
// Called with the handle and the pattern when a watch pattern is found.
using TracePatternCallback = void (*)(void* handle, const char* pattern);
// The clock the time stamps and the size watch read.
using TraceClock = platform::WallTime (*)();

}  // namespace parcel::runtime

// One trace file. The writers read and update the time fields; a time field
// holding its "unset" value (-1, or 0xFFFFFFFF for the fine stamp seconds)
// makes the writers use the process-wide value instead.
struct DpTrcFile {
  std::FILE* stream;      // borrowed or owned, see OpenTraceFile; may be null
  int level;              // compared with trcEntryLevel when trcFileLevelCheck is on
  std::time_t lastStamp;  // second of the last one-per-second stamp
  struct FineTime {
    std::uint32_t seconds;
    std::uint32_t microseconds;
  } lastFineStamp;            // time of the last fine stamp
  std::time_t lastSizeCheck;  // time of the last size check
};

// One component slot of `ctrcadm`.
struct DpTrcComponent {
  char tag;         // letter in front of the component's lines; 0 = none
  int level;        // the component writes a line when level >= trcEntryLevel
  int indent;       // lines are indented by min(2 * indent, 31) spaces
  DpTrcFile* file;  // borrowed; null = trcDefaultFile
};

// A watch pattern (see DpTrcFindPattern) and the callback, which may be null,
// for when it is found in a written line.
struct DpTrcPattern {
  const char* pattern;
  parcel::runtime::TracePatternCallback callback;
};

// Process-wide settings, read by the writers and by the library layers' trace
// statements; assigned directly by their owners.
extern PARCEL_RUNTIME_API int
    trcLevel;  // 0 = no trace (default); a level-N statement writes when >= N
extern PARCEL_RUNTIME_API int
    trcEntryLevel;  // level of the statement being written; 2 between statements
extern PARCEL_RUNTIME_API void*
    trcHandle;  // handle the library layers write through; null = stderr
extern PARCEL_RUNTIME_API int
    trcStampMode;  // <= 0 no stamps; 1 one per second (default); > 1 fine stamps
extern PARCEL_RUNTIME_API int trcMaxFileSize;  // bytes; below 1 = no size watch (default -1)
extern PARCEL_RUNTIME_API bool
    trcFileLevelCheck;                          // also test the file record's level (default off)
extern PARCEL_RUNTIME_API bool trcMaskSecrets;  // mask marked identifiers in hex dumps (default on)
// Watch patterns, ended by an entry whose pattern is null; null = none. Borrowed:
// the array stays valid while it is installed.
extern PARCEL_RUNTIME_API DpTrcPattern* trcPatterns;
extern PARCEL_RUNTIME_API parcel::runtime::TraceMaxSizeHook trcMaxSizeHook;  // null = none
extern PARCEL_RUNTIME_API parcel::runtime::TraceLogHook trcLogHook;          // null = no system log
extern PARCEL_RUNTIME_API parcel::runtime::TraceCopyHook trcCopyHook;        // null = no system log
extern PARCEL_RUNTIME_API std::FILE*
    trcErrorStream;  // where CTRC_IS_HANDLE diagnostics go; null = nowhere
// Source location of the next error line: a file name padded to 12 characters,
// then the line number; set by DpTrcSetLocation.
extern PARCEL_RUNTIME_API char trcLocation[parcel::runtime::kTraceLocationSize];
extern PARCEL_RUNTIME_API std::atomic<int> trcNesting;  // trace statements in progress
extern PARCEL_RUNTIME_API DpTrcFile*
    trcDefaultFile;  // borrowed; file record of components without one

// The component registry: slots 1 .. next_free_comp-1 are in use.
extern PARCEL_RUNTIME_API DpTrcComponent ctrcadm[parcel::runtime::kTraceComponentSlots];
extern PARCEL_RUNTIME_API int next_free_comp;

// Line writers. Each resolves `handle`, applies the level tests, writes one
// line (a time stamp first where stated), flushes the stream and returns. A
// text that does not fit in kTraceMaxLineText characters is cut and followed
// by "\n*** WARNING => data was truncated\n". Failures are reported as text on
// the stream; nothing is returned.
//
// DpTrc: a time stamp, then the text. A tagged component writes only when its
// level is at least trcEntryLevel; its text starts with the tag, two spaces
// and the indentation, unless it continues the component's own open line, and
// every inner line of the text gets the same prefix. After the write, the
// watch patterns and the size watch run.
PARCEL_RUNTIME_API PARCEL_PRINTF_FORMAT(2, 3) void DpTrc(void* handle, const char* format,
                                                         ...) noexcept;
// DpTrcNoStamp: DpTrc without the time stamp.
PARCEL_RUNTIME_API PARCEL_PRINTF_FORMAT(2, 3) void DpTrcNoStamp(void* handle, const char* format,
                                                                ...) noexcept;
// DpTrcError, DpTrcErrorNarrow, DpTrcWarning: a time stamp, then one line
// "*** ERROR => " (or "*** WARNING => ") text " [file name line]\n" from
// trcLocation; a newline that ends the format is dropped. A tagged component
// writes unless its level is below 1. Watch patterns run; the size watch does
// not. DpTrcErrorNarrow formats through the side buffer; its text is the same.
PARCEL_RUNTIME_API PARCEL_PRINTF_FORMAT(2, 3) void DpTrcError(void* handle, const char* format,
                                                              ...) noexcept;
PARCEL_RUNTIME_API PARCEL_PRINTF_FORMAT(2, 3) void DpTrcErrorNarrow(void* handle,
                                                                    const char* format,
                                                                    ...) noexcept;
PARCEL_RUNTIME_API PARCEL_PRINTF_FORMAT(2, 3) void DpTrcWarning(void* handle, const char* format,
                                                                ...) noexcept;
// DpTrcErrno: like DpTrcError with the suffix " (errno: text) [file line]\n"
// for the errno value current at the call; no watch patterns.
PARCEL_RUNTIME_API PARCEL_PRINTF_FORMAT(2, 3) void DpTrcErrno(void* handle, const char* format,
                                                              ...) noexcept;

// Writes the time stamp line that the stamping writers write before their
// line, when trcStampMode and the last stamp time ask for one. Keeps errno.
PARCEL_RUNTIME_API void DpTrcStamp(void* handle) noexcept;

// Records the source location the next error or errno line carries: the part
// of `sourcePath` after its last backslash (all of it without one; null counts
// as empty), padded or cut to 12 characters, then `line` in decimal.
PARCEL_RUNTIME_API void DpTrcSetLocation(const char* sourcePath, int line) noexcept;

// Atomically increments / decrements trcNesting. They do not exclude threads.
PARCEL_RUNTIME_API void DpTrcEnter() noexcept;
PARCEL_RUNTIME_API void DpTrcLeave() noexcept;

// The level of a tagged component handle; 3 for every other handle. A handle
// that fails CTRC_IS_HANDLE gets the diagnostic first.
PARCEL_RUNTIME_API int DpTrcLevelOf(void* handle) noexcept;

// False when `handle` lies inside `ctrcadm` but not in an in-use component slot;
// the diagnostic is then written to trcErrorStream when one is set.
PARCEL_RUNTIME_API bool CTRC_IS_HANDLE(const void* handle) noexcept;

// Hex dump of the low 32 bits of `length` bytes at `data`, one line of 16 bytes
// per DpTrcNoStamp write (at entry level 2) between a title line and dash lines.
// `charset` selects the character column: 0 the bytes as they are, 1 EBCDIC
// (code page 273) shown as Latin-1, 2 Latin-1 shown as EBCDIC. With
// trcMaskSecrets on, identifiers marked "SID:ANON:" or "SID%3aANON%3a" are
// shown as "xx" and "." up to and including an end marker "-ATT" or "-NEW".
// Does nothing for length 0, null data or another charset. Reads only
// [data, data + length); `title` may be null.
PARCEL_RUNTIME_API void DpTrcHexDump(void* handle, const char* title, const void* data,
                                     std::uint64_t length, int charset) noexcept;

// Builds a 64-byte system-log record from the formatted text (at most 99
// characters) and trcLocation with trcCopyHook, and hands it to trcLogHook with
// type 'l' (text of at most 52 characters, followed by 8 characters of the file
// name and 4 of the line number) or ' ' (the first 64 bytes of the text area,
// blank-padded). Does nothing unless both hooks are set. Keeps errno.
PARCEL_RUNTIME_API PARCEL_PRINTF_FORMAT(2, 3) void DpTrcSysLog(const char* messageId,
                                                               const char* format, ...) noexcept;
// As DpTrcSysLog, with type 'm' records for texts of at most 38 characters: the
// text, 7 bytes of each field (blank-padded when shorter; null counts as
// empty), 8 of the file name and 4 of the line number. Longer texts, and texts
// that cannot be formatted, go to DpTrcSysLog(messageId, "%s", text).
PARCEL_RUNTIME_API PARCEL_PRINTF_FORMAT(4, 5) void DpTrcSysLog2(const char* messageId,
                                                                const char* field1,
                                                                const char* field2,
                                                                const char* format, ...) noexcept;

// True when `pattern` is found in `text`. The pattern language: `*` any run of
// characters (also none), `?` any one character, backslash: the next pattern
// character stands for itself; case-sensitive. An empty pattern never matches;
// a pattern that begins with `*` or `?` is tried at the start of the text only,
// any other at every position. Null arguments never match. Time is bounded by
// the product of the two lengths, whatever the number of `*`.
PARCEL_RUNTIME_API bool DpTrcFindPattern(const char* text, const char* pattern) noexcept;

// True when `pattern` matches all of `text`, or with `prefixOnly` a prefix of
// it; with `ignoreCase` characters are compared after conversion to upper case.
PARCEL_RUNTIME_API bool DpTrcWildMatch(const char* text, const char* pattern, bool prefixOnly,
                                       bool ignoreCase) noexcept;

namespace parcel::runtime {

// Brackets one trace statement of `level`, as library code writes it: takes
// the process-wide trace statement lock while thrActive is on, DpTrcEnter,
// and for a level other than 2 sets trcEntryLevel; the destructor undoes these
// in reverse order. Statements may nest in one thread (the lock is recursive).
class PARCEL_RUNTIME_API TraceStatement {
 public:
  explicit TraceStatement(int level) noexcept;
  ~TraceStatement();
  TraceStatement(const TraceStatement&) = delete;
  TraceStatement& operator=(const TraceStatement&) = delete;

 private:
  int level_;
  bool locked_;
};

// The trace statement lock, for code that calls the writers directly from
// several threads. Recursive; taken whatever thrActive says.
PARCEL_RUNTIME_API void LockTraceStatements() noexcept;
PARCEL_RUNTIME_API void UnlockTraceStatements() noexcept;

// Registers a component in the next free slot of ctrcadm and returns its handle
// (the slot's address), or null when all slots are taken. `indent` starts at 0.
// `file` is borrowed and may be null.
// Requires: no other thread traces or registers.
PARCEL_RUNTIME_API DpTrcComponent* RegisterTraceComponent(char tag, int level,
                                                          DpTrcFile* file) noexcept;

// Set a registered component's level or indentation. False when `handle` is
// not an in-use component slot.
PARCEL_RUNTIME_API bool SetTraceComponentLevel(void* handle, int level) noexcept;
PARCEL_RUNTIME_API bool SetTraceComponentIndent(void* handle, int indent) noexcept;

// Prepares `file` for `stream` (borrowed) with its own stamp and size-check
// times, all starting at 0.
PARCEL_RUNTIME_API void InitTraceFile(DpTrcFile* file, std::FILE* stream, int level) noexcept;

// Opens the file at `path` (binary mode, appending or truncating) as a new
// trace file record of `level`; null when it cannot be opened or no memory is
// left. The record owns its stream; release it with CloseTraceFile.
PARCEL_RUNTIME_API DpTrcFile* OpenTraceFile(const char* path, bool append, int level) noexcept;

// Closes a record from OpenTraceFile and frees it. Components that refer to it
// lose their file record, and trcDefaultFile is cleared when it is this one.
// Null does nothing. Requires: no other thread traces.
PARCEL_RUNTIME_API void CloseTraceFile(DpTrcFile* file) noexcept;

// Installs hooks that write system-log records to the operating system's log
// (platform/system_log.h) with a plain byte copy.
PARCEL_RUNTIME_API void UseSystemLog() noexcept;

// Sets the clock of the time stamps and the size watch; null restores the
// system clock. Meant for tests and replays.
PARCEL_RUNTIME_API void SetTraceClock(TraceClock clock) noexcept;

// Restores every setting, the registry and the line state to their values at
// process start (files are not closed). Requires: no other thread traces.
PARCEL_RUNTIME_API void ResetTrace() noexcept;

}  // namespace parcel::runtime

// A trace statement of level N: when trcLevel >= N, calls
// `writer(trcHandle, args...)` inside a TraceStatement. For example
//   PARCEL_TRC(2, DpTrc, "%s: invalid hdl %d\n", "NiIRead", hdl);
#define PARCEL_TRC(level, writer, ...)                                \
  do {                                                                \
    if (trcLevel >= (level)) {                                        \
      ::parcel::runtime::TraceStatement parcel_trc_statement_(level); \
      writer(trcHandle, __VA_ARGS__);                                 \
    }                                                                 \
  } while (0)

// As PARCEL_TRC, recording the source location `source`, `line` first, for
// error and errno lines:
//   PARCEL_TRC_AT(1, "nixxhsl6", 1208, DpTrcError, "%s: init failed (rc=%d)\n", name, rc);
#define PARCEL_TRC_AT(level, source, line, writer, ...)               \
  do {                                                                \
    if (trcLevel >= (level)) {                                        \
      ::parcel::runtime::TraceStatement parcel_trc_statement_(level); \
      DpTrcSetLocation((source), (line));                             \
      writer(trcHandle, __VA_ARGS__);                                 \
    }                                                                 \
  } while (0)

#endif  // PARCEL_RUNTIME_TRACE_H_
