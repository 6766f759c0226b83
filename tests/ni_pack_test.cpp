// Packing over the network library: the protocol's framing of large
// transfers, the endpoint syntax, and the server with the real module on a
// loopback port, driven by the client and by raw peers.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "errinfo/errinfo.h"
#include "host/interpreter_pool.h"
#include "host/job_description.h"
#include "host/module.h"
#include "host/ni/pack_client.h"
#include "host/ni/pack_protocol.h"
#include "host/ni/pack_server.h"
#include "host/response_check.h"
#include "host/transfer_form.h"
#include "ni/ni_buf.h"
#include "ni/ni_cxx.h"
#include "ni/nii.h"
#include "platform/dynamic_library.h"
#include "platform/process.h"

namespace parcel::host {
namespace {

using Step = TransferAssembler::Step;
constexpr std::size_t kMiB = std::size_t{1} << 20;

std::string Framed(std::string_view payload) {
  const auto n = static_cast<std::uint32_t>(payload.size());
  std::string out{static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8),
                  static_cast<char>(n)};
  return out + std::string(payload);
}

std::string Padded(std::string text, std::size_t size) {
  text.resize(size, ' ');
  return text;
}

TEST(PackProtocol, AssemblerTakesOneMessageOrAHeaderAndPieces) {
  struct Case {
    const char* name;
    std::uint64_t limit;
    std::vector<std::string> messages;
    std::vector<Step> steps;
    std::size_t assembled;  // size of the result of the last kDone
  };
  const std::string piece(kMaxMessage, 'p');
  const std::string header = LargeHeader(2 * kMaxMessage + 5);
  const std::vector<Case> cases = {
      {"one message", 100, {"TransMagic..."}, {Step::kDone}, 13},
      {"an empty message", 100, {""}, {Step::kDone}, 0},
      {"one message over the limit", 5, {"TransMagic"}, {Step::kTooLarge}, 0},
      {"header and pieces",
       UINT64_MAX,
       {header, piece, piece, "12345"},
       {Step::kMore, Step::kMore, Step::kMore, Step::kDone},
       2 * kMaxMessage + 5},
      {"two transfers in a row",
       UINT64_MAX,
       {"abc", LargeHeader(3), "xyz"},
       {Step::kDone, Step::kMore, Step::kDone},
       3},
      {"announced beyond the limit", 10, {LargeHeader(11)}, {Step::kTooLarge}, 0},
      {"size zero", 10, {LargeHeader(0)}, {Step::kMalformed}, 0},
      {"size not a number",
       100,
       {Padded(Padded("TransLarge", 16) + "12x", 32)},
       {Step::kMalformed},
       0},
      {"size missing", 100, {Padded("TransLarge", 32)}, {Step::kMalformed}, 0},
      {"header too long", 100, {LargeHeader(5) + " "}, {Step::kMalformed}, 0},
      {"text inside the magic field",
       100,
       {"TransLargeX" + LargeHeader(5).substr(11)},
       {Step::kMalformed},
       0},
      {"a short piece before the last",
       UINT64_MAX,
       {header, "tiny"},
       {Step::kMore, Step::kMalformed},
       0},
      {"a piece past the end", 100, {LargeHeader(3), "abcd"}, {Step::kMore, Step::kMalformed}, 0},
      {"after a refusal the next message stands alone",
       100,
       {LargeHeader(3), "abcd", "ok"},
       {Step::kMore, Step::kMalformed, Step::kDone},
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TransferAssembler assembler(c.limit);
    ASSERT_EQ(c.messages.size(), c.steps.size());
    std::size_t assembled = 0;
    for (std::size_t k = 0; k < c.messages.size(); ++k) {
      EXPECT_EQ(assembler.Add(c.messages[k]), c.steps[k]) << "message " << k;
      if (c.steps[k] == Step::kDone) assembled = assembler.Take().size();
    }
    EXPECT_EQ(assembled, c.assembled);
    EXPECT_FALSE(assembler.InProgress());
  }
}

TEST(PackProtocol, HeaderLayoutAndPieceCount) {
  EXPECT_EQ(LargeHeader(123456789), "TransLarge      123456789       ");
  EXPECT_EQ(PiecesOf(0), 1u);
  EXPECT_EQ(PiecesOf(kMaxMessage), 1u);
  EXPECT_EQ(PiecesOf(kMaxMessage + 1), 3u);
  EXPECT_EQ(PiecesOf(3 * kMaxMessage), 4u);
}

TEST(PackProtocol, Endpoints) {
  struct Case {
    const char* text;
    const char* host;  // null: refused
    unsigned short port;
  } cases[] = {
      {"127.0.0.1:3300", "127.0.0.1", 3300},
      {"localhost:1", "localhost", 1},
      {"[::1]:65535", "::1", 65535},
      {"[fe80::1%eth0]:80", "fe80::1%eth0", 80},
      {"::1:80", nullptr, 0},
      {"host", nullptr, 0},
      {"host:", nullptr, 0},
      {":80", nullptr, 0},
      {"host:0", nullptr, 0},
      {"host:65536", nullptr, 0},
      {"host:8o", nullptr, 0},
      {"host:123456", nullptr, 0},
      {"[::1]80", nullptr, 0},
      {"[::1", nullptr, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    NiEndpoint endpoint;
    std::string error;
    const bool parsed = ParseNiEndpoint(c.text, &endpoint, &error);
    EXPECT_EQ(parsed, c.host != nullptr) << error;
    if (c.host != nullptr && parsed) {
      EXPECT_EQ(endpoint.host, c.host);
      EXPECT_EQ(endpoint.port, c.port);
    }
    if (!parsed) {
      EXPECT_NE(error.find(c.text), std::string::npos);
    }
  }
}

// A request for `files` (name, content), as `pack` builds it.
std::string MakeRequest(const std::vector<std::pair<std::string, std::string>>& files) {
  std::vector<JobFile> jobs;
  for (const auto& [name, content] : files) jobs.push_back({"dir", name, content.size()});
  const std::string description = BuildJobDescription(jobs);
  RequestBuilder builder;
  builder.AddTable("META", description);
  for (std::size_t k = 0; k < files.size(); ++k) {
    builder.AddTable("FILE" + std::to_string(k + 1), files[k].second);
  }
  return builder.Build();
}

std::string Noise(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string out(size, '\0');
  for (char& c : out) c = static_cast<char>(random());
  return out;
}

class NiPackServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string path = platform::ExecutableDirectory() + platform::ModuleFileName("parcel");
    std::string error;
    ASSERT_TRUE(module_.Load(path, &error)) << error;
    ASSERT_TRUE(pool_.Create(module_, 1, &error)) << error;
    descriptors_ = platform::OpenDescriptorCount();
    // The test's clients are a program of their own in the same process:
    // they count their start, so that the server's end does not end the
    // library under a client that still holds a handle.
    ASSERT_EQ(NiInit(), NI_OK);
  }
  void TearDown() override {
    if (server_) server_->Stop(std::chrono::seconds(5));
    server_.reset();
    // Ending the library frees what every handle held, so what is left is a
    // message never released.
    NiExit();
    if (ni::Library().table != nullptr) NiIExit();
    EXPECT_EQ(ni::NiILiveBlocks(), 0);
    if (descriptors_ >= 0) {
      EXPECT_EQ(platform::OpenDescriptorCount(), descriptors_);
    }
  }

  void Start(std::uint64_t max_request = 64u << 20, std::uint64_t idle_seconds = 60) {
    NiServeOptions options;
    options.listen = "127.0.0.1";
    options.local_socket = false;
    options.workers = 1;
    options.quiet = true;
    options.max_request = max_request;
    options.idle_timeout_seconds = idle_seconds;
    server_ = std::make_unique<NiPackServer>(&pool_, options);
    std::string error;
    ASSERT_TRUE(server_->Start(&error)) << error;
    endpoint_ = {"127.0.0.1", server_->port()};
  }

  // What the module answers locally: the archive of the response.
  std::string LocalArchive(std::string request) {
    std::string response;
    EXPECT_TRUE(pool_.Run(&request, &response));
    return ArchiveOf(response);
  }
  // The archive of a response, with the entries' times zeroed: the module
  // stamps them with the time of packing.
  static std::string ArchiveOf(const std::string& response) {
    ResponseCheck check = CheckResponse(response);
    EXPECT_EQ(check.status, ResponseStatus::kArchive) << check.reason;
    if (check.archive() == nullptr) return std::string();
    std::string archive(check.archive()->data);
    auto u16 = [&](std::size_t at) {
      return static_cast<std::size_t>(static_cast<unsigned char>(archive[at]) |
                                      static_cast<unsigned char>(archive[at + 1]) << 8);
    };
    for (const ZipEntry& entry : check.entries) {
      std::memset(archive.data() + entry.local_header_offset + 10, 0, 4);
    }
    const std::size_t end = archive.size() - 22;
    std::size_t at = u16(end + 16) | u16(end + 18) << 16;
    for (std::size_t k = 0; k < check.entries.size(); ++k) {
      std::memset(archive.data() + at + 12, 0, 4);
      at += 46 + u16(at + 28) + u16(at + 30) + u16(at + 32);
    }
    return archive;
  }

  // A buffered connection that first sends `raw` bytes as they are.
  ni::Handle RawPeer(std::string_view raw) {
    ni::Handle peer;
    EXPECT_EQ(ni::Handle::Connect("127.0.0.1", endpoint_.port, 5000, &peer), NI_OK);
    int written = 0;
    if (!raw.empty()) {
      EXPECT_EQ(NiWriteRaw(peer.get(), raw.data(), static_cast<int>(raw.size()), 5000, &written),
                NI_OK);
    }
    EXPECT_EQ(NiSetBuffered(peer.get()), NI_OK);
    return peer;
  }

  Module module_;
  InterpreterPool pool_;
  std::unique_ptr<NiPackServer> server_;
  NiEndpoint endpoint_;
  int descriptors_ = -1;
};

TEST_F(NiPackServerTest, AnswersAsTheModuleDoesRequestAfterRequest) {
  Start();
  const std::vector<std::string> requests = {
      MakeRequest({{"a.txt", "hello"}}),
      MakeRequest({{"b.txt", std::string(100000, 'b')}, {"c.bin", Noise(5000, 1)}}),
      MakeRequest({{"d.txt", "last"}}),
  };
  // One connection carries them all; a check message in between is answered
  // by the buffered layer, not the server.
  ni::Handle peer = RawPeer("");
  for (const std::string& request : requests) {
    ASSERT_EQ(SendTransfer(peer.get(), request, 5000), NI_OK);
    NIBUF* message = nullptr;
    ASSERT_EQ(NiReceive(peer.get(), &message, 30000), NI_OK);
    std::string response(static_cast<const char*>(NiBufData(message)),
                         static_cast<std::size_t>(NiBufLength(message)));
    NiBufFree(&message);
    EXPECT_TRUE(ArchiveOf(response) == LocalArchive(request));
    EXPECT_EQ(NiPing(peer.get(), 5000), NI_OK);
  }
  // The client gives the same.
  std::string response;
  const RemoteResult result = ExchangeOverNi(endpoint_, requests[1], 30000, &response);
  ASSERT_EQ(result.status, RemoteStatus::kOk) << result.message;
  EXPECT_TRUE(ArchiveOf(response) == LocalArchive(requests[1]));
  EXPECT_EQ(server_->counters().answered, 4u);
}

TEST_F(NiPackServerTest, LargeRequestsAndAnswersTravelInPieces) {
  Start();
  // Incompressible: the answer is as large as the request.
  const std::string request = MakeRequest({{"noise.bin", Noise(12 * kMiB, 7)}});
  ASSERT_GT(request.size(), kMaxMessage);
  std::string response;
  const RemoteResult result = ExchangeOverNi(endpoint_, request, 60000, &response);
  ASSERT_EQ(result.status, RemoteStatus::kOk) << result.message;
  EXPECT_GT(response.size(), kMaxMessage);
  EXPECT_TRUE(ArchiveOf(response) == LocalArchive(request));
}

TEST_F(NiPackServerTest, RefusalsCarryTheCodeAndEndTheConnection) {
#ifdef PARCEL_TSAN_BUILD
  // The error information is one unlocked record per process, by design:
  // a client and a server that both fail in one process write it at once.
  GTEST_SKIP() << "client and server would share the process's error information";
#endif
  Start(/*max_request=*/16 * kMiB);
  struct Case {
    const char* name;
    std::string raw;
    int code;
  };
  const Case cases[] = {
      {"a frame of 8 MiB + 1", std::string("\x00\x80\x00\x01", 4) + "xy", NIETOO_BIG},
      {"an HTTP request instead of a frame", "GET / HTTP/1.1\r\nHost: x\r\n\r\n", NIETOO_BIG},
      {"a transfer beyond the limit", Framed(LargeHeader(16 * kMiB + 1)), NIETOO_BIG},
      {"a malformed header", Framed(Padded(Padded("TransLarge", 16) + "-5", 32)), NIEINVAL},
      {"a piece of the wrong size", Framed(LargeHeader(9 * kMiB)) + Framed("short"), NIEINVAL},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // An unbuffered peer reads the report as it comes on the wire: the
    // process's error information is the server's as well here, and its
    // loop thread may write it at any moment.
    ni::Handle peer;
    ASSERT_EQ(ni::Handle::Connect("127.0.0.1", endpoint_.port, 5000, &peer), NI_OK);
    int written = 0;
    ASSERT_EQ(NiWriteRaw(peer.get(), c.raw.data(), static_cast<int>(c.raw.size()), 5000, &written),
              NI_OK);
    std::vector<unsigned char> frame(64 * 1024);
    ni::ControlMessage report{};
    bool reported = false;
    for (int k = 0; k < 4 && !reported; ++k) {
      int received = 0;
      ASSERT_EQ(NiRead(peer.get(), frame.data(), static_cast<int>(frame.size()), 30000, &received),
                NI_OK);
      reported =
          ni::ParseControlMessage(frame.data(), static_cast<std::size_t>(received), &report) &&
          report.opcode == ni::kOpError;
    }
    ASSERT_TRUE(reported);
    EXPECT_EQ(report.rc, c.code);
    const std::string record(reinterpret_cast<const char*>(report.errinfo),
                             static_cast<std::size_t>(report.errinfo_length));
    std::vector<std::string> fields;
    for (std::size_t at = 0; at < record.size();) {
      const std::size_t end = std::min(record.find('\0', at), record.size());
      fields.push_back(record.substr(at, end - at));
      at = end + 1;
    }
    ASSERT_GT(fields.size(), std::size_t{parcel::errinfo::kErrFieldComponent});
    EXPECT_EQ(fields[parcel::errinfo::kErrFieldComponent], kServerComponent);
    EXPECT_NE(fields[parcel::errinfo::kErrFieldError], "");
    // Then the server ends the connection.
    int received = 0;
    EXPECT_EQ(NiRead(peer.get(), frame.data(), static_cast<int>(frame.size()), 30000, &received),
              NIECONN_BROKEN);
  }
  // The client names the limit, and the server goes on answering.
  std::string response;
  RemoteResult result =
      ExchangeOverNi(endpoint_, MakeRequest({{"big", Noise(17 * kMiB, 3)}}), 60000, &response);
  EXPECT_EQ(result.status, RemoteStatus::kTooLarge);
  EXPECT_NE(result.message.find("limit of 16777216 bytes"), std::string::npos) << result.message;
  result = ExchangeOverNi(endpoint_, MakeRequest({{"ok", "fine"}}), 30000, &response);
  EXPECT_EQ(result.status, RemoteStatus::kOk) << result.message;
  EXPECT_EQ(server_->counters().refused, std::size(cases) + 1);
}

TEST_F(NiPackServerTest, SilentAndSlowClientsHoldNoWorker) {
  Start();
  // One worker; ten connections that never finish a request.
  std::vector<ni::Handle> stalled;
  for (int k = 0; k < 5; ++k) stalled.push_back(RawPeer(""));
  for (int k = 0; k < 5; ++k) stalled.push_back(RawPeer(std::string("\x00\x00\x01", 3)));
  std::string response;
  const RemoteResult result =
      ExchangeOverNi(endpoint_, MakeRequest({{"a.txt", "through"}}), 30000, &response);
  EXPECT_EQ(result.status, RemoteStatus::kOk) << result.message;
  EXPECT_GE(server_->counters().open, 10u);
}

TEST_F(NiPackServerTest, StopAnswersTheRequestInFlightFirst) {
  Start();
  const std::string request = MakeRequest({{"noise.bin", Noise(12 * kMiB, 9)}});
  std::string response;
  RemoteResult result;
  std::thread client([&] { result = ExchangeOverNi(endpoint_, request, 60000, &response); });
  // Stopped once the request is with a worker: the answer still goes out.
  for (int k = 0; k < 30000 && server_->counters().running == 0; ++k) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(server_->counters().running, 1u);
  server_->Stop(std::chrono::seconds(30));
  client.join();
  ASSERT_EQ(result.status, RemoteStatus::kOk) << result.message;
  EXPECT_TRUE(ArchiveOf(response) == LocalArchive(request));
  // And nobody else gets in.
  RemoteResult late = ExchangeOverNi(endpoint_, MakeRequest({{"a", "b"}}), 5000, &response);
  EXPECT_EQ(late.status, RemoteStatus::kUnreachable);
  server_.reset();
}

TEST_F(NiPackServerTest, IdleConnectionsAreClosedAndUnreachableServersNamed) {
  Start(64u << 20, /*idle_seconds=*/1);
  ni::Handle peer = RawPeer(std::string("\x00\x00", 2));
  NIBUF* message = nullptr;
  EXPECT_EQ(NiReceive(peer.get(), &message, 30000), NIECONN_BROKEN);
  EXPECT_EQ(server_->counters().timed_out, 1u);
  peer = ni::Handle();

  const NiEndpoint gone{"127.0.0.1", endpoint_.port};
  server_->Stop(std::chrono::seconds(1));
  server_.reset();
  std::string response;
  const RemoteResult result = ExchangeOverNi(gone, MakeRequest({{"a", "b"}}), 5000, &response);
  EXPECT_EQ(result.status, RemoteStatus::kUnreachable);
  EXPECT_NE(result.message.find("127.0.0.1:" + std::to_string(gone.port)), std::string::npos)
      << result.message;
}

}  // namespace
}  // namespace parcel::host
