// Drives the built module exactly as a service host does: load the file,
// resolve Instantiate, call the interpreter's operations by raw vtable slot.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "interpreter/host_abi.h"
#include "platform/dynamic_library.h"
#include "tests/transfer_test_util.h"

namespace {

// Slot signatures as a host declares them, independent of the module's classes.
using InitFn = bool (*)(void*, std::uintptr_t);
using ProcessFn = bool (*)(void*, char*, std::uint32_t, char**, std::uint32_t*);
using VoidFn = void (*)(void*);
using BoolFn = bool (*)(void*);
using TextFn = const char* (*)(void*);

void* Slot(void* object, int slot) { return (*static_cast<void***>(object))[slot]; }

template <typename Fn>
Fn SlotAs(void* object, int slot) {
  return reinterpret_cast<Fn>(Slot(object, slot));
}

class ModuleAbiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    path_ = parcel::platform::ExecutableDirectory() + parcel::platform::ModuleFileName("parcel");
    ASSERT_TRUE(library_.Open(path_, &error)) << path_ << ": " << error;
    instantiate_ = reinterpret_cast<void* (*)()>(library_.Symbol("Instantiate"));
    ASSERT_NE(instantiate_, nullptr);
  }

  void* New() {
    void* object = instantiate_();
    EXPECT_NE(object, nullptr);
    EXPECT_TRUE(SlotAs<InitFn>(object, 0)(object, 0x1234));
    return object;
  }
  static void Delete(void* object) { SlotAs<VoidFn>(object, 9)(object); }

  // Runs `request` by slot 1; returns the result and the response bytes.
  static bool Process(void* object, std::string* request, std::string* response) {
    char* data = reinterpret_cast<char*>(1);
    std::uint32_t size = 1;
    bool ok =
        SlotAs<ProcessFn>(object, 1)(object, request ? request->data() : nullptr,
                                     request ? std::uint32_t(request->size()) : 0, &data, &size);
    response->assign(data != nullptr ? std::string(data, size) : std::string());
    if (data == nullptr) {
      EXPECT_EQ(size, 0u);
    }
    return ok;
  }

  std::string path_;
  parcel::platform::DynamicLibrary library_;
  void* (*instantiate_)() = nullptr;
};

TEST_F(ModuleAbiTest, IdentitySlots) {
  void* object = New();
  EXPECT_STREQ(SlotAs<TextFn>(object, 6)(object), "PARCEL");
  EXPECT_STREQ(SlotAs<TextFn>(object, 7)(object), "QELPH10");
  EXPECT_STREQ(SlotAs<TextFn>(object, 8)(object), "7000.0.9.0");
  Delete(object);
}

TEST_F(ModuleAbiTest, FlagSlots) {
  void* object = New();
  SlotAs<VoidFn>(object, 3)(object);
  SlotAs<VoidFn>(object, 3)(object);
  EXPECT_TRUE(SlotAs<BoolFn>(object, 5)(object));
  SlotAs<VoidFn>(object, 4)(object);
  EXPECT_FALSE(SlotAs<BoolFn>(object, 5)(object));
  SlotAs<VoidFn>(object, 4)(object);
  EXPECT_FALSE(SlotAs<BoolFn>(object, 5)(object));
  SlotAs<VoidFn>(object, 3)(object);
  EXPECT_TRUE(SlotAs<BoolFn>(object, 5)(object));
  Delete(object);
}

TEST_F(ModuleAbiTest, HeaderTableMatchesRawSlots) {
  auto* object = static_cast<ParcelInterpreter*>(New());
  EXPECT_EQ(reinterpret_cast<void*>(object->vtbl->GetName), Slot(object, PARCEL_SLOT_GET_NAME));
  EXPECT_EQ(reinterpret_cast<void*>(object->vtbl->Destroy), Slot(object, PARCEL_SLOT_DESTROY));
  EXPECT_STREQ(object->vtbl->GetVersion(object), "7000.0.9.0");
  object->vtbl->Destroy(object);
}

TEST_F(ModuleAbiTest, ResetBeforeProcessAndTwiceIsHarmless) {
  void* object = New();
  SlotAs<VoidFn>(object, 2)(object);
  SlotAs<VoidFn>(object, 2)(object);
  std::string request = parcel::testing::RequestOf({{"META", "<x/>"}}), response;
  Process(object, &request, &response);
  SlotAs<VoidFn>(object, 2)(object);
  SlotAs<VoidFn>(object, 2)(object);
  Delete(object);
}

TEST_F(ModuleAbiTest, NullOutPointersWriteNothingAndGiveSameResult) {
  void* object = New();
  std::string request = parcel::testing::RequestOf({{"META", "<x/>"}}), response;
  bool with = Process(object, &request, &response);
  SlotAs<VoidFn>(object, 2)(object);
  request = parcel::testing::RequestOf({{"META", "<x/>"}});
  char* data = reinterpret_cast<char*>(0x10);
  std::uint32_t size = 77;
  auto process = SlotAs<ProcessFn>(object, 1);
  EXPECT_EQ(process(object, request.data(), std::uint32_t(request.size()), nullptr, &size), with);
  EXPECT_EQ(size, 77u);
  EXPECT_EQ(process(object, request.data(), std::uint32_t(request.size()), &data, nullptr), with);
  EXPECT_EQ(data, reinterpret_cast<char*>(0x10));
  Delete(object);
}

TEST_F(ModuleAbiTest, BadRequestsAreAnsweredWithoutCrashing) {
  void* object = New();
  std::string wrong_magic = "transMagic" + std::string(100, ' ');
  std::string tiny = "T";
  std::string response;
  Process(object, nullptr, &response);
  SlotAs<VoidFn>(object, 2)(object);
  Process(object, &wrong_magic, &response);
  SlotAs<VoidFn>(object, 2)(object);
  Process(object, &tiny, &response);
  Delete(object);
}

TEST_F(ModuleAbiTest, DestroyingWhileHoldingResponseAndManyInterpreters) {
  // Under LeakSanitizer a leak on any of these paths fails the run.
  for (int i = 0; i < 50; ++i) {
    void* object = New();
    std::string request = parcel::testing::RequestOf({{"META", "<x/>"}, {"F", "data"}}), response;
    Process(object, &request, &response);
    Process(object, &request, &response);  // second Process without Reset
    Delete(object);
  }
}

}  // namespace
