// Feeds arbitrary frames to a buffered NI handle through a scripted peer:
// control messages with hostile lengths, error information in either code
// page, check messages, oversized headers, in arbitrary receive sizes. After
// the handle closes, every buffer and every counted byte must be back.
//
// Input: byte 0 talk mode (mod 3), byte 1 the maximum message length
// (scaled), bytes 2..9 receive sizes, then the stream.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "errinfo/errinfo.h"
#include "ni/ni_buf.h"
#include "tests/ni_fake_socket.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 10) return 0;
  static bool started = NiInit3() == QEL_O_K;
  Check(started);
  parcel::testing::FakeSockets fake;
  parcel::testing::FakeWire& wire = parcel::testing::FakeSockets::Wire();
  for (int i = 0; i < 8; ++i) wire.receive_sizes.push_back(data[2 + i] % 40);
  wire.inbound.assign(reinterpret_cast<const char*>(data + 10), size - 10);
  wire.close_at_end = (data[0] & 4) != 0;
  const std::int64_t heap = parcel::ni::NiBufHeapBytes();
  const std::int64_t buffers = parcel::ni::NiBufLiveBuffers();

  NiHdl* handle = nullptr;
  Check(NiICreateHandle(&handle, false) == QEL_O_K);
  handle->sock = parcel::testing::FakeSockets::Record();
  parcel::ni::SetState(handle, NI_CONNECTED, "fuzz");
  Check(NiBufIHdlInit(handle) == QEL_O_K);
  parcel::ni::BufferedExtension* ext = parcel::ni::ExtensionOf(handle);
  NI_HDLPARAM param{};
  param.param = NIP_TALKMODE;
  param.datatype = NI_DT_RAW;
  param.value.raw_val = data[0] % 3;
  Check(NiBufISetHdlParam(handle, ext, &param) == QEL_O_K);
  param.param = NIP_MAX_MSG;
  param.datatype = NI_DT_UINT;
  param.value.uint_val = static_cast<unsigned>(data[1]) * 64;
  Check(NiBufISetHdlParam(handle, ext, &param) == QEL_O_K);

  std::vector<unsigned char> buffer(257);
  for (int call = 0; call < 2000; ++call) {
    const std::size_t before = wire.read_at;
    int received = -1;
    const int length = static_cast<int>(call % 257);
    const int rc = NiBufIRead(handle, ext, buffer.data(), length, 0, &received);
    Check(received >= 0 && received <= length);
    if (rc == NIECONN_BROKEN || rc == NIEINTERN) break;
    if (rc == NIETIMEOUT && wire.read_at == before && wire.read_at == wire.inbound.size()) break;
    if (rc == NIETOO_BIG) break;  // the stream cannot go on
  }
  Check(NiICloseHandle(handle, false, false) == QEL_O_K);
  Check(parcel::ni::NiBufHeapBytes() == heap);
  Check(parcel::ni::NiBufLiveBuffers() == buffers);
  ErrClear();
  return 0;
}
