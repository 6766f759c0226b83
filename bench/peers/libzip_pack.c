/* Benchmark peer: packs the files named on standard input (one per line)
 * into a zip archive with libzip at a given deflate level; libzip reads and
 * compresses the files when the archive is closed.
 * Usage: libzip_pack OUTPUT.zip LEVEL < names */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <zip.h>

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: libzip_pack OUTPUT.zip LEVEL < names\n");
    return 2;
  }
  const int level = atoi(argv[2]);
  int error = 0;
  zip_t* zip = zip_open(argv[1], ZIP_CREATE | ZIP_TRUNCATE, &error);
  if (zip == NULL) return 1;
  char name[4096];
  while (fgets(name, sizeof name, stdin) != NULL) {
    name[strcspn(name, "\n")] = '\0';
    if (name[0] == '\0') continue;
    zip_source_t* source = zip_source_file(zip, name, 0, -1);
    zip_int64_t index = source != NULL ? zip_file_add(zip, name, source, ZIP_FL_ENC_UTF_8) : -1;
    if (index < 0 || zip_set_file_compression(zip, (zip_uint64_t)index, ZIP_CM_DEFLATE,
                                              (zip_uint32_t)level) != 0) {
      fprintf(stderr, "libzip_pack: %s: %s\n", name, zip_strerror(zip));
      return 1;
    }
  }
  if (zip_close(zip) != 0) {
    fprintf(stderr, "libzip_pack: %s\n", zip_strerror(zip));
    return 1;
  }
  return 0;
}
