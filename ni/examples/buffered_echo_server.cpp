// Echoes every message of any number of clients from one thread:
// buffered_echo_server PORT
#include <cstdio>
#include <cstdlib>

#include "ni/ni_cxx.h"

int main(int argc, char** argv) {
  parcel::ni::Handle server;
  int rc = parcel::ni::Handle::Listen(nullptr, argc > 1 ? std::atoi(argv[1]) : 3200, NI_LISTEN_TCP,
                                      &server);
  NI_SELSET* set = nullptr;
  if (rc == NI_OK) rc = NiSelNewSet(&set);
  if (rc == NI_OK) rc = NiSelSet(set, server.get(), NI_SEL_READ);
  NI_SEL_EVENT events[64];
  int count = 0;
  while (rc == NI_OK && (rc = NiSelWait(set, NI_BLOCK, events, 64, &count)) != NIEINTERN) {
    for (int i = 0; i < count; ++i) {
      NI_HANDLE handle = events[i].handle, client;
      NIBUF* message = nullptr;
      int written = 0;
      if (handle == server.get()) {  // a new client: buffered, waited on for messages
        if (NiAccept(handle, 0, &client) == NI_OK && NiSetBuffered(client) == NI_OK)
          NiSelSet(set, client, NI_SEL_READ);
      } else if (NiReceive(handle, &message, 0) == NI_OK) {
        NiWrite(handle, NiBufData(message), NiBufLength(message), 0, &written);
        NiBufFree(&message);
      } else {
        NiClose(handle);  // gone or broken: closing also takes it out of the set
      }
    }
    rc = NI_OK;
  }
  std::fprintf(stderr, "buffered_echo_server: %s\n", NiErrorName(rc));
  return 1;
}
