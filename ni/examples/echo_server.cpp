// Echoes every message of one client after another: echo_server PORT
#include <cstdio>
#include <cstdlib>

#include "ni/ni_cxx.h"

int main(int argc, char** argv) {
  using parcel::ni::Handle;
  Handle server;
  int rc = Handle::Listen(nullptr, argc > 1 ? std::atoi(argv[1]) : 3200, NI_LISTEN_TCP, &server);
  if (rc != NI_OK) return std::fprintf(stderr, "listen: %s\n", NiErrorName(rc)), 1;
  for (Handle client; server.Accept(NI_BLOCK, &client) == NI_OK;) {
    static char message[65536];
    int length = 0;
    while (client.Read(message, sizeof message, NI_BLOCK, &length) == NI_OK &&
           client.Write(message, length) == NI_OK) {
    }
  }
  return 0;
}
