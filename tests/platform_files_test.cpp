// Whole-file reading and bulk memory, on the real file system.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "platform/bulk_memory.h"
#include "platform/file_read.h"
#include "platform/system_error_text.h"

namespace {
namespace fs = std::filesystem;
using parcel::platform::FileReadResult;
using parcel::platform::ReadWholeFile;

class FileReadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ =
        fs::temp_directory_path() /
        ("parcel_file_read_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "_" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path Write(const std::string& name, const std::string& bytes) {
    fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  fs::path dir_;
};

std::string Pattern(std::size_t size) {
  std::string bytes(size, '\0');
  std::uint32_t x = 12345;
  for (char& c : bytes) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 24);
  }
  return bytes;
}

void CountBytes(void* context, std::uint64_t bytes) {
  auto* calls = static_cast<std::vector<std::uint64_t>*>(context);
  calls->push_back(bytes);
}

TEST_F(FileReadTest, ReadsFilesOfEverySizeIntoPlaceAndReportsEveryPiece) {
  // Sizes around the 1 MiB piece: one piece, exactly one, one byte more, several.
  for (std::size_t size : {std::size_t{1}, std::size_t{4096}, std::size_t{1} << 20,
                           (std::size_t{1} << 20) + 1, (std::size_t{3} << 20) + 5}) {
    const std::string bytes = Pattern(size);
    std::string name = "f";
    name += std::to_string(size);
    const fs::path path = Write(name, bytes);
    // Guard bytes on both sides catch a read outside the place.
    std::string place(size + 2, '#');
    std::vector<std::uint64_t> pieces;
    int error = -1;
    ASSERT_EQ(ReadWholeFile(path, place.data() + 1, size, CountBytes, &pieces, &error),
              FileReadResult::kOk)
        << size;
    EXPECT_EQ(error, 0);
    EXPECT_EQ(place.front(), '#');
    EXPECT_EQ(place.back(), '#');
    EXPECT_TRUE(place.compare(1, size, bytes) == 0) << size;
    const std::uint64_t limit = parcel::platform::kFileReadPiece;
    std::uint64_t total = 0;
    for (std::uint64_t piece : pieces) {
      EXPECT_LE(piece, limit);
      total += piece;
    }
    EXPECT_EQ(total, size);
    EXPECT_GE(pieces.size(), (size + limit - 1) / limit);
  }
}

TEST_F(FileReadTest, TellsAFileThatChangedSizeSinceItWasMeasured) {
  const fs::path path = Write("f", Pattern(1000));
  std::string place(2000, '\0');
  // Larger now than expected: by one byte, and by more than a piece.
  EXPECT_EQ(ReadWholeFile(path, place.data(), 999, nullptr, nullptr, nullptr),
            FileReadResult::kGrew);
  EXPECT_EQ(ReadWholeFile(path, place.data(), 0, nullptr, nullptr, nullptr), FileReadResult::kGrew);
  // Smaller now than expected.
  EXPECT_EQ(ReadWholeFile(path, place.data(), 1001, nullptr, nullptr, nullptr),
            FileReadResult::kShrank);
  const fs::path big = Write("big", Pattern((std::size_t{2} << 20) + 7));
  std::string big_place((std::size_t{3} << 20), '\0');
  EXPECT_EQ(
      ReadWholeFile(big, big_place.data(), (std::size_t{2} << 20) + 6, nullptr, nullptr, nullptr),
      FileReadResult::kGrew);
  EXPECT_EQ(ReadWholeFile(big, big_place.data(), (std::size_t{3} << 20), nullptr, nullptr, nullptr),
            FileReadResult::kShrank);
  // An empty file is read as exactly nothing.
  const fs::path empty = Write("empty", "");
  EXPECT_EQ(ReadWholeFile(empty, place.data(), 0, nullptr, nullptr, nullptr), FileReadResult::kOk);
  EXPECT_EQ(ReadWholeFile(empty, place.data(), 1, nullptr, nullptr, nullptr),
            FileReadResult::kShrank);
}

TEST_F(FileReadTest, GivesTheSystemErrorForWhatCannotBeRead) {
  char place[16];
  int error = 0;
  EXPECT_EQ(ReadWholeFile(dir_ / "missing", place, sizeof place, nullptr, nullptr, &error),
            FileReadResult::kCannotOpen);
  EXPECT_NE(error, 0);
  char text[256];
  EXPECT_GT(parcel::platform::SystemErrorText(error, text, sizeof text), 0u);
  // A directory is refused when opened (Windows) or when read (POSIX).
  error = 0;
  FileReadResult result = ReadWholeFile(dir_, place, sizeof place, nullptr, nullptr, &error);
  EXPECT_TRUE(result == FileReadResult::kCannotOpen || result == FileReadResult::kReadError);
  EXPECT_NE(error, 0);
}

#ifndef _WIN32
TEST_F(FileReadTest, ANameThatBecameAFifoDoesNotWaitForAWriter) {
  const fs::path path = dir_ / "fifo";
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  char place[16];
  int error = 0;
  // With no writer the read finds nothing: the file "shrank" to nothing.
  FileReadResult result = ReadWholeFile(path, place, sizeof place, nullptr, nullptr, &error);
  EXPECT_TRUE(result == FileReadResult::kShrank || result == FileReadResult::kReadError);
}
#endif

TEST_F(FileReadTest, ReadsNamesBeyondTheSystemCodePage) {
  const fs::path path = dir_ / fs::path(u8"gr\u00fc\u00dfe \u65e5\u672c.txt");
  std::ofstream(path, std::ios::binary) << "hello";
  char place[5];
  ASSERT_EQ(ReadWholeFile(path, place, 5, nullptr, nullptr, nullptr), FileReadResult::kOk);
  EXPECT_EQ(std::string(place, 5), "hello");
}

TEST(BulkMemory, BlocksAreZeroedWritableAndReturnable) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4095}, std::size_t{65537},
                           (std::size_t{5} << 20) + 3}) {
    auto* block = static_cast<unsigned char*>(parcel::platform::AllocateBulk(size));
    ASSERT_NE(block, nullptr) << size;
    std::size_t nonzero = 0;
    for (std::size_t i = 0; i < size; ++i) nonzero += block[i] != 0;
    EXPECT_EQ(nonzero, 0u) << size;
    for (std::size_t i = 0; i < size; ++i) block[i] = static_cast<unsigned char>(i);
    if (size > 0) {
      EXPECT_EQ(block[size - 1], static_cast<unsigned char>(size - 1));
    }
    parcel::platform::FreeBulk(block, size);
  }
  parcel::platform::FreeBulk(nullptr, 100);
}

}  // namespace
