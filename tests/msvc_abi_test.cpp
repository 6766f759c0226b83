// A host built for the Microsoft C++ ABI drives parcel.dll: the host code is
// compiled by clang-cl (msvc_abi_host.cpp) and deletes interpreters through
// slot 9 as its scalar deleting destructor, with a flags argument.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "interpreter/host_abi.h"
#include "platform/dynamic_library.h"
#include "platform/win/win_headers.h"
#include "tests/module_heap_counter.h"
#include "tests/msvc_abi_host.h"
#include "tests/transfer_test_util.h"

namespace {

class MsvcAbiHostTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    std::string path =
        parcel::platform::ExecutableDirectory() + parcel::platform::ModuleFileName("parcel");
    ASSERT_TRUE(library_.Open(path, &error)) << path << ": " << error;
    instantiate_ = reinterpret_cast<MsvcHostInstantiateFn>(library_.Symbol("Instantiate"));
    ASSERT_NE(instantiate_, nullptr);
  }

  MsvcHostReport Cycle(std::string request, bool keep_response) {
    MsvcHostReport report;
    std::memset(&report, 0x5A, sizeof report);
    EXPECT_EQ(MsvcHostCycle(instantiate_, request.data(), static_cast<unsigned>(request.size()),
                            keep_response, &report),
              0);
    return report;
  }

  parcel::platform::DynamicLibrary library_;
  MsvcHostInstantiateFn instantiate_ = nullptr;
  parcel::testing::ModuleHeapCounter heap_;  // restored before library_ unloads
};

const std::string kRequest =
    parcel::testing::RequestOf({{"META", "<REQUEST/>"}, {"F", "file bytes"}});

TEST_F(MsvcAbiHostTest, EverySlotAnswersThroughTheMicrosoftLayout) {
  MsvcHostReport report = Cycle(kRequest, false);
  EXPECT_TRUE(report.init_result);
  EXPECT_STREQ(report.name, "PARCEL");
  EXPECT_STREQ(report.type, "QELPH10");
  EXPECT_STREQ(report.version, "7000.0.9.0");
  EXPECT_TRUE(report.flag_after_set);
  EXPECT_FALSE(report.flag_after_clear);
}

TEST_F(MsvcAbiHostTest, ProcessAnswersAsForAnItaniumHost) {
  const std::string requests[] = {kRequest, "not a request", ""};
  for (const std::string& request : requests) {
    MsvcHostReport report = Cycle(request, false);

    // The same request through the plain C view of the table.
    auto* object = reinterpret_cast<ParcelInterpreter*>(instantiate_());
    ASSERT_NE(object, nullptr);
    ASSERT_TRUE(object->vtbl->Init(object, 0));
    std::string copy = request;
    char* data = nullptr;
    std::uint32_t size = 0;
    bool result =
        object->vtbl->Process(object, copy.data(), std::uint32_t(copy.size()), &data, &size);
    object->vtbl->Destroy(object);

    EXPECT_EQ(bool(report.process_result), result) << request;
    EXPECT_EQ(bool(report.response_present), data != nullptr) << request;
    EXPECT_EQ(bool(report.response_present), report.response_size > 0) << request;
    if (report.response_present) {
      EXPECT_EQ(std::string(report.response_head, 10), "TransMagic") << request;
    }
  }
}

TEST_F(MsvcAbiHostTest, RepeatedCyclesReleaseEverything) {
  std::string path =
      parcel::platform::ExecutableDirectory() + parcel::platform::ModuleFileName("parcel");
  ASSERT_TRUE(heap_.Install(GetModuleHandleA(path.c_str()))) << "malloc and free are routed";

  // The counter sees the interpreter's own blocks.
  long start = heap_.Live();
  void* object = instantiate_();
  ASSERT_NE(object, nullptr);
  EXPECT_GT(heap_.Live(), start);
  reinterpret_cast<ParcelInterpreter*>(object)->vtbl->Destroy(
      reinterpret_cast<ParcelInterpreter*>(object));
  EXPECT_EQ(heap_.Live(), start);

  const std::string bad = "TransMagic garbage";
  for (int i = 0; i < 2000; ++i) {
    Cycle(i % 3 == 0 ? bad : kRequest, i % 2 == 1);
    ASSERT_EQ(heap_.Live(), start)
        << "cycle " << i << (i % 2 == 1 ? " (deleted holding the response)" : "");
  }
}

}  // namespace
