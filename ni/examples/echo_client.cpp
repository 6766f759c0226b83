// Sends each argument as a message and prints the echo: echo_client HOST PORT TEXT...
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ni/ni_cxx.h"

int main(int argc, char** argv) {
  if (argc < 3) return std::fprintf(stderr, "usage: echo_client HOST PORT TEXT...\n"), 2;
  parcel::ni::Handle peer;
  int rc = parcel::ni::Handle::Connect(argv[1], std::atoi(argv[2]), NI_BLOCK, &peer);
  for (int i = 3; rc == NI_OK && i < argc; ++i) {
    char echo[65536];
    int length = 0;
    rc = peer.Write(argv[i], static_cast<int>(std::strlen(argv[i])));
    if (rc == NI_OK) rc = peer.Read(echo, sizeof echo, 5000, &length);
    if (rc == NI_OK) std::printf("%.*s\n", length, echo);
  }
  if (rc != NI_OK) std::fprintf(stderr, "echo_client: %s\n", NiErrorName(rc));
  return rc == NI_OK ? 0 : 1;
}
