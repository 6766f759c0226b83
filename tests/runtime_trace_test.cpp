// Tests of the trace facility: exact line texts written to temporary streams,
// time stamps from a fixed clock, hex dumps, watch patterns and hostile inputs.
#include "runtime/trace.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "runtime/thr.h"
#include "runtime/trace_internal.h"
#include "tests/temp_stream.h"

namespace {

using parcel::platform::WallTime;
namespace rt = parcel::runtime;

WallTime g_now = {0, 0};
WallTime FixedClock() { return g_now; }

// The C library's own asctime text of `seconds`, without its newline: the
// reference for the stamps.
std::string Asctime(std::int64_t seconds) {
  std::time_t t = static_cast<std::time_t>(seconds);
  return std::string(std::asctime(std::localtime(&t)), 24);
}

std::string Pointer(const void* p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

// A trace stream in a temporary file; Text() reads back what reached it.
class TempStream : public parcel::testing::TempStream {
 public:
  TempStream() : parcel::testing::TempStream("parcel_trace_") {}
};

class RuntimeTrace : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::ResetTrace();
    trcStampMode = 0;
    ASSERT_NE(out_.get(), nullptr);
  }
  void TearDown() override { rt::ResetTrace(); }

  TempStream out_;
};

TEST_F(RuntimeTrace, NullHandleWritesStampOncePerSecondToStandardError) {
  trcStampMode = 1;
  trcLevel = 1;
  rt::SetTraceClock(FixedClock);
  g_now = {1700000000, 250000};
  ::testing::internal::CaptureStderr();
  DpTrc(nullptr, "%s: NI already initializes (%d)\n", "NiInit3", 1);
  DpTrc(nullptr, "%s: NI already initializes (%d)\n", "NiInit3", 1);
  g_now.seconds += 1;
  trcLevel = 2;  // no empty line above the stamp
  DpTrc(nullptr, "next\n");
  std::string line = "NiInit3: NI already initializes (1)\n";
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            std::string("\n").append(Asctime(1700000000)) + "\n" + line + line +
                Asctime(1700000001) + "\nnext\n");
}

TEST_F(RuntimeTrace, ErrorLineEndsWithLocationSuffix) {
  trcStampMode = 1;
  trcLevel = 2;
  rt::SetTraceClock(FixedClock);
  g_now = {1700000100, 0};
  DpTrcSetLocation("nixxhsl6", 1208);
  ::testing::internal::CaptureStderr();
  DpTrcError(nullptr, "%s: init failed (rc=%d)\n", "NiHsL6SetIndexSize", -1);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            Asctime(1700000100) + "\n" +
                "*** ERROR => NiHsL6SetIndexSize: init failed (rc=-1) [nixxhsl6     1208]\n");
}

TEST_F(RuntimeTrace, LocationKeepsNameAfterLastBackslashCutToTwelve) {
  struct Case {
    const char* path;
    int line;
    const char* location;
    const char* suffix;
  } cases[] = {
      {"nixxhsl6", 1208, "nixxhsl6    1208", " [nixxhsl6     1208]\n"},
      {"C:\\src\\ni\\nixxhsl6.c", 12, "nixxhsl6.c  12", " [nixxhsl6.c   12]\n"},
      {"averyveryverylongname.c", 7, "averyveryver7", " [averyveryver 7]\n"},
      {"src/unix/file.c", 3, "src/unix/fil3", " [src/unix/fil 3]\n"},
      {"dir\\", 99, "            99", " [             99]\n"},
      {nullptr, 5, "            5", " [             5]\n"},
      {"x", 1234567, "x           1234567", " [x            12345]\n"},
  };
  for (const Case& c : cases) {
    TempStream out;
    DpTrcSetLocation(c.path, c.line);
    EXPECT_STREQ(trcLocation, c.location);
    DpTrcWarning(out.get(), "w");
    EXPECT_EQ(out.Text(), std::string("*** WARNING => w") + c.suffix) << c.location;
  }
}

TEST_F(RuntimeTrace, LongTextIsCutTo8190CharactersAndWarned) {
  const std::string warning = "\n*** WARNING => data was truncated\n";
  std::string text(9000, 'x');
  DpTrcNoStamp(out_.get(), "%s", text.c_str());
  EXPECT_EQ(out_.Text(), text.substr(0, 8190) + warning);

  struct Case {
    std::size_t length;
    bool cut;
  } cases[] = {{8189, false}, {8190, false}, {8191, true}, {100000, true}};
  for (const Case& c : cases) {
    TempStream out;
    std::string t(c.length, 'y');
    DpTrcNoStamp(out.get(), "%s", t.c_str());
    EXPECT_EQ(out.Text(), c.cut ? t.substr(0, 8190) + warning : t) << c.length;
  }
}

TEST_F(RuntimeTrace, LongErrorLineLosesItsSuffixInBothEncodings) {
  const std::string warning = "\n*** WARNING => data was truncated\n";
  std::string text(9000, 'e');
  DpTrcSetLocation("mod", 1);
  for (auto writer : {DpTrcError, DpTrcErrorNarrow}) {
    TempStream out;
    writer(out.get(), "%s", text.c_str());
    std::string prefix = "*** ERROR => ";
    EXPECT_EQ(out.Text(), prefix + text.substr(0, 8190 - prefix.size()) + warning);
  }
  // A text that fits but leaves no room for the suffix goes out without it.
  TempStream out;
  std::string fits(8190 - 13 - 5, 'f');
  DpTrcError(out.get(), "%s", fits.c_str());
  EXPECT_EQ(out.Text(), "*** ERROR => " + fits);
}

TEST_F(RuntimeTrace, TaggedComponentPrefixesEveryLineAndContinuesOpenLines) {
  DpTrcFile file;
  rt::InitTraceFile(&file, out_.get(), 2);
  DpTrcComponent* n = rt::RegisterTraceComponent('N', 2, &file);
  ASSERT_NE(n, nullptr);
  ASSERT_TRUE(rt::SetTraceComponentIndent(n, 1));
  DpTrcNoStamp(n, "a\nb\n");
  DpTrcNoStamp(n, "c");
  DpTrcNoStamp(n, "d\n");
  DpTrcNoStamp(n, "e\n\r");
  DpTrcNoStamp(n, "f\n\n");
  EXPECT_EQ(out_.Text(), "N    a\nN    b\nN    cd\nN    e\n\rN    f\nN    \n");
}

TEST_F(RuntimeTrace, AnotherComponentClosesTheOpenLineFirst) {
  DpTrcFile file;
  rt::InitTraceFile(&file, out_.get(), 2);
  DpTrcComponent* m = rt::RegisterTraceComponent('M', 2, &file);
  DpTrcComponent* n = rt::RegisterTraceComponent('N', 2, &file);
  ASSERT_TRUE(rt::SetTraceComponentIndent(n, 40));  // indentation stops at 31
  DpTrcNoStamp(m, "open");
  DpTrcNoStamp(out_.get(), "-raw-");  // untagged: leaves the open line alone
  DpTrcNoStamp(n, "x\n");
  DpTrcNoStamp(m, "y\n");
  EXPECT_EQ(out_.Text(), "M  open-raw-\nN  " + std::string(31, ' ') + "x\nM  y\n");
}

TEST_F(RuntimeTrace, LevelsDecideWhichWritersWrite) {
  DpTrcFile file;
  rt::InitTraceFile(&file, out_.get(), 2);
  DpTrcComponent* low = rt::RegisterTraceComponent('L', 1, &file);
  DpTrcComponent* off = rt::RegisterTraceComponent('O', 0, &file);
  DpTrcSetLocation("m", 1);
  DpTrcNoStamp(low, "plain\n");  // level 1 < entry level 2: nothing
  DpTrcError(low, "err");        // error lines need level 1
  DpTrcError(off, "err");        // level 0: nothing
  DpTrcErrno(off, "errno");      // level 0: nothing
  trcEntryLevel = 1;
  DpTrcNoStamp(low, "now\n");
  trcEntryLevel = 2;
  EXPECT_EQ(out_.Text(), "L  *** ERROR => err [m            1]\nL  now\n");
  EXPECT_EQ(DpTrcLevelOf(low), 1);
  EXPECT_EQ(DpTrcLevelOf(off), 0);
}

TEST_F(RuntimeTrace, FileLevelCheckSilencesAllButErrnoLines) {
  DpTrcFile file;
  rt::InitTraceFile(&file, out_.get(), 1);
  DpTrcComponent* c = rt::RegisterTraceComponent('C', 3, &file);
  trcFileLevelCheck = true;
  DpTrcSetLocation("m", 1);
  errno = 0;
  DpTrcNoStamp(c, "plain\n");
  DpTrcError(c, "error");
  DpTrcErrno(c, "errno");
  std::string expected =
      "C  *** ERROR => errno (0: " + std::string(std::strerror(0)) + ") [m            1]\n";
  EXPECT_EQ(out_.Text(), expected);
  trcFileLevelCheck = false;
  DpTrcNoStamp(c, "plain\n");
  EXPECT_EQ(out_.Text(), expected + "C  plain\n");
}

TEST_F(RuntimeTrace, ErrnoLineNamesTheErrorAndKeepsErrno) {
  DpTrcSetLocation("nixxsock", 77);
  errno = ENOENT;
  DpTrcErrno(out_.get(), "%s: open failed\n", "SiOpen");
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(out_.Text(), "*** ERROR => SiOpen: open failed (" + std::to_string(ENOENT) + ": " +
                             std::strerror(ENOENT) + ") [nixxsock     77]\n");
}

TEST_F(RuntimeTrace, OverlongFormatIsCutAtACompleteConversion) {
  DpTrcSetLocation("m", 2);
  const std::string suffix = " [m            2]\n";
  // 1022 + "%d" is exactly 1024 characters: the conversion survives.
  std::string whole = std::string(1022, 'a') + "%d";
  DpTrcError(out_.get(), whole.c_str(), 7);
  EXPECT_EQ(out_.Text(), "*** ERROR => " + std::string(1022, 'a') + "7" + suffix);

  // Here the cut falls between '%' and 's': the half conversion is dropped.
  TempStream out;
  std::string cut = std::string(1023, 'b') + "%s tail";
  DpTrcError(out.get(), cut.c_str(), "never printed");
  EXPECT_EQ(out.Text(), "*** ERROR => Dptrc fmt string truncated\n*** ERROR => " +
                            std::string(1023, 'b') + suffix);

  TempStream quiet;  // errno lines cut without the message
  errno = 0;
  DpTrcErrno(quiet.get(), cut.c_str(), "never printed");
  EXPECT_EQ(quiet.Text(),
            "*** ERROR => " + std::string(1023, 'b') + " (0: " + std::strerror(0) + ")" + suffix);
}

TEST(RuntimeTraceFormat, CompleteFormatPrefixNeverEndsInsideAConversion) {
  struct Case {
    const char* format;
    std::size_t limit;
    std::size_t expected;
  } cases[] = {
      {"abc%d", 5, 5},    {"abc%d", 4, 3},    {"ab%%", 4, 4}, {"ab%%", 3, 2},
      {"%-12.5ld", 8, 8}, {"%-12.5ld", 7, 0}, {"x%5", 3, 1},  {"%s%s", 3, 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(rt::detail::CompleteFormatPrefix(c.format, c.limit), c.expected)
        << c.format << " " << c.limit;
  }
}

void WriteWithEncoding(std::FILE* stream, rt::detail::LineKind kind, int encoding,
                       const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  rt::detail::WriteLine(stream, kind, encoding, false, format, args);
  va_end(args);
}

TEST_F(RuntimeTrace, IllegalEncodingIsRefusedWithItsSourceLine) {
  using rt::detail::LineKind;
  struct Case {
    LineKind kind;
    int encoding;
    const char* text;
  } cases[] = {
      {LineKind::kPlain, 0, "*** ERROR => Illegal encoding(0) for Trace [dptrace 2648]\n"},
      {LineKind::kError, 3, "*** ERROR => Illegal encoding(3) for Trace [dptrace 3037]\n"},
      {LineKind::kWarning, -1, "*** ERROR => Illegal encoding(-1) for Trace [dptrace 3037]\n"},
      {LineKind::kErrno, 7, "*** ERROR => Illegal encoding(7) for Trace [dptrace 3292]\n"},
  };
  for (const Case& c : cases) {
    TempStream out;
    WriteWithEncoding(out.get(), c.kind, c.encoding, "never %d\n", 1);
    EXPECT_EQ(out.Text(), c.text);
  }
}

TEST_F(RuntimeTrace, UnformattableTextReportsTheFormattingFailure) {
  // A wide character that the "C" locale cannot convert makes vsnprintf fail.
  const wchar_t wide[] = {static_cast<wchar_t>(0x4E2D), 0};
  char probe[16];
  errno = 0;
  if (std::snprintf(probe, sizeof probe, "%ls", wide) >= 0) {
    GTEST_SKIP() << "this C library converts the wide character";
  }
  const int error = errno;
  using rt::detail::LineKind;
  struct Case {
    LineKind kind;
    int encoding;
    const char* name;
    int line;
  } cases[] = {
      {LineKind::kPlain, 2, "vsnprintfU", 2606}, {LineKind::kPlain, 1, "vsnprintf", 2628},
      {LineKind::kError, 2, "vsnprintfU", 2977}, {LineKind::kError, 1, "vsnprintf", 3017},
      {LineKind::kErrno, 2, "vsnprintfU", 3241}, {LineKind::kErrno, 1, "vsnprintf", 3273},
  };
  for (const Case& c : cases) {
    TempStream out;
    WriteWithEncoding(out.get(), c.kind, c.encoding, "%ls", wide);
    EXPECT_EQ(out.Text(), "*** ERROR => " + std::string(c.name) +
                              " err, errno=" + std::to_string(error) + " [dptrace " +
                              std::to_string(c.line) + "]\n");
  }
}

TEST_F(RuntimeTrace, ModeZeroWritesNoStamps) {
  rt::SetTraceClock(FixedClock);
  g_now = {1700000200, 0};
  DpTrcSetLocation("m", 3);
  errno = 0;
  DpTrc(out_.get(), "a\n");
  DpTrcError(out_.get(), "b");
  DpTrcErrorNarrow(out_.get(), "c");
  DpTrcWarning(out_.get(), "d");
  DpTrcErrno(out_.get(), "e");
  DpTrcStamp(out_.get());
  EXPECT_EQ(out_.Text(),
            std::string("a\n*** ERROR => b [m            3]\n") +
                "*** ERROR => c [m            3]\n*** WARNING => d [m            3]\n" +
                "*** ERROR => e (0: " + std::strerror(0) + ") [m            3]\n");
}

TEST_F(RuntimeTrace, FineStampsFollowTheirInterval) {
  trcStampMode = 2;  // one stamp per 500 ms at most
  trcLevel = 2;
  rt::SetTraceClock(FixedClock);
  const std::int64_t t = 1700000300;
  const std::string date = Asctime(t).substr(0, 19);
  const std::string year = Asctime(t).substr(20, 4);
  struct Step {
    std::uint32_t microseconds;
    std::int64_t seconds;
    const char* millis;  // null: no stamp expected
  } steps[] = {{100000, 0, "100"},
               {400000, 0, nullptr},
               {600000, 0, "600"},
               {7000, 1, "7"},
               {10000, 1, nullptr}};
  std::string expected;
  for (const Step& s : steps) {
    g_now = {t + s.seconds, s.microseconds};
    DpTrcStamp(out_.get());
    if (s.millis != nullptr) {
      expected += Asctime(t + s.seconds).substr(0, 19) + ":" + s.millis + " " + year + "\n";
    }
  }
  EXPECT_EQ(out_.Text(), expected);
  EXPECT_EQ(expected.substr(0, 19), date);

  trcStampMode = 50;  // the interval never drops below 100 ms
  TempStream out;
  g_now = {t + 5, 0};
  DpTrcStamp(out.get());
  g_now = {t + 5, 99999};
  DpTrcStamp(out.get());
  g_now = {t + 5, 100000};
  DpTrcStamp(out.get());
  EXPECT_EQ(out.Text(), Asctime(t + 5).substr(0, 19) + ":0 " + year + "\n" +
                            Asctime(t + 5).substr(0, 19) + ":100 " + year + "\n");
}

TEST_F(RuntimeTrace, StampsOfAComponentCarryItsTagAndUseItsFileTimes) {
  trcStampMode = 1;
  trcLevel = 1;
  rt::SetTraceClock(FixedClock);
  g_now = {1700000400, 0};
  DpTrcFile own;
  rt::InitTraceFile(&own, out_.get(), 2);
  DpTrcComponent* c = rt::RegisterTraceComponent('Q', 2, &own);
  ::testing::internal::CaptureStderr();
  DpTrcStamp(nullptr);  // the process-wide second is now taken
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            std::string("\n").append(Asctime(1700000400)) + "\n");
  DpTrcStamp(c);  // the file record keeps its own
  DpTrcStamp(c);
  EXPECT_EQ(out_.Text(), "Q  \nQ " + Asctime(1700000400) + "\n");

  TempStream shared_out;
  DpTrcFile shared;
  rt::InitTraceFile(&shared, shared_out.get(), 2);
  shared.lastStamp = rt::kTraceTimeUnset;  // uses the process-wide second
  DpTrcComponent* s = rt::RegisterTraceComponent('S', 2, &shared);
  DpTrcStamp(s);
  EXPECT_EQ(shared_out.Text(), "");
}

TEST_F(RuntimeTrace, LevelOfAndTheHandleDiagnostic) {
  DpTrcComponent* tagged = rt::RegisterTraceComponent('T', 5, nullptr);
  DpTrcComponent* untagged = rt::RegisterTraceComponent(0, 6, nullptr);
  EXPECT_EQ(DpTrcLevelOf(nullptr), 3);
  EXPECT_EQ(DpTrcLevelOf(out_.get()), 3);
  EXPECT_EQ(DpTrcLevelOf(tagged), 5);
  EXPECT_EQ(DpTrcLevelOf(reinterpret_cast<char*>(tagged) + 3), 5);  // inside the slot
  EXPECT_EQ(DpTrcLevelOf(untagged), 3);
  EXPECT_EQ(out_.Text(), "");

  trcErrorStream = out_.get();
  std::string expected;
  for (void* bad : {static_cast<void*>(&ctrcadm[3]), static_cast<void*>(&ctrcadm[0]),
                    static_cast<void*>(&ctrcadm[parcel::runtime::kTraceComponentSlots - 1])}) {
    EXPECT_EQ(DpTrcLevelOf(bad), 3);
    EXPECT_FALSE(CTRC_IS_HANDLE(bad));
    std::string one =
        "ERROR => CTRC_IS_HANDLE2 != CTRC_IS_HANDLE\n         hdl                      =" +
        Pointer(bad) + "\n         ctrcadm                  =" + Pointer(ctrcadm) +
        "\n         next_free_comp           =3\n         ctrcadm + next_free_comp =" +
        Pointer(&ctrcadm[3]) + "\n";
    expected += one + one;
    DpTrc(bad, "never written\n");  // the diagnostic again, nothing else
    expected += one;
  }
  EXPECT_EQ(out_.Text(), expected);
}

TEST_F(RuntimeTrace, ComponentWithoutStreamFallsBackToDefaultFile) {
  TempStream fallback;
  DpTrcFile default_file;
  rt::InitTraceFile(&default_file, fallback.get(), 2);
  DpTrcFile no_stream;
  rt::InitTraceFile(&no_stream, nullptr, 2);
  DpTrcComponent* a = rt::RegisterTraceComponent('A', 2, nullptr);
  DpTrcComponent* b = rt::RegisterTraceComponent('B', 2, &no_stream);
  trcDefaultFile = &default_file;
  DpTrcNoStamp(a, "one\n");
  DpTrcNoStamp(b, "two\n");
  EXPECT_EQ(fallback.Text(), "A  one\nB  two\n");
}

TEST_F(RuntimeTrace, OpenedFilesAreDetachedWhenClosed) {
  DpTrcFile* file = rt::OpenTraceFile(out_.path().c_str(), false, 2);
  ASSERT_NE(file, nullptr);
  DpTrcComponent* c = rt::RegisterTraceComponent('F', 2, file);
  trcDefaultFile = file;
  DpTrcNoStamp(c, "kept\n");
  rt::CloseTraceFile(file);
  EXPECT_EQ(c->file, nullptr);
  EXPECT_EQ(trcDefaultFile, nullptr);
  EXPECT_EQ(out_.Text(), "F  kept\n");
  EXPECT_EQ(rt::OpenTraceFile((out_.path() + "/no/such/dir/x").c_str(), true, 2), nullptr);
}

TEST_F(RuntimeTrace, RegistryHoldsNineteenNinetyNineComponents) {
  for (int i = 1; i < rt::kTraceComponentSlots; ++i) {
    ASSERT_EQ(rt::RegisterTraceComponent('x', 1, nullptr), &ctrcadm[i]);
  }
  EXPECT_EQ(rt::RegisterTraceComponent('y', 1, nullptr), nullptr);
  EXPECT_EQ(next_free_comp, rt::kTraceComponentSlots);
  EXPECT_FALSE(rt::SetTraceComponentLevel(&ctrcadm[0], 1));
  EXPECT_FALSE(rt::SetTraceComponentLevel(out_.get(), 1));
  EXPECT_TRUE(rt::SetTraceComponentLevel(&ctrcadm[1999], 4));
  EXPECT_EQ(DpTrcLevelOf(&ctrcadm[1999]), 4);
}

const std::string kDashes(72, '-');

// The character column of every data line of a dump, joined.
std::string CharacterColumn(const std::string& dump) {
  std::string shown;
  std::size_t at = 0;
  while ((at = dump.find('|', at)) != std::string::npos) {
    std::size_t end = dump.find("|\n", at + 1);
    shown += dump.substr(at + 1, end - at - 1);
    at = end + 2;
  }
  while (!shown.empty() && shown.back() == ' ') shown.pop_back();
  return shown;
}

TEST_F(RuntimeTrace, HexDumpOfTwentyBytesHasAFullAndAPartialLine) {
  const char data[] = "0123456789abcdefWXYZ";
  DpTrcHexDump(out_.get(), "title", data, 20, 0);
  EXPECT_EQ(out_.Text(), "Adresse   Offset  title\n" + kDashes + "\n" + Pointer(data) +
                             "  000000  30313233 34353637 38396162 63646566 |0123456789abcdef|\n" +
                             Pointer(data + 16) + "  000016  5758595a " + std::string(27, ' ') +
                             "|WXYZ            |\n" + kDashes + "\n");
  // Only the low 32 bits of the length count.
  TempStream wrapped;
  DpTrcHexDump(wrapped.get(), "title", data, (std::uint64_t{1} << 32) + 20, 0);
  EXPECT_EQ(wrapped.Text(), out_.Text());
  EXPECT_EQ(trcNesting.load(), 0);
}

TEST_F(RuntimeTrace, HexDumpMasksMarkedIdentifiers) {
  const char data[] = "user=SID:ANON:abc-NEWdef";
  DpTrcHexDump(out_.get(), "t", data, 24, 0);
  EXPECT_EQ(out_.Text(), "Adresse   Offset  t\n" + kDashes + "\n" + Pointer(data) +
                             "  000000  75736572 3dxxxxxx xxxxxxxx xxxxxxxx |user=...........|\n" +
                             Pointer(data + 16) + "  000016  xxxxxxxx xx646566 " +
                             std::string(18, ' ') + "|.....def        |\n" + kDashes + "\n");
  trcMaskSecrets = false;
  TempStream clear;
  DpTrcHexDump(clear.get(), "t", data, 24, 0);
  EXPECT_EQ(clear.Text(), "Adresse   Offset  t\n" + kDashes + "\n" + Pointer(data) +
                              "  000000  75736572 3d534944 3a414e4f 4e3a6162 |user=SID:ANON:ab|\n" +
                              Pointer(data + 16) + "  000016  632d4e45 57646566 " +
                              std::string(18, ' ') + "|c-NEWdef        |\n" + kDashes + "\n");
}

TEST_F(RuntimeTrace, HexDumpMaskingBoundaries) {
  struct Case {
    std::string data;
    std::string shown;
  } cases[] = {
      {"aSID:ANON:", "aSID:ANON:"},                           // nothing behind the marker
      {"SID:ANON:x", ".........."},                           // masked to the end
      {"SID%3aANON%3aabc-ATTz", std::string(20, '.') + "z"},  // encoded marker, -ATT end
      {"SID:ANON:ab-NEW", "..............."},                 // end marker with nothing behind
      {"SID:ANON:abcde-NEWtail", std::string(22, '.')},       // end marker across the line edge
      {"SID:ANON:a-ATTbSID:ANON:c-NEWd", std::string(14, '.') + "b" + std::string(14, '.') + "d"},
      {"xSID:ANONx:y-NEWz", "xSID:ANONx:y-NEWz"},  // no complete start marker
  };
  for (const Case& c : cases) {
    TempStream out;
    DpTrcHexDump(out.get(), "", c.data.data(), c.data.size(), 0);
    EXPECT_EQ(CharacterColumn(out.Text()), c.shown) << c.data;
  }
}

TEST_F(RuntimeTrace, HexDumpCharacterSets) {
  struct Case {
    int charset;
    std::string data;
    std::string shown;
  } cases[] = {
      {0, "A\x01\x7f~ ", "A..~"},
      // EBCDIC 273: letters, digits, its '@' at B5 and Ae at 4A, controls.
      {1, "\xC1\x81\xF0\xB5\x4B\x7C\x4A", "Aa0@..."},
      {1, std::string("\x05\x15\x25\x00\x3F", 5) + "\xC2", "...  B"},
      // Latin-1 shown as EBCDIC: '.' is 4B, '<' 4C, controls and blank 40, tab 05.
      {2, std::string(".<\x01 \t", 5) + "A", "KL@@.."},
  };
  for (const Case& c : cases) {
    TempStream out;
    DpTrcHexDump(out.get(), "", c.data.data(), c.data.size(), c.charset);
    EXPECT_EQ(CharacterColumn(out.Text()), c.shown) << c.charset;
  }
}

TEST_F(RuntimeTrace, HexDumpRefusesEmptyOrUnknownInput) {
  const char data[] = "abc";
  DpTrcHexDump(out_.get(), "t", data, 0, 0);
  DpTrcHexDump(out_.get(), "t", nullptr, 3, 0);
  DpTrcHexDump(out_.get(), "t", data, std::uint64_t{1} << 32, 0);
  DpTrcHexDump(out_.get(), "t", data, 3, 3);
  DpTrcHexDump(out_.get(), "t", data, 3, -1);
  EXPECT_EQ(out_.Text(), "");
}

TEST_F(RuntimeTrace, HexDumpThroughAComponent) {
  DpTrcFile file;
  rt::InitTraceFile(&file, out_.get(), 2);
  DpTrcComponent* d = rt::RegisterTraceComponent('D', 2, &file);
  const char data[] = "ab";
  DpTrcHexDump(d, nullptr, data, 2, 0);
  EXPECT_EQ(out_.Text(), "D  Adresse   Offset  \nD  " + kDashes + "\nD  " + Pointer(data) +
                             "  000000  6162" + std::string(32, ' ') + "|ab              |\nD  " +
                             kDashes + "\n");
  ASSERT_TRUE(rt::SetTraceComponentLevel(d, 1));  // dumps write at entry level 2
  TempStream none;
  file.stream = none.get();
  DpTrcHexDump(d, "t", data, 2, 0);
  EXPECT_EQ(none.Text(), "");
}

TEST_F(RuntimeTrace, HugeHostileDumpStaysInsideItsData) {
  // Exactly-sized heap block, so that any read past the end trips the sanitizer.
  const std::size_t size = (1u << 20) + 5;
  std::vector<unsigned char> bytes(size);
  std::mt19937 random(7);
  for (auto& b : bytes) b = static_cast<unsigned char>(random());
  const char* markers[] = {"SID:ANON:", "SID%3aANON%3a", "-ATT", "-NEW"};
  for (std::size_t at = 100; at + 16 < size; at += 997) {
    const char* m = markers[at % 4];
    std::memcpy(bytes.data() + at, m, std::strlen(m));
  }
  std::memcpy(bytes.data() + size - 9, "SID:ANON:", 9);  // marker at the very end
  std::string title(20000, 'T');
  DpTrcHexDump(out_.get(), title.c_str(), bytes.data(), size, 1);
  std::string text = out_.Text();
  std::size_t lines = 0;
  for (char ch : text) lines += ch == '\n';
  // Title (cut, then the two-line warning), dashes, data lines, dashes.
  EXPECT_EQ(lines, 2 + 1 + (size + 15) / 16 + 1);
  EXPECT_EQ(text.compare(0, 18 + 8172, "Adresse   Offset  " + title.substr(0, 8172)), 0);
  EXPECT_EQ(text.substr(text.size() - 73), kDashes + "\n");
}

struct Found {
  void* handle;
  std::string pattern;
};
std::vector<Found> g_found;
void RecordMatch(void* handle, const char* pattern) { g_found.push_back({handle, pattern}); }

TEST_F(RuntimeTrace, WatchPatternsReportMatchesInTheWholeLine) {
  g_found.clear();
  DpTrcPattern patterns[] = {{"NiInit*", RecordMatch},
                             {"N  ?ead", RecordMatch},
                             {"absent", RecordMatch},
                             {"3:", nullptr},
                             {nullptr, nullptr}};
  trcPatterns = patterns;
  DpTrcFile file;
  rt::InitTraceFile(&file, out_.get(), 2);
  DpTrcComponent* n = rt::RegisterTraceComponent('N', 2, &file);
  DpTrcNoStamp(out_.get(), "NiInit3: up\n");
  DpTrcNoStamp(n, "read\n");
  EXPECT_EQ(out_.Text(),
            "NiInit3: up\n\nDpTrc: found match for pattern >NiInit*< in output\n"
            "\nDpTrc: found match for pattern >3:< in output\n"
            "N  read\n\nDpTrc: found match for pattern >N  ?ead< in output\n");
  ASSERT_EQ(g_found.size(), 2u);
  EXPECT_EQ(g_found[0].handle, out_.get());
  EXPECT_EQ(g_found[0].pattern, "NiInit*");
  EXPECT_EQ(g_found[1].handle, static_cast<void*>(n));

  TempStream quiet;  // errno lines are not watched
  DpTrcErrno(quiet.get(), "NiInit3");
  EXPECT_EQ(quiet.Text().find("DpTrc:"), std::string::npos);
}

TEST(RuntimeTraceMatch, FindPatternCases) {
  struct Case {
    const char* text;
    const char* pattern;
    bool found;
  } cases[] = {
      {"abc", "", false},
      {"abc", "b", true},
      {"abc", "bd", false},
      {"abc", "B", false},
      {"ab", "abc", false},
      {"abc", "?bc", true},
      {"xabc", "?bc", false},
      {"xabc", "*bc", true},
      {"a*b", "\\*", true},
      {"ab", "\\*", false},
      {"a\\", "a\\", true},
      {"ab", "\\a", true},
      {"hello world", "o*d", true},
      {"hello world", "o?w", true},
      {"hello", "l*z", false},
      {"aaab", "aab", true},
      {"", "*", true},
      {"", "a", false},
      {nullptr, "a", false},
      {"a", nullptr, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DpTrcFindPattern(c.text, c.pattern), c.found)
        << (c.text ? c.text : "null") << " / " << (c.pattern ? c.pattern : "null");
  }
}

// Reference matcher for DpTrcWildMatch: dynamic programming over (text, pattern)
// positions, written independently of the production matcher.
bool ReferenceMatch(const std::string& text, const std::string& pattern, bool prefix,
                    bool ignore_case) {
  // Tokenise: kind 0 literal, 1 '?', 2 '*'.
  std::vector<std::pair<int, char>> tokens;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    if (pattern[i] == '*') {
      tokens.push_back({2, 0});
    } else if (pattern[i] == '?') {
      tokens.push_back({1, 0});
    } else if (pattern[i] == '\\' && i + 1 < pattern.size()) {
      tokens.push_back({0, pattern[++i]});
    } else {
      tokens.push_back({0, pattern[i]});
    }
  }
  auto same = [&](char a, char b) {
    return ignore_case ? std::toupper(static_cast<unsigned char>(a)) ==
                             std::toupper(static_cast<unsigned char>(b))
                       : a == b;
  };
  // reach[i][j]: the first j tokens match the first i text characters.
  std::size_t n = text.size(), m = tokens.size();
  std::vector<std::vector<bool>> reach(n + 1, std::vector<bool>(m + 1, false));
  reach[0][0] = true;
  for (std::size_t i = 0; i <= n; ++i) {
    for (std::size_t j = 1; j <= m; ++j) {
      auto [kind, ch] = tokens[j - 1];
      if (kind == 2) {
        reach[i][j] = reach[i][j - 1] || (i > 0 && reach[i - 1][j]);
      } else if (i > 0) {
        reach[i][j] = reach[i - 1][j - 1] && (kind == 1 || same(ch, text[i - 1]));
      }
    }
  }
  if (!prefix) return reach[n][m];
  for (std::size_t i = 0; i <= n; ++i) {
    if (reach[i][m]) return true;
  }
  return false;
}

TEST(RuntimeTraceMatch, WildMatchAgreesWithReferenceOnRandomInputs) {
  std::mt19937 random(12345);
  const char text_chars[] = "abAB*?\\";
  const char pattern_chars[] = "abAB*?\\**??";
  for (int round = 0; round < 20000; ++round) {
    std::string text, pattern;
    int text_length = static_cast<int>(random() % 9);
    int pattern_length = static_cast<int>(random() % 7);
    for (int i = 0; i < text_length; ++i) text += text_chars[random() % (sizeof text_chars - 1)];
    for (int i = 0; i < pattern_length; ++i) {
      pattern += pattern_chars[random() % (sizeof pattern_chars - 1)];
    }
    bool prefix = random() % 2 == 0;
    bool ignore_case = random() % 2 == 0;
    ASSERT_EQ(DpTrcWildMatch(text.c_str(), pattern.c_str(), prefix, ignore_case),
              ReferenceMatch(text, pattern, prefix, ignore_case))
        << "text '" << text << "' pattern '" << pattern << "' prefix " << prefix << " case "
        << ignore_case;
    // The search is the prefix match at the start (wildcard first) or anywhere.
    bool anchored = !pattern.empty() && (pattern[0] == '*' || pattern[0] == '?');
    bool anywhere = ReferenceMatch(text, "*" + pattern, true, false);
    ASSERT_EQ(
        DpTrcFindPattern(text.c_str(), pattern.c_str()),
        !pattern.empty() && (anchored ? ReferenceMatch(text, pattern, true, false) : anywhere))
        << "text '" << text << "' pattern '" << pattern << "'";
  }
}

TEST(RuntimeTraceMatch, ManyStarsAgainstLongTextsFinishQuickly) {
  std::string text(8190, 'a');
  std::string stars;
  for (int i = 0; i < 200; ++i) stars += "a*";
  EXPECT_FALSE(DpTrcWildMatch(text.c_str(), (stars + "b").c_str(), false, false));
  EXPECT_FALSE(DpTrcFindPattern(text.c_str(), (stars + "b").c_str()));
  EXPECT_TRUE(DpTrcFindPattern(text.c_str(), (stars + "a").c_str()));
  EXPECT_FALSE(DpTrcFindPattern(text.c_str(), (std::string(5000, '*') + "b").c_str()));
  std::string questions;
  for (int i = 0; i < 300; ++i) questions += "a?";
  EXPECT_FALSE(DpTrcFindPattern(text.c_str(), (questions + "b").c_str()));
}

TEST_F(RuntimeTrace, SizeWatchChecksAtMostOnceInTenSeconds) {
  static std::vector<std::int64_t> sizes;
  sizes.clear();
  trcMaxSizeHook = [](void*, std::int64_t size) { sizes.push_back(size); };
  trcMaxFileSize = 100;
  rt::SetTraceClock(FixedClock);
  DpTrcFile file;
  rt::InitTraceFile(&file, out_.get(), 2);
  DpTrcComponent* c = rt::RegisterTraceComponent('Z', 2, &file);
  const std::string chunk(56, 'z');  // 60 bytes a line with prefix and newline
  auto line_at = [&](std::int64_t second) {
    g_now = {second, 0};
    DpTrcNoStamp(c, "%s\n", chunk.c_str());
  };
  line_at(1000);  // checked: 60 bytes
  line_at(1005);  // not checked, although the file holds 120 bytes
  EXPECT_TRUE(sizes.empty());
  line_at(1011);  // checked: 180 bytes
  line_at(1012);
  line_at(1022);  // checked again
  std::string line = "Z  " + chunk + "\n";
  std::string first = line + line + line;
  std::string second = first + "\nDpTrc: maximum file size reached: 180\n" + line + line;
  EXPECT_EQ(out_.Text(),
            second + "\nDpTrc: maximum file size reached: " + std::to_string(second.size()) + "\n");
  EXPECT_EQ(sizes, (std::vector<std::int64_t>{180, static_cast<std::int64_t>(second.size())}));
  EXPECT_EQ(file.lastSizeCheck, 1022);
}

struct LogRecord {
  char type;
  std::string id;
  std::string record;
};
std::vector<LogRecord> g_logged;
void RecordLog(char type, const char* id, const char* record) {
  g_logged.push_back({type, id, std::string(record, rt::kTraceSysLogRecordSize)});
}
void UpperCopy(char* destination, const char* source, int count) {
  for (int i = 0; i < count; ++i) {
    destination[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(source[i])));
  }
}

TEST_F(RuntimeTrace, SysLogRecordsCarryTextAndLocation) {
  g_logged.clear();
  DpTrcSysLog("Q0I", "%s", "not logged without hooks");
  EXPECT_TRUE(g_logged.empty());

  trcLogHook = RecordLog;
  trcCopyHook = UpperCopy;  // every byte goes through the copy hook
  DpTrcSetLocation("nixxhsl6", 1208);
  errno = EINTR;
  DpTrcSysLog("Q0I", "short %d", 1);
  EXPECT_EQ(errno, EINTR);
  std::string sixty(60, 'w');
  DpTrcSysLog("Q0J", "%s", sixty.c_str());
  DpTrcSysLog2("Q0K", "detail", "sock", "%14.14s%3d", "connect", 111);
  DpTrcSysLog2("Q0L", "abcdefghij", nullptr, "%s", "x");
  DpTrcSysLog2("Q0M", "f1", "f2", "%s", std::string(45, 'v').c_str());

  ASSERT_EQ(g_logged.size(), 5u);
  EXPECT_EQ(g_logged[0].type, 'l');
  EXPECT_EQ(g_logged[0].id, "Q0I");
  EXPECT_EQ(g_logged[0].record,
            std::string("SHORT 1") + '\0' + std::string(44, ' ') + "NIXXHSL61208");
  EXPECT_EQ(g_logged[1].type, ' ');
  EXPECT_EQ(g_logged[1].record, std::string(60, 'W') + '\0' + "   ");
  EXPECT_EQ(g_logged[2].type, 'm');
  EXPECT_EQ(g_logged[2].record, std::string("       CONNECT111") + '\0' + std::string(20, ' ') +
                                    "DETAIL " + "SOCK   " + "NIXXHSL61208");
  EXPECT_EQ(g_logged[3].record, std::string("X") + '\0' + std::string(36, ' ') + "ABCDEFG" +
                                    std::string(7, ' ') + "NIXXHSL61208");
  EXPECT_EQ(g_logged[4].type, 'l');  // too long for a field record: a plain one
  EXPECT_EQ(g_logged[4].record, std::string(45, 'V') + '\0' + "      " + "NIXXHSL61208");
}

TEST_F(RuntimeTrace, EnterAndLeaveCountAcrossThreads) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 10000; ++i) DpTrcEnter();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(trcNesting.load(), 40000);
  threads.clear();
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 10000; ++i) DpTrcLeave();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(trcNesting.load(), 0);
}

int g_evaluated = 0;
int Evaluated() { return ++g_evaluated; }

TEST_F(RuntimeTrace, StatementMacrosTestTheLevelAndBracketTheWrite) {
  trcHandle = out_.get();
  DpTrcFile file;
  rt::InitTraceFile(&file, out_.get(), 2);
  g_evaluated = 0;
  PARCEL_TRC(1, DpTrc, "%d\n", Evaluated());  // trcLevel 0: arguments untouched
  EXPECT_EQ(g_evaluated, 0);

  trcLevel = 2;
  PARCEL_TRC(3, DpTrc, "%d\n", Evaluated());
  PARCEL_TRC(2, DpTrc, "two %d\n", Evaluated());
  EXPECT_EQ(g_evaluated, 1);

  trcLevel = 3;
  DpTrcComponent* c = rt::RegisterTraceComponent('C', 2, &file);
  trcHandle = c;
  PARCEL_TRC(3, DpTrc, "level three\n");  // entry level 3 > the component's 2
  PARCEL_TRC_AT(1, "nixxhsl6", 1208, DpTrcError, "%s: init failed (rc=%d)\n", "X", -1);
  EXPECT_EQ(trcEntryLevel, 2);
  EXPECT_EQ(trcNesting.load(), 0);
  EXPECT_EQ(out_.Text(), "two 1\nC  *** ERROR => X: init failed (rc=-1) [nixxhsl6     1208]\n");
}

TEST_F(RuntimeTrace, StatementsOfConcurrentThreadsKeepTheirLinesWhole) {
  thrActive = true;
  trcLevel = 2;
  trcHandle = out_.get();
  constexpr int kThreads = 4;
  constexpr int kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string body(40 + t * 10, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) PARCEL_TRC(2, DpTrcNoStamp, "%d:%s\n", t, body.c_str());
    });
  }
  for (auto& thread : threads) thread.join();
  thrActive = false;

  std::string text = out_.Text();
  int counts[kThreads] = {};
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    std::string line = text.substr(start, end - start);
    int t = line[0] - '0';
    ASSERT_TRUE(t >= 0 && t < kThreads) << line;
    EXPECT_EQ(line, std::to_string(t) + ":" + std::string(40 + t * 10, static_cast<char>('a' + t)));
    ++counts[t];
    start = end + 1;
  }
  for (int count : counts) EXPECT_EQ(count, kLines);
}

}  // namespace
