// The compression job through the interpreter: job descriptions, pairing of
// files with parts, entry names and sizes, response and error documents, and
// the archives read back independently.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <ctime>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "data/orb_data.h"
#include "host/transfer_form.h"
#include "interpreter/zip_interpreter.h"
#include "platform/alloc_hook.h"
#include "platform/crt.h"
#include "platform/utc_time.h"
#include "tests/external_readers.h"
#include "tests/transfer_test_util.h"
#include "tests/zip_reader.h"

namespace {

using parcel::platform::AllocSite;
using parcel::testing::ReadEntry;
using Files = std::vector<std::pair<std::string, std::string>>;

constexpr char kDeclaration[] = "<?xml version=\"1.0\"?>";

std::string Document(const std::string& files_xml,
                     const std::string& compress_attributes = " format=\"zip\"") {
  return std::string(kDeclaration) + "<REQUEST><COMPRESS" + compress_attributes + "><FILES>" +
         files_xml + "</FILES></COMPRESS></REQUEST>";
}

std::string ErrorDocument(int code, const std::string& message) {
  return std::string(kDeclaration) + "<RESPONSE><ERROR code=\"" + std::to_string(code) + "\">" +
         message + "</ERROR></RESPONSE>";
}

struct Answer {
  bool result = false;
  std::vector<parcel::host::OutputRecord> records;
  std::string response;  // owns the bytes the records view
  std::vector<ReadEntry> entries;
  std::string zip;
};

class ZipJobTest : public ::testing::Test {
 protected:
  ZipJobTest() : interpreter_(new ZipInterpreter) { interpreter_->Init(0); }
  ~ZipJobTest() override { interpreter_->Destroy(); }

  // Runs a request of META = `meta` and the given file parts.
  Answer Run(const std::string& meta, const Files& files) {
    Files tables = {{"META", meta}};
    tables.insert(tables.end(), files.begin(), files.end());
    return RunRequest(parcel::testing::RequestOf(tables));
  }

  Answer RunRequest(std::string request) {
    Answer answer;
    char* data = nullptr;
    std::uint32_t size = 0;
    answer.result = interpreter_->Process(request.data(),
                                          static_cast<std::uint32_t>(request.size()), &data, &size);
    answer.response.assign(data != nullptr ? data : "", size);
    interpreter_->Reset();
    std::string error;
    EXPECT_TRUE(parcel::host::ParseResponse(answer.response, &answer.records, &error)) << error;
    if (answer.records.size() == 2) {
      answer.zip = std::string(answer.records[1].data);
      parcel::testing::ReadArchive archive;
      EXPECT_TRUE(parcel::testing::ReadZip(answer.zip, &archive));
      answer.entries = std::move(archive.entries);
    }
    return answer;
  }

  // Expects a failed run that stored exactly the error document; Process
  // still answers true, since a response exists.
  void ExpectError(const Answer& answer, int code, const std::string& message) {
    EXPECT_TRUE(answer.result);
    ASSERT_EQ(answer.records.size(), 1u);
    EXPECT_EQ(answer.records[0].name, "META");
    EXPECT_EQ(answer.records[0].mime_type, "text/xml");
    EXPECT_EQ(answer.records[0].file_name, "");
    EXPECT_EQ(answer.records[0].data, ErrorDocument(code, message));
  }

  ZipInterpreter* interpreter_;
};

TEST_F(ZipJobTest, InvalidXmlDocumentIsExact) {
  std::string wrong_magic = "NotMagic" + std::string(100, ' ');
  Answer answer = RunRequest(wrong_magic);
  ExpectError(answer, 2, "invalid xml");
  EXPECT_EQ(answer.records[0].data.size(), 77u);
  EXPECT_EQ(answer.records[0].data,
            "<?xml version=\"1.0\"?><RESPONSE><ERROR code=\"2\">invalid xml</ERROR></RESPONSE>");
  ExpectError(Run("", {}), 2, "invalid xml");
  ExpectError(Run("not xml > at all", {}), 2, "invalid xml");
}

TEST_F(ZipJobTest, ReportsArchiveAndStoresItUnderItsName) {
  Answer answer = Run(Document("<FILE name=\"report.txt\" path=\"docs\" size=\"5\"/>"
                               "<FILE name=\"image.bin\"/>"),
                      {{"F1", "hello world"}, {"F2", std::string("\0\1\2\3", 4)}});
  EXPECT_TRUE(answer.result);
  ASSERT_EQ(answer.records.size(), 2u);
  const auto& meta = answer.records[0];
  const auto& zip = answer.records[1];
  EXPECT_EQ(meta.name, "META");
  EXPECT_EQ(meta.mime_type, "text/xml");
  EXPECT_EQ(zip.name, "ZIPFILE");
  EXPECT_EQ(zip.mime_type, "application/zip");
  EXPECT_TRUE(std::regex_match(zip.file_name, std::regex("zipfile_[0-9]+\\.zip"))) << zip.file_name;
  EXPECT_EQ(meta.data, std::string(kDeclaration) +
                           "<RESPONSE><COMPRESSED_FILE name=\"ZIPFILE\" type=\"application/zip\" "
                           "size=\"" +
                           std::to_string(zip.data.size()) + "\" url=\"/output/" + zip.file_name +
                           "\"/></RESPONSE>");
  ASSERT_EQ(answer.entries.size(), 2u);
  EXPECT_EQ(answer.entries[0].name, "docs\\report.txt");
  EXPECT_EQ(answer.entries[0].data, "hello");
  EXPECT_EQ(answer.entries[0].method, 8);
  EXPECT_EQ(answer.entries[1].name, "image.bin");
  EXPECT_EQ(answer.entries[1].data, std::string("\0\1\2\3", 4));
}

TEST_F(ZipJobTest, MetaDataChecks) {
  ExpectError(
      Run("<?xml version=\"1.0\"?><request><COMPRESS format=\"zip\"><FILES><FILE name=\"a\"/>"
          "</FILES></COMPRESS></request>",
          {{"F", "x"}}),
      2, "invalid meta data");
  ExpectError(Run(Document("<FILE name=\"a\"/>", ""), {{"F", "x"}}), 2, "invalid meta data");
  ExpectError(Run(std::string(kDeclaration) + "<REQUEST><OTHER a=\"1\"/></REQUEST>", {{"F", "x"}}),
              2, "invalid meta data");

  Answer lower =
      Run("<?xml version=\"1.0\"?><REQUEST><compress format=\"zip\"><files>"
          "<file name=\"a\"/></files></compress></REQUEST>",
          {{"F", "x"}});
  EXPECT_TRUE(lower.result);
  ASSERT_EQ(lower.entries.size(), 1u);

  Answer tar = Run(Document("<FILE name=\"a\"/>", " format=\"tar\""), {{"F", "x"}});
  EXPECT_TRUE(tar.result);
  EXPECT_EQ(tar.entries.size(), 1u);  // always a zip archive
}

TEST_F(ZipJobTest, FileListMustMatchParts) {
  ExpectError(Run(Document("<FILE name=\"a\"/><FILE name=\"b\"/>"), {{"F", "x"}}), 2,
              "invalid file list");
  ExpectError(Run(Document(""), {}), 2, "invalid file list");
  ExpectError(Run(Document("<FILE name=\"a\"/>"), {{"F", "x"}, {"G", "y"}}), 2,
              "invalid file list");
  ExpectError(Run(std::string(kDeclaration) + "<REQUEST><COMPRESS format=\"zip\"/></REQUEST>", {}),
              2, "invalid file list");
}

TEST_F(ZipJobTest, FilesPairWithPartsByPosition) {
  // The FILE element is the first FILE child, so it describes part 1; the
  // second part has no FILE element and is left out.
  Answer answer =
      Run(Document("<OTHER name=\"o\"/><FILE name=\"x\"/>"), {{"F1", "one"}, {"F2", "two"}});
  EXPECT_TRUE(answer.result);
  ASSERT_EQ(answer.entries.size(), 1u);
  EXPECT_EQ(answer.entries[0].name, "x");
  EXPECT_EQ(answer.entries[0].data, "one");
}

TEST_F(ZipJobTest, MetaElsewhereIsPackedInPlaceOfAFile) {
  std::string meta = Document("<FILE name=\"a\"/>");
  std::string request = parcel::testing::RequestOf({{"DATA", "first"}, {"META", meta}});
  Answer answer = RunRequest(request);
  EXPECT_TRUE(answer.result);
  ASSERT_EQ(answer.entries.size(), 1u);
  EXPECT_EQ(answer.entries[0].data, meta);
}

TEST_F(ZipJobTest, EntryNames) {
  Answer answer =
      Run(Document("<FILE name=\"a\"/><FILE path=\"p\"/><FILE size=\"1\"/>"
                   "<FILE path=\"a\\b\" name=\"c\"/><FILE path=\"\" name=\"e\"/>"
                   "<FILE name=\"x&amp;y &lt;z&gt;\"/><FILE name=\"a\"/>"),
          {{"1", "1"}, {"2", "2"}, {"3", "3"}, {"4", "4"}, {"5", "5"}, {"6", "6"}, {"7", "7"}});
  EXPECT_TRUE(answer.result);
  std::vector<std::string> names;
  for (const auto& e : answer.entries) names.push_back(e.name);
  EXPECT_EQ(names,
            (std::vector<std::string>{"a", "p\\file1", "file2", "a\\b\\c", "\\e", "x&y <z>", "a"}));
}

// Entry names that are UTF-8 beyond ASCII get the UTF-8 flag, so readers
// show them as written; other names keep their bytes and no flag.
TEST_F(ZipJobTest, Utf8NamesAreFlagged) {
  Answer answer = Run(Document("<FILE path=\"\xc3\xa9t\xc3\xa9\" name=\"caf\xc3\xa9.txt\"/>"
                               "<FILE name=\"plain.txt\"/><FILE name=\"caf\xe9.txt\"/>"
                               "<FILE name=\"\xe6\x97\xa5\xe6\x9c\xac.txt\"/>"),
                      {{"1", "one"}, {"2", "two"}, {"3", "three"}, {"4", "four"}});
  ASSERT_TRUE(answer.result);
  std::vector<std::pair<std::string, std::uint32_t>> got;
  for (const auto& e : answer.entries) got.emplace_back(e.name, e.flag);
  EXPECT_EQ(got, (std::vector<std::pair<std::string, std::uint32_t>>{
                     {"\xc3\xa9t\xc3\xa9\\caf\xc3\xa9.txt", 0x800},
                     {"plain.txt", 0},
                     {"caf\xe9.txt", 0},
                     {"\xe6\x97\xa5\xe6\x9c\xac.txt", 0x800}}));
}

TEST_F(ZipJobTest, ReadersListUtf8NamesAsWritten) {
  Answer listed = Run(Document("<FILE name=\"caf\xc3\xa9.txt\"/><FILE name=\"plain.txt\"/>"
                               "<FILE name=\"\xe6\x97\xa5\xe6\x9c\xac.txt\"/>"),
                      {{"1", "one"}, {"2", "two"}, {"3", "three"}});
  ASSERT_TRUE(listed.result);
  const auto lists = parcel::testing::ListWithExternalReaders(listed.zip);
  if (lists.empty()) GTEST_SKIP() << "no external zip reader on this machine";
  for (const auto& [reader, names] : lists) {
    EXPECT_EQ(names, (std::vector<std::string>{"caf\xc3\xa9.txt", "plain.txt",
                                               "\xe6\x97\xa5\xe6\x9c\xac.txt"}))
        << reader;
  }
}

TEST_F(ZipJobTest, SizeSelectsLeadingBytesOrLeavesFileOut) {
  const std::string part(100, 'q');
  struct Case {
    const char* size;
    int packed;  // -1: left out
  } cases[] = {{"10", 10}, {"100", 100}, {" +7", 7},  {"12abc", 12}, {"0", -1},
               {"-1", -1}, {"101", -1},  {"abc", -1}, {"", -1},      {"99999999999", -1}};
  for (const Case& c : cases) {
    Answer answer =
        Run(Document("<FILE name=\"f\" size=\"" + std::string(c.size) + "\"/>"), {{"F", part}});
    EXPECT_TRUE(answer.result) << c.size;
    if (c.packed < 0) {
      EXPECT_TRUE(answer.entries.empty()) << c.size;
    } else {
      ASSERT_EQ(answer.entries.size(), 1u) << c.size;
      EXPECT_EQ(answer.entries[0].data, part.substr(0, std::size_t(c.packed))) << c.size;
    }
  }
}

TEST_F(ZipJobTest, EveryFileLeftOutGivesEmptyArchive) {
  Answer answer = Run(Document("<FILE name=\"a\" size=\"0\"/><FILE/>"), {{"A", "x"}, {"B", "y"}});
  EXPECT_TRUE(answer.result);
  ASSERT_EQ(answer.records.size(), 2u);
  EXPECT_EQ(answer.records[1].data.size(), 22u);
  EXPECT_NE(answer.records[0].data.find("size=\"22\""), std::string::npos);
}

TEST_F(ZipJobTest, DuplicateNamesGiveTwoEntriesWithOneUtcTime) {
  const std::time_t before = std::time(nullptr);
  Answer answer = Run(Document("<FILE name=\"d\" path=\"p\"/><FILE name=\"d\" path=\"p\"/>"),
                      {{"A", "first"}, {"B", "second"}});
  const std::time_t after = std::time(nullptr);
  ASSERT_EQ(answer.entries.size(), 2u);
  EXPECT_EQ(answer.entries[0].name, answer.entries[1].name);
  EXPECT_EQ(answer.entries[0].time, answer.entries[1].time);
  // The stamp is the UTC time of the run, at DOS's two-second resolution.
  bool matches = false;
  for (std::time_t t = before; t <= after && !matches; ++t) {
    std::tm utc{};
    ASSERT_TRUE(parcel::platform::UtcTime(t, &utc));
    const std::uint32_t date =
        std::uint32_t(utc.tm_mday + 32 * (utc.tm_mon + 1) + 512 * (utc.tm_year - 80));
    const std::uint32_t time = std::uint32_t(utc.tm_sec / 2 + 32 * utc.tm_min + 2048 * utc.tm_hour);
    matches = answer.entries[0].time == ((date << 16) | time);
  }
  EXPECT_TRUE(matches);
}

TEST_F(ZipJobTest, ValuesLongerThanWorkingBuffersFailTheRequest) {
  const std::string part = "data";
  struct Case {
    std::string attributes;
    bool ok;
  } cases[] = {
      {"name=\"" + std::string(255, 'n') + "\"", true},
      {"name=\"" + std::string(256, 'n') + "\"", false},
      {"path=\"" + std::string(200, 'p') + "\" name=\"" + std::string(58, 'n') + "\"", true},
      {"path=\"" + std::string(200, 'p') + "\" name=\"" + std::string(59, 'n') + "\"", false},
      {"path=\"" + std::string(300, 'p') + "\" name=\"n\"", false},
      {"name=\"n\" size=\"" + std::string(78, '0') + "4\"", true},
      {"name=\"n\" size=\"" + std::string(79, '0') + "4\"", false},
  };
  for (const Case& c : cases) {
    Answer answer = Run(Document("<FILE " + c.attributes + "/>"), {{"F", part}});
    if (c.ok) {
      EXPECT_TRUE(answer.result) << c.attributes;
      ASSERT_EQ(answer.entries.size(), 1u);
      EXPECT_EQ(answer.entries[0].data, part);
    } else {
      ExpectError(answer, 2, "invalid file list");
    }
  }
}

TEST_F(ZipJobTest, ContainerMemoryFailuresGiveAnErrorOrTheWholeAnswer) {
  // Each container allocation fails in turn, the last being the archive's
  // adoption into the response: every run answers with the error document
  // alone, or nothing, or the complete answer; nothing leaks or is freed
  // twice (AddressSanitizer).
  const std::string meta = Document("<FILE name=\"a.txt\"/><FILE name=\"b.bin\"/>");
  const std::string data(70000, 'q');
  bool answered = false;
  std::size_t records_before = 1;
  for (long budget = 0; budget < 64 && !answered; ++budget) {
    parcel::platform::SetAllocFailure(
        {.site = AllocSite::kTransfer, .after = budget, .once = false});
    Answer answer = Run(meta, {{"A", "alpha"}, {"B", data}});
    parcel::platform::ClearAllocFailure();
    if (answer.records.size() == 2) {
      answered = true;
      // One allocation short, the adoption failed and so did the error
      // document after it: an empty answer.
      EXPECT_EQ(records_before, 0u);
      ASSERT_EQ(answer.entries.size(), 2u);
      EXPECT_EQ(answer.entries[1].data, data);
    } else if (answer.records.size() == 1) {
      EXPECT_EQ(answer.records[0].name, "META");
      EXPECT_NE(answer.records[0].data.find("<ERROR code="), std::string::npos);
    }
    records_before = answer.records.size();
  }
  EXPECT_TRUE(answered);
}

// Expects the answer of a run in which an allocation failed: the error
// document alone, nothing at all, or the whole answer.
void ExpectCleanFailure(const Answer& answer, const std::string& data, std::int64_t k) {
  if (answer.records.size() == 2) {
    ASSERT_EQ(answer.entries.size(), 2u) << k;
    EXPECT_EQ(answer.entries[1].data, data) << k;
  } else if (answer.records.size() == 1) {
    EXPECT_NE(answer.records[0].data.find("<ERROR code="), std::string::npos) << k;
  } else {
    EXPECT_TRUE(answer.records.empty()) << k;
  }
}

TEST_F(ZipJobTest, EveryAllocationOfTheJobFailingAloneGivesAnErrorOrTheWholeAnswer) {
  // Container, parser and writer fail by turns, counted across the whole job;
  // AddressSanitizer finds any leak or double release. Regression: when the
  // report could not be stored, the archive was answered without it.
  const std::string meta = Document("<FILE name=\"a.txt\"/><FILE name=\"b.bin\"/>");
  const std::string data(70000, 'q');
  for (std::int64_t k = 0;; ++k) {
    parcel::platform::SetAllocFailure({.site = std::nullopt, .after = k, .once = true});
    Answer answer = Run(meta, {{"A", "alpha"}, {"B", data}});
    const bool failed = parcel::platform::AllocationsCounted() > k;
    parcel::platform::ClearAllocFailure();
    if (!failed) {
      ASSERT_EQ(answer.entries.size(), 2u);
      EXPECT_EQ(answer.entries[1].data, data);
      break;
    }
    ExpectCleanFailure(answer, data, k);
    ASSERT_LT(k, 1000);
  }
}

TEST_F(ZipJobTest, AJobAllocatesAtEverySiteOfItsLayersAndSurvivesEachFirstFailure) {
  using parcel::platform::AllocSite;
  const std::string meta = Document("<FILE name=\"a.txt\"/><FILE name=\"b.bin\"/>");
  const std::string data(70000, 'q');
  for (AllocSite site :
       {AllocSite::kTransfer, AllocSite::kXml, AllocSite::kZipArchive, AllocSite::kZipBuffer,
        AllocSite::kZipCentralRecord, AllocSite::kZipDirBlock}) {
    parcel::platform::SetAllocFailure({.site = site, .after = INT64_MAX, .once = false});
    ExpectCleanFailure(Run(meta, {{"A", "alpha"}, {"B", data}}), data, 0);
    EXPECT_GT(parcel::platform::AllocationsCounted(), 0) << static_cast<int>(site);
    parcel::platform::SetAllocFailure({.site = site, .after = 0, .once = true});
    const Answer answer = Run(meta, {{"A", "alpha"}, {"B", data}});
    parcel::platform::ClearAllocFailure();
    EXPECT_LT(answer.records.size(), 2u) << static_cast<int>(site);
    ExpectCleanFailure(answer, data, static_cast<int>(site));
  }
}

TEST_F(ZipJobTest, ArchivesPassIndependentReaders) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i) + " of some text\n";
  std::string binary(300000, '\0');
  std::uint32_t x = 12345;
  for (char& c : binary) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
  Answer answer = Run(Document("<FILE name=\"t.txt\" path=\"dir\"/><FILE name=\"b.bin\"/>"
                               "<FILE name=\"one\"/>"),
                      {{"T", text}, {"B", binary}, {"O", "1"}});
  ASSERT_TRUE(answer.result);
  ASSERT_EQ(answer.entries.size(), 3u);
  EXPECT_EQ(answer.entries[0].data, text);
  EXPECT_EQ(answer.entries[1].data, binary);
  std::vector<std::string> ran;
  EXPECT_TRUE(parcel::testing::CheckWithExternalReaders(answer.zip, &ran).empty());
  if (ran.empty()) GTEST_SKIP() << "no external zip reader on this machine";
}

TEST(ZipJobDocuments, FormatErrorCutsToLimit) {
  char buffer[16];
  ZipInterpreter::FormatError(buffer, sizeof buffer, 2, "%s", "invalid xml");
  EXPECT_STREQ(buffer, "<ERROR code=\"2\"");
  char full[128];
  ZipInterpreter::FormatError(full, sizeof full, 4, "%s %d", "code", 7);
  EXPECT_STREQ(full, "<ERROR code=\"4\">code 7</ERROR>");
}

TEST(ZipJobDocuments, OutputNameIsTimeClockAndDigit) {
  // Seeds whose first value is 32767 and 0 give the digits 10 and 0.
  struct Case {
    int value;
    int digit;
  } cases[] = {{32767, 10}, {0, 0}, {16383, 4}};
  for (const Case& c : cases) {
    unsigned seed = 0;
    for (;; ++seed) {
      parcel::platform::SeedRand(seed);
      if (parcel::platform::Rand() == c.value) break;
    }
    parcel::platform::SeedRand(seed);
    const long t0 = long(std::time(nullptr)), c0 = parcel::platform::Clock();
    char name[260];
    ZipInterpreter::MakeOutputName("zipfile", "zip", name, sizeof name);
    const long t1 = long(std::time(nullptr)), c1 = parcel::platform::Clock();
    bool found = false;
    for (long t = t0; t <= t1 && !found; ++t) {
      for (long k = c0; k <= c1 && !found; ++k) {
        found = std::string(name) == "zipfile_" + std::to_string(t) + std::to_string(k) +
                                         std::to_string(c.digit) + ".zip";
      }
    }
    EXPECT_TRUE(found) << name << " for rand " << c.value;
  }
  char bare[260];
  ZipInterpreter::MakeOutputName("x", nullptr, bare, sizeof bare);
  EXPECT_EQ(std::strchr(bare, '.'), nullptr);
  EXPECT_EQ(std::string(bare).substr(0, 2), "x_");
}

}  // namespace
