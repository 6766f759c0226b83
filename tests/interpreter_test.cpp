// In-process tests of the interpreter classes: the request cycle and the job
// accessors over the container.
#include "interpreter/zip_interpreter.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/transfer_test_util.h"

namespace {

// An interpreter whose job is scripted by the test, to exercise the request
// cycle of OrbInterpreterGen independently of the compression job.
class ScriptedInterpreter final : public OrbInterpreterGen {
 public:
  const char* GetName() noexcept override { return "S"; }
  const char* GetType() noexcept override { return "S"; }
  const char* GetVersion() noexcept override { return "0"; }
  bool Execute() noexcept override {
    ++runs;
    seen_parts = GetPartCount();
    if (store_error) AddOutputPart("error", 5, "text/xml", "META", nullptr);
    return succeed;
  }

  bool succeed = false;
  bool store_error = false;
  int runs = 0;
  int seen_parts = -1;
};

struct Deleter {
  void operator()(OrbInterpreterBase* object) const { object->Destroy(); }
};

class InterpreterCycleTest : public ::testing::Test {
 protected:
  InterpreterCycleTest() : job_(new ScriptedInterpreter) { job_->Init(0); }
  ~InterpreterCycleTest() override { job_->Destroy(); }
  ScriptedInterpreter* job_;
};

TEST_F(InterpreterCycleTest, FailedJobWithErrorDocumentStillAnswersTrue) {
  job_->store_error = true;
  std::string request = parcel::testing::RequestOf({{"META", "<x/>"}});
  char* data = nullptr;
  std::uint32_t size = 0;
  EXPECT_TRUE(job_->Process(request.data(), std::uint32_t(request.size()), &data, &size));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(size, 165u);
  EXPECT_EQ(std::string(data + 160, 5), "error");
}

TEST_F(InterpreterCycleTest, FailedJobWithoutOutputAnswersFalseAndNull) {
  std::string request = parcel::testing::RequestOf({{"META", "<x/>"}});
  char* data = reinterpret_cast<char*>(1);
  std::uint32_t size = 9;
  EXPECT_FALSE(job_->Process(request.data(), std::uint32_t(request.size()), &data, &size));
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(size, 0u);
}

TEST_F(InterpreterCycleTest, NothingOfAnEarlierRequestIsSeenAgain) {
  std::string request = parcel::testing::RequestOf({{"META", "<x/>"}, {"F", "abc"}});
  job_->Process(request.data(), std::uint32_t(request.size()), nullptr, nullptr);
  EXPECT_EQ(job_->seen_parts, 2);
  job_->Reset();
  job_->Process(nullptr, 0, nullptr, nullptr);
  EXPECT_EQ(job_->seen_parts, 0);
  job_->Process(request.data(), 0, nullptr, nullptr);
  EXPECT_EQ(job_->seen_parts, 0);
  EXPECT_EQ(job_->runs, 3);
}

TEST_F(InterpreterCycleTest, ProcessWithoutResetReplacesTheResponse) {
  job_->store_error = true;
  std::string request = parcel::testing::RequestOf({{"META", "<x/>"}});
  char* data = nullptr;
  std::uint32_t size = 0;
  job_->Process(request.data(), std::uint32_t(request.size()), &data, &size);
  job_->Process(nullptr, 0, &data, &size);
  EXPECT_EQ(size, 165u);  // one record, not two
}

TEST(InterpreterAccessors, PartsAreTheContainerTables) {
  struct Probe final : OrbInterpreterGen {
    const char* GetName() noexcept override { return ""; }
    const char* GetType() noexcept override { return ""; }
    const char* GetVersion() noexcept override { return ""; }
    bool Execute() noexcept override {
      count = GetPartCount();
      meta = FindPart("meta");
      size1 = GetPartSize(1);
      data1 = GetPartData(1);
      missing_size = GetPartSize(5);
      missing_data = GetPartData(-1);
      added = AddOutputPart("x", 1, "a/b", "N", "f");
      refused = AddOutputPart("x", 0, "a/b", "N", "f");
      return true;
    }
    int count = 0, meta = 0, size1 = 0, missing_size = -1;
    char* data1 = nullptr;
    char* missing_data = reinterpret_cast<char*>(1);
    bool added = false, refused = true;
  };
  auto* probe = new Probe;
  std::string request = parcel::testing::RequestOf({{"META", "<x/>"}, {"F", "abcdef"}});
  char* data = nullptr;
  std::uint32_t size = 0;
  EXPECT_TRUE(probe->Process(request.data(), std::uint32_t(request.size()), &data, &size));
  EXPECT_EQ(probe->count, 2);
  EXPECT_EQ(probe->meta, 0);
  EXPECT_EQ(probe->size1, 6);
  ASSERT_NE(probe->data1, nullptr);
  EXPECT_EQ(std::string(probe->data1, 6), "abcdef");
  EXPECT_EQ(probe->missing_size, 0);
  EXPECT_EQ(probe->missing_data, nullptr);
  EXPECT_TRUE(probe->added);
  EXPECT_FALSE(probe->refused);
  EXPECT_EQ(size, 161u);
  probe->Destroy();
}

TEST(InterpreterIdentity, ZipInterpreterNamesItself) {
  std::unique_ptr<OrbInterpreterBase, Deleter> zip(new ZipInterpreter);
  EXPECT_TRUE(zip->Init(0));
  EXPECT_STREQ(zip->GetName(), "PARCEL");
  EXPECT_STREQ(zip->GetType(), "QELPH10");
  EXPECT_STREQ(zip->GetVersion(), "7000.0.9.0");
}

}  // namespace
