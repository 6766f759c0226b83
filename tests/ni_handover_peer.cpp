// The taking side of the hand-over test: connects back to the test over the
// channel it names, takes over the listening handle the test hands it,
// accepts one connection on it and echoes one message with a prefix.
//   ni_handover_peer local PORT | ni_handover_peer tcp PORT
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ni/ni.h"
#include "ni/ni_cxx.h"

namespace {

int Fail(const char* step, int rc) {
  std::fprintf(stderr, "ni_handover_peer: %s: %s\n", step, NiErrorName(rc));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  using parcel::ni::Handle;
  const auto port = static_cast<unsigned short>(std::atoi(argv[2]));
  Handle channel;
  int rc = std::strcmp(argv[1], "local") == 0
               ? Handle::ConnectLocal(port, NI_BLOCK, &channel)
               : Handle::Connect("127.0.0.1", port, NI_BLOCK, &channel);
  if (rc != NI_OK) return Fail("connect", rc);
  if ((rc = NiSetBuffered(channel.get())) != NI_OK) return Fail("buffered", rc);
  if ((rc = NiAllowTakeOver(channel.get(), 1)) != NI_OK) return Fail("allow", rc);
  char buffer[64];
  int received = 0;
  rc = channel.Read(buffer, sizeof buffer, 20000, &received);
  if (rc != NIEACCEPT) return Fail("read for the hand-over", rc);
  NI_HANDLE taken_number = NI_NO_HANDLE;
  if ((rc = NiTakeOver(channel.get(), &taken_number)) != NI_OK) return Fail("take over", rc);
  Handle taken(taken_number);
  Handle client;
  if ((rc = taken.Accept(20000, &client)) != NI_OK) return Fail("accept", rc);
  if ((rc = client.Read(buffer, sizeof buffer, 20000, &received)) != NI_OK) {
    return Fail("read", rc);
  }
  const std::string answer = "taken:" + std::string(buffer, static_cast<std::size_t>(received));
  if ((rc = client.Write(answer.data(), static_cast<int>(answer.size()), 20000)) != NI_OK) {
    return Fail("write", rc);
  }
  // Tell the test over the channel that all went well, then wait for its end.
  (void)channel.Write("done", 4, 20000);
  (void)channel.Read(buffer, sizeof buffer, 20000, &received);
  return 0;
}
