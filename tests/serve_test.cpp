// Tests of the HTTP host's parts: the output store, uploads turned into
// requests, and access log lines. The server itself is tested end to end by
// serve_e2e.py.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "data/orb_data.h"
#include "host/access_log.h"
#include "host/serve/archive_listing.h"
#include "host/serve/output_store.h"
#include "host/serve/upload.h"
#include "host/serve/upload_page.h"
#include "tests/tiny_zip.h"

namespace {

namespace fs = std::filesystem;
using parcel::host::OutputStore;
using parcel::host::UploadCollector;
using parcel::host::UploadError;
using Put = OutputStore::PutStatus;
using Get = OutputStore::GetStatus;

std::string ReadAll(std::FILE* file) {
  std::string out;
  char buffer[4096];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) out.append(buffer, got);
  return out;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class OutputStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() /
        ("parcel-store-test-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A store in dir_ whose clock is now_.
  OutputStore::Options Options(std::uint64_t max_bytes = 1000, int expiry_seconds = 10) {
    OutputStore::Options options;
    options.directory = dir_;
    options.max_bytes = max_bytes;
    options.expiry = std::chrono::seconds(expiry_seconds);
    options.now = [this] { return now_; };
    return options;
  }

  void Advance(int seconds) { now_ += std::chrono::seconds(seconds); }

  Put PutOne(OutputStore& store, const std::string& name, const std::string& bytes,
             std::string* token = nullptr) {
    std::string ignored, error;
    return store.Put(name, bytes, "", token != nullptr ? token : &ignored, &error);
  }

  // The archive's bytes when `token` opens it; the status otherwise.
  std::string Fetch(OutputStore& store, const std::string& name, const std::string& token,
                    bool check = true) {
    OutputStore::Download download;
    switch (store.Get(name, token, check, &download)) {
      case Get::kFound: return ReadAll(download.file.get());
      case Get::kForbidden: return "<forbidden>";
      case Get::kNotFound:
      default: return "<not found>";
    }
  }

  fs::path dir_;
  OutputStore::Clock::time_point now_ = OutputStore::Clock::time_point() + std::chrono::hours(1);
};

TEST_F(OutputStoreTest, ServesAnArchiveOnlyWithItsOwnToken) {
  OutputStore store;
  std::string error;
  ASSERT_TRUE(store.Open(Options(), &error)) << error;
  std::string token_a, token_b;
  ASSERT_EQ(PutOne(store, "zipfile_1.zip", "archive one", &token_a), Put::kStored);
  ASSERT_EQ(PutOne(store, "zipfile_2.zip", "archive two", &token_b), Put::kStored);
  EXPECT_EQ(token_a.size(), 32u);
  EXPECT_NE(token_a, token_b);

  EXPECT_EQ(Fetch(store, "zipfile_1.zip", token_a), "archive one");
  EXPECT_EQ(Fetch(store, "zipfile_1.zip", token_b), "<forbidden>");
  EXPECT_EQ(Fetch(store, "zipfile_1.zip", ""), "<forbidden>");
  EXPECT_EQ(Fetch(store, "zipfile_1.zip", token_a + "0"), "<forbidden>");
  EXPECT_EQ(Fetch(store, "zipfile_1.zip", token_a.substr(1)), "<forbidden>");
  EXPECT_EQ(Fetch(store, "zipfile_2.zip", "", /*check=*/false), "archive two");
  EXPECT_EQ(Fetch(store, "zipfile_3.zip", token_a), "<not found>");
  EXPECT_EQ(Fetch(store, ".parcel-store", "", false), "<not found>");
  EXPECT_EQ(ReadFile(dir_ / "zipfile_2.zip"), "archive two");
}

TEST_F(OutputStoreTest, NeverOverwritesATakenName) {
  OutputStore store;
  std::string error, token;
  ASSERT_TRUE(store.Open(Options(), &error)) << error;
  ASSERT_EQ(PutOne(store, "zipfile_1.zip", "first", &token), Put::kStored);
  std::string second_token = "unchanged";
  EXPECT_EQ(PutOne(store, "zipfile_1.zip", "second", &second_token), Put::kNameTaken);
  EXPECT_EQ(Fetch(store, "zipfile_1.zip", token), "first");
  EXPECT_EQ(store.stats().bytes, 5u);

  // A file that appeared in the directory by other means is not overwritten
  // either, and the refused archive counts for nothing.
  std::ofstream(dir_ / "zipfile_2.zip") << "someone else's";
  EXPECT_EQ(PutOne(store, "zipfile_2.zip", "mine", &second_token), Put::kNameTaken);
  EXPECT_TRUE(second_token.empty());
  EXPECT_EQ(ReadFile(dir_ / "zipfile_2.zip"), "someone else's");
  EXPECT_EQ(store.stats().archives, 1u);
  EXPECT_EQ(store.stats().bytes, 5u);
}

TEST_F(OutputStoreTest, OneOfManyConcurrentPutsOfOneNameWins) {
  OutputStore store;
  std::string error;
  ASSERT_TRUE(store.Open(Options(100000), &error)) << error;
  std::atomic<int> stored{0}, taken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      Put status = PutOne(store, "zipfile_1.zip", std::string(1000, char('a' + i)));
      (status == Put::kStored ? stored : taken)++;
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(stored.load(), 1);
  EXPECT_EQ(taken.load(), 7);
  EXPECT_EQ(ReadFile(dir_ / "zipfile_1.zip").size(), 1000u);
}

TEST_F(OutputStoreTest, FullUntilTheOldestExpire) {
  OutputStore store;
  std::string error, token_a, token_b, token_c;
  ASSERT_TRUE(store.Open(Options(100, 10), &error)) << error;
  ASSERT_EQ(PutOne(store, "a.zip", std::string(40, 'a'), &token_a), Put::kStored);
  Advance(4);
  ASSERT_EQ(PutOne(store, "b.zip", std::string(40, 'b'), &token_b), Put::kStored);
  ASSERT_EQ(PutOne(store, "exact.zip", std::string(21, 'x')), Put::kFull);
  EXPECT_EQ(store.RetryAfter(), std::chrono::seconds(6));  // until a.zip expires
  EXPECT_EQ(PutOne(store, "huge.zip", std::string(101, 'h')), Put::kTooLarge);

  Advance(5);  // a.zip stays one second short of its expiry
  EXPECT_EQ(PutOne(store, "c.zip", std::string(40, 'c')), Put::kFull);
  EXPECT_EQ(Fetch(store, "a.zip", token_a), std::string(40, 'a'));
  OutputStore::Download download;
  ASSERT_EQ(store.Get("a.zip", token_a, true, &download), Get::kFound);
  EXPECT_EQ(download.expires_in, std::chrono::seconds(1));
  Advance(1);  // a.zip expires; b.zip does not
  ASSERT_EQ(PutOne(store, "c.zip", std::string(60, 'c'), &token_c), Put::kStored);
  EXPECT_EQ(Fetch(store, "a.zip", token_a), "<not found>");
  EXPECT_FALSE(fs::exists(dir_ / "a.zip"));
  EXPECT_EQ(Fetch(store, "b.zip", token_b), std::string(40, 'b'));
  EXPECT_EQ(store.stats().bytes, 100u);

  Advance(10);
  store.Sweep();
  EXPECT_EQ(store.stats().archives, 0u);
  EXPECT_EQ(store.RetryAfter(), std::chrono::seconds(10));
  // An expired name is free again.
  EXPECT_EQ(PutOne(store, "a.zip", "again"), Put::kStored);
}

TEST_F(OutputStoreTest, RefusesNamesThatCouldLeaveTheDirectory) {
  OutputStore store;
  std::string error;
  ASSERT_TRUE(store.Open(Options(), &error)) << error;
  const std::vector<std::string> names = {"",
                                          ".",
                                          "..",
                                          ".parcel-store",
                                          "../x.zip",
                                          "a/b.zip",
                                          "a\\b.zip",
                                          "/etc/passwd",
                                          "with space.zip",
                                          std::string("nul\0.zip", 8),
                                          "caf\xc3\xa9.zip",
                                          std::string(256, 'n')};
  for (const std::string& name : names) {
    EXPECT_EQ(PutOne(store, name, "x"), Put::kBadName) << name;
  }
  EXPECT_EQ(PutOne(store, std::string(255, 'n'), "x"), Put::kStored);
  EXPECT_EQ(PutOne(store, "Zip-file_1.2.zip", "x"), Put::kStored);
}

TEST_F(OutputStoreTest, DirectoryRules) {
  std::string error;
  {
    OutputStore store;
    ASSERT_TRUE(store.Open(Options(), &error)) << error;
    ASSERT_EQ(PutOne(store, "kept.zip", "x"), Put::kStored);
    OutputStore rival;
    EXPECT_FALSE(rival.Open(Options(), &error));
    EXPECT_NE(error.find("another server uses"), std::string::npos) << error;
  }
  // Closing removed the archives and kept the marked directory, which opens
  // again and loses what was left in it.
  EXPECT_FALSE(fs::exists(dir_ / "kept.zip"));
  std::ofstream(dir_ / "leftover.zip") << "old";
  {
    OutputStore store;
    ASSERT_TRUE(store.Open(Options(), &error)) << error;
    EXPECT_FALSE(fs::exists(dir_ / "leftover.zip"));
  }
  // A directory with something else in it is not taken.
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  std::ofstream(dir_ / "precious.txt") << "mine";
  OutputStore store;
  EXPECT_FALSE(store.Open(Options(), &error));
  EXPECT_NE(error.find("neither empty nor a store directory"), std::string::npos) << error;
  EXPECT_EQ(ReadFile(dir_ / "precious.txt"), "mine");
}

TEST_F(OutputStoreTest, EachOwnerKeepsToItsShare) {
  OutputStore::Options options = Options(1000, 10);
  options.owner_bytes = 100;
  OutputStore store;
  std::string error, token;
  ASSERT_TRUE(store.Open(options, &error)) << error;
  auto put = [&](const std::string& name, std::size_t size, const std::string& owner) {
    return store.Put(name, std::string(size, 'x'), owner, &token, &error);
  };
  ASSERT_EQ(put("a1.zip", 60, "10.0.0.1"), Put::kStored);
  Advance(3);
  ASSERT_EQ(put("a2.zip", 40, "10.0.0.1"), Put::kStored);  // exactly the share
  EXPECT_EQ(put("a3.zip", 1, "10.0.0.1"), Put::kOwnerFull);
  EXPECT_EQ(store.RetryAfter("10.0.0.1"), std::chrono::seconds(7));  // until a1.zip expires
  EXPECT_EQ(put("b1.zip", 100, "10.0.0.2"), Put::kStored);
  EXPECT_EQ(put("b2.zip", 101, "10.0.0.3"), Put::kTooLarge);
  store.Remove("a1.zip");
  EXPECT_EQ(put("a3.zip", 60, "10.0.0.1"), Put::kStored);
  EXPECT_EQ(store.stats().bytes, 200u);
}

TEST_F(OutputStoreTest, RemoveTakesTheArchiveAndItsRoom) {
  OutputStore store;
  std::string error, token;
  ASSERT_TRUE(store.Open(Options(100), &error)) << error;
  ASSERT_EQ(PutOne(store, "gone.zip", std::string(100, 'g'), &token), Put::kStored);
  ASSERT_EQ(PutOne(store, "next.zip", "n"), Put::kFull);
  store.Remove("gone.zip");
  store.Remove("never.zip");
  EXPECT_EQ(Fetch(store, "gone.zip", token), "<not found>");
  EXPECT_FALSE(fs::exists(dir_ / "gone.zip"));
  EXPECT_EQ(store.stats().archives, 0u);
  EXPECT_EQ(PutOne(store, "next.zip", std::string(100, 'n')), Put::kStored);
  // Nothing but the archive and the marker is left of writing it.
  std::vector<std::string> names;
  for (const auto& item : fs::directory_iterator(dir_)) names.push_back(item.path().filename());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".parcel-store", "next.zip"}));
}

TEST_F(OutputStoreTest, StartUpRemovesOnlyItsOwnFiles) {
  std::string error;
  {
    OutputStore first;
    ASSERT_TRUE(first.Open(Options(), &error)) << error;
  }
  const fs::path outside = dir_.string() + "-outside.zip";
  std::ofstream(outside) << "not the store's";
  std::ofstream(dir_ / "zipfile_9.zip") << "archive of an earlier run";
  std::ofstream(dir_ / ".partial-0123") << "cut short by a crash";
  std::ofstream(dir_ / "notes.txt") << "someone's";
  fs::create_directories(dir_ / "folder.zip");
  std::ofstream(dir_ / "folder.zip" / "inner.zip") << "inner";
  fs::create_symlink(outside, dir_ / "link.zip");
  {
    OutputStore store;
    ASSERT_TRUE(store.Open(Options(), &error)) << error;
  }
  EXPECT_FALSE(fs::exists(dir_ / "zipfile_9.zip"));
  EXPECT_FALSE(fs::exists(dir_ / ".partial-0123"));
  EXPECT_EQ(ReadFile(dir_ / "notes.txt"), "someone's");
  EXPECT_EQ(ReadFile(dir_ / "folder.zip" / "inner.zip"), "inner");
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.zip"));
  EXPECT_EQ(ReadFile(outside), "not the store's");
  fs::remove(outside);
}

TEST_F(OutputStoreTest, DefaultDirectoryIsNewAndGoesWithTheStore) {
  fs::path made;
  {
    OutputStore store;
    OutputStore::Options options = Options();
    options.directory.clear();
    std::string error;
    ASSERT_TRUE(store.Open(options, &error)) << error;
    made = store.directory();
    EXPECT_EQ(made.parent_path(), fs::temp_directory_path());
    ASSERT_EQ(PutOne(store, "a.zip", "x"), Put::kStored);
  }
  EXPECT_FALSE(fs::exists(made));
}

// Reads a built request back with the module's own container.
class RequestReader {
 public:
  explicit RequestReader(std::string request) : request_(std::move(request)) {
    loaded_ = data_.ReadTransfer(request_.data(), static_cast<std::uint32_t>(request_.size())) == 0;
  }
  bool loaded() const { return loaded_; }
  int count() { return data_.GetTableCount(); }
  std::string Table(int index) {
    std::size_t size =
        static_cast<std::size_t>(data_.GetTableLineWidth(index)) * data_.GetTableLineCount(index);
    return std::string(data_.GetTableData(index), size);
  }

 private:
  std::string request_;
  OrbData data_;
  bool loaded_ = false;
};

struct Part {
  std::string field;
  std::string file_name;
  std::string content;
};

// Feeds `parts` in order, each part's content in pieces of `piece` bytes.
bool Feed(UploadCollector& collector, const std::vector<Part>& parts, std::size_t piece = 3) {
  for (const Part& part : parts) {
    if (!collector.BeginPart(part.field, part.file_name)) return false;
    for (std::size_t at = 0; at < part.content.size(); at += piece) {
      if (!collector.AddContent(std::string_view(part.content).substr(at, piece))) return false;
    }
  }
  return collector.Finish();
}

TEST(UploadPaths, NormalizeEntryPathKeepsNothingThatClimbs) {
  using enum parcel::host::PathProblem;
  const std::vector<std::tuple<std::string, parcel::host::PathProblem, std::string>> cases = {
      {"", kNone, ""},
      {"docs", kNone, "docs"},
      {"/a/b\\c/", kNone, "a\\b\\c"},
      {"\\\\server\\share\\x", kNone, "server\\share\\x"},
      {"a//b", kNone, "a\\b"},
      {"...", kNone, "..."},
      {"C:\\Windows\\evil.txt", kNone, "Windows\\evil.txt"},
      {"c:evil.txt", kNone, "evil.txt"},
      {"C:\\", kNone, ""},
      {"1:x", kNone, "1:x"},
      {"caf\xc3\xa9/\xe6\x97\xa5", kNone, "caf\xc3\xa9\\\xe6\x97\xa5"},
      {"/a/./b", kDotLevel, ""},
      {"../../etc", kDotLevel, ""},
      {"a\\..", kDotLevel, ""},
      {"C:..\\x", kDotLevel, ""},
      {"a\tb", kControlCharacter, ""},
      {"a\x7f", kControlCharacter, ""},
      {"caf\xe9", kInvalidUtf8, ""},
      {"\xc0\xaf", kInvalidUtf8, ""},          // overlong '/'
      {"\xed\xa0\x80", kInvalidUtf8, ""},      // a surrogate
      {"\xf4\x90\x80\x80", kInvalidUtf8, ""},  // above U+10FFFF
      {"\xe6\x97", kInvalidUtf8, ""},          // cut short
  };
  for (const auto& [text, problem, expected] : cases) {
    std::string out = "unchanged";
    EXPECT_EQ(parcel::host::NormalizeEntryPath(text, &out), problem) << text;
    EXPECT_EQ(out, expected) << text;
  }
}

TEST(Upload, PathFieldsAndFileNamesMakeEntries) {
  UploadCollector collector({});
  ASSERT_TRUE(Feed(collector, {{"file", "top.txt", "top"},
                               {"path", "", "docs/2024"},
                               {"file", "a.txt", "alpha"},
                               {"title", "", "ignored text"},
                               {"upload", "sub/dir/b.bin", std::string("\0\xff", 2)},
                               {"file", "", ""},  // a file input left empty
                               {"path", "", ""},
                               {"file", "empty.txt", ""}}))
      << collector.message();
  const auto& files = collector.files();
  ASSERT_EQ(files.size(), 4u);
  std::vector<std::tuple<std::string, std::string, std::uint64_t>> got;
  for (const auto& f : files) got.emplace_back(f.path, f.name, f.size);
  EXPECT_EQ(got, (decltype(got){{"", "top.txt", 3},
                                {"docs\\2024", "a.txt", 5},
                                {"docs\\2024\\sub\\dir", "b.bin", 2},
                                {"", "empty.txt", 0}}));

  RequestReader request(collector.TakeRequest());
  ASSERT_TRUE(request.loaded());
  ASSERT_EQ(request.count(), 5);
  EXPECT_NE(
      request.Table(0).find("<FILE name=\"b.bin\" path=\"docs\\2024\\sub\\dir\" size=\"2\"/>"),
      std::string::npos)
      << request.Table(0);
  EXPECT_EQ(request.Table(1), "top");
  EXPECT_EQ(request.Table(2), "alpha");
  EXPECT_EQ(request.Table(3), std::string("\0\xff", 2));
  EXPECT_EQ(request.Table(4), "");
}

TEST(Upload, LimitsAndBadNames) {
  using enum UploadError;
  struct Case {
    const char* what;
    UploadCollector::Limits limits;
    std::vector<Part> parts;
    UploadError error;  // kNone: accepted
  };
  const std::string p200(200, 'p');
  auto name = [](std::size_t bytes) { return std::string(bytes, 'n'); };
  const std::vector<Case> cases = {
      {"files at the limit", {2, 100}, {{"f", "a", "x"}, {"f", "b", "y"}}, kNone},
      {"one file too many",
       {2, 100},
       {{"f", "a", "x"}, {"f", "b", "y"}, {"f", "c", "z"}},
       kTooLarge},
      {"bytes at the limit", {9, 6}, {{"f", "a", "xxx"}, {"f", "b", "yyy"}}, kNone},
      {"one byte too many", {9, 6}, {{"f", "a", "xxx"}, {"f", "b", "yyyy"}}, kTooLarge},
      {"name of 255 bytes", {}, {{"f", name(255), "x"}}, kNone},
      {"name of 256 bytes", {}, {{"f", name(256), "x"}}, kBadRequest},
      {"entry of 259 bytes", {}, {{"path", "", p200}, {"f", name(58), "x"}}, kNone},
      {"entry of 260 bytes", {}, {{"path", "", p200}, {"f", name(59), "x"}}, kBadRequest},
      {"path text too long", {}, {{"path", "", std::string(260, 'p')}}, kBadRequest},
      {"name of dots", {}, {{"f", "../..", "x"}}, kBadRequest},
      {"name of separators", {}, {{"f", "/", "x"}}, kBadRequest},
      {"control character", {}, {{"f", "a\nb", "x"}}, kBadRequest},
      {"control character in a path", {}, {{"path", "", "a\rb"}, {"f", "x", "x"}}, kBadRequest},
      {"dot level in a path", {}, {{"path", "", "a/../b"}, {"f", "x", "x"}}, kBadRequest},
      {"invalid UTF-8", {}, {{"f", "caf\xe9", "x"}}, kBadRequest},
      {"the same entry twice",
       {},
       {{"f", "a/b", "x"}, {"path", "", "a"}, {"f", "b", "y"}},
       kBadRequest},
      {"the same name in two folders", {}, {{"f", "a/b", "x"}, {"f", "b", "y"}}, kNone},
      {"delete character", {}, {{"f", "a\x7f", "x"}}, kBadRequest},
      {"no file", {}, {{"path", "", "docs"}, {"f", "", ""}}, kBadRequest},
      {"nothing", {}, {}, kBadRequest},
  };
  for (const Case& c : cases) {
    UploadCollector collector(c.limits);
    bool accepted = Feed(collector, c.parts);
    EXPECT_EQ(accepted, c.error == kNone) << c.what;
    EXPECT_EQ(collector.error(), c.error) << c.what;
    EXPECT_EQ(collector.message().empty(), accepted) << c.what;
  }
}

TEST(Upload, FirstErrorSticks) {
  UploadCollector collector({1, 100});
  ASSERT_TRUE(collector.BeginPart("f", "a"));
  ASSERT_FALSE(collector.BeginPart("f", "b"));
  const std::string message = collector.message();
  EXPECT_FALSE(collector.AddContent("more"));
  EXPECT_FALSE(collector.BeginPart("f", "bad\n"));
  EXPECT_FALSE(collector.Finish());
  EXPECT_EQ(collector.error(), UploadError::kTooLarge);
  EXPECT_EQ(collector.message(), message);
  EXPECT_EQ(collector.files().size(), 1u);
}

TEST(AccessLog, JsonStringsStayOnOneAsciiLine) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/plain", "\"/plain\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {"line\nbreak\r\t", "\"line\\u000abreak\\u000d\\u0009\""},
      {std::string("nul\0", 4), "\"nul\\u0000\""},
      {"caf\xc3\xa9\x7f", "\"caf\\u00c3\\u00a9\\u007f\""},
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(parcel::host::JsonString(text), expected);
  }
}

TEST(AccessLog, LineCarriesEveryField) {
  parcel::host::AccessRecord record;
  record.time = std::chrono::system_clock::time_point(std::chrono::milliseconds(86400123));
  record.id = "c0ffee00-7";
  record.remote = "::1";
  record.method = "GET";
  record.path = "/output/\"x\"";
  record.status = 404;
  record.bytes = 58;
  record.milliseconds = 1.25;
  EXPECT_EQ(parcel::host::AccessLogLine(record),
            "{\"time\":\"1970-01-02T00:00:00.123Z\",\"id\":\"c0ffee00-7\",\"remote\":\"::1\","
            "\"method\":\"GET\","
            "\"path\":\"/output/\\\"x\\\"\",\"status\":404,\"bytes\":58,\"ms\":1.250}");
  record.milliseconds = -1;
  EXPECT_NE(parcel::host::AccessLogLine(record).find("\"ms\":null}"), std::string::npos);
}

// An archive in an unnamed temporary file, as the store hands one out.
std::shared_ptr<std::FILE> TempArchive(const std::string& bytes) {
  std::shared_ptr<std::FILE> file(std::tmpfile(), [](std::FILE* f) { std::fclose(f); });
  EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file.get()), bytes.size());
  std::fflush(file.get());
  return file;
}

TEST(ArchiveListing, ReadsTheDirectoryWhereverTheTailLeavesIt) {
  parcel::testing::TinyZip small;
  small.Add("docs\\a.txt", "hello");
  small.Add("b.bin", std::string(70000, 'b'));  // the archive outgrows the tail
  parcel::testing::TinyZip many;                // a directory longer than the tail
  for (int k = 0; k < 2000; ++k) many.Add("folder\\entry-" + std::to_string(k) + ".txt", "x");
  struct Case {
    const char* what;
    std::string archive;
    std::size_t count;
  };
  const std::vector<Case> cases = {
      {"directory inside the tail", small.Finish(), 2},
      {"directory before a longest comment", small.Finish(std::string(0xFFFF, 'c')), 2},
      {"directory across the tail's start", many.Finish("note"), 2000},
  };
  for (const Case& c : cases) {
    auto file = TempArchive(c.archive);
    std::vector<parcel::host::ZipEntry> listed, read;
    std::string error;
    ASSERT_TRUE(parcel::host::ListArchive(file.get(), c.archive.size(),
                                          parcel::host::kMaxListedDirectory, &listed, &error))
        << c.what << ": " << error;
    ASSERT_TRUE(parcel::host::ReadZipDirectory(c.archive, &read, &error)) << c.what;
    ASSERT_EQ(listed.size(), c.count) << c.what;
    for (std::size_t k = 0; k < read.size(); ++k) {
      EXPECT_EQ(listed[k].name, read[k].name) << c.what;
      EXPECT_EQ(listed[k].size, read[k].size) << c.what;
      EXPECT_EQ(listed[k].compressed_size, read[k].compressed_size) << c.what;
    }
  }
}

TEST(ArchiveListing, RefusesWhatItCannotList) {
  parcel::testing::TinyZip zip;
  zip.Add("a", "xyz");
  const std::string good = zip.Finish();
  std::vector<parcel::host::ZipEntry> entries;
  std::string error;
  // A directory over the cap is never read.
  auto file = TempArchive(good);
  EXPECT_FALSE(parcel::host::ListArchive(file.get(), good.size(), zip.directory.size() - 1,
                                         &entries, &error));
  EXPECT_NE(error.find("too large"), std::string::npos) << error;
  EXPECT_TRUE(
      parcel::host::ListArchive(file.get(), good.size(), zip.directory.size(), &entries, &error));
  // Not an archive, and a size beyond the file's end.
  file = TempArchive(std::string(100, 'z'));
  EXPECT_FALSE(parcel::host::ListArchive(file.get(), 100, parcel::host::kMaxListedDirectory,
                                         &entries, &error));
  file = TempArchive(good);
  EXPECT_FALSE(parcel::host::ListArchive(file.get(), good.size() + 1,
                                         parcel::host::kMaxListedDirectory, &entries, &error));
}

TEST(ArchiveListing, JsonKeepsUtf8NamesAndEscapesTheRest) {
  std::vector<parcel::host::ZipEntry> entries(3);
  entries[0].name = "docs\\caf\xc3\xa9 \"1\".txt";
  entries[0].size = 10, entries[0].compressed_size = 7, entries[0].method = 8;
  entries[1].name = "latin\xe9\n";
  entries[2].name = "b";
  entries[2].size = entries[2].compressed_size = 1;
  EXPECT_EQ(
      parcel::host::ListingJson("zipfile_1.zip", 300, std::chrono::seconds(-2), entries),
      "{\"archive\":\"zipfile_1.zip\",\"size\":300,\"expires_in\":0,\"entries\":["
      "{\"name\":\"docs\\\\caf\xc3\xa9 \\\"1\\\".txt\",\"size\":10,\"packed\":7,\"method\":8},"
      "{\"name\":\"latin\\ufffd\\u000a\",\"size\":0,\"packed\":0,\"method\":0},"
      "{\"name\":\"b\",\"size\":1,\"packed\":1,\"method\":0}]}\n");
}

TEST(UploadPage, ReadableSizesAndDurations) {
  const std::vector<std::pair<std::uint64_t, std::string>> sizes = {
      {0, "0 bytes"},
      {1, "1 byte"},
      {1023, "1023 bytes"},
      {1024, "1 KB"},
      {1536, "1.5 KB"},
      {1024 * 10 + 512, "11 KB"},
      {1048575, "1024 KB"},
      {3u << 20, "3 MB"},
      {(3u << 20) + 1, "3 MB"},
      {std::uint64_t{5} << 39, "2.5 TB"},
      {std::uint64_t{1} << 30, "1 GB"},
  };
  for (const auto& [bytes, text] : sizes) EXPECT_EQ(parcel::host::ReadableSize(bytes), text);
  const std::vector<std::pair<std::uint64_t, std::string>> durations = {
      {1, "1 second"},      {45, "45 seconds"}, {60, "1 minute"},  {90, "90 seconds"},
      {5400, "90 minutes"}, {3600, "1 hour"},   {7200, "2 hours"}, {172800, "2 days"},
  };
  for (const auto& [seconds, text] : durations) {
    EXPECT_EQ(parcel::host::ReadableDuration(seconds), text);
  }
}

TEST(UploadPage, CarriesTheLimitsAndNothingFromOutside) {
  const std::string page = parcel::host::UploadPage({3u << 20, 10, 7200});
  for (const char* wanted :
       {"data-max-upload=\"3145728\"", "data-max-files=\"10\"", "data-expiry=\"7200\"",
        ">Up to 3 MB and 10 files in one upload. Archives are kept for 2 hours, then deleted.<",
        "action=\"/compress\"", "name=\"file\"", "name=\"path\""}) {
    EXPECT_NE(page.find(wanted), std::string::npos) << wanted;
  }
  // Everything the page needs is in it: the server may have no internet.
  for (const char* outside : {"{{", "http:", "https:", "src=", "@import", "url("}) {
    EXPECT_EQ(page.find(outside), std::string::npos) << outside;
  }
  EXPECT_NE(parcel::host::UploadPage({1, 1, 1}).find(">Up to 1 byte and 1 file in one upload."),
            std::string::npos);
}

}  // namespace
