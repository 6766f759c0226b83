// A C stream backed by a temporary file, for tests of writers that take a
// FILE*: Text() reads back everything that reached it.
#ifndef PARCEL_TESTS_TEMP_STREAM_H_
#define PARCEL_TESTS_TEMP_STREAM_H_

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace parcel::testing {

class TempStream {
 public:
  // CTest runs tests in parallel processes: the test's name keeps files apart.
  explicit TempStream(const std::string& prefix = "parcel_stream_") {
    static int counter = 0;
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    // Parameterised tests have a '/' in their names.
    std::string name = test != nullptr ? test->name() : "";
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    path_ = ::testing::TempDir() + prefix + name + "_" + std::to_string(++counter) + ".txt";
    stream_ = std::fopen(path_.c_str(), "w+b");
  }
  ~TempStream() {
    if (stream_ != nullptr) std::fclose(stream_);
    std::remove(path_.c_str());
  }
  TempStream(const TempStream&) = delete;
  TempStream& operator=(const TempStream&) = delete;

  std::FILE* get() const { return stream_; }
  const std::string& path() const { return path_; }
  std::string Text() const {
    std::fflush(stream_);
    std::string text;
    std::FILE* in = std::fopen(path_.c_str(), "rb");
    if (in == nullptr) return "<unreadable>";
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0) text.append(buffer, n);
    std::fclose(in);
    return text;
  }

 private:
  std::string path_;
  std::FILE* stream_;
};

}  // namespace parcel::testing

#endif  // PARCEL_TESTS_TEMP_STREAM_H_
