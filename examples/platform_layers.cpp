// Uses the installed libraries the way their users do: trace lines into a
// file through the runtime library, a connect of the network library that
// fails, the error information it leaves read through the error-information
// library, and the version strings of a module file.
//
//   platform_layers TRACE_FILE [MODULE]
//
// MODULE defaults to the installed module (PARCEL_MODULE_PATH).
#include <cstdio>
#include <cstdlib>

#include "errinfo/errinfo.h"
#include "ni/ni_cxx.h"
#include "runtime/trace.h"
#include "version/version.h"

namespace {

// Connects to a port that nobody listens on: a listener on a port the system
// picks is closed first. Returns the NI code of the connect.
int ConnectToClosedPort() {
  using parcel::ni::Handle;
  unsigned short port = 0;
  {
    Handle listener;
    int rc = Handle::Listen("127.0.0.1", 0, NI_LISTEN_IPV4, &listener);
    if (rc == NI_OK) rc = NiHandlePort(listener.get(), &port);
    if (rc != NI_OK) return rc;
  }
  Handle peer;
  return Handle::Connect("127.0.0.1", port, NI_BLOCK, &peer);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return std::fprintf(stderr, "usage: platform_layers TRACE_FILE [MODULE]\n"), 2;
  std::FILE* trace = std::fopen(argv[1], "w");
  if (trace == nullptr) return std::fprintf(stderr, "cannot open %s\n", argv[1]), 2;

  // Trace lines of level 1 and the libraries' own error lines go to the file.
  trcLevel = 1;
  trcHandle = trace;
  DpTrc(trace, "platform_layers: trace through the runtime library\n");

  int rc = ConnectToClosedPort();
  std::printf("connect: %s\n", NiErrorName(rc));
  if (ErrHasInfo()) {
    std::printf("error information: component %s, rc %s, error %s\n",
                ErrGetFld(parcel::errinfo::kErrFieldComponent),
                ErrGetFld(parcel::errinfo::kErrFieldRc),
                ErrGetFld(parcel::errinfo::kErrFieldError));
  }

  // A record of the program's own, then read back field by field.
  ErrSetFmt("EXAMPLE", 1, "platform_layers", __LINE__, "%s failed", 42, "detail %d", "step", 7);
  std::printf("own record: error %s, rc %s, detail %s\n",
              ErrGetFld(parcel::errinfo::kErrFieldError), ErrGetFld(parcel::errinfo::kErrFieldRc),
              ErrGetFld(parcel::errinfo::kErrFieldDetail));

  const char* module = argc > 2 ? argv[2] : PARCEL_MODULE_PATH;
  char* file_version = nullptr;
  char* product_version = nullptr;
  char* platform = nullptr;
  char* special_build = nullptr;
  if (ReadVersionInfo(module, &file_version, &product_version, &platform, &special_build) == 1) {
    std::printf("module version: %s, product %s, platform %s\n", file_version, product_version,
                platform);
  } else {
    std::printf("module version: unreadable\n");
  }
  std::free(file_version);
  std::free(product_version);
  std::free(platform);
  std::free(special_build);

  trcHandle = nullptr;
  std::fclose(trace);
  return rc == NIECONN_REFUSED ? 0 : 1;
}
