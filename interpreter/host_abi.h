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
 * with the magic "TransMagic"; see the README for the layout.
 */
#ifndef PARCEL_INTERPRETER_HOST_ABI_H_
#define PARCEL_INTERPRETER_HOST_ABI_H_

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

#ifdef __cplusplus
}
#endif

#endif /* PARCEL_INTERPRETER_HOST_ABI_H_ */
