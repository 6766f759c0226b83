// Plays an arbitrary byte stream as the peer of an NI handle, in arbitrary
// receive sizes, into the frame reader in every talk mode and buffer size,
// and checks what the reader hands out.
//
// Input: byte 0 the mode (mod 3), byte 1 the buffer length (0..255, scaled),
// byte 2 the read-once flag and the timeout choice, bytes 3..10 eight
// receive sizes (0 = the call would block), then the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ni/nii.h"
#include "tests/ni_fake_socket.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 11) return 0;
  static bool started = NiInit3() == QEL_O_K;
  Check(started);
  parcel::testing::FakeSockets fake;
  parcel::testing::FakeWire& wire = parcel::testing::FakeSockets::Wire();
  const int mode = data[0] % 3;
  const int length = data[1] < 200 ? data[1] : 4096 * (data[1] - 199);
  const bool read_once = (data[2] & 1) != 0;
  const int timeout = (data[2] & 2) != 0 ? 0 : 5;
  for (int i = 0; i < 8; ++i) wire.receive_sizes.push_back(data[3 + i] % 17);
  wire.inbound.assign(reinterpret_cast<const char*>(data + 11), size - 11);
  wire.close_at_end = (data[2] & 4) != 0;

  NiHdl* handle = nullptr;
  Check(NiICreateHandle(&handle, false) == QEL_O_K);
  handle->sock = parcel::testing::FakeSockets::Record();
  handle->read_once = read_once ? 1 : 0;
  parcel::ni::SetState(handle, NI_CONNECTED, "fuzz");

  std::vector<unsigned char> buffer(static_cast<std::size_t>(length) + 1);
  std::size_t handed_out = 0;
  for (int call = 0; call < 10000; ++call) {
    const std::size_t before = wire.read_at;
    int received = -7;
    const int rc = NiIRead(handle, buffer.data(), length, timeout, mode, &received);
    Check(received >= -1 && received <= length);
    // Nothing is handed out that the peer did not send.
    if (received > 0) handed_out += static_cast<std::size_t>(received);
    Check(handed_out <= wire.read_at);
    Check(handle->read_header_left <= 4);
    if (rc == NIECONN_BROKEN || rc == NIEINTERN || rc == NIEINVAL) break;
    Check(rc == QEL_O_K || rc == NIETIMEOUT || rc == NIETOO_SMALL);
    // A call that neither moved bytes nor could: the script is used up.
    if (wire.read_at == before && wire.read_at == wire.inbound.size() &&
        (rc == NIETIMEOUT || (rc == NIETOO_SMALL && length == 0))) {
      break;
    }
  }
  Check(NiICloseHandle(handle, false, false) == QEL_O_K);
  return 0;
}
