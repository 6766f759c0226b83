/* The binary interface of the parcel module, for host authors.
 *
 * A host loads the module file (parcel.so / parcel.dll), resolves the one
 * exported function "Instantiate" and drives the interpreter it returns
 * through the interpreter's virtual table: the object's first pointer-sized
 * field points at a table of function pointers in the slot order below. Each
 * operation takes the object itself as its first argument (on x64 Windows and
 * with the System V ABI alike, this is how C++ member functions are called).
 *
 * This header is plain C and C++ and depends on nothing of the module.
 *
 * Calling order: Instantiate; Init once; then per request Process, read the
 * response, Reset; finally Destroy (slot 9), which frees the object. One
 * interpreter serves one call at a time; separate interpreters may run on
 * separate threads.
 *
 * Memory: the request buffer is the host's; it must stay valid and writable
 * until Process returns. The response buffer is the interpreter's; it stays
 * valid until Reset or Destroy, and the host never frees it. Hosts built for
 * the MSVC ABI call slot 9 as their scalar deleting destructor with an extra
 * flags argument, which the module ignores: slot 9 always frees.
 *
 * Transfer form: requests and responses are fixed-width text records starting
 * with the magic "TransMagic"; the layout below is the one both the module's
 * reader and writer and every host's use.
 */
#ifndef PARCEL_INTERPRETER_HOST_ABI_H_
#define PARCEL_INTERPRETER_HOST_ABI_H_

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#else
#include <stdbool.h>
#endif

typedef struct ParcelInterpreter ParcelInterpreter;

/* The virtual table, slot by slot. */
typedef struct ParcelInterpreterVtbl {
  /* 0: stores host_context (never read by the module); returns true. */
  bool (*Init)(ParcelInterpreter* self, uintptr_t host_context);
  /* 1: runs one request. Returns true when a response exists (it may be an
   * error document); when both out-pointers are non-null they receive the
   * response (null and 0 when there is none). */
  bool (*Process)(ParcelInterpreter* self, char* request, uint32_t request_size,
                  char** response_data, uint32_t* response_size);
  /* 2: releases the response. */
  void (*Reset)(ParcelInterpreter* self);
  /* 3-5: a flag kept for the host. */
  void (*SetFlag)(ParcelInterpreter* self);
  void (*ClearFlag)(ParcelInterpreter* self);
  bool (*GetFlag)(ParcelInterpreter* self);
  /* 6-8: "PARCEL", "QELPH10", "7000.0.9.0"; constants of the module. */
  const char* (*GetName)(ParcelInterpreter* self);
  const char* (*GetType)(ParcelInterpreter* self);
  const char* (*GetVersion)(ParcelInterpreter* self);
  /* 9: destroys the interpreter and frees it. */
  void (*Destroy)(ParcelInterpreter* self);
  /* 10: runs the job on the loaded request; for the module's own use. */
  bool (*Execute)(ParcelInterpreter* self);
} ParcelInterpreterVtbl;

struct ParcelInterpreter {
  const ParcelInterpreterVtbl* vtbl;
};

/* The exported factory: a new interpreter, or null when memory is exhausted. */
typedef ParcelInterpreter* (*ParcelInstantiateFn)(void);

#define PARCEL_INSTANTIATE_SYMBOL "Instantiate"

/* Slot numbers, for hosts that index the table themselves. */
enum {
  PARCEL_SLOT_INIT = 0,
  PARCEL_SLOT_PROCESS = 1,
  PARCEL_SLOT_RESET = 2,
  PARCEL_SLOT_SET_FLAG = 3,
  PARCEL_SLOT_CLEAR_FLAG = 4,
  PARCEL_SLOT_GET_FLAG = 5,
  PARCEL_SLOT_GET_NAME = 6,
  PARCEL_SLOT_GET_TYPE = 7,
  PARCEL_SLOT_GET_VERSION = 8,
  PARCEL_SLOT_DESTROY = 9,
  PARCEL_SLOT_EXECUTE = 10
};

/* Every slot constant is the position of its member in the table. */
#ifdef __cplusplus
#define PARCEL_ABI_STATIC_ASSERT(condition, message) static_assert(condition, message)
#else
#define PARCEL_ABI_STATIC_ASSERT(condition, message) _Static_assert(condition, message)
#endif
#define PARCEL_SLOT_OFFSET(slot) ((size_t)(slot) * sizeof(void (*)(void)))
#define PARCEL_ABI_ASSERT_SLOT(member, slot)                                                    \
  PARCEL_ABI_STATIC_ASSERT(offsetof(ParcelInterpreterVtbl, member) == PARCEL_SLOT_OFFSET(slot), \
                           #member " is slot " #slot)
PARCEL_ABI_ASSERT_SLOT(Init, PARCEL_SLOT_INIT);
PARCEL_ABI_ASSERT_SLOT(Process, PARCEL_SLOT_PROCESS);
PARCEL_ABI_ASSERT_SLOT(Reset, PARCEL_SLOT_RESET);
PARCEL_ABI_ASSERT_SLOT(SetFlag, PARCEL_SLOT_SET_FLAG);
PARCEL_ABI_ASSERT_SLOT(ClearFlag, PARCEL_SLOT_CLEAR_FLAG);
PARCEL_ABI_ASSERT_SLOT(GetFlag, PARCEL_SLOT_GET_FLAG);
PARCEL_ABI_ASSERT_SLOT(GetName, PARCEL_SLOT_GET_NAME);
PARCEL_ABI_ASSERT_SLOT(GetType, PARCEL_SLOT_GET_TYPE);
PARCEL_ABI_ASSERT_SLOT(GetVersion, PARCEL_SLOT_GET_VERSION);
PARCEL_ABI_ASSERT_SLOT(Destroy, PARCEL_SLOT_DESTROY);
PARCEL_ABI_ASSERT_SLOT(Execute, PARCEL_SLOT_EXECUTE);
PARCEL_ABI_STATIC_ASSERT(sizeof(ParcelInterpreterVtbl) ==
                             PARCEL_SLOT_OFFSET(PARCEL_SLOT_EXECUTE + 1),
                         "the table ends after Execute");

/* The transfer form. Every field is text: numbers in decimal, texts padded
 * with blanks.
 *
 * A request is a header, a description and the tables' data:
 *   0   "TransMagic"    16  description length D    32  a second number
 *   48  D / 48 description records, each an 8-byte tag and a 40-byte value
 *       (VERS, then per table TBNM name, TBLN lines, TBWD width, TBCL
 *       columns, and CLNM name, CLWD width per column)
 *   48 + D  the tables' bytes back to back, in the order of their TBNM records
 *
 * A response is a sequence of output records, each a 160-byte header and its
 * data: "TransMagic" and a NUL at 0, the MIME type at 16, the record's name at
 * 48, its file name at 80, the data length ("%d") and a NUL at 144. */
#define PARCEL_TRANSFER_MAGIC "TransMagic"
#define PARCEL_TRANSFER_MAGIC_SIZE 10u
#define PARCEL_TRANSFER_HEADER_SIZE 48u
#define PARCEL_TRANSFER_FIELD_SIZE 16u /* each of the header's three fields */
#define PARCEL_TRANSFER_DESCRIPTION_LENGTH_OFFSET 16u
#define PARCEL_TRANSFER_SECOND_NUMBER_OFFSET 32u
#define PARCEL_TRANSFER_RECORD_SIZE 48u
#define PARCEL_TRANSFER_TAG_SIZE 8u
#define PARCEL_TRANSFER_VALUE_SIZE 40u

#define PARCEL_OUTPUT_HEADER_SIZE 160u
#define PARCEL_OUTPUT_MIME_TYPE_OFFSET 16u
#define PARCEL_OUTPUT_MIME_TYPE_SIZE 32u
#define PARCEL_OUTPUT_NAME_OFFSET 48u
#define PARCEL_OUTPUT_NAME_SIZE 32u
#define PARCEL_OUTPUT_FILE_NAME_OFFSET 80u
#define PARCEL_OUTPUT_FILE_NAME_SIZE 64u
#define PARCEL_OUTPUT_LENGTH_OFFSET 144u
#define PARCEL_OUTPUT_LENGTH_SIZE 16u

PARCEL_ABI_STATIC_ASSERT(PARCEL_TRANSFER_DESCRIPTION_LENGTH_OFFSET == PARCEL_TRANSFER_FIELD_SIZE &&
                             PARCEL_TRANSFER_SECOND_NUMBER_OFFSET ==
                                 2 * PARCEL_TRANSFER_FIELD_SIZE &&
                             PARCEL_TRANSFER_HEADER_SIZE == 3 * PARCEL_TRANSFER_FIELD_SIZE,
                         "the header is three fields");
PARCEL_ABI_STATIC_ASSERT(PARCEL_TRANSFER_TAG_SIZE + PARCEL_TRANSFER_VALUE_SIZE ==
                             PARCEL_TRANSFER_RECORD_SIZE,
                         "tag and value fill a record");
PARCEL_ABI_STATIC_ASSERT(PARCEL_OUTPUT_LENGTH_OFFSET + PARCEL_OUTPUT_LENGTH_SIZE ==
                             PARCEL_OUTPUT_HEADER_SIZE,
                         "the length ends the output header");

/* Limits of one compression request. */
#define PARCEL_MAX_FILES 65535u          /* the archive's entry counts are 16-bit */
#define PARCEL_MAX_NAME_BYTES 255u       /* an entry's file name, UTF-8 */
#define PARCEL_MAX_ENTRY_NAME_BYTES 259u /* path, backslash and name together */
/* The archive: an output record's length is a signed 32-bit number, which
 * also bounds every file. */
#define PARCEL_MAX_ARCHIVE_BYTES 0x7FFFFFFFu

#ifdef __cplusplus
}
#endif

#endif /* PARCEL_INTERPRETER_HOST_ABI_H_ */
