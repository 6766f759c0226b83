// Tests of the zip writer: record bytes, the data path, limits and failures.
// Every archive is read back by the tests' own reader (records decoded field
// by field, data inflated with zlib, CRC computed bit by bit), and, where the
// tools are installed, by `unzip -t` and Python's zipfile. Every test runs on
// zlib's streaming deflate and, where built, on the one-shot path.
#include "zip/zip.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/alloc_hook.h"
#include "platform/coding.h"
#include "tests/external_readers.h"
#include "tests/zip_reader.h"
#include "zip/zip_archive.h"
#include "zip/zip_buffer.h"

namespace {

using namespace std::string_literals;
using parcel::platform::AllocSite;
using parcel::zip::kZipMaxEntries;
using parcel::zip::kZipMaxSize;

// ---------------------------------------------------------------------------
// Reading back: the tests' own reader (tests/zip_reader.h).

using Entry = parcel::testing::ReadEntry;
using Archive = parcel::testing::ReadArchive;
using parcel::testing::BitwiseCrc32;
using parcel::testing::InflateRaw;
using parcel::testing::ReadZip;

std::string U16(std::uint32_t v) {
  std::string bytes;
  parcel::platform::PutFixed16(&bytes, static_cast<std::uint16_t>(v));
  return bytes;
}
std::string U32(std::uint32_t v) {
  std::string bytes;
  parcel::platform::PutFixed32(&bytes, v);
  return bytes;
}

Entry Expected(std::string name, std::string data, int method = 0, std::uint32_t flag = 0) {
  Entry e;
  e.name = std::move(name);
  e.data = std::move(data);
  e.method = static_cast<std::uint32_t>(method);
  e.flag = flag;
  return e;
}

// The general-purpose flag each level from -1 to 9 sets.
constexpr std::uint32_t kFlagOfLevel[] = {0, 0, 6, 4, 0, 0, 0, 0, 0, 2, 2};

// ---------------------------------------------------------------------------
// External readers, used when installed (never under Wine).

class Scratch {
 public:
  Scratch() {
    std::random_device rd;
    dir_ = std::filesystem::temp_directory_path() /
           ("parcel_zip_test_" + std::to_string(rd()) + std::to_string(rd()));
    std::filesystem::create_directories(dir_);
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(Path(name), std::ios::binary) << bytes;
    return Path(name);
  }
  std::string Read(const std::string& name) const {
    std::ifstream in(Path(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // Runs `command` with its output going to a log; true when it exits with 0.
  bool Run(const std::string& command, std::string* log) const {
    const int rc = std::system((command + " > \"" + Path("log") + "\" 2>&1").c_str());
    *log = Read("log");
    return rc == 0;
  }

 private:
  std::filesystem::path dir_;
};

bool HasUnzip() {
  static const bool has = [] {
    std::string log;
    return Scratch().Run("unzip -v", &log);
  }();
  return has;
}

bool HasPython() {
  static const bool has = [] {
    std::string log;
    return Scratch().Run("python3 -c \"import zipfile, zlib\"", &log);
  }();
  return has;
}

::testing::AssertionResult UnzipAccepts(const std::string& archive) {
  Scratch scratch;
  std::string log;
  if (scratch.Run("unzip -tq \"" + scratch.Write("a.zip", archive) + "\"", &log)) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "unzip -t: " << log;
}

constexpr char kPythonLister[] = R"(import sys, zipfile, zlib
with zipfile.ZipFile(sys.argv[1]) as z:
    print("bad", z.testzip(), "comment", z.comment.hex())
    for i in z.infolist():
        d = z.read(i)
        print(i.filename, i.compress_type, i.flag_bits, i.file_size, "%08x" % zlib.crc32(d))
)";

// What Python lists for `entries` (names, methods, flags, contents).
std::string PythonListing(const std::vector<Entry>& entries, const std::string& comment) {
  std::ostringstream out;
  out << "bad None comment ";
  for (unsigned char c : comment) out << "0123456789abcdef"[c >> 4] << "0123456789abcdef"[c & 15];
  out << "\n";
  for (const Entry& e : entries) {
    char crc[9];
    std::snprintf(crc, sizeof crc, "%08x", BitwiseCrc32(e.data));
    out << e.name << " " << e.method << " " << e.flag << " " << e.data.size() << " " << crc << "\n";
  }
  return out.str();
}

::testing::AssertionResult PythonReads(const std::string& archive, const std::string& expected) {
  Scratch scratch;
  std::string listing;
  const std::string script = scratch.Write("list.py", kPythonLister);
  if (!scratch.Run("python3 \"" + script + "\" \"" + scratch.Write("a.zip", archive) + "\"",
                   &listing)) {
    return ::testing::AssertionFailure() << "zipfile: " << listing;
  }
  if (listing != expected) {
    return ::testing::AssertionFailure() << "zipfile lists\n"
                                         << listing.substr(0, 2000) << "\ninstead of\n"
                                         << expected.substr(0, 2000);
  }
  return ::testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------
// Writing helpers.

std::string TextData(std::size_t size, unsigned seed) {
  static const char* const kWords[] = {"archive ", "entry ",   "the ",    "of ",   "deflate ",
                                       "buffer ",  "header\n", "record ", "zip, ", "data. "};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < size) s += kWords[rng() % 10];
  s.resize(size);
  return s;
}

std::string RandomData(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

// Fails allocation number `at` (counting from 0) of `site`, or of any site
// when none is given; seen() counts the allocations it saw.
struct AllocFailer {
  static void Arm(long at, std::optional<AllocSite> site = std::nullopt) {
    parcel::platform::SetAllocFailure({.site = site, .after = at, .once = true});
  }
  static void Disarm() { parcel::platform::ClearAllocFailure(); }
  static long seen() { return static_cast<long>(parcel::platform::AllocationsCounted()); }
};

// The deflate paths a test runs on: false is zlib's streaming deflate, true
// the one-shot path.
std::vector<bool> DeflatePaths() {
  if (parcel::zip::kOneShotDeflateBuilt) return {false, true};
  return {false};
}

std::string PathName(const ::testing::TestParamInfo<bool>& info) {
  return info.param ? "OneShot" : "Zlib";
}

class ZipTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    parcel::zip::SetOneShotDeflate(GetParam());
    ASSERT_EQ(parcel::zip::OneShotDeflate(), GetParam());
    archive_ = ZipOpenArchive();
  }
  void TearDown() override {
    AllocFailer::Disarm();
    if (archive_ != nullptr) ZipCloseArchive(archive_, nullptr, nullptr, nullptr);
    parcel::zip::SetOneShotDeflate(true);
  }
  bool OneShot() const { return GetParam(); }
  // Length of the archive holding a.txt with abc, deflated at level -1: zlib
  // deflates abc into 5 bytes, the one-shot compressor stores inputs this
  // short in one 8-byte block.
  std::uint32_t AbcArchiveSize() const { return OneShot() ? 116 : 113; }

  int Open(const char* name, int method = 8, int level = -1, const ZipEntryInfo* info = nullptr) {
    return ZipOpenEntry(archive_, name, info, nullptr, 0, nullptr, 0, nullptr, method, level);
  }
  int Write(const std::string& data) {
    return ZipWriteEntry(archive_, data.data(), static_cast<std::uint32_t>(data.size()));
  }
  // Adds a whole entry; the result of its close.
  int Add(const char* name, const std::string& data, int method = 8, int level = -1) {
    int err = Open(name, method, level);
    if (err == ZIP_SUCCESS) err = Write(data);
    if (err == ZIP_SUCCESS) err = ZipCloseEntry(archive_);
    return err;
  }
  // Closes the archive; its bytes, or "" when the close fails.
  std::string Finish(const char* comment = nullptr, int expected = ZIP_SUCCESS) {
    char* data = nullptr;
    std::uint32_t length = 0;
    EXPECT_EQ(ZipCloseArchive(archive_, comment, &data, &length), expected);
    archive_ = nullptr;
    std::string bytes = data != nullptr ? std::string(data, length) : std::string();
    parcel::zip::ReleaseArchiveData(data);
    return bytes;
  }
  Archive FinishAndRead(const char* comment = nullptr) {
    Archive read;
    const std::string bytes = Finish(comment);
    EXPECT_TRUE(ReadZip(bytes, &read));
    return read;
  }

  ZipArchive* archive_ = nullptr;
};

// ---------------------------------------------------------------------------
// Record bytes.

using ZipRecords = ZipTest;
INSTANTIATE_TEST_SUITE_P(Deflate, ZipRecords, ::testing::ValuesIn(DeflatePaths()), PathName);

TEST_P(ZipRecords, EmptyArchiveIsTheEndRecordAlone) {
  EXPECT_EQ(Finish(), std::string("PK\5\6", 4) + std::string(18, '\0'));
}

TEST_P(ZipRecords, OneDeflatedEntryHasTheDocumentedLayout) {
  ASSERT_EQ(Add("a.txt", "abc"), ZIP_SUCCESS);
  const std::string z = Finish();
  const std::uint32_t c = AbcArchiveSize() - 108;  // everything but the data is fixed
  ASSERT_EQ(z.size(), 108u + c);
  const std::string sizes = U32(0x352441C2) + U32(c) + U32(3);
  EXPECT_EQ(z.substr(0, 35),
            "PK\3\4" + U16(20) + U16(0) + U16(8) + U32(0) + sizes + U16(5) + U16(0) + "a.txt");
  EXPECT_EQ(z.substr(35 + c, 51), "PK\1\2" + U16(0) + U16(20) + U16(0) + U16(8) + U32(0) + sizes +
                                      U16(5) + U16(0) + U16(0) + U16(0) + U16(0) + U32(0) + U32(0) +
                                      "a.txt");
  EXPECT_EQ(z.substr(86 + c),
            "PK\5\6" + U16(0) + U16(0) + U16(1) + U16(1) + U32(51) + U32(35 + c) + U16(0));
  std::string data;
  EXPECT_TRUE(InflateRaw(z.substr(35, c), 3, &data));
  EXPECT_EQ(data, "abc");
}

TEST_P(ZipRecords, EmptyEntriesHaveZeroCrcAndTheTwoByteDeflateStream) {
  ASSERT_EQ(Open("none"), ZIP_SUCCESS);
  ASSERT_EQ(ZipCloseEntry(archive_), ZIP_SUCCESS);
  ASSERT_EQ(Open("zero-writes"), ZIP_SUCCESS);
  ASSERT_EQ(ZipWriteEntry(archive_, nullptr, 0), ZIP_SUCCESS);
  ASSERT_EQ(ZipWriteEntry(archive_, "x", 0), ZIP_SUCCESS);
  ASSERT_EQ(ZipCloseEntry(archive_), ZIP_SUCCESS);
  ASSERT_EQ(Add("stored", "", 0), ZIP_SUCCESS);
  ASSERT_EQ(Open("empty piece between"), ZIP_SUCCESS);  // must not restart the CRC
  ASSERT_EQ(Write("abc"), ZIP_SUCCESS);
  ASSERT_EQ(ZipWriteEntry(archive_, nullptr, 0), ZIP_SUCCESS);
  ASSERT_EQ(Write("def"), ZIP_SUCCESS);
  ASSERT_EQ(ZipCloseEntry(archive_), ZIP_SUCCESS);
  const std::string z = Finish();
  Archive a;
  ASSERT_TRUE(ReadZip(z, &a));
  ASSERT_EQ(a.entries.size(), 4u);
  EXPECT_EQ(a.entries.back().data, "abcdef");
  a.entries.pop_back();
  for (const Entry& e : a.entries) {
    EXPECT_EQ(e.crc, 0u) << e.name;
    EXPECT_EQ(e.data, "") << e.name;
    EXPECT_EQ(e.compressed, e.method == 8 ? 2u : 0u) << e.name;
    if (e.method == 8) {
      EXPECT_EQ(z.substr(e.offset + 30 + e.name.size(), 2), "\3\0"s) << e.name;
    }
  }
}

TEST_P(ZipRecords, NullNameIsStoredAsDash) {
  ASSERT_EQ(Add(nullptr, "x"), ZIP_SUCCESS);
  const Archive a = FinishAndRead();
  ASSERT_EQ(a.entries.size(), 1u);
  EXPECT_EQ(a.entries[0].name, "-");
}

TEST_P(ZipRecords, FlagFollowsLevelForBothMethods) {
  for (int method : {0, 8}) {
    for (int level = -1; level <= 9; ++level) {
      ASSERT_EQ(Add("f", "flagged", method, level), ZIP_SUCCESS);
    }
  }
  const Archive a = FinishAndRead();
  ASSERT_EQ(a.entries.size(), 22u);
  for (std::size_t i = 0; i < a.entries.size(); ++i) {
    EXPECT_EQ(a.entries[i].flag, kFlagOfLevel[i % 11]) << "level " << int(i % 11) - 1;
    EXPECT_EQ(a.entries[i].data, "flagged");
  }
}

// Names that are UTF-8 beyond ASCII carry the UTF-8 flag in both records;
// ASCII names and names in other encodings keep exactly the flag of their
// level, so their archives do not change.
TEST_P(ZipRecords, Utf8FlagMarksUtf8NamesAlone) {
  struct Case {
    const char* name;
    const char* comment;
    int level;
    std::uint32_t flag;
  };
  const Case cases[] = {
      {"plain.txt", nullptr, -1, 0},
      {"caf\xc3\xa9.txt", nullptr, -1, 0x800},
      {"\xe6\x97\xa5\xe6\x9c\xac/\xf0\x9f\x93\x84.txt", nullptr, 9, 0x802},
      {"caf\xe9.txt", nullptr, -1, 0},       // Latin-1
      {"\xc3\xa9\xe9", nullptr, 1, 6},       // UTF-8, then Latin-1
      {"\xc0\xaf.txt", nullptr, -1, 0},      // an overlong '/'
      {"\xed\xa0\x80.txt", nullptr, -1, 0},  // a surrogate
      {"\xf4\x90\x80\x80", nullptr, -1, 0},  // above U+10FFFF
      {"\xe6\x97", nullptr, -1, 0},          // cut short
      {"caf\xc3\xa9.txt", "plain note", -1, 0x800},
      {"caf\xc3\xa9.txt", "r\xc3\xa9sum\xc3\xa9", -1, 0x800},
      {"caf\xc3\xa9.txt", "r\xe9sum\xe9", -1, 0},  // the flag would misread the comment
  };
  for (const Case& c : cases) {
    ASSERT_EQ(
        ZipOpenEntry(archive_, c.name, nullptr, nullptr, 0, nullptr, 0, c.comment, 8, c.level),
        ZIP_SUCCESS);
    ASSERT_EQ(Write("x"), ZIP_SUCCESS);
  }
  const std::string z = Finish();
  Archive a;
  ASSERT_TRUE(ReadZip(z, &a));
  ASSERT_EQ(a.entries.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const Entry& e = a.entries[i];
    EXPECT_EQ(e.name, cases[i].name) << i;
    EXPECT_EQ(e.flag, cases[i].flag) << i;
    EXPECT_EQ(parcel::platform::DecodeFixed16(z.data() + e.offset + 6), cases[i].flag) << i;
    // Made on NTFS when flagged, so Info-ZIP reads the name as UTF-8; FAT otherwise.
    EXPECT_EQ(e.made_by, cases[i].flag & 0x800 ? 0x0b00u : 0u) << i;
  }
}

TEST_P(ZipRecords, DateAndTimeAreCopiedOrPacked) {
  struct Case {
    bool with_info;
    ZipEntryInfo info;
    std::uint32_t expected;
  } cases[] = {
      {false, {}, 0},
      {true, {41, 30, 9, 8, 11, 126, 0, 0, 0}, 0x5D884BD4},              // years since 1900
      {true, {41, 30, 9, 8, 11, 2026, 0, 0, 0}, 0x5D884BD4},             // full year
      {true, {41, 30, 9, 8, 11, 46, 0, 0, 0}, 0x5D884BD4},               // years since 1980
      {true, {40, 30, 9, 8, 11, 1981, 0, 0, 0}, 0x03884BD4},             // 1981 counts from 1980
      {true, {40, 30, 9, 8, 11, 81, 0, 0, 0}, 0x03884BD4},               // 81 counts from 1900
      {true, {0, 0, 0, 1, 0, 80, 0, 0, 0}, (80u * 512 + 32 + 1) << 16},  // 80 from 1980
      {true, {41, 30, 9, 8, 11, 126, 0x12345678, 0, 0}, 0x12345678},     // packed value wins
  };
  for (const Case& c : cases) {
    ASSERT_EQ(Open("t", 8, -1, c.with_info ? &c.info : nullptr), ZIP_SUCCESS);
    ASSERT_EQ(ZipCloseEntry(archive_), ZIP_SUCCESS);
  }
  const Archive a = FinishAndRead();
  ASSERT_EQ(a.entries.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(a.entries[i].time, cases[i].expected) << "case " << i;
  }
}

TEST_P(ZipRecords, ExtrasCommentsAndAttributesGoToTheirRecords) {
  const std::string local = "\xFE\xCA\2\0lx"s, central = "\xFE\xCA\3\0cxx"s;
  const ZipEntryInfo info{0, 0, 0, 1, 0, 80, 0, 0x12345, 0x81A40000};
  ASSERT_EQ(ZipOpenEntry(archive_, "dir/e", &info, local.data(), 6, central.data(), 7,
                         "entry comment", 0, 0),
            ZIP_SUCCESS);
  ASSERT_EQ(Write("payload"), ZIP_SUCCESS);
  const Archive a = FinishAndRead("archive comment");  // closes the open entry
  ASSERT_EQ(a.entries.size(), 1u);
  const Entry& e = a.entries[0];
  EXPECT_EQ(e.local_extra, local);
  EXPECT_EQ(e.central_extra, central);
  EXPECT_EQ(e.comment, "entry comment");
  EXPECT_EQ(e.internal, 0x2345u);
  EXPECT_EQ(e.external, 0x81A40000u);
  EXPECT_EQ(e.data, "payload");
  EXPECT_EQ(a.comment, "archive comment");
}

TEST_P(ZipRecords, OpeningAnEntryClosesTheOpenOne) {
  ASSERT_EQ(Open("first"), ZIP_SUCCESS);
  ASSERT_EQ(Write("one"), ZIP_SUCCESS);
  ASSERT_EQ(Open("second", 0), ZIP_SUCCESS);
  ASSERT_EQ(Write("two"), ZIP_SUCCESS);
  ASSERT_EQ(ZipCloseEntry(archive_), ZIP_SUCCESS);
  const Archive a = FinishAndRead();
  ASSERT_EQ(a.entries.size(), 2u);
  EXPECT_EQ(a.entries[0].name, "first");
  EXPECT_EQ(a.entries[0].data, "one");
  EXPECT_EQ(a.entries[1].name, "second");
  EXPECT_EQ(a.entries[1].data, "two");
  EXPECT_LT(a.entries[0].offset, a.entries[1].offset);
}

// ---------------------------------------------------------------------------
// The data path.

using ZipData = ZipTest;
INSTANTIATE_TEST_SUITE_P(Deflate, ZipData, ::testing::ValuesIn(DeflatePaths()), PathName);

// Writes `data` in pieces whose sizes come from `piece` and returns the archive.
template <typename Piece>
std::string WriteInPieces(const std::string& data, int method, int level, Piece piece) {
  ZipArchive* archive = ZipOpenArchive();
  EXPECT_EQ(ZipOpenEntry(archive, "big", nullptr, nullptr, 0, nullptr, 0, nullptr, method, level),
            ZIP_SUCCESS);
  for (std::size_t at = 0; at < data.size();) {
    const std::size_t n = std::min<std::size_t>(piece(), data.size() - at);
    EXPECT_EQ(ZipWriteEntry(archive, data.data() + at, static_cast<std::uint32_t>(n)), ZIP_SUCCESS);
    at += n;
  }
  char* out = nullptr;
  std::uint32_t length = 0;
  EXPECT_EQ(ZipCloseArchive(archive, nullptr, &out, &length), ZIP_SUCCESS);
  std::string bytes(out, length);
  parcel::zip::ReleaseArchiveData(out);
  return bytes;
}

TEST_P(ZipData, PiecesOfAnySizeGiveTheSameArchiveAsOneWrite) {
  const std::string data = TextData(300000, 1) + RandomData(100000, 2) + TextData(50000, 3);
  const std::pair<int, int> configs[] = {{8, -1}, {8, 9}, {8, 1}, {0, -1}};
  for (auto [method, level] : configs) {
    SCOPED_TRACE("method " + std::to_string(method) + " level " + std::to_string(level));
    const std::string whole = WriteInPieces(data, method, level, [] { return 1u << 30; });
    Archive a;
    ASSERT_TRUE(ReadZip(whole, &a));
    ASSERT_EQ(a.entries.size(), 1u);
    EXPECT_EQ(a.entries[0].data, data);
    // Several pieces always take zlib's streaming deflate, whose bytes do not
    // depend on where the pieces end: the same archive as zlib's one write.
    parcel::zip::SetOneShotDeflate(false);
    const std::string streamed = WriteInPieces(data, method, level, [] { return 1u << 30; });
    parcel::zip::SetOneShotDeflate(GetParam());
    EXPECT_EQ(whole == streamed, !OneShot() || method == 0);
    std::mt19937 rng(level + 7);
    EXPECT_EQ(WriteInPieces(data, method, level, [&] { return 1 + rng() % 40000; }), streamed);
    EXPECT_EQ(WriteInPieces(data, method, level, [] { return 1u; }), streamed);
  }
}

TEST_P(ZipData, SecondPieceAfterOthersAndGrowthKeepsEveryEntry) {
  // The one-shot piece is taken back out of the buffer and re-deflated when
  // a second piece follows; the entries around it must not notice.
  const std::string before = RandomData(40000, 11), first = TextData(70000, 12);
  const std::string second = RandomData(30000, 13), after = TextData(5000, 14);
  ASSERT_EQ(Add("before", before), ZIP_SUCCESS);
  ASSERT_EQ(Open("split"), ZIP_SUCCESS);
  ASSERT_EQ(Write(first), ZIP_SUCCESS);
  ASSERT_EQ(Write(""), ZIP_SUCCESS);  // an empty piece is no second piece
  const std::uint64_t after_first = archive_->buffer.length;
  ASSERT_EQ(Write(second), ZIP_SUCCESS);
  EXPECT_GT(archive_->buffer.length, after_first);
  ASSERT_EQ(Write(first.substr(0, 100)), ZIP_SUCCESS);
  ASSERT_EQ(ZipCloseEntry(archive_), ZIP_SUCCESS);
  ASSERT_EQ(Add("after", after), ZIP_SUCCESS);
  const Archive a = FinishAndRead();
  ASSERT_EQ(a.entries.size(), 3u);
  EXPECT_EQ(a.entries[0].data, before);
  EXPECT_TRUE(a.entries[1].data == first + second + first.substr(0, 100));
  EXPECT_EQ(a.entries[2].data, after);
}

TEST_P(ZipData, LargeEntriesCrossTheStagingAreaAndEveryDoubling) {
  // Incompressible data make deflate output exceed 16384 bytes per area; the
  // first header is corrected after the buffer has doubled many times.
  const std::string random = RandomData(3u << 20, 4), text = TextData(2u << 20, 5);
  ASSERT_EQ(Add("random-deflated", random), ZIP_SUCCESS);
  ASSERT_EQ(Add("random-stored", random, 0), ZIP_SUCCESS);
  ASSERT_EQ(Add("text", text), ZIP_SUCCESS);
  const Archive a = FinishAndRead();
  ASSERT_EQ(a.entries.size(), 3u);
  EXPECT_EQ(a.entries[0].data, random);
  EXPECT_GT(a.entries[0].compressed, 3u << 20);
  EXPECT_EQ(a.entries[1].data, random);
  EXPECT_EQ(a.entries[2].data, text);
  EXPECT_LT(a.entries[2].compressed, text.size() / 2);
}

TEST_P(ZipData, NullOutPointersStillFinishAndHandNothingOut) {
  char sentinel = 0;
  for (int which = 0; which < 3; ++which) {
    ZipArchive* archive = ZipOpenArchive();
    ASSERT_EQ(ZipOpenEntry(archive, "a.txt", nullptr, nullptr, 0, nullptr, 0, nullptr, 8, -1), 0);
    ASSERT_EQ(ZipWriteEntry(archive, "abc", 3), ZIP_SUCCESS);
    char* data = &sentinel;
    std::uint32_t length = 7;
    EXPECT_EQ(ZipCloseArchive(archive, nullptr, which == 1 ? nullptr : &data,
                              which == 2 ? nullptr : &length),
              ZIP_SUCCESS);
    if (which == 0) {
      EXPECT_EQ(length, AbcArchiveSize());
      parcel::zip::ReleaseArchiveData(data);
    } else {
      EXPECT_EQ(data, &sentinel);  // LeakSanitizer sees whether the block was released
      EXPECT_EQ(length, 7u);
    }
  }
}

// ---------------------------------------------------------------------------
// Arguments and limits.

using ZipLimits = ZipTest;
INSTANTIATE_TEST_SUITE_P(Deflate, ZipLimits, ::testing::ValuesIn(DeflatePaths()), PathName);

TEST_P(ZipLimits, NullArchiveAndMissingEntryAreParameterErrors) {
  EXPECT_EQ(ZipOpenEntry(nullptr, "a", nullptr, nullptr, 0, nullptr, 0, nullptr, 8, -1),
            ZIP_ERR_PARAM);
  EXPECT_EQ(ZipWriteEntry(nullptr, "a", 1), ZIP_ERR_PARAM);
  EXPECT_EQ(ZipCloseEntry(nullptr), ZIP_ERR_PARAM);
  EXPECT_EQ(ZipCloseArchive(nullptr, nullptr, nullptr, nullptr), ZIP_ERR_PARAM);
  EXPECT_EQ(Write("a"), ZIP_ERR_PARAM);
  EXPECT_EQ(ZipCloseEntry(archive_), ZIP_ERR_PARAM);
  ASSERT_EQ(Add("a", "a"), ZIP_SUCCESS);
  EXPECT_EQ(ZipCloseEntry(archive_), ZIP_ERR_PARAM);  // closed twice
  EXPECT_EQ(Write("a"), ZIP_ERR_PARAM);
  EXPECT_EQ(FinishAndRead().entries.size(), 1u);
}

TEST_P(ZipLimits, RefusedOpenLeavesTheOpenEntryAlone) {
  const std::string big(65536, 'n');
  const std::string at_limit(65535, 'n');
  ASSERT_EQ(Open("kept"), ZIP_SUCCESS);
  ASSERT_EQ(Write("before"), ZIP_SUCCESS);
  const std::uint64_t length = archive_->buffer.length;
  for (int method : {-1, 1, 7, 9, 12}) EXPECT_EQ(Open("m", method), ZIP_ERR_PARAM) << method;
  EXPECT_EQ(Open(big.c_str()), ZIP_ERR_PARAM);
  EXPECT_EQ(ZipOpenEntry(archive_, "c", nullptr, nullptr, 0, nullptr, 0, big.c_str(), 8, -1),
            ZIP_ERR_PARAM);
  EXPECT_EQ(ZipOpenEntry(archive_, "x", nullptr, big.data(), 65536, nullptr, 0, nullptr, 8, -1),
            ZIP_ERR_PARAM);
  EXPECT_EQ(ZipOpenEntry(archive_, "x", nullptr, nullptr, 0, big.data(), 65536, nullptr, 8, -1),
            ZIP_ERR_PARAM);
  EXPECT_EQ(ZipOpenEntry(archive_, "x", nullptr, nullptr, 4, nullptr, 0, nullptr, 8, -1),
            ZIP_ERR_PARAM);
  EXPECT_EQ(ZipWriteEntry(archive_, nullptr, 1), ZIP_ERR_PARAM);
  EXPECT_EQ(archive_->buffer.length, length);
  ASSERT_EQ(Write(" after"), ZIP_SUCCESS);
  ASSERT_EQ(Open(at_limit.c_str(), 0), ZIP_SUCCESS);  // 65535 bytes is allowed
  const Archive a = FinishAndRead();
  ASSERT_EQ(a.entries.size(), 2u);
  EXPECT_EQ(a.entries[0].data, "before after");
  EXPECT_EQ(a.entries[1].name, at_limit);
}

TEST_P(ZipLimits, RefusedDeflateLevelWritesNothingAndOpensNothing) {
  ASSERT_EQ(Add("a", "a"), ZIP_SUCCESS);
  const std::uint64_t length = archive_->buffer.length;
  EXPECT_EQ(Open("bad level", 8, 10), Z_STREAM_ERROR);
  EXPECT_EQ(archive_->buffer.length, length);
  EXPECT_EQ(Write("x"), ZIP_ERR_PARAM);
  EXPECT_EQ(FinishAndRead().entries.size(), 1u);
}

TEST_P(ZipLimits, EntryCountStopsAt65535) {
  for (std::uint32_t i = 0; i < kZipMaxEntries; ++i) {
    ASSERT_EQ(ZipOpenEntry(archive_, nullptr, nullptr, nullptr, 0, nullptr, 0, nullptr, 0, 0),
              ZIP_SUCCESS)
        << i;
  }
  // The 65535th entry is still open: it is closed, then the 65536th refused.
  const std::uint64_t length = archive_->buffer.length;
  EXPECT_EQ(Open("one too many", 0), ZIP_ERR_PARAM);
  EXPECT_EQ(archive_->entryCount, kZipMaxEntries);
  EXPECT_EQ(archive_->buffer.length, length);
  const std::string z = Finish();
  Archive a;
  ASSERT_TRUE(ReadZip(z, &a));
  EXPECT_EQ(a.entries.size(), kZipMaxEntries);
  if (HasUnzip()) {
    EXPECT_TRUE(UnzipAccepts(z));
  }
  if (HasPython()) {
    EXPECT_TRUE(PythonReads(z, PythonListing(a.entries, "")));
  }
}

TEST_P(ZipLimits, EntryReaching4GiBUncompressedIsRefusedWhole) {
  // The check itself at the real limit: the entry claims to hold all but 15
  // bytes of 4 GiB.
  ASSERT_EQ(Open("e", 8), ZIP_SUCCESS);
  archive_->total_in = kZipMaxSize - 15;
  EXPECT_EQ(Write(std::string(16, 'x')), ZIP_ERR_PARAM);
  EXPECT_EQ(Write(std::string(15, 'x')), ZIP_SUCCESS);
  EXPECT_EQ(Write("y"), ZIP_ERR_PARAM);
  EXPECT_EQ(ZipWriteEntry(archive_, "", 0), ZIP_SUCCESS);
  archive_->total_in = 15;  // the pretended bytes were never written
  ASSERT_EQ(ZipCloseEntry(archive_), ZIP_SUCCESS);

  // The whole path with a lowered limit: the refused piece leaves the entry
  // usable with the bytes it had.
  for (int method : {0, 8}) {
    archive_->max_entry_size = 1000;
    ASSERT_EQ(Open("m", method), ZIP_SUCCESS);
    ASSERT_EQ(Write(std::string(600, 'a')), ZIP_SUCCESS);
    EXPECT_EQ(Write(std::string(401, 'b')), ZIP_ERR_PARAM);
    EXPECT_EQ(Write(std::string(400, 'c')), ZIP_SUCCESS);
    ASSERT_EQ(ZipCloseEntry(archive_), ZIP_SUCCESS);
  }
  const Archive a = FinishAndRead();
  ASSERT_EQ(a.entries.size(), 3u);
  EXPECT_EQ(a.entries[0].data, std::string(15, 'x'));
  EXPECT_EQ(a.entries[2].data, std::string(600, 'a') + std::string(400, 'c'));
}

TEST_P(ZipLimits, BufferRefusesToReach4GiB) {
  // The real limit without the memory: a buffer that claims to be nearly
  // 4 GiB long and whose growth always fails. 15 more bytes pass the limit
  // check and fail for memory; 16 reach 4 GiB and are refused by the limit.
  ZipMemoryBuffer buffer;
  buffer.cursor = buffer.length = buffer.capacity = kZipMaxSize - 15;
  parcel::platform::SetAllocFailure({});  // every allocation fails
  const char bytes[16] = {};
  EXPECT_EQ(ZipBufferWrite(&buffer, bytes, 15), ZIP_ERR_INTERNAL);
  EXPECT_EQ(ZipBufferWrite(&buffer, bytes, 16), ZIP_ERR_PARAM);
  EXPECT_EQ(ZipBufferWrite(&buffer, bytes, std::uint64_t{1} << 63), ZIP_ERR_PARAM);
  EXPECT_EQ(buffer.length, kZipMaxSize - 15);
}

TEST_P(ZipLimits, ArchiveLimitIsExactAndALateFailureIsNotListed) {
  // A limit of the one-entry archive's length holds it, one byte less does not.
  const std::uint32_t size = AbcArchiveSize();
  for (std::uint64_t limit : {size, size - 1}) {
    ZipArchive* archive = ZipOpenArchive();
    archive->buffer.limit = limit;
    ASSERT_EQ(ZipOpenEntry(archive, "a.txt", nullptr, nullptr, 0, nullptr, 0, nullptr, 8, -1), 0);
    ASSERT_EQ(ZipWriteEntry(archive, "abc", 3), ZIP_SUCCESS);
    char* data = nullptr;
    std::uint32_t length = 0;
    EXPECT_EQ(ZipCloseArchive(archive, nullptr, &data, &length),
              limit == size ? ZIP_SUCCESS : ZIP_ERR_PARAM);
    EXPECT_EQ(length, limit == size ? size : 0u);
    parcel::zip::ReleaseArchiveData(data);
  }
  // An entry whose data pass the limit is closed unlisted; the archive still
  // finishes with the entries before it.
  archive_->buffer.limit = 60000;
  ASSERT_EQ(Add("small", "kept"), ZIP_SUCCESS);
  ASSERT_EQ(Open("too big", 0), ZIP_SUCCESS);
  int err = ZIP_SUCCESS;
  for (int i = 0; i < 8 && err == ZIP_SUCCESS; ++i) err = Write(RandomData(10000, i));
  EXPECT_EQ(err, ZIP_ERR_PARAM);
  EXPECT_EQ(ZipCloseEntry(archive_), ZIP_ERR_PARAM);
  EXPECT_EQ(archive_->entryCount, 1u);
  const Archive a = FinishAndRead();
  ASSERT_EQ(a.entries.size(), 1u);
  EXPECT_EQ(a.entries[0].data, "kept");
}

TEST_P(ZipLimits, EntryWhoseWorstCasePassesTheLimitIsStreamedWithin) {
  // Under a limit of exactly zlib's archive, the one-shot compressor's worst
  // case for the entry does not fit: the entry streams and the archive is
  // zlib's, byte for byte.
  const std::string text = TextData(100000, 21);
  parcel::zip::SetOneShotDeflate(false);
  ZipArchive* zlib_archive = ZipOpenArchive();
  parcel::zip::SetOneShotDeflate(GetParam());
  std::swap(archive_, zlib_archive);
  ASSERT_EQ(Add("text", text), ZIP_SUCCESS);
  const std::string expected = Finish();
  archive_ = zlib_archive;
  archive_->buffer.limit = expected.size();
  ASSERT_EQ(Add("text", text), ZIP_SUCCESS);
  EXPECT_EQ(Finish(), expected);
}

// ---------------------------------------------------------------------------
// Memory failures.

using ZipMemory = ZipTest;
INSTANTIATE_TEST_SUITE_P(Deflate, ZipMemory, ::testing::ValuesIn(DeflatePaths()), PathName);

TEST_P(ZipMemory, FailedGrowthKeepsEveryByteWritten) {
  ZipMemoryBuffer buffer;
  ASSERT_EQ(parcel::zip::BufferInit(&buffer), ZIP_SUCCESS);
  const std::string first = RandomData(16384, 9);
  ASSERT_EQ(ZipBufferWrite(&buffer, first.data(), first.size()), ZIP_SUCCESS);
  AllocFailer::Arm(0, AllocSite::kZipBuffer);
  EXPECT_EQ(ZipBufferWrite(&buffer, "x", 1), ZIP_ERR_INTERNAL);
  EXPECT_EQ(buffer.cursor, 16384u);
  EXPECT_EQ(buffer.length, 16384u);
  EXPECT_EQ(buffer.capacity, 16384u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data), 16384), first);
  AllocFailer::Disarm();
  ASSERT_EQ(ZipBufferWrite(&buffer, "x", 1), ZIP_SUCCESS);
  EXPECT_EQ(buffer.capacity, 32768u);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data), 16385), first + "x");
  // A correction below the length overwrites in place; seeking past it fails.
  ASSERT_EQ(ZipBufferSeek(&buffer, 2), ZIP_SUCCESS);
  ASSERT_EQ(ZipBufferPutLE(&buffer, 0x04030201, 3), ZIP_SUCCESS);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer.data) + 2, 4), "\1\2\3"s + first[5]);
  EXPECT_EQ(buffer.length, 16385u);
  EXPECT_EQ(ZipBufferSeek(&buffer, 16386), ZIP_ERR_POSITION);
  EXPECT_EQ(buffer.cursor, 5u);
  parcel::zip::BufferRelease(&buffer);
}

TEST_P(ZipMemory, DirectoryAppendIsAllOrNothing) {
  parcel::zip::Directory directory;
  const std::string first(4000, 'a'), straddling(200, 'b');
  ASSERT_EQ(ZipDirAppend(&directory, first.data(), first.size()), ZIP_SUCCESS);
  AllocFailer::Arm(0, AllocSite::kZipDirBlock);
  EXPECT_EQ(ZipDirAppend(&directory, straddling.data(), straddling.size()), ZIP_ERR_INTERNAL);
  EXPECT_EQ(directory.first, directory.last);
  EXPECT_EQ(directory.first->filled, 4000u);
  EXPECT_EQ(directory.size, 4000u);
  AllocFailer::Disarm();
  const std::string many(9000, 'c');
  ASSERT_EQ(ZipDirAppend(&directory, straddling.data(), straddling.size()), ZIP_SUCCESS);
  ASSERT_EQ(ZipDirAppend(&directory, many.data(), many.size()), ZIP_SUCCESS);
  std::string joined;
  for (ZipDirBlock* b = directory.first; b != nullptr; b = b->next) {
    if (b->next != nullptr) {
      EXPECT_EQ(b->free, 0u);  // full before the next is begun
    }
    joined.append(reinterpret_cast<char*>(b->data), b->filled);
  }
  EXPECT_EQ(joined, first + straddling + many);
  parcel::zip::DirRelease(&directory);
}

TEST_P(ZipMemory, OpenArchiveFailsCleanly) {
  for (AllocSite site : {AllocSite::kZipArchive, AllocSite::kZipBuffer}) {
    AllocFailer::Arm(0, site);
    EXPECT_EQ(ZipOpenArchive(), nullptr);
  }
}

TEST_P(ZipMemory, FailedCentralRecordOpensNothing) {
  const std::uint64_t length = archive_->buffer.length;
  AllocFailer::Arm(0, AllocSite::kZipCentralRecord);
  EXPECT_EQ(Open("a"), ZIP_ERR_INTERNAL);
  EXPECT_EQ(archive_->buffer.length, length);
  EXPECT_EQ(Write("x"), ZIP_ERR_PARAM);
  AllocFailer::Disarm();
  EXPECT_EQ(Finish().size(), 22u);
}

TEST_P(ZipMemory, SpoiltEntryFailsEveryCallUntilClosedAndStaysUnlisted) {
  ASSERT_EQ(Add("before", "b"), ZIP_SUCCESS);
  ASSERT_EQ(Open("spoilt", 0), ZIP_SUCCESS);
  AllocFailer::Arm(0, AllocSite::kZipBuffer);
  EXPECT_EQ(Write(RandomData(40000, 1)), ZIP_ERR_INTERNAL);
  AllocFailer::Disarm();
  EXPECT_EQ(Write("more"), ZIP_ERR_INTERNAL);
  EXPECT_EQ(Open("next"), ZIP_ERR_INTERNAL);  // closing the spoilt entry fails
  EXPECT_EQ(Write("x"), ZIP_ERR_PARAM);
  ASSERT_EQ(Add("after", "a"), ZIP_SUCCESS);
  const Archive a = FinishAndRead();
  ASSERT_EQ(a.entries.size(), 2u);
  EXPECT_EQ(a.entries[0].name, "before");
  EXPECT_EQ(a.entries[1].name, "after");
}

TEST_P(ZipMemory, FailedHandoverSpoilsOnlyItsEntry) {
  // A second piece makes the one-shot path copy the entry's bytes aside;
  // without that memory the entry is spoilt, the archive is not.
  ASSERT_EQ(Add("before", "b"), ZIP_SUCCESS);
  ASSERT_EQ(Open("split"), ZIP_SUCCESS);
  ASSERT_EQ(Write(TextData(20000, 1)), ZIP_SUCCESS);
  AllocFailer::Arm(0, AllocSite::kZipHandover);
  const int err = Write(TextData(100, 2));
  AllocFailer::Disarm();
  EXPECT_EQ(err, OneShot() ? ZIP_ERR_INTERNAL : ZIP_SUCCESS);
  EXPECT_EQ(ZipCloseEntry(archive_), err);
  ASSERT_EQ(Add("after", "a"), ZIP_SUCCESS);
  const Archive a = FinishAndRead();
  ASSERT_EQ(a.entries.size(), OneShot() ? 2u : 3u);
  EXPECT_EQ(a.entries.back().data, "a");
  if (!OneShot()) {
    EXPECT_EQ(a.entries[1].data, TextData(20000, 1) + TextData(100, 2));
  }
}

// Fails each allocation of a whole archive in turn. Every failure must be
// reported as ZIP_ERR_INTERNAL, release everything (LeakSanitizer), and a
// finished archive must list exactly the entries whose close succeeded.
// Entries of many sizes and both methods, to meet every kind of allocation.
struct Planned {
  std::string name, data;
  int method;
};

std::vector<Planned> AllocationPlan() {
  std::vector<Planned> plan = {{"text", TextData(70000, 1), 8},
                               {"random", RandomData(50000, 2), 0}};
  for (int i = 0; i < 120; ++i)
    plan.push_back({std::string("s").append(std::to_string(i)), TextData(i * 3, i), 0});
  plan.push_back({"last", TextData(20000, 3), 8});
  return plan;
}

// Writes each planned entry, expecting success or ZIP_ERR_INTERNAL; the
// entries that were listed.
std::vector<Entry> WritePlan(ZipArchive* archive, const std::vector<Planned>& plan) {
  std::vector<Entry> listed;
  for (const Planned& p : plan) {
    int err = ZipOpenEntry(archive, p.name.c_str(), nullptr, nullptr, 0, nullptr, 0, nullptr,
                           p.method, -1);
    if (err == ZIP_SUCCESS) {
      err = ZipWriteEntry(archive, p.data.data(), static_cast<std::uint32_t>(p.data.size()));
      const int close = ZipCloseEntry(archive);
      if (err == ZIP_SUCCESS) err = close;
    }
    EXPECT_TRUE(err == ZIP_SUCCESS || err == ZIP_ERR_INTERNAL) << err;
    if (err == ZIP_SUCCESS) listed.push_back(Expected(p.name, p.data));
  }
  return listed;
}

// Closes the archive: its result, and its bytes when it succeeded.
int CloseAndTake(ZipArchive* archive, std::string* bytes) {
  char* data = nullptr;
  std::uint32_t length = 0;
  const int err = ZipCloseArchive(archive, nullptr, &data, &length);
  bytes->assign(err == ZIP_SUCCESS ? std::string(data, length) : std::string());
  parcel::zip::ReleaseArchiveData(data);
  return err;
}

TEST_P(ZipMemory, EveryAllocationFailureIsReportedAndLeavesASoundArchive) {
  const std::vector<Planned> plan = AllocationPlan();
  long runs = 0;
  for (long fail_at = 0;; ++fail_at, ++runs) {
    AllocFailer::Arm(fail_at);
    ZipArchive* archive = ZipOpenArchive();
    if (archive == nullptr) continue;
    const std::vector<Entry> listed = WritePlan(archive, plan);
    std::string bytes;
    const int err = CloseAndTake(archive, &bytes);
    const bool failed = AllocFailer::seen() > fail_at;
    AllocFailer::Disarm();
    if (!failed) break;  // no allocation was left to fail
    ASSERT_TRUE(err == ZIP_SUCCESS || err == ZIP_ERR_INTERNAL) << err;
    if (err != ZIP_SUCCESS) continue;
    Archive a;
    ASSERT_TRUE(ReadZip(bytes, &a)) << "failing allocation " << fail_at;
    // zlib's path loses an entry to every failure; the one-shot path answers a
    // failed growth for the compressor's worst case by streaming the entry.
    if (!OneShot()) {
      EXPECT_LT(a.entries.size(), plan.size());
    }
    ASSERT_EQ(a.entries.size(), listed.size()) << "failing allocation " << fail_at;
    for (std::size_t i = 0; i < listed.size(); ++i) {
      EXPECT_EQ(a.entries[i].name, listed[i].name);
      EXPECT_EQ(a.entries[i].data, listed[i].data);
    }
  }
  EXPECT_GT(runs, 120);  // archive, buffer growths, each record, several blocks
}

// ---------------------------------------------------------------------------
// Archives read by the external tools.

struct Sample {
  std::string label, bytes, comment;
  std::vector<Entry> entries;  // what the archive must hold
};

// Builds archives of every shape; each is checked by the reader here first.
std::vector<Sample> Samples() {
  std::vector<Sample> samples;
  auto add = [&](const std::string& label, auto build, const char* comment = nullptr) {
    ZipArchive* archive = ZipOpenArchive();
    Sample s{label, "", comment != nullptr ? comment : "", {}};
    auto entry = [&](const std::string& name, const std::string& data, int method, int level,
                     std::size_t piece) {
      EXPECT_EQ(ZipOpenEntry(archive, name.c_str(), nullptr, nullptr, 0, nullptr, 0, nullptr,
                             method, level),
                ZIP_SUCCESS);
      for (std::size_t at = 0; at < data.size(); at += piece) {
        const auto n = static_cast<std::uint32_t>(std::min(piece, data.size() - at));
        EXPECT_EQ(ZipWriteEntry(archive, data.data() + at, n), ZIP_SUCCESS);
      }
      EXPECT_EQ(ZipCloseEntry(archive), ZIP_SUCCESS);
      s.entries.push_back(Expected(name, data, method, kFlagOfLevel[level + 1]));
    };
    build(archive, entry);
    char* data = nullptr;
    std::uint32_t length = 0;
    EXPECT_EQ(ZipCloseArchive(archive, comment, &data, &length), ZIP_SUCCESS);
    s.bytes.assign(data, length);
    parcel::zip::ReleaseArchiveData(data);
    samples.push_back(std::move(s));
  };
  add("many entries", [](ZipArchive*, auto entry) {
    for (int i = 0; i < 3000; ++i) {
      entry("dir/file" + std::to_string(i) + ".txt", TextData(i % 700, i), i % 3 ? 8 : 0, -1, 1000);
    }
  });
  add("empty entries", [](ZipArchive*, auto entry) {
    entry("-", "", 8, -1, 1);
    entry("stored empty", "", 0, -1, 1);
    entry("level nine", "", 8, 9, 1);
  });
  add(
      "levels and flags",
      [](ZipArchive*, auto entry) {
        for (int level = -1; level <= 9; ++level) {
          entry("level" + std::to_string(level), TextData(5000, level + 20), 8, level, 777);
        }
      },
      "archive comment");
  add("multi-megabyte in pieces", [](ZipArchive*, auto entry) {
    entry("text.txt", TextData(4u << 20, 30), 8, -1, 65521);
    entry("random.bin", RandomData(3u << 20, 31), 8, -1, 4099);
    entry("stored.bin", RandomData(2u << 20, 32), 0, -1, 100003);
  });
  add("with an unlisted failed entry", [](ZipArchive* archive, auto entry) {
    entry("first", TextData(3000, 40), 8, -1, 3000);
    AllocFailer::Arm(0, AllocSite::kZipCentralRecord);
    EXPECT_EQ(ZipOpenEntry(archive, "lost", nullptr, nullptr, 0, nullptr, 0, nullptr, 8, -1),
              ZIP_ERR_INTERNAL);
    AllocFailer::Disarm();
    EXPECT_EQ(ZipOpenEntry(archive, "orphan", nullptr, nullptr, 0, nullptr, 0, nullptr, 8, -1),
              ZIP_SUCCESS);
    EXPECT_EQ(ZipWriteEntry(archive, "orphaned bytes", 14), ZIP_SUCCESS);
    AllocFailer::Arm(0, AllocSite::kZipDirBlock);
    archive->directory.last->free = 0;  // force a new block for the record
    EXPECT_EQ(ZipCloseEntry(archive), ZIP_ERR_INTERNAL);
    AllocFailer::Disarm();
    entry("second", TextData(3000, 41), 0, -1, 3000);
  });
  return samples;
}

// The samples of the path a test runs on.
const std::vector<Sample>& AllSamples(bool one_shot) {
  auto on_path = [](bool path) {
    parcel::zip::SetOneShotDeflate(path);
    return Samples();
  };
  static const std::vector<Sample> zlib_samples = on_path(false);
  static const std::vector<Sample> one_shot_samples = on_path(true);
  parcel::zip::SetOneShotDeflate(one_shot);
  return one_shot ? one_shot_samples : zlib_samples;
}

using ZipInterop = ZipTest;
INSTANTIATE_TEST_SUITE_P(Deflate, ZipInterop, ::testing::ValuesIn(DeflatePaths()), PathName);

TEST_P(ZipInterop, ReaderHereDecodesEverySample) {
  for (const Sample& s : AllSamples(OneShot())) {
    Archive a;
    ASSERT_TRUE(ReadZip(s.bytes, &a)) << s.label;
    ASSERT_EQ(a.entries.size(), s.entries.size()) << s.label;
    EXPECT_EQ(a.comment, s.comment);
    for (std::size_t i = 0; i < a.entries.size(); ++i) {
      EXPECT_EQ(a.entries[i].name, s.entries[i].name) << s.label;
      EXPECT_EQ(a.entries[i].method, s.entries[i].method) << s.entries[i].name;
      EXPECT_EQ(a.entries[i].flag, s.entries[i].flag) << s.entries[i].name;
      EXPECT_TRUE(a.entries[i].data == s.entries[i].data) << s.entries[i].name;
    }
  }
}

TEST_P(ZipInterop, ReadersListUtf8NamesAsWritten) {
  const std::vector<std::string> names = {"plain.txt", "caf\xc3\xa9.txt",
                                          "\xe6\x97\xa5\xe6\x9c\xac/\xe3\x83\xa1\xe3\x83\xa2.txt"};
  for (const std::string& name : names) ASSERT_EQ(Add(name.c_str(), "note"), ZIP_SUCCESS);
  const auto lists = parcel::testing::ListWithExternalReaders(Finish());
  if (lists.empty()) GTEST_SKIP() << "no external zip reader on this machine";
  for (const auto& [reader, listed] : lists) EXPECT_EQ(listed, names) << reader;
}

TEST_P(ZipInterop, UnzipTestsEverySample) {
  if (!HasUnzip()) GTEST_SKIP() << "unzip is not installed here";
  for (const Sample& s : AllSamples(OneShot())) EXPECT_TRUE(UnzipAccepts(s.bytes)) << s.label;
}

TEST_P(ZipInterop, PythonZipfileReadsEverySample) {
  if (!HasPython()) GTEST_SKIP() << "python3 is not installed here";
  for (const Sample& s : AllSamples(OneShot())) {
    EXPECT_TRUE(PythonReads(s.bytes, PythonListing(s.entries, s.comment))) << s.label;
  }
  EXPECT_TRUE(PythonReads(Finish(), PythonListing({}, "")));  // the empty archive
}

}  // namespace
