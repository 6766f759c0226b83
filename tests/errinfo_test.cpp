// Tests of the error information: records set from texts and formats, field
// replacement, the transfer form in both directions (with an EBCDIC encoder
// written here), hostile peer records, the trace it writes and the message file.
#include "errinfo/errinfo.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "platform/alloc_hook.h"
#include "runtime/mem.h"
#include "runtime/trace.h"
#include "tests/temp_stream.h"

namespace {

namespace ei = parcel::errinfo;
using parcel::platform::WallTime;

constexpr std::int64_t kNow = 1700000000;
WallTime FixedClock() { return {kNow, 0}; }

// The C library's own asctime text, without its newline: the reference for TIME.
std::string Asctime(std::int64_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  return std::string(std::asctime(std::localtime(&t)), 24);
}

// ErrReplace of a text field: `value` is no format there, which the
// compiler's format check cannot know; the call through a pointer skips it.
int ReplaceText(int index, const char* value) {
  int (*replace)(int, const char*, ...) noexcept = ErrReplace;
  return replace(index, value);
}

std::string SysText(int number) {
  char text[256];
  return ErrSysText(number, text, sizeof text);
}

// The stored record's bytes.
std::string StoredBytes() {
  const char* address = nullptr;
  int length = 0;
  if (ErrGetRecord(&address, &length) != 0) return std::string();
  return std::string(address, static_cast<std::size_t>(length));
}

// The stored record split at its NULs: a reader independent of ErrGetFld.
std::vector<std::string> StoredFields() {
  std::vector<std::string> fields;
  std::string bytes = StoredBytes();
  std::size_t begin = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\0') {
      fields.push_back(bytes.substr(begin, i - begin));
      begin = i + 1;
    }
  }
  return fields;
}

// A record in internal form made of `fields`.
std::string MakeRecord(const std::vector<std::string>& fields) {
  std::string record;
  for (const std::string& f : fields) record.append(f).push_back('\0');
  return record;
}

std::vector<std::string> PlainFields() {
  std::vector<std::string> f(21);
  f[0] = f[20] = "*ERR*";
  f[1] = "1";
  f[2] = "peer error";
  f[5] = "700";
  f[14] = "9";
  return f;
}

// ISO 8859-1 to code page 500 for the 7-bit text of records: NUL and
// 0x20..0x7E (row by row from 0x20).
unsigned char ToEbcdic500(unsigned char c) {
  static const unsigned char kPrintable[95] = {
      0x40, 0x4F, 0x7F, 0x7B, 0x5B, 0x6C, 0x50, 0x7D, 0x4D, 0x5D, 0x5C, 0x4E, 0x6B, 0x60,
      0x4B, 0x61, 0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0x7A, 0x5E,
      0x4C, 0x7E, 0x6E, 0x6F, 0x7C, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9,
      0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xE2, 0xE3, 0xE4, 0xE5, 0xE6,
      0xE7, 0xE8, 0xE9, 0x4A, 0xE0, 0x5A, 0x5F, 0x6D, 0x79, 0x81, 0x82, 0x83, 0x84, 0x85,
      0x86, 0x87, 0x88, 0x89, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0xA2,
      0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xC0, 0xBB, 0xD0, 0xA1};
  if (c == 0) return 0;
  EXPECT_TRUE(c >= 0x20 && c <= 0x7E) << "no test encoding for byte " << int(c);
  return (c >= 0x20 && c <= 0x7E) ? kPrintable[c - 0x20] : 0x6F;  // '?'
}

std::string ToEbcdic(const std::string& latin1) {
  std::string out;
  for (char c : latin1)
    out.push_back(static_cast<char>(ToEbcdic500(static_cast<unsigned char>(c))));
  return out;
}

// A trace stream in a temporary file; Text() reads back what reached it.
class TempStream : public parcel::testing::TempStream {
 public:
  TempStream() : parcel::testing::TempStream("parcel_errinfo_") {}
};

class ErrInfo : public ::testing::Test {
 protected:
  void SetUp() override {
    ei::ResetErrInfo();
    parcel::runtime::ResetTrace();
    trcStampMode = 0;
    ei::SetErrClock(FixedClock);
    ASSERT_NE(trace_.get(), nullptr);
  }
  void TearDown() override {
    parcel::platform::ClearAllocFailure();
    parcel::runtime::ResetTrace();
    ei::ResetErrInfo();
  }
  // Trace at `level` into trace_.
  void Trace(int level) {
    trcLevel = level;
    trcHandle = trace_.get();
  }
  // A stored record of known fields.
  void StorePlain() { ASSERT_EQ(ErrCpTo(plain_.data(), static_cast<int>(plain_.size())), 0); }

  TempStream trace_;
  const std::string plain_ = MakeRecord(PlainFields());
};

// --- Setting records ---------------------------------------------------------

TEST_F(ErrInfo, FormatOfNetworkLayerGivesListedFields) {
  ASSERT_EQ(ErrSetFmt("NI (network interface)", 38, "nixx", 172, "NI library not started", -24,
                      "%s: NI library not initialized (%d)", "NiThrInit", 0),
            0);
  const std::vector<std::string> expected = {"*ERR*",
                                             "1",
                                             "NI library not started",
                                             "-24",
                                             "NI (network interface)",
                                             "700",
                                             "38",
                                             "nixx",
                                             "172",
                                             "NiThrInit: NI library not initialized (0)",
                                             Asctime(kNow),
                                             "",
                                             "",
                                             "",
                                             "1",
                                             "",
                                             "",
                                             "",
                                             "",
                                             "",
                                             "*ERR*"};
  EXPECT_EQ(StoredFields(), expected);
  EXPECT_EQ(StoredBytes(), MakeRecord(expected));
  for (int i = 0; i < 21; ++i) EXPECT_EQ(ErrGetFld(i), expected[i]) << "field " << i;
  EXPECT_TRUE(ErrHasInfo());
}

TEST_F(ErrInfo, NumbersAreEmptyForZeroAndCounterCounts) {
  ASSERT_EQ(ErrISetSys(nullptr, 0, nullptr, 0, 0, nullptr, 0, nullptr, nullptr, 0, nullptr, nullptr,
                       nullptr, nullptr),
            0);
  ei::SetErrLocation("host7/worker");
  ASSERT_EQ(ErrISetSys("c", -1, "m", 9, 0, "e", 7, "d", "recv", EACCES, "M1", "a;;;;b", "M2", "c"),
            0);
  const std::vector<std::string> expected = {"*ERR*",
                                             "1",
                                             "e",
                                             "7",
                                             "c",
                                             "700",
                                             "-1",
                                             "m",
                                             "9",
                                             "d",
                                             Asctime(kNow),
                                             "recv",
                                             std::to_string(EACCES),
                                             SysText(EACCES),
                                             "2",
                                             "host7/worker",
                                             "M1",
                                             "a;;;;b",
                                             "M2",
                                             "c",
                                             "*ERR*"};
  EXPECT_EQ(StoredFields(), expected);
  EXPECT_EQ(errCounter, 2);
  EXPECT_FALSE(SysText(EACCES).empty());
}

// Fields 2, 9, 16, 17, 18 and 19 of the stored record (message, detail,
// message number, argument texts, detail number, detail texts), joined by '|'.
std::string MessageFields() {
  std::string fields;
  for (int index : {2, 9, 16, 17, 18, 19}) fields.append(ErrGetFld(index)).push_back('|');
  fields.pop_back();
  return fields;
}

TEST_F(ErrInfo, MessageNumbersAndArgumentTexts) {
  const struct {
    const char* name;
    int number_length;
    bool sys;
    const char* error_format;
    const char* detail_format;
    const char* fields;  // MessageFields
  } cases[] = {
      {"both numbered", 3, false, "(123)%s: error %d", "(456)detail %s",
       "abc: error 5|detail x|123|abc;;;;5|456|x"},
      {"detail without number", 3, false, "(123)%s: error %d", "detail %s",
       "abc: error 5|detail x|123|abc;;;;5||"},
      {"numbers off", 0, false, "(123)%s: error %d", "detail %s", "(123)abc: error 5|detail x||||"},
      {"prefix of other length", 4, false, "(123)%s: error %d", "(45)detail %s",
       "(123)abc: error 5|(45)detail x||||"},
      {"sys keeps all argument texts", 0, true, "%s: error %d", "detail %s",
       "abc: error 5|detail x||abc;;;;5||x"},
  };
  for (const auto& c : cases) {
    errMsgNoLength = c.number_length;
    int rc = c.sys ? ErrSetFmtSys("c", 1, "m", 1, 0, c.error_format, 1, c.detail_format, "", 0,
                                  "abc", 5, "x")
                   : ErrSetFmt("c", 1, "m", 1, c.error_format, 1, c.detail_format, "abc", 5, "x");
    ASSERT_EQ(rc, 0) << c.name;
    EXPECT_EQ(MessageFields(), c.fields) << c.name;
  }
}

TEST_F(ErrInfo, ArgumentsAreNeverReadAsFormats) {
  errMsgNoLength = 1;
  // Percent signs and the separator in arguments stay as they are.
  ASSERT_EQ(ErrSetFmt("c", 1, "m", 1, "(E)%s|%c", 1, "(D)%s", "%s%n%x::::", 'q', "a::::b"), 0);
  EXPECT_STREQ(ErrGetFld(2), "%s%n%x::::|q");
  EXPECT_STREQ(ErrGetFld(9), "a::::b");
  EXPECT_STREQ(ErrGetFld(17), "%s%n%x::::;;;;q");
  EXPECT_STREQ(ErrGetFld(19), "a::::b");
}

TEST_F(ErrInfo, CountConversionWritesNothingAndKeepsArgumentsInStep) {
  errMsgNoLength = 1;
  int count = 12345;
  short short_count = 77;
  ASSERT_EQ(ErrSetFmt("c", 1, "m", 1, "(E)a%nb%hn", 1, "(D)%d/%s", &count, &short_count, 7, "z"),
            0);
  EXPECT_EQ(count, 12345);
  EXPECT_EQ(short_count, 77);
  EXPECT_STREQ(ErrGetFld(2), "ab");
  EXPECT_STREQ(ErrGetFld(9), "7/z");
  EXPECT_STREQ(ErrGetFld(17), ";;;;");  // two conversions, both without text
  EXPECT_STREQ(ErrGetFld(19), "7;;;;z");
}

TEST_F(ErrInfo, ConversionsFormatAsTheCLibraryDoes) {
  long long big = -1234567890123LL;
  std::size_t size = 42;
  const char* null_text = nullptr;
  // Held in a variable: the compiler would flag the unknown conversion at the end.
  const char* format = "%5d|%-4s|%04x|%lld|%zu|%.2f|%*d|%.*s|%s|%%|%q";
  ASSERT_EQ(ErrSetFmt("c", 1, "m", 1, format, 1, "d", 42, "ab", 255u, big, size, 2.5, 3, 7, 2,
                      "xyz", null_text),
            0);
  EXPECT_STREQ(ErrGetFld(2), "   42|ab  |00ff|-1234567890123|42|2.50|  7|xy|(null)|%|%q");
}

// Texts this long never fit a record; the dump of the refused record shows
// how they were cut.
TEST_F(ErrInfo, TextsShareTheirLimit) {
  struct Case {
    std::size_t error_length;
    std::size_t cut_error_length;
    std::size_t cut_detail_length;  // what the error text leaves, less the separator
  };
  const Case cases[] = {{600, 500, 0}, {496, 496, 0}, {495, 495, 1}, {300, 300, 196}};
  const std::string detail(400, 'd');
  for (const Case& c : cases) {
    TempStream trace;
    trcLevel = 1;
    trcHandle = trace.get();
    const std::string error(c.error_length, 'e');
    EXPECT_EQ(ErrSetFmtSys("c", 1, "m", 1, 0, "%s", 1, "%s", "", 0, error.c_str(), detail.c_str()),
              -1);
    const std::string cut_error(c.cut_error_length, 'e');
    const std::string cut_detail(c.cut_detail_length, 'd');
    const std::string text = trace.Text();
    EXPECT_NE(text.find("\nERROR       " + cut_error + "\n"), std::string::npos) << c.error_length;
    EXPECT_NE(text.find("\nDETAIL      " + cut_detail + "\n"), std::string::npos) << c.error_length;
    EXPECT_NE(text.find("\nDESCR VARGS " + cut_error + "\n"), std::string::npos) << c.error_length;
    EXPECT_NE(text.find("\nDETAIL VARGS" + cut_detail + "\n"), std::string::npos) << c.error_length;
  }
}

TEST_F(ErrInfo, RecordOfFiveHundredBytesFitsAndOneMoreIsRefused) {
  ASSERT_EQ(ErrISetSys("c", 1, "m", 1, 0, "", 1, "d", "", 0, "", "", "", ""), 0);
  const int base = static_cast<int>(StoredBytes().size());
  const std::string fits(static_cast<std::size_t>(500 - base), 'x');
  ASSERT_EQ(ErrISetSys("c", 1, "m", 1, 0, fits.c_str(), 1, "d", "", 0, "", "", "", ""), 0);
  EXPECT_EQ(StoredBytes().size(), 500u);

  Trace(1);
  const std::string too_long = fits + "x";
  EXPECT_EQ(ErrISetSys("c", 1, "m", 1, 0, too_long.c_str(), 1, "d", "", 0, "", "", "", ""), -1);
  EXPECT_FALSE(ErrHasInfo());
  EXPECT_STREQ(ErrGetFld(2), "");
  const char* address = nullptr;
  int length = -1;
  EXPECT_EQ(ErrGetRecord(&address, &length), -2);
  EXPECT_EQ(length, 0);
  ASSERT_NE(address, nullptr);
  for (int i = 0; i < 500; ++i) ASSERT_EQ(address[i], '\0') << "byte " << i;

  const std::string text = trace_.Text();
  EXPECT_NE(text.find("*** ERROR => ErrISetSys: error info too large [err          944]\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find(Asctime(kNow) + "\nLOCATION    \nERROR       " + too_long + "\nTIME        " +
                      Asctime(kNow) + "\nRELEASE     700\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("DETAIL MSG N\nDETAIL VARGS\nCOUNTER     3\n"), std::string::npos) << text;
}

TEST_F(ErrInfo, TraceFlagWritesTraceLineAndSystemLogRecord) {
  static std::string log;
  log.clear();
  trcLogHook = [](char type, const char* id, const char* record) {
    log = std::string(1, type) + "|" + id + "|" + std::string(record, 64);
  };
  trcCopyHook = [](char* destination, const char* source, int count) {
    std::memcpy(destination, source, static_cast<std::size_t>(count));
  };
  Trace(1);
  ASSERT_EQ(
      ErrISetSys("c", 1, "nimod", 77, 1, "e", 1, "connect to x", "sendto", EACCES, "", "", "", ""),
      0);
  EXPECT_EQ(trace_.Text(), "***LOG Q0I=> connect to x: sendto (" + std::to_string(EACCES) + ": " +
                               SysText(EACCES) + ") [nimod 77]\n");
  // 38 bytes of formatted text (its NUL and blanks after it), 7 of the detail,
  // 7 of the system call, the module name from the trace location and its line.
  char syslog_text[64];
  std::snprintf(syslog_text, sizeof syslog_text, "%14.14s%3d", "sendto", EACCES);
  std::string expected_record = std::string(syslog_text) + std::string(1, '\0');
  expected_record.resize(38, ' ');
  expected_record += "connectsendto nimod   77";
  EXPECT_EQ(log.substr(0, 6 + expected_record.size()), "m|Q0I|" + expected_record);
  EXPECT_EQ(trcEntryLevel, 2);
  EXPECT_EQ(trcNesting.load(), 0);

  // Without the flag, or with the switch off, neither is written.
  log.clear();
  ASSERT_EQ(ErrISetSys("c", 1, "nimod", 78, 0, "e", 1, "d", "s", 0, "", "", "", ""), 0);
  errLogSwitch = 0;
  ASSERT_EQ(ErrISetSys("c", 1, "nimod", 79, 1, "e", 1, "d", "s", 0, "", "", "", ""), 0);
  EXPECT_EQ(log, "");
  EXPECT_EQ(trace_.Text().find("[nimod 78]"), std::string::npos);
  EXPECT_EQ(trace_.Text().find("[nimod 79]"), std::string::npos);
}

TEST_F(ErrInfo, TextsMayComeFromTheStoredRecord) {
  ASSERT_EQ(ErrSetFmt("comp", 1, "mod", 2, "first error", 3, "first detail"), 0);
  ASSERT_EQ(ErrISetSys(ErrGetFld(4), 1, ErrGetFld(7), 2, 0, ErrGetFld(9), 3, ErrGetFld(2), "", 0,
                       "", "", "", ""),
            0);
  EXPECT_STREQ(ErrGetFld(2), "first detail");
  EXPECT_STREQ(ErrGetFld(9), "first error");
  ASSERT_EQ(ReplaceText(4, ErrGetFld(7)), 0);
  EXPECT_STREQ(ErrGetFld(4), "mod");
  ASSERT_EQ(ErrReplace(2, "%s+%s", ErrGetFld(2), ErrGetFld(9)), 0);
  EXPECT_STREQ(ErrGetFld(2), "first detail+first error");
}

// --- Reading -----------------------------------------------------------------

TEST_F(ErrInfo, FieldReadsAtAndBeyondTheEnds) {
  Trace(2);
  EXPECT_STREQ(ErrGetFld(2), "");
  EXPECT_EQ(trace_.Text(), "ErrGetFld: no error info available\n");
  StorePlain();
  EXPECT_STREQ(ErrGetFld(-7), "*ERR*");
  EXPECT_STREQ(ErrGetFld(20), "*ERR*");
  EXPECT_STREQ(ErrGetFld(21), "");
  EXPECT_STREQ(ErrGetFld(1000), "");
  EXPECT_EQ(ErrClear(), 0);
  EXPECT_STREQ(ErrGetFld(2), "");
  EXPECT_FALSE(ErrHasInfo());
  EXPECT_EQ(ErrClear(), 0);
}

TEST_F(ErrInfo, TransferFormReplacesHighBytes) {
  ASSERT_EQ(ErrSetFmt("c", 1, "m", 1,
                      "Gr\xE4"
                      "fin \xFF\x80",
                      1, "d"),
            0);
  const std::string stored = StoredBytes();
  char buffer[500];
  int length = -1;
  ASSERT_EQ(ErrGetNetForm(buffer, &length, sizeof buffer), 0);
  ASSERT_EQ(length, static_cast<int>(stored.size()));
  std::string expected = stored;
  expected.replace(expected.find("Gr\xE4"), 9, "Gr#fin ##");
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(length)), expected);

  // A buffer one byte short holds what fits.
  std::memset(buffer, 0, sizeof buffer);
  EXPECT_EQ(ErrGetNetForm(buffer, &length, static_cast<int>(stored.size()) - 1), -8);
  EXPECT_EQ(length, static_cast<int>(stored.size()) - 1);
  EXPECT_EQ(std::string(buffer, static_cast<std::size_t>(length)),
            expected.substr(0, stored.size() - 1));

  ErrClear();
  EXPECT_EQ(ErrGetNetForm(buffer, &length, sizeof buffer), 0);
  EXPECT_EQ(length, 0);
}

TEST_F(ErrInfo, SystemTextIsCutAndRefusesEmptyBuffers) {
  char buffer[8] = "unused";
  EXPECT_EQ(ErrSysText(EACCES, buffer, 0), nullptr);
  EXPECT_EQ(ErrSysText(EACCES, nullptr, 8), nullptr);
  EXPECT_STREQ(buffer, "unused");
  EXPECT_EQ(ErrSysText(EACCES, buffer, 1), buffer);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(ErrSysText(EACCES, buffer, 5), buffer);
  EXPECT_EQ(std::string(buffer), SysText(EACCES).substr(0, 4));
  // C library numbers carry the C library's text on every platform.
  EXPECT_EQ(SysText(EACCES), std::strerror(EACCES));
  EXPECT_EQ(SysText(ENOENT), std::strerror(ENOENT));
}

// Windows and Windows Sockets numbers are the system's on Windows and
// unknown elsewhere.
TEST_F(ErrInfo, SystemTextOfOperatingSystemNumbers) {
  const int numbers[] = {10013 /* socket access */, 10061 /* connection refused */,
                         1460 /* timeout */};
  for (int n : numbers) {
    std::string text = SysText(n);
#if defined(_WIN32)
    EXPECT_FALSE(text.empty()) << n;
    EXPECT_EQ(text.find("Unknown error"), std::string::npos) << n << ": " << text;
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << n << ": " << text;
    EXPECT_NE(text.back(), ' ') << n;
#else
    EXPECT_EQ(text, "") << n;
#endif
  }
}

// --- Replacing ---------------------------------------------------------------

TEST_F(ErrInfo, ReplaceRefusesFieldsItCannotReplace) {
  Trace(2);
  EXPECT_EQ(ErrReplace(2, "x"), -2);
  EXPECT_EQ(trace_.Text(), "ErrReplace: no error info available\n");
  StorePlain();
  const std::string before = StoredBytes();
  struct Case {
    int index;
    const char* value;
  };
  const Case cases[] = {{10, "x"}, {1, "x"}, {0, "x"},    {20, "x"},          {-1, "x"},
                        {3, "1x"}, {3, ""},  {14, "--1"}, {12, "99999999999"}};
  for (const Case& c : cases) {
    EXPECT_EQ(ReplaceText(c.index, c.value), -3) << c.index << " " << c.value;
  }
  EXPECT_EQ(StoredBytes(), before);
}

TEST_F(ErrInfo, ReplaceWritesEachKindOfField) {
  errMsgNoLength = 2;
  StorePlain();
  ASSERT_EQ(ErrReplace(2, "(42)%s failed (%d)", "connect", -7), 0);
  EXPECT_STREQ(ErrGetFld(2), "connect failed (-7)");
  EXPECT_STREQ(ErrGetFld(16), "42");
  EXPECT_STREQ(ErrGetFld(17), "connect;;;;-7");
  ASSERT_EQ(ErrReplace(9, "%s now", "unnumbered"), 0);
  EXPECT_STREQ(ErrGetFld(9), "unnumbered now");
  EXPECT_STREQ(ErrGetFld(18), "");
  EXPECT_STREQ(ErrGetFld(19), "");
  ASSERT_EQ(ErrReplace(3, "%d", 0), 0);
  EXPECT_STREQ(ErrGetFld(3), "");
  ASSERT_EQ(ErrReplace(14, "%d", -5), 0);
  EXPECT_STREQ(ErrGetFld(14), "-5");
  ASSERT_EQ(ErrReplace(12, "%d", 0), 0);
  EXPECT_STREQ(ErrGetFld(12), "0");
  EXPECT_STREQ(ErrGetFld(13), "");
  ASSERT_EQ(ErrReplace(12, "%d", EACCES), 0);
  EXPECT_EQ(ErrGetFld(12), std::to_string(EACCES));
  EXPECT_EQ(ErrGetFld(13), SysText(EACCES));
  ASSERT_EQ(ErrReplace(15, "%s:%d", "host", 3), 0);
  EXPECT_STREQ(ErrGetFld(15), "host:3");
  ASSERT_EQ(ReplaceText(4, "100%"), 0);  // a text, not a format
  EXPECT_STREQ(ErrGetFld(4), "100%");
  ASSERT_EQ(ErrReplace(7, nullptr), 0);
  EXPECT_STREQ(ErrGetFld(7), "");
  // The fields around the replaced ones moved with them.
  std::vector<std::string> fields = StoredFields();
  ASSERT_EQ(fields.size(), 21u);
  EXPECT_EQ(fields[20], "*ERR*");
  EXPECT_EQ(fields[5], "700");
}

TEST_F(ErrInfo, ReplaceBeyondTheAreaLeavesTheRecordWhole) {
  StorePlain();
  const std::string before = StoredBytes();
  const std::string fits(500 - before.size() + std::strlen(ErrGetFld(2)), 'y');
  Trace(1);
  const std::string too_long = fits + "y";
  EXPECT_EQ(ErrReplace(2, "%s", too_long.c_str()), -1);
  EXPECT_EQ(StoredBytes(), before);
  EXPECT_NE(
      trace_.Text().find("*** ERROR => ErrReplace: error info too large [err          2036]\n"),
      std::string::npos)
      << trace_.Text();
  // With a message number the text itself fits, its argument text no longer:
  // nothing changes.
  errMsgNoLength = 1;
  EXPECT_EQ(ErrReplace(2, "(7)%s", fits.substr(1).c_str()), -1);
  EXPECT_EQ(StoredBytes(), before);
  ASSERT_EQ(ErrReplace(2, "%s", fits.c_str()), 0);
  EXPECT_EQ(StoredBytes().size(), 500u);
}

// --- Records from peers ------------------------------------------------------

TEST_F(ErrInfo, PeerRecordRoundTripsThroughEbcdic) {
  ASSERT_EQ(ErrSetFmtSys("NI (network interface)", 38, "nixxi", 1208, 0, "(7)%s unknown", -2,
                         "%s: lookup of '%s' failed", "gethostbyname", 11001, "NiHsLGetNodeAddr",
                         "h.example", "x"),
            0);
  ErrReplace(15, "%s", "Q0I @ {x|y} [z] ~^\\!");
  const std::vector<std::string> sent = StoredFields();
  char net[500];
  int length = 0;
  ASSERT_EQ(ErrGetNetForm(net, &length, sizeof net), 0);
  const std::string ebcdic = ToEbcdic(std::string(net, static_cast<std::size_t>(length)));
  ASSERT_EQ(static_cast<unsigned char>(ebcdic[0]), 0x5C);

  ErrClear();
  ASSERT_EQ(ErrCpNetToInt(ebcdic.data(), static_cast<int>(ebcdic.size())), 0);
  EXPECT_EQ(StoredFields(), sent);
  // The 7-bit form is taken in as it is.
  ErrClear();
  ASSERT_EQ(ErrCpNetToInt(net, length), 0);
  EXPECT_EQ(StoredFields(), sent);
}

TEST_F(ErrInfo, EbcdicControlsBecomeBlanksAndLettersLatin1) {
  // "*ERR*" NUL "1" NUL, then a text with NEL (15), the soft hyphen (CA),
  // a tab (05) and a-umlaut (43), then 18 empty fields and "*ERR*" NUL.
  std::string ebcdic =
      ToEbcdic(std::string("*ERR*\0"
                           "1\0",
                           8));
  ebcdic += std::string("\xC1\x15\xCA\x05\x43", 5);
  ebcdic += std::string(18, '\0');
  ebcdic += '\0';
  ebcdic += ToEbcdic(std::string("*ERR*\0", 6));
  ASSERT_EQ(ErrCpNetToInt(ebcdic.data(), static_cast<int>(ebcdic.size())), 0);
  EXPECT_STREQ(ErrGetFld(2), "A  \t\xE4");
  char net[500];
  int length = 0;
  ASSERT_EQ(ErrGetNetForm(net, &length, sizeof net), 0);
  EXPECT_EQ(std::string(net + 8, 5), "A  \t#");
}

// The record of PlainFields with field `index` replaced by `value`, or
// removed when `value` is null.
std::string PlainRecordWith(std::size_t index, const char* value) {
  std::vector<std::string> fields = PlainFields();
  if (value != nullptr) {
    fields[index] = value;
  } else {
    fields.erase(fields.begin() + static_cast<std::ptrdiff_t>(index));
  }
  return MakeRecord(fields);
}

TEST_F(ErrInfo, BadPeerRecordsKeepTheEarlierRecord) {
  const std::string good = MakeRecord(PlainFields());
  struct Case {
    const char* name;
    std::string data;
    int expected;
  };
  const Case cases[] = {
      {"empty", "", -6},
      {"eyecatcher alone", std::string("*ERR*\0", 6), -6},
      {"two eyecatchers in one field", std::string("*ERR*ERR*\0", 10), -6},
      {"two fields", std::string("*ERR*\0*ERR*\0", 12), -6},
      {"twenty fields", PlainRecordWith(5, nullptr), -6},
      {"no terminator", good.substr(0, good.size() - 1), -6},
      {"cut in the middle", good.substr(0, 40), -6},
      {"closing eyecatcher broken", PlainRecordWith(20, "*ERX*"), -6},
      {"opening eyecatcher broken", "#" + good.substr(1), -6},
      {"EBCDIC without structure", std::string("\x5C\xC5\xD9\xD9\x5C\x00\x01", 7), -6},
      {"above the area", good + std::string(501 - good.size(), 'x'), -1},
  };
  Trace(1);
  ASSERT_EQ(ErrSetFmt("c", 1, "m", 1, "earlier", 1, "d"), 0);
  const std::string before = StoredBytes();
  for (const Case& c : cases) {
    EXPECT_EQ(ErrCpNetToInt(c.data.data(), static_cast<int>(c.data.size())), c.expected) << c.name;
    EXPECT_EQ(StoredBytes(), before) << c.name;
  }
  EXPECT_EQ(ErrCpNetToInt(nullptr, 40), -6);
  EXPECT_EQ(ErrCpNetToInt(good.data(), -3), -6);
  EXPECT_EQ(StoredBytes(), before);
  const std::string text = trace_.Text();
  for (const char* line : {"*** ERROR => ErrCpNetToInt: bad err info (eyecatcher destroyed) "
                           "[err          1793]\n\nAdresse   Offset  bad err info\n",
                           "*** ERROR => ErrCpNetToInt2: internal area too small (500<501) "
                           "[err          1745]\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << text;
  }
}

TEST_F(ErrInfo, HighBytesOfPeerRecordsBecomeHashes) {
  std::vector<std::string> fields = PlainFields();
  fields[2] = "caf\xC3\xA9";
  const std::string data = MakeRecord(fields);
  ASSERT_EQ(ErrCpNetToInt(data.data(), static_cast<int>(data.size())), 0);
  EXPECT_STREQ(ErrGetFld(2), "caf##");
  EXPECT_EQ(errCounter, 0);
}

TEST_F(ErrInfo, CopyInternalFormCountsAndChecksEyecatchers) {
  ASSERT_EQ(ErrSetFmt("c", 1, "m", 1, "mine", 1, "d"), 0);
  const std::string mine = StoredBytes();
  Trace(1);
  const std::string no_end = plain_.substr(0, plain_.size() - 6);
  EXPECT_EQ(ErrCpTo(no_end.data(), static_cast<int>(no_end.size())), -6);
  EXPECT_EQ(StoredBytes(), mine);
  EXPECT_NE(trace_.Text().find("*** ERROR => ErrCpTo: bad err info (eyecatcher destroyed) "
                               "[err          1670]\n"),
            std::string::npos);
  const std::string large = "*ERR*" + std::string(500, '\0') + "*ERR*" + std::string(1, '\0');
  EXPECT_EQ(ErrCpTo(large.data(), static_cast<int>(large.size())), -1);
  EXPECT_NE(trace_.Text().find("ErrCpTo: error info too large (511 bytes) [err          1687]"),
            std::string::npos);
  EXPECT_EQ(StoredBytes(), mine);

  ASSERT_EQ(ErrCpTo(plain_.data(), static_cast<int>(plain_.size())), 0);
  EXPECT_EQ(errCounter, 2);
  EXPECT_STREQ(ErrGetFld(14), "2");
  EXPECT_STREQ(ErrGetFld(2), "peer error");
  // The stored record copied onto itself.
  const char* address = nullptr;
  int length = 0;
  ASSERT_EQ(ErrGetRecord(&address, &length), 0);
  ASSERT_EQ(ErrCpTo(address, length), 0);
  EXPECT_STREQ(ErrGetFld(14), "3");
  EXPECT_STREQ(ErrGetFld(2), "peer error");
}

TEST_F(ErrInfo, AreaWithoutMemoryGivesMinusFive) {
  parcel::platform::SetAllocFailure(
      {.site = parcel::platform::AllocSite::kRuntime, .after = 0, .once = false});
  EXPECT_EQ(ErrSetFmt("c", 1, "m", 1, "e", 1, "d"), -5);
  EXPECT_EQ(ErrCpTo(plain_.data(), static_cast<int>(plain_.size())), -5);
  EXPECT_EQ(ErrCpNetToInt(plain_.data(), static_cast<int>(plain_.size())), -5);
  const char* address = nullptr;
  EXPECT_EQ(ErrGetRecord(&address, nullptr), -5);
  EXPECT_STREQ(ErrGetFld(2), "");
  EXPECT_EQ(ErrClear(), 0);
  parcel::platform::ClearAllocFailure();
  EXPECT_EQ(ErrSetFmt("c", 1, "m", 1, "e", 1, "d"), 0);
}

TEST_F(ErrInfo, BadInfoDumpOnlyWhileTracing) {
  const char data[20] = "0123456789abcdefghi";
  trcHandle = trace_.get();
  ErrTraceBadInfo(data, 20, "title");
  EXPECT_EQ(trace_.Text(), "");
  trcLevel = 1;
  ErrTraceBadInfo(data, 20, "title");
  EXPECT_EQ(trcLevel, 1);
  const std::string text = trace_.Text();
  EXPECT_EQ(text.rfind("\nAdresse   Offset  title\n", 0), 0u) << text;
  EXPECT_NE(text.find("|0123456789abcdef|"), std::string::npos) << text;
  EXPECT_EQ(text.substr(text.size() - 3), "-\n\n") << text;
}

// --- Message file ------------------------------------------------------------

class ErrInfoMessageFile : public ErrInfo {
 protected:
  void SetUp() override {
    ErrInfo::SetUp();
    // putenv keeps the text on some platforms: it lives as long as the test.
    setting_ = "ERR_MSG_FILE=" + messages_.path();
    putenv(setting_.data());
  }
  void TearDown() override {
    ErrInfo::TearDown();
    static char unset[] = "ERR_MSG_FILE=";
    putenv(unset);
  }
  void Write(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), messages_.get());
    std::fflush(messages_.get());
  }

  TempStream messages_;
  std::string setting_;
};

TEST_F(ErrInfoMessageFile, FindsFirstLineOfKeyAndCharacter) {
  const std::string long_line = "x" + std::string(300, 'k') + "Mshadowed\n";
  Write("Ekey1 not this one\n" + long_line + "Mkey1 first text\r\nMkey1 second\nMkey12 other\n");
  struct Case {
    const char* key;
    char key_char;
    int size;
    bool found;
    const char* text;
  };
  const Case cases[] = {
      {"key1", 'M', 64, true, " first text"},
      {"key1", 'E', 64, true, " not this one"},
      {"key12", 'M', 64, true, " other"},
      {"key1", 'M', 6, true, " firs"},
      {"key1", 'M', 1, true, ""},
      {"shadowed", 'M', 64, false, ""},  // the rest of a long line is no line
      {"key3", 'M', 64, false, ""},
  };
  for (const Case& c : cases) {
    char buffer[64] = "";
    EXPECT_EQ(ErrGetTxt(c.key, c.key_char, buffer, c.size), c.found) << c.key;
    if (c.found) {
      EXPECT_STREQ(buffer, c.text) << c.key;
    }
  }
  char buffer[8];
  EXPECT_FALSE(ErrGetTxt(nullptr, 'M', buffer, 8));
  EXPECT_FALSE(ErrGetTxt("key1", 'M', buffer, 0));
}

TEST_F(ErrInfoMessageFile, PathIsFixedAtFirstUseAndMissingFileIsTraced) {
  Write("Mk text\n");
  char buffer[16];
  ASSERT_TRUE(ErrGetTxt("k", 'M', buffer, sizeof buffer));
  static char elsewhere[] = "ERR_MSG_FILE=/nonexistent/errmsg";
  putenv(elsewhere);
  EXPECT_TRUE(ErrGetTxt("k", 'M', buffer, sizeof buffer));
  EXPECT_STREQ(buffer, " text");

  ei::ResetErrInfo();
  Trace(2);
  EXPECT_FALSE(ErrGetTxt("k", 'M', buffer, sizeof buffer));
  EXPECT_EQ(trace_.Text(), "ErrGetTxt: can't open file /nonexistent/errmsg (" +
                               std::to_string(ENOENT) + " " + SysText(ENOENT) + ")\n");
}

}  // namespace
