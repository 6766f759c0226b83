// Internal: the process-wide record store and the byte-level work on records
// (field bounds, in-place replacement, the whole-record check, the peer forms).
// Only errinfo/ and its tests include this.
#ifndef PARCEL_ERRINFO_RECORD_H_
#define PARCEL_ERRINFO_RECORD_H_

#include <cstddef>
#include <cstdint>

#include "errinfo/errinfo.h"

namespace parcel::errinfo::detail {

// The process-wide store. `length` is 0 (no record) or the length of a whole
// record (IsWholeRecord) held in the first `length` bytes of `area`.
struct Store {
  char* area = nullptr;  // kErrInfoSize bytes once allocated; freed only by FreeStore
  int length = 0;
};
Store& TheStore() noexcept;

// Allocates the area on its first need. False when no memory is left.
bool EnsureArea() noexcept;

// Empties the store: the area (when there is one) is zero-filled, length 0.
void ClearStore() noexcept;

// Empties the store and frees the area, as at process start.
void FreeStore() noexcept;

// Bounds of one field inside a record: its text is [begin, end), its NUL at end.
struct FieldBounds {
  int begin;
  int end;
};

// Finds field `index` (0-based) in the `length` bytes at `record`. False when
// the bytes end before that field's NUL. Reads only [record, record + length).
bool FindField(const char* record, int length, int index, FieldBounds* out) noexcept;

// Replaces field `index` of the record in the first `*length` bytes of
// `record` (a buffer of kErrInfoSize bytes) with `text_length` bytes of `text`
// (which holds no NUL); the fields behind it move and `*length` changes by the
// difference. Returns kErrOk; kErrTooLarge when the record would exceed
// kErrInfoSize bytes, kErrBadField when it has no such field (both leave it
// unchanged). Requires: `text` does not point into `record`.
int ReplaceField(char* record, int* length, int index, const char* text,
                 std::size_t text_length) noexcept;

// Whether `length` bytes at `data` are a whole record: at least 8 bytes, at
// most kErrInfoSize, beginning with "*ERR*", ending with "*ERR*" and a NUL,
// and holding at least kErrFieldCount NUL-terminated fields. Null data or a
// negative length are not. Reads only [data, data + length).
bool IsWholeRecord(const char* data, int length) noexcept;

// Translates `length` bytes received from a peer into the internal form in
// `out` (room for `length` bytes): EBCDIC (recognised by its first five bytes)
// through kEbcdic500ToLatin1, anything else with bytes of 128 or above as '#'.
void TranslateFromPeer(const char* data, int length, char* out) noexcept;

// Code page 500 to ISO 8859-1, with the EBCDIC control codes that have no
// place in a record text as blanks.
extern const unsigned char kEbcdic500ToLatin1[256];

// The EBCDIC form of "*ERR*".
inline constexpr unsigned char kEbcdicEyecatcher[5] = {0x5C, 0xC5, 0xD9, 0xD9, 0x5C};

// Writes the kErrFieldCount texts of `fields` (none null) back to back, each
// with its NUL, into `out` (kErrInfoSize bytes). Returns the record length, or
// -1, with `out` unspecified, when it would exceed kErrInfoSize bytes.
int BuildRecord(const char* const* fields, char* out) noexcept;

// The local time of `seconds` in the C library's asctime form without its
// newline ("Thu Nov 14 22:13:20 2023"), or "error in localtime" when the time
// cannot be converted. `size` of at least 32 holds every result.
void FormatTimeField(std::int64_t seconds, char* out, std::size_t size) noexcept;

}  // namespace parcel::errinfo::detail

#endif  // PARCEL_ERRINFO_RECORD_H_
