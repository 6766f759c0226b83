// Internal interface of the trace facility: handle resolution, the line writer
// behind the public writers and the translation tables of the hex dump.
// Only runtime/ and its tests include this header.
#ifndef PARCEL_RUNTIME_TRACE_INTERNAL_H_
#define PARCEL_RUNTIME_TRACE_INTERNAL_H_

#include <cstdarg>
#include <cstdio>

#include "platform/wall_clock.h"
#include "runtime/trace.h"

namespace parcel::runtime::detail {

// What a handle stands for. For a component, `tag`, `level` and `indent` are
// the slot's; without one they are 0.
struct ResolvedHandle {
  std::FILE* stream;
  DpTrcFile* file;  // file record whose time fields apply; may be null
  DpTrcComponent* component;
  char tag;
  int level;
  int indent;
};

// Resolves `handle` by the three handle kinds. Returns false, after the
// CTRC_IS_HANDLE diagnostic, for an address inside ctrcadm that is not an
// in-use component slot; such a handle has no stream.
bool ResolveHandle(void* handle, ResolvedHandle* out) noexcept;

// Slots of ctrcadm in use, slot 0 included: next_free_comp kept within 1..2000.
int InUseSlots() noexcept;

enum class LineKind {
  kPlain,    // DpTrc, DpTrcNoStamp
  kError,    // DpTrcError, DpTrcErrorNarrow
  kWarning,  // DpTrcWarning
  kErrno,    // DpTrcErrno
};

// The writer behind the public line writers. `encoding` 2 formats straight into
// the line buffer, 1 through the side buffer; any other value is refused with
// the "Illegal encoding" text. `stamp` writes a time stamp first.
void WriteLine(void* handle, LineKind kind, int encoding, bool stamp, const char* format,
               std::va_list args) noexcept;

// Length of the longest prefix of `format`, at most `limit` characters, that does
// not end inside a conversion specification. Requires: `format` has at least
// `limit` characters.
std::size_t CompleteFormatPrefix(const char* format, std::size_t limit) noexcept;

// The trace clock (SetTraceClock, or the system's wall clock).
platform::WallTime TraceNow() noexcept;

// Restores the line state to its values at process start.
void ResetLineState() noexcept;

// Character column translations of the hex dump: EBCDIC code page 273 to
// ISO 8859-1 (EBCDIC controls as a blank, tab and newline as their ASCII
// codes), and ISO 8859-1 to code page 273 (controls other than tab as 0x40).
extern const unsigned char kEbcdic273ToLatin1[256];
extern const unsigned char kLatin1ToEbcdic273[256];

}  // namespace parcel::runtime::detail

#endif  // PARCEL_RUNTIME_TRACE_INTERNAL_H_
