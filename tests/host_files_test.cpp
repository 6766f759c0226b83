// Tests of the host's file system side: collecting inputs into entries, and
// output files that appear whole or not at all.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "host/cli/atomic_file.h"
#include "host/cli/input_files.h"

namespace {

namespace fs = std::filesystem;
using parcel::host::InputCollector;

// Each test runs in a fresh directory of its own.
class HostFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = fs::current_path();
    root_ =
        fs::temp_directory_path() / ("parcel-host-test-" + std::to_string(std::random_device()()));
    fs::create_directories(root_);
    fs::current_path(root_);
  }
  void TearDown() override {
    fs::current_path(saved_);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }

  static void Write(const fs::path& path, const std::string& bytes) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string Read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  // Symbolic links may be unavailable (Windows without the privilege).
  static bool Link(const fs::path& target, const fs::path& link) {
    std::error_code ec;
    fs::create_symlink(target, link, ec);
    return !ec;
  }

  // Entry names of collecting `arguments`; the first error ends it.
  std::vector<std::string> Collect(const std::vector<std::string>& arguments, bool junk = false,
                                   std::vector<fs::path> excluded = {}) {
    InputCollector collector({junk, std::move(excluded)});
    std::vector<std::string> names;
    error_.clear();
    for (const std::string& argument : arguments) {
      if (!collector.Add(argument, &error_)) return names;
    }
    for (const auto& file : collector.files()) names.push_back(parcel::host::EntryName(file.entry));
    notes_ = collector.notes();
    return names;
  }

  // Expects collecting `arguments` to fail with a message containing `text`.
  void ExpectError(const std::vector<std::string>& arguments, const std::string& text,
                   bool junk = false) {
    Collect(arguments, junk);
    EXPECT_NE(error_.find(text), std::string::npos) << "error: " << error_;
  }

  fs::path saved_;
  fs::path root_;
  std::string error_;
  std::vector<std::string> notes_;
};

TEST_F(HostFilesTest, WalksDirectoriesInByteOrderWithBackslashPaths) {
  Write("d/b.txt", "bb");
  Write("d/C.txt", "c");
  Write("d/a/z.txt", "");
  Write("d/a/y/x.txt", "xxx");
  InputCollector collector({});
  std::string error;
  ASSERT_TRUE(collector.Add("d", &error)) << error;
  std::vector<std::string> got;
  for (const auto& file : collector.files()) {
    got.push_back(file.entry.path + "|" + file.entry.name + "|" + std::to_string(file.entry.size));
  }
  EXPECT_EQ(
      got, (std::vector<std::string>{"d|C.txt|1", "d\\a\\y|x.txt|3", "d\\a|z.txt|0", "d|b.txt|2"}));
}

TEST_F(HostFilesTest, ArgumentsKeepTheirDirectoriesWithoutRootDotsOrDotDots) {
  Write("d/b.txt", "b");
  Write("d/e/f.txt", "f");
  const std::string base = root_.filename().string();
  struct Case {
    std::string argument;
    std::vector<std::string> entries;
  } cases[] = {
      {"d/b.txt", {"d\\b.txt"}},           {"./d/../d/./b.txt", {"d\\b.txt"}},
      {"d/", {"d\\b.txt", "d\\e\\f.txt"}}, {"d/e", {"d\\e\\f.txt"}},
      {".", {"d\\b.txt", "d\\e\\f.txt"}},  {"../" + base + "/d/e", {base + "\\d\\e\\f.txt"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Collect({c.argument}), c.entries) << c.argument;

  // An absolute argument loses its root: no entry begins with a separator.
  std::vector<std::string> absolute = Collect({(root_ / "d" / "b.txt").string()});
  ASSERT_EQ(absolute.size(), 1u) << error_;
  EXPECT_NE(absolute[0].front(), '\\');
  EXPECT_NE(absolute[0].find(base + "\\d\\b.txt"), std::string::npos) << absolute[0];
}

TEST_F(HostFilesTest, JunkPathsStoresNamesAloneAndRefusesCollisions) {
  Write("d/a/x.txt", "1");
  Write("d/y.txt", "2");
  Write("e/x.txt", "3");
  EXPECT_EQ(Collect({"d"}, true), (std::vector<std::string>{"x.txt", "y.txt"}));
  ExpectError({"d", "e"}, "would both be stored as 'x.txt'", true);
}

TEST_F(HostFilesTest, SameFileTwiceIsPackedOnce) {
  Write("d/b.txt", "b");
  EXPECT_EQ(Collect({"d/b.txt", "d", "./d/b.txt"}), std::vector<std::string>{"d\\b.txt"});
  EXPECT_TRUE(error_.empty()) << error_;
}

TEST_F(HostFilesTest, NamesAtAndBeyondTheModuleLimits) {
  Write("n/" + std::string(255, 'n'), "x");
  EXPECT_EQ(Collect({"n"}, true).size(), 1u) << error_;
  // Directory levels of 100 bytes: "p...\q...\" is 202 bytes before the name.
  const std::string dirs = std::string(100, 'p') + "/" + std::string(100, 'q') + "/";
  Write(dirs + std::string(57, 'r'), "x");  // 259 bytes
  EXPECT_EQ(Collect({std::string(100, 'p')}).size(), 1u) << error_;
  Write(dirs + std::string(58, 's'), "x");  // 260 bytes
  ExpectError({std::string(100, 'p')}, "bytes long; the limit is 259");
  // The same file is fine with -j.
  EXPECT_EQ(Collect({dirs + std::string(58, 's')}, true).size(), 1u) << error_;
}

TEST_F(HostFilesTest, RefusesInputsThatCannotBePacked) {
  Write("d/ok.txt", "x");
  ExpectError({"missing.txt"}, "'missing.txt': ");
  ExpectError({""}, "empty name");
  if (Link("nowhere", "d/dangling")) ExpectError({"d"}, "'d/dangling': dangling symbolic link");
  fs::remove("d/dangling");
  // A backslash is an ordinary character in POSIX names but separates levels
  // in entry names.
  std::error_code ec;
  std::ofstream("e\\vil", std::ios::binary) << "x";
  if (fs::exists("e\\vil", ec) && !fs::exists("e", ec)) {
    ExpectError({"e\\vil"}, "contains a backslash");
  }
  Write("n/" + std::string(256, 'n'), "x");
  if (fs::exists("n/" + std::string(256, 'n'), ec)) ExpectError({"n"}, "the limit is 255");
  if (fs::exists("/dev/null")) ExpectError({"/dev/null"}, "neither a regular file nor a directory");
}

TEST_F(HostFilesTest, FollowsLinksButRefusesDirectoryLoops) {
  Write("d/a/x.txt", "x");
  Write("d/b.txt", "bb");
  if (!Link("b.txt", "d/file-link") || !Link("a", "d/dir-link")) GTEST_SKIP() << "no symlinks";
  EXPECT_EQ(Collect({"d"}), (std::vector<std::string>{"d\\a\\x.txt", "d\\b.txt",
                                                      "d\\dir-link\\x.txt", "d\\file-link"}));
  ASSERT_TRUE(Link("..", "d/a/up"));
  ExpectError({"d"}, "directory loop");
}

TEST_F(HostFilesTest, LeavesOutTheArchiveBeingWritten) {
  Write("d/out.zip", "old archive");
  Write("d/b.txt", "b");
  EXPECT_EQ(Collect({"d"}, false, {"./d/out.zip"}), std::vector<std::string>{"d\\b.txt"});
  ASSERT_EQ(notes_.size(), 1u);
  EXPECT_NE(notes_[0].find("out.zip"), std::string::npos);
  // A file of the same name elsewhere stays in.
  EXPECT_EQ(Collect({"d"}, false, {"elsewhere/out.zip"}).size(), 2u);
}

// The full 65,535 are run end to end; here the limit is lowered.
TEST_F(HostFilesTest, RefusesMoreFilesThanTheLimit) {
  Write("d/a", "a");
  Write("d/b", "b");
  Write("d/c", "c");
  InputCollector collector({false, {}, 3});
  std::string error;
  ASSERT_TRUE(collector.Add("d", &error)) << error;
  EXPECT_TRUE(collector.Add("d/a", &error)) << "the same file again is no new file";
  Write("e", "e");
  EXPECT_FALSE(collector.Add("e", &error));
  EXPECT_NE(error.find("more than 3 files"), std::string::npos) << error;
}

TEST_F(HostFilesTest, CommittedFileReplacesTargetAndLeavesNoTemporary) {
  Write("out.bin", "old");
  std::string error;
  ASSERT_TRUE(parcel::host::WriteFileAtomically("out.bin", "new bytes", &error)) << error;
  EXPECT_EQ(Read("out.bin"), "new bytes");
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);
}

TEST_F(HostFilesTest, UncommittedFileLeavesTargetAsItWas) {
  Write("out.bin", "old");
  {
    parcel::host::AtomicFile file;
    std::string error;
    ASSERT_TRUE(file.Open("out.bin", &error)) << error;
    EXPECT_EQ(file.temp_path().parent_path(), fs::path());  // beside the target
    EXPECT_TRUE(fs::exists(file.temp_path()));
    ASSERT_TRUE(file.Write("partial", &error));
  }
  EXPECT_EQ(Read("out.bin"), "old");
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);
}

TEST_F(HostFilesTest, UnwritableTargetsFailAtOpen) {
  fs::create_directories("dir");
  struct Case {
    fs::path target;
    std::string text;
  } cases[] = {
      {"missing/out.zip", "cannot write 'missing/out.zip': "},
      {"dir", "it is a directory"},
  };
  for (const Case& c : cases) {
    parcel::host::AtomicFile file;
    std::string error;
    EXPECT_FALSE(file.Open(c.target, &error));
    EXPECT_NE(error.find(c.text), std::string::npos) << error;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator("."), fs::directory_iterator()), 1);
}

}  // namespace
