// Tests of the version reader: the stamp scan, the version resource (read by
// the system's functions under Wine and by the PE reader elsewhere, with the
// same expectations), the all-or-nothing hand-out, and the built module files.
#include "version/version.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "platform/dynamic_library.h"
#include "platform/pe_image.h"
#include "platform/version_tree.h"
#include "tests/pe_image_builder.h"
#include "version/stamp_scan.h"
#include "version/version_internal.h"

namespace {

using parcel::platform::pe::FindVersionResource;
using parcel::platform::pe::FindVersionText;
using parcel::platform::pe::MemorySource;
using parcel::platform::pe::ResourceRange;
using parcel::platform::pe::TextValue;
using parcel::testing::Bytes;
using parcel::testing::FourValues;
using parcel::testing::PeImage;
using parcel::testing::Put16;
using parcel::testing::Put32;
using parcel::testing::StringTable;
using parcel::testing::VersionTree;
using parcel::version::detail::StampScanner;

// The four values in order; empty when a reader gave nothing.
using Strings = std::vector<std::string>;
const char* const kNone = "(none)";

const Strings kModuleValues = {"7000, 113, 13, 59182", "700, patch 113, changelist 911150",
                               "NTAMD64", "opt"};
const Strings kResourceValues = {"1, 2, 3, 4", "1, patch 2", "TESTAMD64", "dbg"};
const Strings kStampValues = {"9, 8", "9, patch 8", "STAMP64", "stamped"};

std::string Stamp(const std::string& keyword, const std::string& value) {
  return "#[%]QEL" + keyword + value + std::string(1, '\0');
}
std::string Stamps(const Strings& v, std::size_t count = 4) {
  const char* keywords[] = {"FileVersion: ", "ProductVersion: ", "Platform: ", "SpecialBuild: "};
  std::string s;
  for (std::size_t i = 0; i < count; ++i) s += Stamp(keywords[i], v[i]);
  return s;
}
std::string Str(const Bytes& b) { return std::string(b.begin(), b.end()); }

Strings ValuesOf(const StampScanner& scanner) {
  Strings out;
  for (const char* v : scanner.values()) out.push_back(v != nullptr ? v : kNone);
  return out;
}

using Reader = std::int32_t (*)(const char*, char**, char**, char**, char**);

// Calls `reader` and releases what it handed out; checks all-or-nothing.
Strings Read(Reader reader, const char* path) {
  static char sentinel;
  char* outs[4] = {&sentinel, &sentinel, &sentinel, &sentinel};
  const std::int32_t result = reader(path, &outs[0], &outs[1], &outs[2], &outs[3]);
  EXPECT_TRUE(result == 0 || result == 1) << result;
  Strings values;
  for (char* out : outs) {
    if (result != 1) {
      EXPECT_EQ(out, nullptr);
    } else if (out == nullptr || out == &sentinel) {
      ADD_FAILURE() << "result 1 without a value";
    } else {
      values.emplace_back(out);
      std::free(out);
    }
  }
  return values;
}

// A file in the test's temporary directory, removed at the end of the test.
class TempFile {
 public:
  explicit TempFile(const std::string& bytes) {
    static int count = 0;
    path_ = ::testing::TempDir() + "version_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + "_" +
            std::to_string(count++);
    std::FILE* file = std::fopen(path_.c_str(), "wb");
    EXPECT_NE(file, nullptr) << path_;
    if (file == nullptr) return;
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
  }
  ~TempFile() { std::remove(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

// Scanned values with only the platform or only the special build found.
Strings PlatformOnly(const std::string& value) { return {kNone, kNone, value, kNone}; }
Strings SpecialBuildOnly(const std::string& value) { return {kNone, kNone, kNone, value}; }

TEST(VersionStampScan, MarkersLinesAndKeywords) {
  const std::string v116(116, 'v');
  const std::string marker = "#[%]QEL";
  const Strings none = {kNone, kNone, kNone, kNone};
  const struct {
    const char* name;
    std::string input;
    Strings expected;
  } cases[] = {
      {"four stamps among other bytes", std::string("ab") + Stamps(kStampValues) + "cd",
       kStampValues},
      {"doubled number sign", std::string("#") + Stamp("Platform: ", "p"), none},
      {"mismatching byte is not retried", std::string("#[%") + Stamp("Platform: ", "p"), none},
      {"match restarts after a mismatch", std::string("#[x") + Stamp("Platform: ", "p"),
       PlatformOnly("p")},
      {"keyword in other case", Stamp("platform: ", "p") + Stamp("PLATFORM: ", "q"), none},
      {"keyword without its blank", Stamp("Platform:", "p"), none},
      {"later stamp replaces", Stamp("Platform: ", "a") + Stamp("Platform: ", "b"),
       PlatformOnly("b")},
      {"empty value", Stamp("Platform: ", ""), PlatformOnly("")},
      {"line ended by the end of input", marker + "SpecialBuild: opt", SpecialBuildOnly("opt")},
      {"marker inside a line is text", marker + "Platform: a" + Stamp("SpecialBuild: ", "b"),
       PlatformOnly(std::string("a") + marker + "SpecialBuild: b")},
      {"line cut to 126 bytes", Stamp("Platform: ", v116 + "dropped"), PlatformOnly(v116)},
      {"scan resumes after the dropped byte",
       marker + "Platform: " + v116 + "D" + Stamp("SpecialBuild: ", "s"),
       {kNone, kNone, v116, "s"}},
      {"dropped byte is not a marker's first",
       marker + "Platform: " + v116 + Stamp("SpecialBuild: ", "s"), PlatformOnly(v116)},
  };
  for (const auto& c : cases) {
    StampScanner scanner;
    scanner.Feed(c.input.data(), c.input.size());
    EXPECT_EQ(scanner.Finish(), c.expected == kStampValues) << c.name;
    EXPECT_EQ(ValuesOf(scanner), c.expected) << c.name;
  }
}

TEST(VersionStampScan, AnySplitOfTheInputGivesTheSameValues) {
  // Stamps straddle 4096, 8192 and 16384; the last line runs across 12288.
  std::string input(20000, 'a');
  std::mt19937 random(7);
  for (char& c : input) c = static_cast<char>('a' + random() % 26);
  for (const auto& [at, stamp] :
       {std::pair{4093, Stamp("FileVersion: ", kStampValues[0])},
        std::pair{8190, Stamp("ProductVersion: ", kStampValues[1])},
        std::pair{16380, Stamp("Platform: ", kStampValues[2])},
        std::pair{12200, Stamp("SpecialBuild: ", std::string(100, 's'))}}) {
    input.replace(at, stamp.size(), stamp);
  }
  const Strings expected = {kStampValues[0], kStampValues[1], kStampValues[2],
                            std::string(100, 's')};
  auto scan = [&](auto next_piece) {
    StampScanner scanner;
    for (std::size_t at = 0; at < input.size();) {
      const std::size_t n = std::min(next_piece(), input.size() - at);
      scanner.Feed(input.data() + at, n);
      at += n;
    }
    scanner.Finish();
    return ValuesOf(scanner);
  };
  EXPECT_EQ(scan([&] { return input.size(); }), expected);
  EXPECT_EQ(scan([] { return std::size_t{1}; }), expected);
  EXPECT_EQ(scan([] { return parcel::version::kBlockBufferSize; }), expected);
  for (int run = 0; run < 20; ++run) {
    EXPECT_EQ(scan([&] { return std::size_t{1} + random() % 300; }), expected) << run;
  }
}

TEST(VersionStampScan, StopsAtTheFourthValue) {
  const std::string input = Stamps(kStampValues) + Stamp("FileVersion: ", "late");
  StampScanner scanner;
  EXPECT_TRUE(scanner.Feed(input.data(), input.size()));
  EXPECT_TRUE(scanner.Feed(input.data(), input.size()));
  EXPECT_EQ(ValuesOf(scanner), kStampValues);
}

TEST(VersionInfo, NullPathGivesTheModuleValues) {
  EXPECT_EQ(Read(ReadVersionInfo, nullptr), kModuleValues);
  EXPECT_EQ(Read(ReadVersionResource, nullptr), Strings());
}

TEST(VersionInfo, FilesWithoutAllFourValuesGiveNothing) {
  TempFile three(Stamps(kStampValues, 3) + "#[%]QELSpecialBuild");
  TempFile other_case(Stamps(kStampValues, 3) + Stamp("specialBuild: ", "x"));
  TempFile empty("");
  for (const char* path : {three.path(), other_case.path(), empty.path(), "no/such/file"}) {
    EXPECT_EQ(Read(ReadVersionInfo, path), Strings()) << path;
  }
}

TEST(VersionInfo, StampAcrossABlockBoundaryIsFound) {
  const std::string first_three = Stamps(kStampValues, 3);
  for (std::size_t at : {8180, 8186, 8188, 8191, 8192, 8193, 16383}) {
    std::string bytes = first_three + std::string(at - first_three.size(), 'x');
    TempFile file(bytes + Stamp("SpecialBuild: ", kStampValues[3]));
    EXPECT_EQ(Read(ReadVersionInfo, file.path()), kStampValues) << "stamp at " << at;
    EXPECT_EQ(Read(ReadVersionResource, file.path()), Strings()) << "not a PE file";
  }
}

TEST(VersionInfo, NullOutPointerGivesNothing) {
  static char sentinel;
  char* a = &sentinel;
  char* c = &sentinel;
  char* d = &sentinel;
  EXPECT_EQ(ReadVersionInfo(nullptr, &a, nullptr, &c, &d), 0);
  EXPECT_EQ(a, nullptr);
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(d, nullptr);
}

// Resource files: a DLL image with the given string blocks, followed by the
// four stamps of kStampValues unless `stamps` is false. The same cases run
// against the system's functions under Wine.
// Variants of the four values' block: without its last key, with its names
// in lower case, with `platform` as the third value.
StringTable WithoutLastKey(StringTable table) {
  table.strings.pop_back();
  return table;
}
StringTable WithLowerCaseNames(StringTable table) {
  for (auto& [name, value] : table.strings) {
    for (char16_t& ch : name) ch = ch >= u'A' && ch <= u'Z' ? char16_t(ch + 32) : ch;
  }
  return table;
}
StringTable WithPlatform(StringTable table, std::u16string platform) {
  table.strings[2].second = std::move(platform);
  return table;
}

TEST(VersionResource, BlockKeysAndTextsAsTheSystemReadsThem) {
  const StringTable german = FourValues(u"040704b0");
  // Latin-1 and the code page's own letters, then what it lacks: a CJK
  // letter and the halves of a surrogate pair.
  const StringTable foreign = WithPlatform(german, u"A\u00e4\u20ac\u0178 \u4e2d\U0001F600");
  const Strings converted = {kResourceValues[0], kResourceValues[1], "A\xE4\x80\x9F ???",
                             kResourceValues[3]};
  const Strings& all = kResourceValues;
  const struct {
    const char* name;
    std::vector<StringTable> tables;
    bool stamps;
    Strings resource;
    Strings info;
    bool pe32 = false;
  } cases[] = {
      {"complete block", {german}, true, all, all},
      {"32-bit image", {german}, true, all, all, true},
      {"key missing", {WithoutLastKey(german)}, true, {}, kStampValues},
      {"key missing, no stamps", {WithoutLastKey(german)}, false, {}, {}},
      {"other language only", {FourValues(u"040904b0")}, true, {}, kStampValues},
      {"two blocks", {FourValues(u"040904b0", u" en"), german}, true, all, all},
      {"names in other case", {WithLowerCaseNames(FourValues(u"040704B0"))}, true, all, all},
      {"Western ANSI code page", {foreign}, false, converted, converted},
  };
  for (const auto& c : cases) {
    TempFile file(Str(PeImage({{.data = VersionTree(c.tables)}}, c.pe32)) +
                  (c.stamps ? Stamps(kStampValues) : ""));
    EXPECT_EQ(Read(ReadVersionResource, file.path()), c.resource) << c.name;
    EXPECT_EQ(Read(ReadVersionInfo, file.path()), c.info) << c.name;
  }
}

// The PE reader on in-memory images, corrupted field by field.
class PeImageTest : public ::testing::Test {
 protected:
  // Layout of the image built here: directories of 24 bytes each at 0, 24
  // and 48 in the section, the data entry at 72, the data at 88.
  static constexpr std::size_t kTypeEntry = parcel::testing::kResourceSection + 16;
  static constexpr std::size_t kNameEntry = kTypeEntry + 24;
  static constexpr std::size_t kLanguageEntry = kNameEntry + 24;
  static constexpr std::size_t kDataEntry = kLanguageEntry + 8;
  static constexpr std::size_t kData = kDataEntry + 16;

  bool Find(const Bytes& image, ResourceRange* range) {
    return FindVersionResource(MemorySource(image), range);
  }

  const Bytes tree_ = VersionTree({FourValues(u"040704b0")});
  const Bytes image_ = PeImage({{.data = tree_}});
};

TEST_F(PeImageTest, FindsTheDataAndNothingInACutBeforeItsEnd) {
  ResourceRange range;
  ASSERT_TRUE(Find(image_, &range));
  EXPECT_EQ(range.offset, kData);
  EXPECT_EQ(range.size, tree_.size());
  for (std::size_t cut = 0; cut < image_.size(); ++cut) {
    const Bytes prefix(image_.begin(), image_.begin() + std::ptrdiff_t(cut));
    EXPECT_EQ(Find(prefix, &range), cut >= kData + tree_.size()) << cut;
  }
}

// One field of an image set to another value.
struct Patch {
  const char* name;
  std::size_t at;
  std::uint32_t value;
  int width;  // 2 or 4 bytes
};

Bytes Patched(Bytes image, const Patch& patch) {
  if (patch.width == 4) {
    Put32(image, patch.at, patch.value);
  } else {
    Put16(image, patch.at, patch.value);
  }
  return image;
}

TEST_F(PeImageTest, CorruptFieldsFindNothing) {
  using parcel::testing::kOptionalHeader;
  using parcel::testing::kPeHeader;
  using parcel::testing::kResourceSection;
  using parcel::testing::kSectionTable32Plus;
  const std::size_t resource_entry = kOptionalHeader + 112 + 16;
  const Patch patches[] = {
      {"no MZ", 0, 'X', 2},
      {"new header past the end", 0x3C, 0xFFFFFF00u, 4},
      {"no PE signature", kPeHeader, 'X', 2},
      {"unknown optional header", kOptionalHeader, 0x30B, 2},
      {"two data directories", kOptionalHeader + 108, 2, 4},
      {"optional header too short", kPeHeader + 20, 128, 2},
      {"no resource directory", resource_entry, 0, 4},
      {"directory outside every section", resource_entry, 0x5000, 4},
      {"no sections", kPeHeader + 6, 0, 2},
      {"raw data past the end", kSectionTable32Plus + 20, 0x100000, 4},
      {"empty raw data", kSectionTable32Plus + 16, 0, 4},
      {"other type", kTypeEntry, 17, 4},
      {"type entry without directory", kTypeEntry + 4, 24, 4},
      {"other name", kNameEntry, 2, 4},
      {"name entry loops to the root", kNameEntry + 4, 0x80000000u, 4},
      {"language entry loops to the root", kLanguageEntry + 4, 0x80000000u, 4},
      {"entry counts past the section", kResourceSection + 12, 0xFFFFFFFFu, 4},
      {"data past the section", kDataEntry, 0x9000, 4},
      {"empty data", kDataEntry + 4, 0, 4},
  };
  for (const Patch& patch : patches) {
    ResourceRange range;
    EXPECT_FALSE(Find(Patched(image_, patch), &range)) << patch.name;
  }
}

TEST_F(PeImageTest, NeutralLanguageFirstElseTheFirstListed) {
  const Bytes en = VersionTree({FourValues(u"040704b0", u"-en")});
  const Bytes de = VersionTree({FourValues(u"040704b0", u"-de")});
  const Bytes neutral = VersionTree({FourValues(u"040704b0", u"-neutral")});
  auto offset_of = [](const Bytes& image, const Bytes& tree) {
    return std::uint64_t(std::search(image.begin(), image.end(), tree.begin(), tree.end()) -
                         image.begin());
  };
  for (const auto& [second, second_language] :
       {std::pair{neutral, 0x0000}, std::pair{de, 0x0407}}) {
    const Bytes image = PeImage({{.language = 0x0409, .data = en},
                                 {.language = std::uint32_t(second_language), .data = second}});
    ResourceRange range;
    ASSERT_TRUE(Find(image, &range));
    EXPECT_EQ(range.offset, offset_of(image, second_language == 0 ? neutral : en));
  }
}

// The version tree, looked up by path and corrupted node by node.
class VersionTreeTest : public ::testing::Test {
 protected:
  // The value at `key` in `tree`, kNone when absent.
  static std::string Text(const Bytes& tree, const char* key) {
    TextValue text;
    if (!FindVersionText(tree, key, &text)) return kNone;
    EXPECT_LE(text.offset + 2 * text.units, tree.size());
    std::string narrow(text.units + 1, 'x');
    parcel::platform::pe::WideToAnsi(tree.data() + text.offset, text.units, narrow.data());
    EXPECT_EQ(narrow.back(), '\0');
    narrow.pop_back();
    return narrow;
  }
  // Start of the node whose key is `key`.
  std::size_t NodeOf(const std::u16string& key) const {
    const Bytes k = parcel::testing::Utf16(key);
    return std::size_t(std::search(tree_.begin(), tree_.end(), k.begin(), k.end()) -
                       tree_.begin()) -
           6;
  }

  const Bytes tree_ = VersionTree({FourValues(u"040704b0")});
};

TEST_F(VersionTreeTest, PathsCompareWithoutCaseAndIgnoreRepeatedBackslashes) {
  const struct {
    const char* key;
    const char* expected;
  } cases[] = {
      {"\\StringFileInfo\\040704b0\\FileVersion", "1, 2, 3, 4"},
      {"\\stringfileinfo\\040704B0\\FILEVERSION", "1, 2, 3, 4"},
      {"StringFileInfo\\\\040704b0\\\\SpecialBuild\\", "dbg"},
      {"\\StringFileInfo\\040704b0\\File", kNone},
      {"\\StringFileInfo\\040704b0\\FileVersionX", kNone},
      {"\\StringFileInfo\\040904b0\\FileVersion", kNone},
      {"\\", kNone},  // the root's value is binary
  };
  for (const auto& c : cases) EXPECT_EQ(Text(tree_, c.key), c.expected) << c.key;
}

TEST_F(VersionTreeTest, MalformedNodesAreReadWithinBounds) {
  const std::size_t file_version = NodeOf(u"FileVersion");
  const std::size_t table = NodeOf(u"040704b0");
  const struct {
    const char* name;
    std::size_t at;
    std::uint16_t value;
    const char* file_version;
    const char* special_build;  // null: siblings are garbage, not checked
  } cases[] = {
      {"zero node length", file_version, 0, kNone, kNone},
      {"length past the parent", file_version, 0xFFFF, "1, 2, 3, 4", kNone},
      {"length cutting the value", file_version, 32 + 10, "1, 2,", nullptr},
      {"value without its zero", file_version + 32 + 20, 'X', "1, 2, 3, 4X", "dbg"},
      {"binary value", file_version + 4, 0, kNone, "dbg"},
      {"table without children", table, 6 + 18, kNone, kNone},
      {"root below a header", 0, 4, kNone, kNone},
  };
  for (const auto& c : cases) {
    Bytes tree = tree_;
    Put16(tree, c.at, c.value);
    EXPECT_EQ(Text(tree, "\\StringFileInfo\\040704b0\\FileVersion"), c.file_version) << c.name;
    if (c.special_build != nullptr) {
      EXPECT_EQ(Text(tree, "\\StringFileInfo\\040704b0\\SpecialBuild"), c.special_build) << c.name;
    }
  }
  for (std::size_t cut = 0; cut <= tree_.size(); ++cut) {
    const Bytes prefix(tree_.begin(), tree_.begin() + std::ptrdiff_t(cut));
    const std::string text = Text(prefix, "\\StringFileInfo\\040704b0\\SpecialBuild");
    EXPECT_TRUE(text == kNone || std::string("dbg").starts_with(text)) << cut << ": " << text;
  }
}

// Allocation failures, from the first to the last allocation a read makes.
struct CountingHeap {
  static inline int calls = 0;
  static inline int fail_at = -1;
  static inline int live = 0;
  static void* Allocate(std::size_t size) {
    if (calls++ == fail_at) return nullptr;
    ++live;
    return std::malloc(size);
  }
  static void Release(void* block) {
    --live;
    std::free(block);
  }
};

TEST(VersionHeap, EveryFailedAllocationLeavesNothing) {
  using namespace parcel::version::detail;
  const Heap heap = {&CountingHeap::Allocate, &CountingHeap::Release};
  TempFile resource(Str(PeImage({{.data = VersionTree({FourValues(u"040704b0")})}})));
  TempFile stamps(Stamps(kStampValues));
  const struct {
    const char* path;
    int allocations;  // the block, if any, and the four copies
  } cases[] = {{nullptr, 4}, {resource.path(), 5}, {stamps.path(), 4}};
  for (const auto& c : cases) {
    for (int fail_at = 0; fail_at <= c.allocations; ++fail_at) {
      CountingHeap::calls = 0;
      CountingHeap::fail_at = fail_at;
      CountingHeap::live = 0;
      char* values[4] = {};
      const Outs outs = {&values[0], &values[1], &values[2], &values[3]};
      const std::int32_t result = ReadInfo(c.path, outs, heap);
      const char* where = c.path != nullptr ? c.path : "null path";
      EXPECT_EQ(result, fail_at == c.allocations ? 1 : 0) << where << ", failing " << fail_at;
      EXPECT_EQ(CountingHeap::live, 4 * result) << where << ", failing " << fail_at;
      for (char* value : values) {
        EXPECT_EQ(value != nullptr, result == 1) << where << ", failing " << fail_at;
        if (value != nullptr) CountingHeap::Release(value);
      }
    }
  }
}

// The built module files.
std::string OwnModule() {
  return parcel::platform::ExecutableDirectory() + parcel::platform::ModuleFileName("parcel");
}

bool IsDll(const std::string& path) { return path.ends_with(".dll"); }

TEST(VersionModule, OwnModuleCarriesTheFourStamps) {
  const std::string path = OwnModule();
  EXPECT_EQ(Read(ReadVersionInfo, path.c_str()), kModuleValues) << path;
  StampScanner scanner;
  EXPECT_TRUE(parcel::version::detail::ScanFile(path.c_str(), &scanner)) << path;
  EXPECT_EQ(ValuesOf(scanner), kModuleValues);
  EXPECT_EQ(Read(ReadVersionResource, path.c_str()), IsDll(path) ? kModuleValues : Strings());
}

TEST(VersionModule, WindowsModuleResourceHoldsTheFourValues) {
  const std::string path = IsDll(OwnModule()) ? OwnModule() : PARCEL_TEST_WINDOWS_MODULE;
  if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
    std::fclose(file);
  } else {
    GTEST_SKIP() << path << " is not built (cmake --build --preset windows)";
  }
  EXPECT_EQ(Read(ReadVersionResource, path.c_str()), kModuleValues) << path;
  StampScanner scanner;
  EXPECT_TRUE(parcel::version::detail::ScanFile(path.c_str(), &scanner)) << path;
  EXPECT_EQ(ValuesOf(scanner), kModuleValues);
}

}  // namespace
