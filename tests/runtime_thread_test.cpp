// Tests of the thread and memory services: the lock switches, the key registry
// and its edge cases, release of thread values at thread end, and the
// allocation wrappers' failure lines.
#include "runtime/thr.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/alloc_hook.h"
#include "platform/dynamic_library.h"
#include "platform/thread_local_key.h"
#include "runtime/mem.h"
#include "runtime/thr_internal.h"
#include "runtime/trace.h"

namespace {

namespace rt = parcel::runtime;
using parcel::platform::AllocSite;
using rt::detail::KeyRegistrySize;

// A key value that no system hands out.
constexpr std::uint32_t kForeignKey = 0xFFFFFF00u;

void SetSwitches(bool active, bool ready) {
  thrActive = active;
  thrReady = ready;
}

class RuntimeThrLock : public ::testing::Test {
 protected:
  void TearDown() override { SetSwitches(false, false); }
};

TEST_F(RuntimeThrLock, SwitchesOffLeaveTheLockUntouched) {
  SetSwitches(false, false);
  rt::ThrLock lock;
  std::memset(&lock, 0x5A, sizeof lock);
  rt::ThrLock copy = lock;
  EXPECT_EQ(ThrLockEnter(&lock), THR_OK);
  EXPECT_EQ(ThrLockLeave(&lock), THR_OK);
  EXPECT_EQ(ThrLockDelete(&lock), THR_ERR_NOTREADY);
  EXPECT_EQ(std::memcmp(&lock, &copy, sizeof lock), 0);
}

TEST_F(RuntimeThrLock, SwitchesOffDoNotExclude) {
  SetSwitches(false, false);
  rt::ThrLock lock;
  ASSERT_EQ(ThrLockInit(&lock, "test section"), THR_OK);
  ASSERT_EQ(ThrLockEnter(&lock), THR_OK);
  bool entered = false;
  std::thread other([&] {
    ThrLockEnter(&lock);  // would wait for ever if the lock were taken
    entered = true;
    ThrLockLeave(&lock);
  });
  other.join();
  EXPECT_TRUE(entered);
  ThrLockLeave(&lock);
  thrReady = true;
  EXPECT_EQ(ThrLockDelete(&lock), THR_OK);
}

TEST_F(RuntimeThrLock, SwitchedOnLocksExcludeAndLetTheOwnerReenter) {
  rt::EnableThreadServices();
  rt::ThrLock lock;
  ASSERT_EQ(ThrLockInit(&lock, "NI hdl section"), THR_OK);
  ASSERT_EQ(ThrLockEnter(&lock), THR_OK);
  ASSERT_EQ(ThrLockEnter(&lock), THR_OK);  // a recursive lock: no self-deadlock
  ASSERT_EQ(ThrLockLeave(&lock), THR_OK);
  ASSERT_EQ(ThrLockLeave(&lock), THR_OK);

  long counter = 0;  // plain: only the lock keeps the increments whole
  constexpr int kThreads = 4;
  constexpr int kIncrements = 20000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kIncrements; ++i) {
        ThrLockEnter(&lock);
        long seen = counter;
        std::this_thread::yield();
        counter = seen + 1;
        ThrLockLeave(&lock);
        if (i % 2000 == 0) std::this_thread::yield();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter, long{kThreads} * kIncrements);
  EXPECT_EQ(ThrLockDelete(&lock), THR_OK);
}

// Key tests run with the registry lock off and on.
class RuntimeThrKey : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    SetSwitches(GetParam(), GetParam());
    registry_before_ = KeyRegistrySize();
  }
  void TearDown() override {
    parcel::platform::ClearAllocFailure();
    EXPECT_EQ(KeyRegistrySize(), registry_before_) << "a test left keys registered";
    SetSwitches(false, false);
  }

  std::size_t registry_before_ = 0;
};

INSTANTIATE_TEST_SUITE_P(Switches, RuntimeThrKey, ::testing::Bool(), [](const auto& param_info) {
  return param_info.param ? "Active" : "Inactive";
});

TEST_P(RuntimeThrKey, ReleaseOfAnEmptyVariableIsNoKey) {
  std::uint32_t key = THR_KEY_NONE;
  EXPECT_EQ(ThrKeyRelease(&key), THR_ERR_NOKEY);
  EXPECT_EQ(ThrKeyRelease(nullptr), THR_ERR_NOKEY);
  EXPECT_EQ(key, THR_KEY_NONE);
}

TEST_P(RuntimeThrKey, GetOnAnEmptyVariableMakesAKeyPerThreadValues) {
  std::uint32_t key = THR_KEY_NONE;
  EXPECT_EQ(ThrKeyGet(&key), nullptr);
  ASSERT_NE(key, THR_KEY_NONE);
  EXPECT_EQ(KeyRegistrySize(), registry_before_ + 1);
  int value = 0;
  ASSERT_EQ(ThrKeySet(&key, &value), THR_OK);
  EXPECT_EQ(ThrKeyGet(&key), &value);
  void* seen_elsewhere = &value;
  std::thread([&] { seen_elsewhere = ThrKeyGet(&key); }).join();
  EXPECT_EQ(seen_elsewhere, nullptr);
  EXPECT_EQ(ThrKeyGet(&key), &value);
  EXPECT_EQ(ThrKeyRelease(&key), THR_OK);
  EXPECT_EQ(key, THR_KEY_NONE);
}

TEST_P(RuntimeThrKey, SetOnAnEmptyVariableMakesTheKeyFirst) {
  std::uint32_t key = THR_KEY_NONE;
  int value = 0;
  ASSERT_EQ(ThrKeySet(&key, &value), THR_OK);
  ASSERT_NE(key, THR_KEY_NONE);
  EXPECT_EQ(ThrKeyGet(&key), &value);
  EXPECT_EQ(ThrKeyRelease(&key), THR_OK);
}

TEST_P(RuntimeThrKey, AllocOnARegisteredKeyIsExistsAndKeepsIt) {
  std::uint32_t key = THR_KEY_NONE;
  ASSERT_EQ(ThrKeyAlloc(&key, nullptr), THR_OK);
  std::uint32_t first = key;
  EXPECT_EQ(ThrKeyAlloc(&key, nullptr), THR_ERR_EXISTS);
  EXPECT_EQ(key, first);
  EXPECT_EQ(KeyRegistrySize(), registry_before_ + 1);
  EXPECT_EQ(ThrKeyRelease(&key), THR_OK);
}

TEST_P(RuntimeThrKey, AllocOnAnUnregisteredValueReplacesIt) {
  std::uint32_t key = kForeignKey;
  ASSERT_EQ(ThrKeyAlloc(&key, nullptr), THR_OK);
  EXPECT_NE(key, kForeignKey);
  EXPECT_NE(key, THR_KEY_NONE);
  EXPECT_EQ(ThrKeyRelease(&key), THR_OK);
}

TEST_P(RuntimeThrKey, RefusedKeysGiveSyscallAndReleaseStillClears) {
  std::uint32_t key = kForeignKey;
  EXPECT_EQ(ThrKeySet(&key, &key), THR_ERR_SYSCALL);
  EXPECT_EQ(ThrKeyGet(&key), nullptr);
  EXPECT_EQ(ThrKeyRelease(&key), THR_ERR_SYSCALL);
  EXPECT_EQ(key, THR_KEY_NONE);
}

TEST_P(RuntimeThrKey, NoMemoryLeavesTheNewKeyUnregistered) {
  std::uint32_t key = THR_KEY_NONE;
  parcel::platform::SetAllocFailure({.site = AllocSite::kRuntime, .after = 0, .once = false});
  ASSERT_EQ(ThrKeyAlloc(&key, nullptr), THR_ERR_NOMEM);
  ASSERT_NE(key, THR_KEY_NONE);
  EXPECT_EQ(KeyRegistrySize(), registry_before_);
  std::uint32_t orphan = key;
  std::uint32_t other = THR_KEY_NONE;
  EXPECT_EQ(ThrKeySet(&other, &key), THR_ERR_NOMEM);
  std::uint32_t orphan2 = other;
  EXPECT_EQ(ThrKeyGet(&other), nullptr);  // a key is there now, unregistered
  parcel::platform::ClearAllocFailure();
  // The unregistered key is replaced by a registered one.
  ASSERT_EQ(ThrKeyAlloc(&key, nullptr), THR_OK);
  EXPECT_NE(key, orphan);
  EXPECT_EQ(ThrKeyRelease(&key), THR_OK);
  EXPECT_TRUE(parcel::platform::TlsKeyDelete(orphan));
  EXPECT_TRUE(parcel::platform::TlsKeyDelete(orphan2));
}

TEST_P(RuntimeThrKey, RunningOutOfSystemKeysIsNoKeys) {
  std::vector<std::uint32_t> keys;
  int result = THR_OK;
  for (int i = 0; i < 5000 && result == THR_OK; ++i) {
    std::uint32_t key = THR_KEY_NONE;
    result = ThrKeyAlloc(&key, nullptr);
    if (result == THR_OK) {
      keys.push_back(key);
    } else {
      EXPECT_EQ(key, THR_KEY_NONE);
    }
  }
  EXPECT_EQ(result, THR_ERR_NOKEYS);
  EXPECT_GT(keys.size(), 50u);
  for (std::uint32_t& key : keys) EXPECT_EQ(ThrKeyRelease(&key), THR_OK);
}

// Threads that meet an empty shared variable at once all end up with the key
// the first of them made, as the registry lock orders them.
TEST(RuntimeThrKeyShared, ThreadsSharingAnEmptyVariableGetOneKey) {
  rt::EnableThreadServices();
  const std::size_t registry_before = KeyRegistrySize();
  std::uint32_t shared = THR_KEY_NONE;
  constexpr int kThreads = 8;
  std::atomic<int> ready{0};
  std::uint32_t seen[kThreads] = {};
  int own[kThreads] = {};
  bool kept[kThreads] = {};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      bool first_empty = ThrKeyGet(&shared) == nullptr;
      bool set = ThrKeySet(&shared, &own[t]) == THR_OK;
      kept[t] = first_empty && set && ThrKeyGet(&shared) == &own[t];
      seen[t] = std::atomic_ref<std::uint32_t>(shared).load();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(KeyRegistrySize(), registry_before + 1);
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_TRUE(kept[t]) << t;
    EXPECT_EQ(seen[t], shared) << t;
  }
  EXPECT_EQ(ThrKeyRelease(&shared), THR_OK);
  SetSwitches(false, false);
}

struct Released {
  std::atomic<int> calls{0};
  std::atomic<void*> last{nullptr};
};
Released g_released;
void CountRelease(void* value) {
  g_released.calls.fetch_add(1);
  g_released.last.store(value);
}

std::uint32_t g_again_key = THR_KEY_NONE;
std::atomic<int> g_again_calls{0};
void ReleaseAndStoreOnce(void* value) {
  if (g_again_calls.fetch_add(1) == 0) ThrKeySet(&g_again_key, value);
}

TEST_P(RuntimeThrKey, ValuesAreReleasedWhenTheirThreadEnds) {
  std::uint32_t key = THR_KEY_NONE;
  ASSERT_EQ(ThrKeyAlloc(&key, CountRelease), THR_OK);
  g_released.calls = 0;
  int block = 0;
  std::thread([&] { ThrKeySet(&key, &block); }).join();
  EXPECT_EQ(g_released.calls.load(), 1);
  EXPECT_EQ(g_released.last.load(), &block);

  std::thread([&] { ThrKeyGet(&key); }).join();  // no value: no call
  EXPECT_EQ(g_released.calls.load(), 1);

  // Heap blocks, the per-thread globals of a library: the leak checker of the
  // sanitizer build reports any that is not freed.
  std::uint32_t heap_key = THR_KEY_NONE;
  ASSERT_EQ(ThrKeyAlloc(&heap_key, [](void* p) { MemFree(p); }), THR_OK);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] { ThrKeySet(&heap_key, MemAlloc(256, "thread globals")); });
  }
  for (auto& thread : threads) thread.join();

  // A destructor that stores a value again is called again.
  g_again_calls = 0;
  ASSERT_EQ(ThrKeyAlloc(&g_again_key, ReleaseAndStoreOnce), THR_OK);
  std::thread([&] { ThrKeySet(&g_again_key, &block); }).join();
  EXPECT_EQ(g_again_calls.load(), 2);

  EXPECT_EQ(ThrKeyRelease(&key), THR_OK);
  EXPECT_EQ(ThrKeyRelease(&heap_key), THR_OK);
  EXPECT_EQ(ThrKeyRelease(&g_again_key), THR_OK);
}

TEST_P(RuntimeThrKey, ReleaseThreadValuesRunsDestructorsEarlyAndOnce) {
  std::uint32_t key = THR_KEY_NONE;
  std::uint32_t plain = THR_KEY_NONE;
  ASSERT_EQ(ThrKeyAlloc(&key, CountRelease), THR_OK);
  ASSERT_EQ(ThrKeyAlloc(&plain, nullptr), THR_OK);
  g_released.calls = 0;
  int block = 0;
  void* after = &block;
  void* plain_after = nullptr;
  std::thread([&] {
    ThrKeySet(&key, &block);
    ThrKeySet(&plain, &block);
    rt::ReleaseThreadValues();
    after = ThrKeyGet(&key);
    plain_after = ThrKeyGet(&plain);
  }).join();
  EXPECT_EQ(g_released.calls.load(), 1);  // not again at thread end
  EXPECT_EQ(g_released.last.load(), &block);
  EXPECT_EQ(after, nullptr);
  EXPECT_EQ(plain_after, &block);  // keys without a destructor keep their values
  EXPECT_EQ(ThrKeyRelease(&key), THR_OK);
  EXPECT_EQ(ThrKeyRelease(&plain), THR_OK);
}

// The per-thread value of a loaded module is released when a thread that the
// host created ends: the module's own thread-end hook runs for it.
TEST(RuntimeThrKeyModule, ValuesOfHostThreadsAreReleasedInsideTheModule) {
  parcel::platform::DynamicLibrary module;
  std::string error;
  std::string path = parcel::platform::ExecutableDirectory() +
                     parcel::platform::ModuleFileName("runtime_key_module");
  ASSERT_TRUE(module.Open(path, &error)) << path << ": " << error;
  auto set_value = reinterpret_cast<int (*)()>(module.Symbol("RuntimeProbeSetValue"));
  auto released = reinterpret_cast<int (*)()>(module.Symbol("RuntimeProbeReleased"));
  auto shutdown = reinterpret_cast<int (*)()>(module.Symbol("RuntimeProbeShutdown"));
  ASSERT_TRUE(set_value != nullptr && released != nullptr && shutdown != nullptr);
  int results[3] = {-1, -1, -1};
  for (int& result : results) {
    std::thread([&] { result = set_value(); }).join();
  }
  for (int result : results) EXPECT_EQ(result, THR_OK);
  EXPECT_EQ(released(), 3);
  EXPECT_EQ(shutdown(), THR_OK);
}

// The allocation wrappers, with their failure lines on a temporary stream.
class RuntimeMem : public ::testing::Test {
 protected:
  void SetUp() override {
    rt::ResetTrace();
    trcStampMode = 0;
    path_ = ::testing::TempDir() + "parcel_mem_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name() + ".txt";
    stream_ = std::fopen(path_.c_str(), "w+b");
    ASSERT_NE(stream_, nullptr);
    trcHandle = stream_;
    trcLevel = 1;
  }
  void TearDown() override {
    parcel::platform::ClearAllocFailure();
    rt::ResetTrace();
    std::fclose(stream_);
    std::remove(path_.c_str());
  }
  std::string Text() {
    std::fflush(stream_);
    std::FILE* in = std::fopen(path_.c_str(), "rb");
    std::string text;
    char buffer[1024];
    std::size_t n;
    while (in != nullptr && (n = std::fread(buffer, 1, sizeof buffer, in)) > 0) {
      text.append(buffer, n);
    }
    if (in != nullptr) std::fclose(in);
    return text;
  }

  std::string path_;
  std::FILE* stream_ = nullptr;
};

TEST_F(RuntimeMem, FailedAllocationsWriteOneErrorLineEach) {
  parcel::platform::SetAllocFailure({.site = AllocSite::kRuntime, .after = 0, .once = false});
  EXPECT_EQ(MemAlloc(4096, "NiIBufAlloc"), nullptr);
  EXPECT_EQ(MemAlloc((std::uint64_t{1} << 32) + 16, "big"), nullptr);  // low 32 bits shown
  std::string long_id(100, 'i');
  EXPECT_EQ(MemAlloc(1, long_id.c_str()), nullptr);
  EXPECT_EQ(MemAlloc(2, nullptr), nullptr);
  parcel::platform::ClearAllocFailure();
  void* block = MemAlloc(16, "ok");
  ASSERT_NE(block, nullptr);
  std::memset(block, 1, 16);
  parcel::platform::SetAllocFailure({.site = AllocSite::kRuntime, .after = 0, .once = false});
  EXPECT_EQ(MemRealloc(block, 64, "grow"), nullptr);
  parcel::platform::ClearAllocFailure();
  block = MemRealloc(block, 64, "grow");  // the block survived the failure
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(block)[15], 1);
  EXPECT_EQ(MemFree(block), 0);
  EXPECT_EQ(MemFree(nullptr), 0);
  EXPECT_EQ(Text(),
            "*** ERROR => malloc() failed. size=4096 callerId='NiIBufAlloc' [ictxxmem     219]\n"
            "*** ERROR => malloc() failed. size=16 callerId='big' [ictxxmem     219]\n"
            "*** ERROR => malloc() failed. size=1 callerId='" +
                std::string(63, 'i') +
                "' [ictxxmem     219]\n"
                "*** ERROR => malloc() failed. size=2 callerId='' [ictxxmem     219]\n"
                "*** ERROR => realloc() failed. size=64 callerId='grow' [ictxxmem     243]\n");
  EXPECT_EQ(trcEntryLevel, 2);
}

TEST_F(RuntimeMem, NoLineBelowLevelOneOrForReallocToZero) {
  parcel::platform::SetAllocFailure({.site = AllocSite::kRuntime, .after = 0, .once = false});
  trcLevel = 0;
  EXPECT_EQ(MemAlloc(8, "quiet"), nullptr);
  trcLevel = 1;
  parcel::platform::ClearAllocFailure();
  void* block = MemAlloc(8, "x");
  ASSERT_NE(block, nullptr);
  // realloc to 0 frees the block and answers null on the supported C libraries.
  EXPECT_EQ(MemRealloc(block, 0, "shrink"), nullptr);
  EXPECT_EQ(Text(), "");
}

TEST_F(RuntimeMem, FailureInjectionCountsSuccessfulAllocations) {
  parcel::platform::SetAllocFailure({.site = AllocSite::kRuntime, .after = 2, .once = false});
  void* a = MemAlloc(1, "a");
  void* b = MemRealloc(nullptr, 1, "b");
  void* c = MemAlloc(1, "c");
  EXPECT_NE(a, nullptr);
  EXPECT_NE(b, nullptr);
  EXPECT_EQ(c, nullptr);
  EXPECT_EQ(MemAlloc(1, "d"), nullptr);
  parcel::platform::ClearAllocFailure();
  void* e = MemAlloc(1, "e");
  EXPECT_NE(e, nullptr);
  for (void* p : {a, b, e}) MemFree(p);
}

}  // namespace
