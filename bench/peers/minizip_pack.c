/* Benchmark peer: packs the files named on standard input (one per line)
 * into a zip archive with minizip at a given deflate level, reading each file
 * whole as a packing tool would.
 * Usage: minizip_pack OUTPUT.zip LEVEL < names */
#include <minizip/zip.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static unsigned char* ReadFile(const char* path, long* size) {
  FILE* f = fopen(path, "rb");
  if (f == NULL) return NULL;
  fseek(f, 0, SEEK_END);
  *size = ftell(f);
  fseek(f, 0, SEEK_SET);
  unsigned char* bytes = malloc(*size > 0 ? (size_t)*size : 1);
  if (bytes != NULL && fread(bytes, 1, (size_t)*size, f) != (size_t)*size) {
    free(bytes);
    bytes = NULL;
  }
  fclose(f);
  return bytes;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: minizip_pack OUTPUT.zip LEVEL < names\n");
    return 2;
  }
  const int level = atoi(argv[2]);
  zipFile zip = zipOpen64(argv[1], APPEND_STATUS_CREATE);
  if (zip == NULL) return 1;
  char name[4096];
  while (fgets(name, sizeof name, stdin) != NULL) {
    name[strcspn(name, "\n")] = '\0';
    if (name[0] == '\0') continue;
    long size = 0;
    unsigned char* bytes = ReadFile(name, &size);
    zip_fileinfo info;
    memset(&info, 0, sizeof info);
    if (bytes == NULL ||
        zipOpenNewFileInZip(zip, name, &info, NULL, 0, NULL, 0, NULL, Z_DEFLATED, level) !=
            ZIP_OK ||
        zipWriteInFileInZip(zip, bytes, (unsigned)size) != ZIP_OK ||
        zipCloseFileInZip(zip) != ZIP_OK) {
      fprintf(stderr, "minizip_pack: %s failed\n", name);
      return 1;
    }
    free(bytes);
  }
  return zipClose(zip, NULL) == ZIP_OK ? 0 : 1;
}
