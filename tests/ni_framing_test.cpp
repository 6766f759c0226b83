// Framed and raw transfer on NI handles: the frame on the wire, progress kept
// across timeouts, short buffers, hostile headers, failures the kernel will
// not produce on demand (through a scripted peer), and long random streams
// over real loopback connections.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ni/ni.h"
#include "ni/ni_cxx.h"
#include "ni/nii.h"
#include "platform/process.h"
#include "platform/system_info.h"
#include "tests/ni_fake_socket.h"
#include "tests/ni_test_util.h"

namespace {

using parcel::ni::Handle;
using parcel::testing::FakeSockets;
using parcel::testing::FakeWire;

// --- Over a scripted peer -------------------------------------------------------

class NiFraming : public parcel::testing::NiTest {
 protected:
  void SetUp() override {
    NiTest::SetUp();
    ASSERT_EQ(NiInit3(), QEL_O_K);
    ASSERT_EQ(NiICreateHandle(&handle_, false), QEL_O_K);
    handle_->sock = FakeSockets::Record();
    parcel::ni::SetState(handle_, NI_CONNECTED, "NiTest");
  }
  FakeWire& Wire() { return FakeSockets::Wire(); }
  static std::string Frame(const std::string& payload) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    std::string header = {static_cast<char>(n >> 24), static_cast<char>(n >> 16),
                          static_cast<char>(n >> 8), static_cast<char>(n)};
    return header + payload;
  }
  int Write(const std::string& data, int timeout, int* written, int mode = NI_MESG_IO) {
    return NiIWrite(handle_, data.data(), static_cast<int>(data.size()), timeout, mode, written);
  }
  int Read(std::string* out, int length, int timeout, int mode = NI_MESG_IO) {
    out->assign(static_cast<std::size_t>(length), '\0');
    int received = 0;
    int rc = NiIRead(handle_, out->data(), length, timeout, mode, &received);
    out->resize(received > 0 ? static_cast<std::size_t>(received) : 0);
    return rc;
  }

  FakeSockets fake_;
  NiHdl* handle_ = nullptr;
};

TEST_F(NiFraming, WriteTimedOutInTheHeaderContinuesWithTheRest) {
  Wire().max_send = 2;
  Wire().send_errors = {0, parcel::platform::kWsaEWOULDBLOCK};
  int written = -1;
  EXPECT_EQ(Write("0123456789", 0, &written), NIETIMEOUT);
  EXPECT_EQ(written, 0);
  EXPECT_EQ(Wire().outbound, std::string("\0\0", 2));
  EXPECT_EQ(Write("0123", 0, &written), NIEINVAL);  // not the pending length
  Wire().max_send = static_cast<std::size_t>(-1);
  Wire().send_errors.clear();
  EXPECT_EQ(Write("0123456789", 0, &written), QEL_O_K);
  EXPECT_EQ(written, 10);
  EXPECT_EQ(Wire().outbound, Frame("0123456789"));
  EXPECT_EQ(handle_->messages_written, 1u);
}

TEST_F(NiFraming, BufferLengthZeroAsksForTheNextFrame) {
  Wire().inbound = Frame("") + Frame("payload");
  std::string out;
  EXPECT_EQ(Read(&out, 0, 0), QEL_O_K);  // the empty frame
  EXPECT_EQ(Read(&out, 0, 0), NIETOO_SMALL);
  EXPECT_EQ(Read(&out, 0, 0), NIETOO_SMALL);  // still pending, nothing consumed
  EXPECT_EQ(Read(&out, 64, 0), QEL_O_K);
  EXPECT_EQ(out, "payload");
}

TEST_F(NiFraming, ShortBufferGetsTheMessageInPieces) {
  Wire().inbound = Frame(std::string(100, 'x'));
  std::string out;
  EXPECT_EQ(Read(&out, 60, 0), NIETOO_SMALL);
  EXPECT_EQ(out.size(), 60u);
  EXPECT_EQ(Read(&out, 60, 0), QEL_O_K);
  EXPECT_EQ(out.size(), 40u);
  EXPECT_EQ(handle_->messages_read, 1u);
}

TEST_F(NiFraming, HeadersTheStreamCannotCarry) {
  struct Case {
    std::string inbound;
    int length;
    int rc;
    std::size_t received;
  };
  const Case cases[] = {
      {std::string("\x80\0\0\x01", 4) + "x", 64, NIEINTERN, 0},  // top bit set
      {std::string("\xff\xff\xff\xff", 4), 64, NIEINTERN, 0},
      {"GET / HTTP/1.0\r\n\r\n", 10, NIETOO_SMALL, 10},   // huge length, short buffer
      {"GET / HTTP/1.0\r\n\r\n", 64, NIECONN_BROKEN, 0},  // ... then the peer closes
      {std::string("\0\0", 2), 64, NIECONN_BROKEN, 0},    // closed inside the header
      {"", 64, NIECONN_BROKEN, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.inbound));
    Wire() = FakeWire{};
    Wire().inbound = c.inbound;
    handle_->read_header_left = 4;
    handle_->read_data_left = 0;
    std::string out;
    EXPECT_EQ(Read(&out, c.length, 0), c.rc);
    EXPECT_EQ(out.size(), c.received);
  }
}

TEST_F(NiFraming, HeaderAndDataArriveInAnySplit) {
  const std::string payload(1000, 'p');
  for (std::vector<std::size_t> sizes :
       {std::vector<std::size_t>{1}, {3, 0, 2}, {4, 996}, {0, 7, 0, 0, 13}}) {
    Wire() = FakeWire{};
    Wire().inbound = Frame(payload) + Frame("next");
    Wire().receive_sizes = sizes;
    std::string out, message;
    int rc;
    while ((rc = Read(&out, 4096, 0)) == NIETIMEOUT) message += out;
    ASSERT_EQ(rc, QEL_O_K);
    EXPECT_EQ(message + out, payload);
    message.clear();
    while ((rc = Read(&out, 4096, 0)) == NIETIMEOUT) message += out;
    EXPECT_EQ(message + out, "next");
  }
}

TEST_F(NiFraming, NoBufferSpaceShrinksTheSendThenBreaks) {
  Wire().no_buffer_above = 4096;
  const std::string payload(5000, 'm');
  int written = 0;
  EXPECT_EQ(Write(payload, NI_BLOCK, &written), QEL_O_K);
  EXPECT_EQ(Wire().outbound, Frame(payload));
  ASSERT_GE(Wire().send_sizes.size(), 3u);
  EXPECT_EQ(Wire().send_sizes[0], 5004u);
  EXPECT_EQ(Wire().send_sizes[1], 4096u);

  Wire() = FakeWire{};
  Wire().no_buffer_above = 1;
  EXPECT_EQ(Write(std::string(20, 's'), NI_BLOCK, &written), NIECONN_BROKEN);
  EXPECT_EQ(ErrorText(), "NiIWrite: MTU size reached (4+20<=32;hdl 0)");
}

TEST_F(NiFraming, InterruptedCallsAreMadeAgain) {
  Wire().interrupt = true;
  Wire().inbound = Frame("hello") + Frame("world");
  std::string out;
  ASSERT_EQ(Read(&out, 16, NI_BLOCK), QEL_O_K);
  EXPECT_EQ(out, "hello");
  int written = 0;
  ASSERT_EQ(Write("answer", NI_BLOCK, &written), QEL_O_K);
  EXPECT_EQ(Wire().outbound, Frame("answer"));
}

TEST_F(NiFraming, ConnectionFailuresOfTransfers) {
  const struct {
    int error;
    int rc;
  } cases[] = {
      {parcel::platform::kWsaECONNRESET, NIECONN_BROKEN},
      {parcel::platform::kWsaESHUTDOWN, NIECONN_BROKEN},
      {parcel::platform::kWsaENOTCONN, NIEINTERN},  // NIEINVAL reported as internal
      {parcel::platform::kWsaENETDOWN, NIEINTERN},
  };
  for (const auto& c : cases) {
    Wire() = FakeWire{};
    Wire().send_errors = {c.error};
    int written = 0;
    EXPECT_EQ(Write("x", NI_BLOCK, &written), c.rc) << c.error;
    handle_->write_header_left = 0;
    handle_->mPendDataLenToWrite = 0;
  }
}

TEST_F(NiFraming, RawModeMovesBytesWithoutFrames) {
  int written = 0;
  ASSERT_EQ(Write("raw bytes", NI_BLOCK, &written, NI_RAW_IO), QEL_O_K);
  EXPECT_EQ(Wire().outbound, "raw bytes");
  Wire().inbound = "abcdef";
  std::string out;
  ASSERT_EQ(Read(&out, 4, NI_BLOCK, NI_RAW_IO), QEL_O_K);
  EXPECT_EQ(out, "abcd");
  EXPECT_EQ(Read(&out, 0, NI_BLOCK, NI_RAW_IO), NIETOO_SMALL);
  EXPECT_EQ(Read(&out, 8, NI_BLOCK, 7), NIEINTERN);
}

TEST_F(NiFraming, FragmentationTestMovesOneByteAtATime) {
  parcel::ni::Library().settings.fragment_test = 1;
  Wire().inbound = Frame("fragmented");
  std::string message, out;
  int rc, timeouts = 0;
  while ((rc = Read(&out, 64, 5)) == NIETIMEOUT) {
    message += out;
    ++timeouts;
  }
  ASSERT_EQ(rc, QEL_O_K);
  EXPECT_EQ(message + out, "fragmented");
  EXPECT_GT(timeouts, 0);
  for (std::size_t size : Wire().send_sizes) EXPECT_EQ(size, 1u);
  int written = 0, total = 0;
  const std::string text = "0123456789";
  while ((rc = Write(text.substr(static_cast<std::size_t>(total)), 5, &written)) == NIETIMEOUT) {
    total += written;
  }
  ASSERT_EQ(rc, QEL_O_K);
  EXPECT_EQ(Wire().outbound, Frame(text));
  for (std::size_t size : Wire().send_sizes) EXPECT_EQ(size, 1u);
}

TEST_F(NiFraming, FragmentedMebibyteArrivesIntact) {
  parcel::ni::Library().settings.fragment_test = 1;
  std::vector<unsigned char> payload(std::size_t{1} << 20);
  for (std::size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<unsigned char>(i * 7 + (i >> 11));
  }
  const int size = static_cast<int>(payload.size());
  int written = 0, sent = 0, rc;
  while ((rc = NiIWrite(handle_, payload.data() + sent, size - sent, 5, NI_MESG_IO, &written)) ==
         NIETIMEOUT) {
    sent += written;
  }
  ASSERT_EQ(rc, QEL_O_K);
  Wire().inbound = Wire().outbound;
  std::vector<unsigned char> message(payload.size());
  int received = 0, got = 0;
  while ((rc = NiIRead(handle_, message.data() + got, size - got, 5, NI_MESG_IO, &received)) ==
         NIETIMEOUT) {
    got += received;
  }
  ASSERT_EQ(rc, QEL_O_K);
  EXPECT_EQ(got + received, size);
  EXPECT_TRUE(message == payload);
}

TEST_F(NiFraming, QueueTestBlocksRunsOfCalls) {
  // One blocked call in every run, each followed by one that goes through.
  parcel::ni::Library().settings.queue_test_count = 1;
  parcel::ni::Library().settings.queue_test_probability = 100;
  std::string pattern;
  int written = 0;
  for (int i = 0; i < 8; ++i) pattern += Write("q", 0, &written) == NIETIMEOUT ? 'T' : '.';
  EXPECT_EQ(pattern, "T.T.T.T.");
  EXPECT_EQ(Wire().outbound, Frame("q") + Frame("q") + Frame("q") + Frame("q"));

  // Runs of three; which calls start a run is random.
  parcel::ni::Library().settings.queue_test_count = 3;
  pattern.clear();
  for (int i = 0; i < 300; ++i) pattern += Write("q", 0, &written) == NIETIMEOUT ? 'T' : '.';
  std::size_t runs = 0;
  for (std::size_t at = pattern.find('T'); at != std::string::npos;
       at = pattern.find('T', at + 3)) {
    ++runs;
    if (at + 3 > pattern.size()) continue;
    EXPECT_EQ(pattern.substr(at, 3), "TTT") << pattern;
    if (at + 3 < pattern.size()) {
      EXPECT_EQ(pattern[at + 3], '.') << pattern;
    }
  }
  EXPECT_GT(runs, 10u) << pattern;
}

}  // namespace
