/* A host in plain C: loads the parcel module, packs one file into a zip
 * archive and prints the module's response document.
 *
 *   pack_one FILE ARCHIVE [MODULE]
 *
 * MODULE defaults to the installed module (PARCEL_MODULE_PATH, from the CMake
 * package or the pkg-config file). The request is built by hand from the
 * layout in interpreter/host_abi.h: table META holds the job description,
 * table FILE1 the file's bytes. POSIX hosts load the module with dlopen; a
 * Windows host does the same with LoadLibrary and GetProcAddress. */
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "interpreter/host_abi.h"

/* Reads a whole file into a new block; null when it cannot. */
static char* ReadFile(const char* path, size_t* size) {
  FILE* file = fopen(path, "rb");
  if (file == NULL) return NULL;
  char* data = NULL;
  if (fseek(file, 0, SEEK_END) == 0) {
    long length = ftell(file);
    if (length > 0 && fseek(file, 0, SEEK_SET) == 0 && (data = malloc((size_t)length)) != NULL) {
      *size = fread(data, 1, (size_t)length, file);
      if (*size != (size_t)length) free(data), data = NULL;
    }
  }
  fclose(file);
  return data;
}

/* Writes `text` into a field of `width` bytes, padded with blanks. */
static void PutField(char* field, size_t width, const char* text) {
  size_t length = strlen(text);
  memset(field, ' ', width);
  memcpy(field, text, length < width ? length : width);
}

static char* PutRecord(char* record, const char* tag, const char* value) {
  PutField(record, PARCEL_TRANSFER_TAG_SIZE, tag);
  PutField(record + PARCEL_TRANSFER_TAG_SIZE, PARCEL_TRANSFER_VALUE_SIZE, value);
  return record + PARCEL_TRANSFER_RECORD_SIZE;
}

/* Describes a table of one line of `width` bytes. */
static char* PutTable(char* record, const char* name, size_t width) {
  char number[24];
  snprintf(number, sizeof number, "%zu", width);
  record = PutRecord(record, "TBNM", name);
  record = PutRecord(record, "TBLN", "1");
  record = PutRecord(record, "TBWD", number);
  record = PutRecord(record, "TBCL", "1");
  record = PutRecord(record, "CLNM", "DATA");
  return PutRecord(record, "CLWD", number);
}

/* The request for one file: header, description, then META and FILE1. */
static char* BuildRequest(const char* name, const char* data, size_t size, size_t* request_size) {
  char job[512];
  int job_size = snprintf(job, sizeof job,
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                          "<REQUEST><COMPRESS format=\"zip\"><FILES>\n"
                          "<FILE name=\"%s\" size=\"%zu\"/>\n"
                          "</FILES></COMPRESS></REQUEST>\n",
                          name, size);
  if (job_size < 0 || (size_t)job_size >= sizeof job) return NULL;
  const size_t description = PARCEL_TRANSFER_RECORD_SIZE * (1 + 2 * 6);
  *request_size = PARCEL_TRANSFER_HEADER_SIZE + description + (size_t)job_size + size;
  char* request = malloc(*request_size);
  if (request == NULL) return NULL;
  char number[24];
  snprintf(number, sizeof number, "%zu", description);
  PutField(request, PARCEL_TRANSFER_FIELD_SIZE, PARCEL_TRANSFER_MAGIC);
  PutField(request + PARCEL_TRANSFER_DESCRIPTION_LENGTH_OFFSET, PARCEL_TRANSFER_FIELD_SIZE, number);
  PutField(request + PARCEL_TRANSFER_SECOND_NUMBER_OFFSET, PARCEL_TRANSFER_FIELD_SIZE, "0");
  char* record = PutRecord(request + PARCEL_TRANSFER_HEADER_SIZE, "VERS", "1.0");
  record = PutTable(record, "META", (size_t)job_size);
  record = PutTable(record, "FILE1", size);
  memcpy(record, job, (size_t)job_size);
  memcpy(record + job_size, data, size);
  return request;
}

/* A blank-padded text field of an output record header, without the blanks. */
static void GetField(const char* header, size_t offset, size_t width, char* out) {
  size_t length = 0;
  while (length < width && header[offset + length] != '\0') ++length;
  while (length > 0 && header[offset + length - 1] == ' ') --length;
  memcpy(out, header + offset, length);
  out[length] = '\0';
}

/* Prints the response document and writes the archive; true when there was one. */
static int SaveArchive(const char* response, uint32_t size, const char* archive) {
  int saved = 0;
  for (uint32_t at = 0; size - at >= PARCEL_OUTPUT_HEADER_SIZE;) {
    const char* header = response + at;
    char name[PARCEL_OUTPUT_NAME_SIZE + 1];
    char length_text[PARCEL_OUTPUT_LENGTH_SIZE + 1];
    GetField(header, PARCEL_OUTPUT_NAME_OFFSET, PARCEL_OUTPUT_NAME_SIZE, name);
    GetField(header, PARCEL_OUTPUT_LENGTH_OFFSET, PARCEL_OUTPUT_LENGTH_SIZE, length_text);
    unsigned long length = strtoul(length_text, NULL, 10);
    if (memcmp(header, PARCEL_TRANSFER_MAGIC, PARCEL_TRANSFER_MAGIC_SIZE) != 0 ||
        length > size - at - PARCEL_OUTPUT_HEADER_SIZE) {
      fprintf(stderr, "pack_one: malformed response at offset %u\n", (unsigned)at);
      return 0;
    }
    const char* data = header + PARCEL_OUTPUT_HEADER_SIZE;
    if (strcmp(name, "META") == 0) {
      printf("%.*s\n", (int)length, data);
    } else if (strcmp(name, "ZIPFILE") == 0) {
      FILE* out = fopen(archive, "wb");
      saved = out != NULL && fwrite(data, 1, length, out) == length;
      if (out != NULL && fclose(out) != 0) saved = 0;
    }
    at += PARCEL_OUTPUT_HEADER_SIZE + (uint32_t)length;
  }
  return saved;
}

int main(int argc, char** argv) {
  if (argc < 3) return fprintf(stderr, "usage: pack_one FILE ARCHIVE [MODULE]\n"), 2;
  const char* module_path = argc > 3 ? argv[3] : PARCEL_MODULE_PATH;
  const char* name = strrchr(argv[1], '/') != NULL ? strrchr(argv[1], '/') + 1 : argv[1];
  if (strpbrk(name, "&<>\"'") != NULL) return fprintf(stderr, "pack_one: unusual name\n"), 2;

  size_t size = 0;
  char* data = ReadFile(argv[1], &size);
  if (data == NULL) return fprintf(stderr, "pack_one: cannot read %s\n", argv[1]), 3;
  size_t request_size = 0;
  char* request = BuildRequest(name, data, size, &request_size);
  free(data);
  if (request == NULL) return fprintf(stderr, "pack_one: request too large\n"), 3;

  void* module = dlopen(module_path, RTLD_NOW | RTLD_LOCAL);
  if (module == NULL) return fprintf(stderr, "pack_one: %s\n", dlerror()), 5;
  ParcelInstantiateFn instantiate = (ParcelInstantiateFn)dlsym(module, PARCEL_INSTANTIATE_SYMBOL);
  ParcelInterpreter* interpreter = instantiate != NULL ? instantiate() : NULL;
  if (interpreter == NULL) return fprintf(stderr, "pack_one: no interpreter\n"), 5;

  printf("%s %s %s\n", interpreter->vtbl->GetName(interpreter),
         interpreter->vtbl->GetType(interpreter), interpreter->vtbl->GetVersion(interpreter));
  char* response = NULL;
  uint32_t response_size = 0;
  int saved = 0;
  if (interpreter->vtbl->Init(interpreter, 0) &&
      interpreter->vtbl->Process(interpreter, request, (uint32_t)request_size, &response,
                                 &response_size)) {
    saved = SaveArchive(response, response_size, argv[2]);
    interpreter->vtbl->Reset(interpreter);
  }
  interpreter->vtbl->Destroy(interpreter);
  free(request);
  dlclose(module);
  return saved ? 0 : 6;
}
