// Error information of the library layers: one process-wide record of the last
// error a layer reported, read and replaced field by field, cleared, and
// copied to and from the transfer form exchanged with peers.
//
// The record. 21 text fields, each ended by a NUL byte, stored back to back in
// a process-wide area of kErrInfoSize bytes; the stored length counts every
// byte including the 21 terminators and is at most kErrInfoSize. Length 0
// means that no error information is stored. The area is allocated on the
// first operation that needs it and lives for the whole process.
//
//   0 "*ERR*"          7 MODULE         14 COUNTER
//   1 "1" (version)    8 LINE           15 LOCATION
//   2 ERROR            9 DETAIL         16 DESCR MSG NO
//   3 RC              10 TIME           17 DESCR VARGS
//   4 COMPONENT       11 SYSTEM CALL    18 DETAIL MSG NO
//   5 RELEASE "700"   12 ERRNO          19 DETAIL VARGS
//   6 VERSION         13 ERRNO TEXT     20 "*ERR*"
//
// Numbers are decimal text; RC, VERSION, LINE and ERRNO are empty for 0. TIME
// is the local time in the C library's asctime form without its newline.
//
// Transfer form: the record's bytes with every byte of 128 or above replaced
// by '#'. A peer may also send its record in EBCDIC (code page 500), which is
// recognised by its first five bytes 5C C5 D9 D9 5C.
//
// Stored records are always whole: every way into the store (setting, copying,
// taking in a peer's record, replacing) leaves either a record of at least 21
// NUL-terminated fields that begins with "*ERR*" and ends with "*ERR*" and its
// NUL, or no record. Readers never look beyond the stored length.
//
// Formats. ErrSetFmt, ErrSetFmtSys and ErrReplace format with the printf
// conversions d i o u x X e E f F g G a A c s p n (flags - + space # 0, widths,
// precisions, '*', and the length modifiers hh h l ll j z t L). Arguments are
// only ever substituted, never read as formats. %n writes nothing: it takes
// its pointer argument and produces no text. A null %s argument is "(null)".
// Widths and precisions above kErrFormatWidthLimit count as that limit. A
// conversion outside this set ends the formatting: in a text the rest of the
// format is kept as it stands, and no further arguments are taken.
//
// Message numbers. A format may begin with '(', exactly errMsgNoLength
// characters and ')': those characters are its message number, and the format
// proper follows the ')'. The argument texts of a format are the texts of its
// conversions alone, joined by ";;;;": "%s: error %d" with "abc" and 5 gives
// "abc;;;;5".
//
// Trace. Failures are written as error lines (DpTrcError on trcHandle with the
// source name "err" and a fixed line number) while trcLevel is at least 1;
// ErrISetSys with its trace flag also writes a trace line and a system-log
// record (runtime/trace.h).
//
// Threads. The record, its length, errCounter, the settings and the message
// file are process-wide and unlocked: callers serialise their use. Pointers
// into the record stay valid until the next operation that changes it.
#ifndef PARCEL_ERRINFO_ERRINFO_H_
#define PARCEL_ERRINFO_ERRINFO_H_

#include <cstddef>

#include "platform/export.h"
#include "platform/wall_clock.h"

namespace parcel::errinfo {

// Size of the record area; the longest record, terminators included.
inline constexpr int kErrInfoSize = 500;
// Number of fields of a record set here.
inline constexpr int kErrFieldCount = 21;
// Longest formatted text (error text, detail text, joined argument texts).
inline constexpr int kErrTextLimit = 500;
// Longest ERRNO TEXT.
inline constexpr int kErrErrnoTextLimit = 127;
// Longest message file line read at once.
inline constexpr int kErrMsgLineLimit = 255;
// Widths and precisions of conversions are cut to this.
inline constexpr int kErrFormatWidthLimit = 4096;
// Longest LOCATION text kept by SetErrLocation.
inline constexpr int kErrLocationLimit = 127;

// Field indices.
enum ErrField : int {
  kErrFieldEyecatcher = 0,
  kErrFieldFormatVersion = 1,
  kErrFieldError = 2,
  kErrFieldRc = 3,
  kErrFieldComponent = 4,
  kErrFieldRelease = 5,
  kErrFieldVersion = 6,
  kErrFieldModule = 7,
  kErrFieldLine = 8,
  kErrFieldDetail = 9,
  kErrFieldTime = 10,
  kErrFieldSystemCall = 11,
  kErrFieldErrno = 12,
  kErrFieldErrnoText = 13,
  kErrFieldCounter = 14,
  kErrFieldLocation = 15,
  kErrFieldDescrMsgNo = 16,
  kErrFieldDescrVargs = 17,
  kErrFieldDetailMsgNo = 18,
  kErrFieldDetailVargs = 19,
  kErrFieldEndEyecatcher = 20,
};

// Result codes.
inline constexpr int kErrOk = 0;
inline constexpr int kErrTooLarge = -1;        // record above kErrInfoSize bytes
inline constexpr int kErrNoInfo = -2;          // no error information stored
inline constexpr int kErrBadField = -3;        // field index (or value) that cannot be replaced
inline constexpr int kErrNoMemory = -5;        // no memory for the record area
inline constexpr int kErrBadRecord = -6;       // eyecatcher missing or destroyed
inline constexpr int kErrBufferTooSmall = -8;  // transfer form does not fit the caller's buffer

// Sets the LOCATION text of the records set from now on (field 15). Copied;
// cut to kErrLocationLimit characters. Null is the empty text (the default).
PARCEL_ERRINFO_API void SetErrLocation(const char* location) noexcept;

// Sets the clock TIME is read from; null restores the system clock. For tests.
PARCEL_ERRINFO_API void SetErrClock(platform::WallTime (*clock)()) noexcept;

// Restores the process start state: no record and no area (pointers from
// ErrGetRecord and ErrGetFld become invalid), errCounter 0, errMsgNoLength 0,
// errLogSwitch 3, empty LOCATION, the system clock, and the message file
// closed and its path forgotten, so that the next ErrGetTxt reads
// "ERR_MSG_FILE" anew. For tests.
PARCEL_ERRINFO_API void ResetErrInfo() noexcept;

}  // namespace parcel::errinfo

// Incremented by every ErrISetSys and every ErrCpTo (wrapping at the end of
// the 32-bit range); its value goes into COUNTER. 0 at start.
extern PARCEL_ERRINFO_API int errCounter;
// Length of a message number given as a "(...)" prefix of a format. Default 0;
// negative values turn message numbers off.
extern PARCEL_ERRINFO_API int errMsgNoLength;
// ErrISetSys with its trace flag writes trace and the system-log record while
// this is at least 1. Default 3.
extern PARCEL_ERRINFO_API int errLogSwitch;

// Builds and stores a record from ready texts and numbers. Null texts are
// stored as empty. ERRNO TEXT is the system's text for `errnoValue`
// (ErrSysText), cut to kErrErrnoTextLimit characters; empty for 0.
// Increments errCounter first. When `traceFlag` is non-zero and errLogSwitch
// is at least 1, writes "***LOG Q0I=> detail: system call (errno: text)
// [module line]" at entry level 1 while trcLevel is at least 1, sets the trace
// location to module and line, and hands "%14.14s%3d" (system call, errno) to
// DpTrcSysLog2("Q0I", detail, system call, ...).
// The text arguments may point into the stored record.
// Returns 0; -1 when the record would exceed kErrInfoSize bytes: the error
// line "ErrISetSys: error info too large", a dump of the fields at entry level
// 1, and the store is emptied; -5 without memory for the area.
PARCEL_ERRINFO_API int ErrISetSys(const char* component, int componentNumber, const char* module,
                                  int line, int traceFlag, const char* errorText, int rc,
                                  const char* detail, const char* systemCall, int errnoValue,
                                  const char* descrMsgNo, const char* descrVargs,
                                  const char* detailMsgNo, const char* detailVargs) noexcept;

// Sets a record from two formats that draw on the one argument list, the error
// format's arguments first, then the detail format's. (The compiler checks
// each format on its own, not against the shared arguments.) Each format may carry a
// message number (see the top of this file). The error text and the detail
// text together, and their argument texts together, are at most kErrTextLimit
// characters (the detail gets what the error text leaves, less 4); longer
// texts are cut. An argument text is stored only when its format has a
// non-empty message number. No trace flag, no system call, errno 0.
// Null formats are empty. Returns what ErrISetSys returns.
// clang-format off
PARCEL_ERRINFO_API PARCEL_PRINTF_FORMAT(5, 0) PARCEL_PRINTF_FORMAT(7, 0)
int ErrSetFmt(const char* component, int componentNumber, const char* module, int line,
              const char* errorFormat, int rc, const char* detailFormat, ...) noexcept;
// clang-format on

// As ErrSetFmt, passing the trace flag, the system call and the error number
// on, and storing both argument texts whether or not there are message
// numbers.
// clang-format off
PARCEL_ERRINFO_API PARCEL_PRINTF_FORMAT(6, 0) PARCEL_PRINTF_FORMAT(8, 0)
int ErrSetFmtSys(const char* component, int componentNumber, const char* module, int line,
                 int traceFlag, const char* errorFormat, int rc, const char* detailFormat,
                 const char* systemCall, int errnoValue, ...) noexcept;
// clang-format on

// Replaces field `index` of the stored record; the fields behind it move.
//  2 ERROR, 9 DETAIL: `value` is a format with an optional message number,
//    formatted with the further arguments (at most kErrTextLimit characters);
//    then 16 and 17 (after 2) or 18 and 19 (after 9) get its message number
//    and, when that is not empty, its argument texts (else the empty text).
//  3 RC, 14 COUNTER: `value` is a format whose text is a decimal integer
//    (ErrReplace(3, "%d", rc)); stored in decimal, empty for 0.
//  12 ERRNO: as 3, stored in decimal also for 0; then 13 gets the system's
//    text for it.
//  15, 16, 18: `value` is a format formatted with the further arguments.
//  4 to 8, 11, 13, 17, 19: `value` is the text, taken as it stands.
// Null `value` is the empty text. `value` and the arguments may point into
// the stored record. All changes of one call are made together or not at all.
// Returns 0; -2 when no record is stored (trace line "ErrReplace: no error
// info available" at level 2); -3 for index 10, an index below 2 or above 19,
// or a value for 3, 12 or 14 that is no decimal 32-bit integer; -1 when the
// record would exceed kErrInfoSize bytes (error line "ErrReplace: error info
// too large"), the record unchanged.
// The compiler checks `value` against the arguments as a format, which guards
// the formatted fields; for a text field it may warn about a text held in a
// variable, which is taken as it stands all the same.
PARCEL_ERRINFO_API PARCEL_PRINTF_FORMAT(2, 3) int ErrReplace(int index, const char* value,
                                                             ...) noexcept;

// The text of field `index` of the stored record: an index of 0 or below gives
// field 0, an index beyond the last field the empty text. With no record
// stored, the empty text and the trace line "ErrGetFld: no error info
// available" at level 2. The pointer is valid until the record changes.
PARCEL_ERRINFO_API const char* ErrGetFld(int index) noexcept;

// Gives the area's address and the stored length. Returns 0; -2 when no record
// is stored (the address and the length 0 are still given); -5 without memory
// for the area (nothing given). Either out-pointer may be null. The record is
// borrowed and stays valid until it changes.
PARCEL_ERRINFO_API int ErrGetRecord(const char** address, int* length) noexcept;

// Whether a record is stored.
PARCEL_ERRINFO_API bool ErrHasInfo() noexcept;

// Removes the stored record: the area is zero-filled and the length set to 0.
// Returns 0.
PARCEL_ERRINFO_API int ErrClear() noexcept;

// Writes the system's text for `errnoValue` (platform/system_error_text.h)
// into `buffer`, cut to `size` - 1 characters, and returns `buffer`; the empty
// text for a number the system has no text for. Null when `size` < 1 or
// `buffer` is null.
PARCEL_ERRINFO_API char* ErrSysText(int errnoValue, char* buffer, int size) noexcept;

// Copies the stored record in transfer form into `buffer` (`size` bytes) and
// sets `*length` to the number of bytes written (nothing stored: 0). Returns
// 0; -8 when the buffer fills before the record is copied (the first `size`
// bytes are then written). `length` may be null.
PARCEL_ERRINFO_API int ErrGetNetForm(char* buffer, int* length, int size) noexcept;

// Stores a record received from a peer, in transfer form or in EBCDIC (code
// page 500 to ISO 8859-1; the codes 04 06 08-0A 14 15 17 1A 1B 1D-24 28-2C 30
// 31 33-36 38-3B 3E CA FF become blanks). Bytes of 128 or above in the
// transfer form become '#'. The data are untrusted and read only within
// [data, data + length).
// Returns 0; -1 for a length above kErrInfoSize (error line
// "ErrCpNetToInt2: internal area too small (500<length)"); -6 when the
// translated bytes are no whole record: shorter than 8 bytes, not beginning
// with "*ERR*", not ending with "*ERR*" and its NUL, or holding fewer than 21
// NUL-terminated fields (error line "ErrCpNetToInt: bad err info (eyecatcher
// destroyed)" and a dump of the bytes titled "bad err info"); -5 without
// memory for the area. On every failure the earlier record stays stored.
PARCEL_ERRINFO_API int ErrCpNetToInt(const char* data, int length) noexcept;

// Stores a record given in internal form (as ErrGetRecord gives it; `data` may
// be the area itself), increments errCounter and replaces COUNTER with it.
// Returns 0; -6 when the data do not begin with "*ERR*", do not end with
// "*ERR*" and its NUL, or hold fewer than 21 fields (error line "ErrCpTo: bad
// err info (eyecatcher destroyed)" and the dump titled "bad err info"); -1 for
// a length above kErrInfoSize (error line "ErrCpTo: error info too large (%d
// bytes)"), or when the new COUNTER does not fit (the data then stay stored
// with their own COUNTER); -5 without memory for the area. On -6 and the first
// -1 the earlier record stays stored.
PARCEL_ERRINFO_API int ErrCpTo(const char* data, int length) noexcept;

// Looks a message text up in the message file: the path in the environment
// variable "ERR_MSG_FILE", or "errmsg", fixed at the first call. The file is
// opened once and kept open; each look-up reads it from its beginning. The
// first line whose first character is `keyChar` and whose next characters are
// `key` gives the text after the key, without its line end ("\n" or "\r\n"),
// cut to `size` - 1 characters. Lines are read kErrMsgLineLimit characters at a
// time; the rest of a longer line is skipped, never taken for a line of its
// own. Returns whether a text was found. A file that cannot be opened gives
// the trace line "ErrGetTxt: can't open file <path> (<errno> <its text>)" at level 2
// and is tried again at the next call. Null `key` or `buffer`, or `size` < 1:
// not found.
PARCEL_ERRINFO_API bool ErrGetTxt(const char* key, char keyChar, char* buffer, int size) noexcept;

// Hex dump of a damaged record, only while trcLevel is not 0: trcLevel is 2
// for the duration; a newline, the dump (DpTrcHexDump) when the level of
// trcHandle is at least 2, another newline. Reads only [data, data + length).
PARCEL_ERRINFO_API void ErrTraceBadInfo(const char* data, int length, const char* title) noexcept;

#endif  // PARCEL_ERRINFO_ERRINFO_H_
