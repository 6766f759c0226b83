// Tests of the data container: the request reader and the output writer.
#include "data/orb_data.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/alloc_hook.h"
#include "tests/transfer_test_util.h"

namespace {

using parcel::platform::AllocSite;
using parcel::testing::Field;
using parcel::testing::Header;
using parcel::testing::Rec;
using parcel::testing::Request;
using parcel::testing::RequestOf;
using parcel::testing::TableRecords;

class DataTest : public ::testing::Test {
 protected:
  // Loads `request` (kept alive by the fixture) into the container.
  int Load(std::string request) {
    buffer_ = std::move(request);
    return data_.ReadTransfer(buffer_.data(), static_cast<std::uint32_t>(buffer_.size()));
  }
  std::size_t Offset(int table) { return std::size_t(data_.GetTableData(table) - buffer_.data()); }

  std::string buffer_;
  OrbData data_;
};

// The worked example: a 300-byte job description and a 5000-byte file sent as
// five lines of 1024 bytes.
TEST_F(DataTest, WorkedExamplePlacesBothTables) {
  std::vector<std::string> records = {Rec("VERS", "1.0")};
  for (auto r : TableRecords("META", 1, 300)) records.push_back(r);
  for (auto r : TableRecords("FILE1", 5, 1024)) records.push_back(r);
  ASSERT_EQ(records.size(), 13u);
  std::string request = Request(records, std::string(300, 'x') + std::string(5120, 'y'));
  ASSERT_EQ(request.size(), 6092u);
  ASSERT_EQ(request.substr(16, 16), Field("624", 16));
  ASSERT_EQ(Load(request), 0);

  EXPECT_EQ(data_.GetTableCount(), 2);
  EXPECT_EQ(data_.FindTable("META"), 0);
  EXPECT_EQ(Offset(0), 672u);
  EXPECT_EQ(data_.GetTableLineWidth(0), 300);
  EXPECT_EQ(data_.GetTableLineCount(0), 1u);
  EXPECT_EQ(Offset(1), 972u);
  EXPECT_EQ(data_.GetTableLineWidth(1), 1024);
  EXPECT_EQ(data_.GetTableLineCount(1), 5u);
}

TEST_F(DataTest, FindTableMatchesNamePrefixFollowedByBlankIgnoringCase) {
  std::vector<std::string> records = {Rec("VERS", "1.0")};
  for (auto r : TableRecords("META", 1, 1)) records.push_back(r);
  for (auto r : TableRecords(std::string(40, 'N'), 1, 1)) records.push_back(r);
  ASSERT_EQ(Load(Request(records, "ab")), 0);
  EXPECT_EQ(data_.FindTable("meta"), 0);
  EXPECT_EQ(data_.FindTable("MET"), -1);
  EXPECT_EQ(data_.FindTable("METAX"), -1);
  EXPECT_EQ(data_.FindTable(std::string(40, 'N').c_str()), -1);  // 40 characters never match
  EXPECT_EQ(data_.FindTable(std::string(39, 'N').c_str()), -1);  // next byte is a letter
  EXPECT_EQ(data_.FindTable(nullptr), -1);
  EXPECT_EQ(data_.FindTable(""), -1);
}

TEST_F(DataTest, EmptyNameFindsFirstTableWithBlankValue) {
  std::vector<std::string> records = {Rec("VERS", "1.0")};
  for (auto r : TableRecords("A", 1, 1)) records.push_back(r);
  for (auto r : TableRecords("", 1, 1)) records.push_back(r);
  ASSERT_EQ(Load(Request(records, "ab")), 0);
  EXPECT_EQ(data_.FindTable(""), 1);
}

TEST_F(DataTest, OutOfRangeIndicesGiveNullOrZero) {
  ASSERT_EQ(Load(RequestOf({{"META", "abc"}})), 0);
  EXPECT_EQ(data_.GetTableData(-1), nullptr);
  EXPECT_EQ(data_.GetTableLineCount(data_.GetTableCount()), 0u);
  EXPECT_EQ(data_.GetTableLineWidth(1), 0);
  EXPECT_EQ(data_.GetTableData(INT_MAX), nullptr);
}

TEST_F(DataTest, LineWidthIsSumOfColumnWidths) {
  std::vector<std::string> records = {Rec("VERS", "1.0"), Rec("TBNM", "T"),  Rec("TBLN", "3"),
                                      Rec("TBWD", "30"),  Rec("CLWD", "10"), Rec("CLWD", "20")};
  ASSERT_EQ(Load(Request(records, std::string(90, 'z'))), 0);
  EXPECT_EQ(data_.GetTableLineWidth(0), 30);
  EXPECT_EQ(data_.GetTableLineCount(0), 3u);
}

TEST_F(DataTest, ColumnWidthsBeforeFirstTableBelongToNone) {
  std::vector<std::string> records = {Rec("VERS", "1.0"), Rec("CLWD", "99"), Rec("TBLN", "9"),
                                      Rec("TBNM", "T"),   Rec("TBLN", "1"),  Rec("TBWD", "4"),
                                      Rec("CLWD", "4")};
  ASSERT_EQ(Load(Request(records, "abcd")), 0);
  EXPECT_EQ(data_.GetTableLineWidth(0), 4);
  EXPECT_EQ(data_.GetTableLineCount(0), 1u);
}

TEST_F(DataTest, WrongMagicHoldsNoRequest) {
  std::string request = RequestOf({{"META", "abc"}});
  request[0] = 't';  // letter case counts
  EXPECT_EQ(Load(request), 1);
  EXPECT_EQ(data_.GetTableCount(), 0);
  EXPECT_EQ(data_.FindTable("META"), -1);
  EXPECT_EQ(data_.GetTableData(0), nullptr);
}

TEST_F(DataTest, NullOrEmptyBufferForgetsEarlierRequest) {
  ASSERT_EQ(Load(RequestOf({{"META", "abc"}})), 0);
  ASSERT_EQ(data_.GetTableCount(), 1);
  EXPECT_EQ(data_.ReadTransfer(nullptr, 100), 1);
  EXPECT_EQ(data_.GetTableCount(), 0);
  EXPECT_EQ(data_.FindTable("META"), -1);

  ASSERT_EQ(Load(RequestOf({{"META", "abc"}})), 0);
  ASSERT_EQ(data_.GetTableCount(), 1);
  EXPECT_EQ(data_.ReadTransfer(buffer_.data(), 0), 1);
  EXPECT_EQ(data_.GetTableCount(), 0);
}

TEST_F(DataTest, LowerCaseTagsAreRewrittenInPlace) {
  std::vector<std::string> records = {Rec("vers", "1.0"), Rec("tbnm", "T"), Rec("tbln", "1"),
                                      Rec("tbwd", "2"), Rec("clwd", "2")};
  ASSERT_EQ(Load(Request(records, "ab")), 0);
  EXPECT_EQ(data_.GetTableCount(), 1);  // decoding happens at the first query
  EXPECT_EQ(buffer_.substr(48, 8), std::string("VERS\0\0\0\0", 8));
  EXPECT_EQ(buffer_.substr(96, 8), std::string("TBNM\0\0\0\0", 8));
  EXPECT_EQ(data_.GetTableLineWidth(0), 2);
}

TEST_F(DataTest, DescriptionIsDecodedLazily) {
  std::vector<std::string> records = {Rec("vers", "1.0")};
  ASSERT_EQ(Load(Request(records, "")), 0);
  EXPECT_EQ(buffer_.substr(48, 4), "vers");
  EXPECT_EQ(data_.GetTableCount(), 0);
  EXPECT_EQ(buffer_.substr(48, 4), "VERS");
}

TEST_F(DataTest, TagsWithLeadingBlankOrFifthLetterAreIgnored) {
  std::vector<std::string> records = {Rec("VERS", "1.0"), Rec("TBNM", "T"), Rec(" TBLN", "5"),
                                      Rec("TBLNX", "6"),  Rec("TBLN", "1"), Rec("TBWD", "1"),
                                      Rec("CLWD", "1")};
  ASSERT_EQ(Load(Request(records, "a")), 0);
  EXPECT_EQ(data_.GetTableLineCount(0), 1u);
}

TEST_F(DataTest, VersionCheck) {
  struct Case {
    const char* value;
    int tables;
  } cases[] = {{"1.0", 1}, {"11.05", 1}, {"1.01", 1}, {"v 1.0 beta", 1}, {"2.0", 0}, {"", 0}};
  for (const Case& c : cases) {
    std::vector<std::string> records = {Rec("VERS", c.value)};
    for (auto r : TableRecords("T", 1, 1)) records.push_back(r);
    ASSERT_EQ(Load(Request(records, "a")), 0);
    EXPECT_EQ(data_.GetTableCount(), c.tables) << c.value;
  }
}

TEST_F(DataTest, FirstRecordMustBeVers) {
  std::vector<std::string> records = TableRecords("T", 1, 1);
  ASSERT_EQ(Load(Request(records, "a")), 0);
  EXPECT_EQ(data_.GetTableCount(), 0);
  EXPECT_EQ(data_.GetTableData(0), nullptr);
  // The records are still walked by name, though no table exists.
  EXPECT_EQ(data_.FindTable("T"), 0);
  EXPECT_EQ(data_.GetTableLineCount(0), 0u);
}

TEST_F(DataTest, DescriptionLengthBelowOneRecordGivesNoTables) {
  std::string request = Header("47") + Rec("VERS", "1.0").substr(0, 47) + std::string(10, 'a');
  ASSERT_EQ(Load(request), 0);
  EXPECT_EQ(data_.GetTableCount(), 0);
}

TEST_F(DataTest, DescriptionRemainderStillCountsForDataStart) {
  // D = 100: two records and 4 bytes that only move the data area to 148.
  std::string description = Rec("VERS", "1.0") + Rec("TBNM", "T") + "????";
  std::string request = Header("100") + description + "data";
  ASSERT_EQ(Load(request), 0);
  ASSERT_EQ(data_.GetTableCount(), 1);
  EXPECT_EQ(Offset(0), 148u);
}

TEST_F(DataTest, TablesAreBackToBackByLinesTimesWidth) {
  std::vector<std::string> records = {Rec("VERS", "1.0"), Rec("TBNM", "A"),  Rec("TBLN", "2"),
                                      Rec("TBWD", "10"),  Rec("CLWD", "10"), Rec("TBNM", "B"),
                                      Rec("TBLN", "1"),   Rec("TBWD", "5"),  Rec("CLWD", "5")};
  ASSERT_EQ(Load(Request(records, std::string(25, 'd'))), 0);
  EXPECT_EQ(Offset(1) - Offset(0), 20u);
}

TEST_F(DataTest, TableWithoutSizesSharesStartWithNext) {
  std::vector<std::string> records = {Rec("VERS", "1.0"), Rec("TBNM", "A"), Rec("TBNM", "B"),
                                      Rec("TBLN", "1"),   Rec("TBWD", "3"), Rec("CLWD", "3")};
  ASSERT_EQ(Load(Request(records, "abc")), 0);
  EXPECT_EQ(data_.GetTableCount(), 2);
  EXPECT_EQ(Offset(0), Offset(1));
}

TEST_F(DataTest, RequestWithoutDescriptionHoldsOneNamelessTable) {
  std::string request = Header("0", "7") + "payload";
  ASSERT_EQ(Load(request), 0);
  EXPECT_EQ(data_.GetTableCount(), 1);
  EXPECT_EQ(Offset(0), 48u);
  EXPECT_EQ(data_.GetTableLineCount(0), 7u);
  EXPECT_EQ(data_.GetTableLineWidth(0), 0);
  EXPECT_EQ(data_.FindTable(""), -1);

  ASSERT_EQ(Load(Header("0", "0")), 0);
  EXPECT_EQ(data_.GetTableCount(), 0);
}

// Hostile headers: nothing may make the container point outside the request.
TEST_F(DataTest, SizesThatDoNotFitTheRequestGiveNoTables) {
  struct Case {
    const char* name;
    std::vector<std::string> records;
    std::size_t data;
  } cases[] = {
      {"lines x width past the end",
       {Rec("TBNM", "T"), Rec("TBLN", "2"), Rec("TBWD", "10"), Rec("CLWD", "10")},
       19},
      {"column sum past the end",
       {Rec("TBNM", "T"), Rec("TBLN", "1"), Rec("TBWD", "1"), Rec("CLWD", "100")},
       10},
      {"32-bit product wraps",
       {Rec("TBNM", "T"), Rec("TBLN", "65536"), Rec("TBWD", "65536"), Rec("CLWD", "0")},
       10},
      {"negative lines",
       {Rec("TBNM", "T"), Rec("TBLN", "-1"), Rec("TBWD", "1"), Rec("CLWD", "1")},
       10},
      {"negative column",
       {Rec("TBNM", "T"), Rec("TBLN", "1"), Rec("TBWD", "1"), Rec("CLWD", "-5")},
       10},
      {"column sum wraps",
       {Rec("TBNM", "T"), Rec("TBLN", "1"), Rec("TBWD", "0"), Rec("CLWD", "2147483647"),
        Rec("CLWD", "2147483647"), Rec("CLWD", "2")},
       10},
      {"huge number saturates",
       {Rec("TBNM", "T"), Rec("TBLN", "99999999999999999999"), Rec("TBWD", "1"), Rec("CLWD", "1")},
       10},
  };
  for (const Case& c : cases) {
    std::vector<std::string> records = {Rec("VERS", "1.0")};
    records.insert(records.end(), c.records.begin(), c.records.end());
    ASSERT_EQ(Load(Request(records, std::string(c.data, 'd'))), 0) << c.name;
    EXPECT_EQ(data_.GetTableCount(), 0) << c.name;
    EXPECT_EQ(data_.GetTableData(0), nullptr) << c.name;
  }
}

TEST_F(DataTest, DescriptionLongerThanRequestGivesNoTables) {
  std::string request = Header("4294967295") + Rec("VERS", "1.0");
  ASSERT_EQ(Load(request), 0);
  EXPECT_EQ(data_.GetTableCount(), 0);
  EXPECT_EQ(data_.FindTable("VERS"), -1);
  ASSERT_EQ(Load(Header("-48") + Rec("VERS", "1.0")), 0);
  EXPECT_EQ(data_.GetTableCount(), 0);
}

TEST_F(DataTest, ShortBuffersAreRejectedWithoutReadingPastThem) {
  for (std::size_t n : {1u, 9u, 10u, 47u}) {
    std::string request = Header("0", "7").substr(0, n);
    // Exact-size heap copy so AddressSanitizer sees any read past the end.
    std::vector<char> exact(request.begin(), request.end());
    EXPECT_EQ(data_.ReadTransfer(exact.data(), static_cast<std::uint32_t>(n)), 1) << n;
    EXPECT_EQ(data_.GetTableCount(), 0);
  }
}

TEST_F(DataTest, NumbersRunningToTheEndOfTheBufferStopThere) {
  // The last record's value is all digits up to the very end of the request.
  std::string request = Header("96") + Rec("VERS", "1.0") + Field("TBNM", 8) + std::string(40, '7');
  std::vector<char> exact(request.begin(), request.end());
  EXPECT_EQ(data_.ReadTransfer(exact.data(), static_cast<std::uint32_t>(exact.size())), 0);
  EXPECT_EQ(data_.GetTableCount(), 1);
  // The version text has no NUL either: its search ends at the buffer end.
  std::string unterminated = Header("48") + Field("VERS", 8) + std::string(40, '9');
  std::vector<char> exact2(unterminated.begin(), unterminated.end());
  EXPECT_EQ(data_.ReadTransfer(exact2.data(), static_cast<std::uint32_t>(exact2.size())), 0);
  EXPECT_EQ(data_.GetTableCount(), 0);
}

TEST(DataNumber, ReadsLikeAtoiWithinBounds) {
  // clang-format off
  struct Case {
    const char* text;
    std::int32_t value;
  } cases[] = {{"  42 ", 42},        {"-17", -17},       {"+5x", 5},
               {"abc", 0},           {"", 0},            {"\t\n 9", 9},
               {"2147483648", INT32_MAX}, {"-2147483649", INT32_MIN}, {"12 34", 12}};
  // clang-format on
  for (const Case& c : cases) {
    EXPECT_EQ(parcel::data::ReadNumber(c.text, c.text + std::strlen(c.text)), c.value) << c.text;
  }
  const char digits[] = "123456";
  EXPECT_EQ(parcel::data::ReadNumber(digits, digits + 3), 123);
}

class DataOutputTest : public ::testing::Test {
 protected:
  OrbData data_;
};

TEST_F(DataOutputTest, RecordLayoutByteForByte) {
  std::string payload(100, 'p');
  ASSERT_EQ(data_.AppendOutput(payload.data(), 100, "text/xml", "META", nullptr), 0);
  char* out = nullptr;
  std::uint32_t length = 0;
  ASSERT_EQ(data_.GetOutput(&out, &length), 0);
  ASSERT_EQ(length, 260u);
  std::string record(out, length);
  EXPECT_EQ(record.substr(0, 11), std::string("TransMagic\0", 11));
  EXPECT_EQ(record.substr(16, 32), "text/xml" + std::string(24, ' '));
  EXPECT_EQ(record.substr(48, 32), "META" + std::string(28, ' '));
  EXPECT_EQ(record.substr(80, 64), std::string(64, ' '));
  EXPECT_EQ(record.substr(144, 4), std::string("100\0", 4));
  EXPECT_EQ(record.substr(160), payload);
}

TEST_F(DataOutputTest, SecondRecordFollowsFirstData) {
  std::string a(10, 'a'), b(20, 'b');
  ASSERT_EQ(data_.AppendOutput(a.data(), 10, "x/a", "A", "a.bin"), 0);
  ASSERT_EQ(data_.AppendOutput(b.data(), 20, "x/b", "B", "b.bin"), 0);
  char* out = nullptr;
  std::uint32_t length = 0;
  ASSERT_EQ(data_.GetOutput(&out, &length), 0);
  ASSERT_EQ(length, 350u);
  EXPECT_EQ(std::string(out + 170, 10), std::string("TransMagic"));
  EXPECT_EQ(std::string(out + 170 + 80, 5), "b.bin");
  EXPECT_EQ(std::string(out + 330, 20), b);
}

TEST_F(DataOutputTest, LongTextsAreCutToTheirFields) {
  std::string mime(40, 'm'), name(40, 'n'), file(80, 'f');
  ASSERT_EQ(data_.AppendOutput("x", 1, mime.c_str(), name.c_str(), file.c_str()), 0);
  char* out = nullptr;
  std::uint32_t length = 0;
  ASSERT_EQ(data_.GetOutput(&out, &length), 0);
  EXPECT_EQ(std::string(out + 16, 32), std::string(32, 'm'));
  EXPECT_EQ(std::string(out + 48, 32), std::string(32, 'n'));
  EXPECT_EQ(std::string(out + 80, 64), std::string(64, 'f'));
  EXPECT_EQ(std::string(out + 144, 2), std::string("1\0", 2));
}

TEST_F(DataOutputTest, RefusedAppendsLeaveOutputUnchanged) {
  ASSERT_EQ(data_.AppendOutput("abc", 3, "t", "N", nullptr), 0);
  EXPECT_EQ(data_.AppendOutput("abc", 0, "t", "N", nullptr), 1);
  EXPECT_EQ(data_.AppendOutput(nullptr, 3, "t", "N", nullptr), 1);
  EXPECT_EQ(data_.AppendOutput("abc", 3, nullptr, "N", nullptr), 1);
  // Lengths that cannot be stored are refused before anything is read.
  EXPECT_EQ(data_.AppendOutput("abc", 0x80000000u, "t", "N", nullptr), 1);
  EXPECT_EQ(data_.AppendOutput("abc", UINT32_MAX - 100, "t", "N", nullptr), 1);
  char* out = nullptr;
  std::uint32_t length = 0;
  ASSERT_EQ(data_.GetOutput(&out, &length), 0);
  EXPECT_EQ(length, 163u);
}

TEST_F(DataOutputTest, AllocationFailureLeavesOutputUnchanged) {
  ASSERT_EQ(data_.AppendOutput("abc", 3, "t", "N", nullptr), 0);
  parcel::platform::SetAllocFailure({.site = AllocSite::kTransfer, .after = 0, .once = false});
  EXPECT_EQ(data_.AppendOutput("defg", 4, "t", "N", nullptr), 1);
  parcel::platform::ClearAllocFailure();
  char* out = nullptr;
  std::uint32_t length = 0;
  ASSERT_EQ(data_.GetOutput(&out, &length), 0);
  EXPECT_EQ(length, 163u);
  EXPECT_EQ(std::string(out + 160, 3), "abc");
}

// A malloc block holding `bytes`, as the archive writer hands one out.
char* MallocCopy(const std::string& bytes) {
  char* block = static_cast<char*>(std::malloc(bytes.size()));
  std::memcpy(block, bytes.data(), bytes.size());
  return block;
}

TEST_F(DataOutputTest, AdoptedBlockGivesTheSameResponseAsACopy) {
  // Records before it, a large block (grown in place or moved) and a one-byte
  // block: the adopted record must equal the copied one byte for byte.
  const std::string large(3u << 20, 'L');
  const std::pair<std::string, std::string> cases[] = {{"<doc/>", large}, {"", "z"}};
  for (const auto& [before, adopted] : cases) {
    OrbData copied, adopting;
    if (!before.empty()) {
      ASSERT_EQ(copied.AppendOutput(before.data(), 6, "text/xml", "META", nullptr), 0);
      ASSERT_EQ(adopting.AppendOutput(before.data(), 6, "text/xml", "META", nullptr), 0);
    }
    ASSERT_EQ(copied.AppendOutput(adopted.data(), std::uint32_t(adopted.size()), "application/zip",
                                  "ZIPFILE", "z.zip"),
              0);
    ASSERT_EQ(adopting.AppendOutputAdopting(MallocCopy(adopted), std::uint32_t(adopted.size()),
                                            "application/zip", "ZIPFILE", "z.zip"),
              0);
    char *a = nullptr, *b = nullptr;
    std::uint32_t a_length = 0, b_length = 0;
    ASSERT_EQ(copied.GetOutput(&a, &a_length), 0);
    ASSERT_EQ(adopting.GetOutput(&b, &b_length), 0);
    ASSERT_EQ(a_length, b_length);
    EXPECT_TRUE(std::memcmp(a, b, a_length) == 0) << adopted.size();
  }
}

TEST_F(DataOutputTest, RefusedAdoptionLeavesTheBlockWithTheCaller) {
  ASSERT_EQ(data_.AppendOutput("abc", 3, "t", "N", nullptr), 0);
  char* block = MallocCopy("defg");
  EXPECT_EQ(data_.AppendOutputAdopting(block, 0, "t", "N", nullptr), 1);
  EXPECT_EQ(data_.AppendOutputAdopting(block, 4, nullptr, "N", nullptr), 1);
  EXPECT_EQ(data_.AppendOutputAdopting(block, 0x80000000u, "t", "N", nullptr), 1);
  parcel::platform::SetAllocFailure({.site = AllocSite::kTransfer, .after = 0, .once = false});
  EXPECT_EQ(data_.AppendOutputAdopting(block, 4, "t", "N", nullptr), 1);
  parcel::platform::ClearAllocFailure();
  // Still the caller's, unchanged (AddressSanitizer checks the access and the
  // release here).
  EXPECT_EQ(std::string(block, 4), "defg");
  std::free(block);
  char* out = nullptr;
  std::uint32_t length = 0;
  ASSERT_EQ(data_.GetOutput(&out, &length), 0);
  EXPECT_EQ(length, 163u);
  EXPECT_EQ(std::string(out + 160, 3), "abc");
}

TEST_F(DataOutputTest, OutputLifecycle) {
  EXPECT_FALSE(data_.HasOutput());
  char* out = reinterpret_cast<char*>(1);
  std::uint32_t length = 7;
  EXPECT_EQ(data_.GetOutput(nullptr, &length), 1);
  EXPECT_EQ(data_.GetOutput(&out, nullptr), 1);
  EXPECT_EQ(length, 7u);
  ASSERT_EQ(data_.GetOutput(&out, &length), 0);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(length, 0u);

  ASSERT_EQ(data_.AppendOutput("abc", 3, "t", "N", nullptr), 0);
  EXPECT_TRUE(data_.HasOutput());
  data_.ResetOutput();
  EXPECT_FALSE(data_.HasOutput());
  data_.ResetOutput();

  // An accepted request starts a new response (the old one is released, not leaked).
  ASSERT_EQ(data_.AppendOutput("abc", 3, "t", "N", nullptr), 0);
  std::string request = RequestOf({{"META", "abc"}});
  ASSERT_EQ(data_.ReadTransfer(request.data(), static_cast<std::uint32_t>(request.size())), 0);
  EXPECT_FALSE(data_.HasOutput());
}

TEST(DataAllocation, FailingEachAllocationInTurnLeavesNoTablesAndNoLeak) {
  std::string request = RequestOf({{"META", "abc"}, {"F", "defg"}});
  for (long budget = 0;; ++budget) {
    OrbData data;
    std::string copy = request;
    ASSERT_EQ(data.ReadTransfer(copy.data(), static_cast<std::uint32_t>(copy.size())), 0);
    parcel::platform::SetAllocFailure(
        {.site = AllocSite::kTransfer, .after = budget, .once = false});
    int tables = data.GetTableCount();
    parcel::platform::ClearAllocFailure();
    if (tables == 2) break;
    EXPECT_EQ(tables, 0) << budget;
    EXPECT_EQ(data.GetTableData(0), nullptr);
    ASSERT_LT(budget, 20);
  }
}

}  // namespace
