// The platform services give one behaviour on both sides: the Windows C
// library's generator and clock, and the broken-down UTC time. The same
// expectations run natively and, in the Windows build, against the real
// Windows C library under Wine.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#else
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "platform/alertable_sleep.h"
#include "platform/alloc_hook.h"
#include "platform/coding.h"
#include "platform/crt.h"
#include "platform/lazy_symbol.h"
#include "platform/monotonic_clock.h"
#include "platform/system_info.h"
#include "platform/utc_time.h"

namespace {

using parcel::platform::Clock;
using parcel::platform::kRandMax;
using parcel::platform::Rand;
using parcel::platform::SeedRand;

std::vector<int> Draw(int count) {
  std::vector<int> values;
  for (int i = 0; i < count; ++i) values.push_back(Rand());
  return values;
}

TEST(PlatformRand, SeedGivesTheWindowsCLibrarySequence) {
  struct Case {
    unsigned int seed;
    std::vector<int> first;
  };
  // Values of the Windows C library's rand() after srand(seed). Seed 1 comes
  // round again last: reseeding restarts the sequence.
  const Case cases[] = {
      {1, {41, 18467, 6334, 26500, 19169, 15724}},
      {0, {38, 7719, 21238, 2437, 8855, 11797}},
      {12345, {7584, 19164, 25795, 22125, 5828, 23405}},
      {0xFFFFFFFFu, {35, 29739, 3374, 11141, 31308, 7870}},
      {1, {41, 18467, 6334, 26500, 19169, 15724}},
  };
  for (const Case& c : cases) {
    SeedRand(c.seed);
    EXPECT_EQ(Draw(6), c.first) << "seed " << c.seed;
  }
}

TEST(PlatformRand, ValuesSpanZeroToRandMaxAndNoFurther) {
  SeedRand(99);
  int low = kRandMax, high = 0;
  for (int i = 0; i < 300000; ++i) {
    int r = Rand();
    ASSERT_GE(r, 0);
    ASSERT_LE(r, 32767);
    low = std::min(low, r);
    high = std::max(high, r);
  }
  EXPECT_EQ(low, 0);
  EXPECT_EQ(high, 32767);
}

TEST(PlatformRand, EachThreadHasItsOwnGeneratorStartingAtSeedOne) {
  SeedRand(1);
  const std::vector<int> seed_one = Draw(3);
  SeedRand(777);
  const std::vector<int> expected = Draw(4);

  SeedRand(777);
  std::vector<int> drawn = Draw(2);
  std::vector<int> fresh;
  std::thread other([&] {
    fresh = Draw(3);
    SeedRand(5);
    (void)Draw(3);
  });
  other.join();
  for (int r : Draw(2)) drawn.push_back(r);

  EXPECT_EQ(fresh, seed_one) << "a new thread starts as if seeded with 1";
  EXPECT_EQ(drawn, expected)
      << "another thread's seed and draws leave this thread's sequence alone";
}

TEST(PlatformClock, NeverGoesBackAndCountsSleepInMilliseconds) {
  long previous = Clock();
  EXPECT_GE(previous, 0);
  for (int i = 0; i < 100000; ++i) {
    long now = Clock();
    ASSERT_GE(now, previous);
    previous = now;
  }
  // A processor-time clock would hardly move while the thread sleeps, and a
  // microsecond clock would move a thousand times as far.
  long before = Clock();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  long slept = Clock() - before;
  EXPECT_GE(slept, 90);
  EXPECT_LT(slept, 10000);
}

// Days since 1970-01-01 of a proleptic Gregorian date (month 1..12).
std::int64_t DaysFromCivil(std::int64_t year, int month, int day) {
  year -= month <= 2;
  const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
  const std::int64_t yoe = year - era * 400;
  const std::int64_t doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

TEST(PlatformUtcTime, FieldsDescribeTheCurrentSecond) {
  std::tm fields{};
  std::time_t before = std::time(nullptr);
  ASSERT_TRUE(parcel::platform::UtcNow(&fields));
  std::time_t after = std::time(nullptr);

  EXPECT_GE(fields.tm_mon, 0);
  EXPECT_LE(fields.tm_mon, 11);
  EXPECT_GE(fields.tm_mday, 1);
  EXPECT_GE(fields.tm_year, 120) << "years count from 1900";
  EXPECT_EQ(fields.tm_isdst, 0);
  std::int64_t seconds =
      DaysFromCivil(fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday) * 86400 +
      fields.tm_hour * 3600 + fields.tm_min * 60 + fields.tm_sec;
  EXPECT_GE(seconds, static_cast<std::int64_t>(before));
  EXPECT_LE(seconds, static_cast<std::int64_t>(after));
  EXPECT_EQ((DaysFromCivil(fields.tm_year + 1900, fields.tm_mon + 1, fields.tm_mday) + 4) % 7,
            fields.tm_wday)
      << "1970-01-01 was a Thursday";
}

TEST(PlatformSystemInfo, ExecutableFileNameIsThisProgramCutSafely) {
#ifdef _WIN32
  const std::string expected = "platform_test.exe";
#else
  const std::string expected = "platform_test";
#endif
  char name[64];
  ASSERT_EQ(parcel::platform::ExecutableFileName(name, sizeof name), expected.size());
  EXPECT_EQ(name, expected);
  // Cut to size - 1 characters, always terminated.
  for (std::size_t size : {expected.size() + 1, expected.size(), std::size_t{5}, std::size_t{1}}) {
    std::string buffer(size + 4, '#');
    std::size_t length = parcel::platform::ExecutableFileName(buffer.data(), size);
    EXPECT_EQ(length, std::min(expected.size(), size - 1)) << size;
    EXPECT_EQ(buffer.substr(0, length + 1), expected.substr(0, length) + '\0') << size;
    EXPECT_EQ(buffer.substr(size), "####") << "nothing past " << size << " bytes";
  }
  EXPECT_EQ(parcel::platform::ExecutableFileName(name, 0), 0u);
}

TEST(PlatformSystemInfo, ProcessIdAndSystemFamily) {
#ifdef _WIN32
  EXPECT_EQ(parcel::platform::ProcessId(), _getpid());
  // Every Windows this module runs on is NT 6 or later; none is NT 1000.
  EXPECT_TRUE(parcel::platform::IsNtFamilyAtLeast(6));
  EXPECT_FALSE(parcel::platform::IsNtFamilyAtLeast(1000));
#else
  EXPECT_EQ(parcel::platform::ProcessId(), static_cast<int>(getpid()));
  for (int major : {0, 5, 6, 10}) EXPECT_FALSE(parcel::platform::IsNtFamilyAtLeast(major));
#endif
}

#ifndef _WIN32
std::atomic<int> g_interruptions{0};
void CountInterruption(int) { g_interruptions.fetch_add(1); }
#endif

TEST(PlatformSleep, AlertableSleepLastsItsTimeOnTheMonotonicClock) {
  std::int64_t previous = parcel::platform::MonotonicMicroseconds();
  for (int i = 0; i < 100000; ++i) {
    std::int64_t now = parcel::platform::MonotonicMicroseconds();
    ASSERT_GE(now, previous);
    previous = now;
  }
#ifndef _WIN32
  // Signals keep landing while the sleep runs: each interrupts nanosleep,
  // which must go on for what is left rather than return early.
  struct sigaction action = {};
  struct sigaction previous_action;
  action.sa_handler = CountInterruption;
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous_action), 0);
  std::atomic<bool> done{false};
  pthread_t sleeper = pthread_self();
  std::thread interrupter([&] {
    while (!done.load()) {
      pthread_kill(sleeper, SIGUSR1);
      std::this_thread::yield();
    }
  });
#endif
  std::int64_t before = parcel::platform::MonotonicMicroseconds();
  parcel::platform::AlertableSleep(50);
  std::int64_t slept = parcel::platform::MonotonicMicroseconds() - before;
#ifndef _WIN32
  done.store(true);
  interrupter.join();
  sigaction(SIGUSR1, &previous_action, nullptr);
  EXPECT_GT(g_interruptions.load(), 0) << "the sleep was never interrupted";
#endif
  EXPECT_GE(slept, 50000) << "microseconds";
  // Far above any scheduling delay: a sleep that restarts from "time left"
  // under the signals runs on for as long as they come.
  EXPECT_LT(slept, 5000000) << "neither stretched by the signals nor counted in finer units";
}

// A function every process has, in a library every process has loaded.
#ifdef _WIN32
constexpr char kSystemLibraryName[] = "kernel32.dll";
constexpr char kProcessIdFunction[] = "GetCurrentProcessId";
using ProcessIdSignature = unsigned long();
#else
constexpr char kSystemLibraryName[] = "libc.so.6";
constexpr char kProcessIdFunction[] = "getpid";
using ProcessIdSignature = int();
#endif
constinit parcel::platform::SystemLibrary g_system_library(kSystemLibraryName);
constinit parcel::platform::LazySymbol<ProcessIdSignature> g_process_id(g_system_library,
                                                                        kProcessIdFunction, 0);
constinit parcel::platform::LazySymbol<int(int)> g_missing_function(g_system_library,
                                                                    "parcel_no_such_function", -7);
constinit parcel::platform::SystemLibrary g_missing_library("parcel-no-such-library.dll");
constinit parcel::platform::LazySymbol<int(int)> g_in_missing_library(g_missing_library,
                                                                      "parcel_function", -8);

TEST(PlatformLazySymbol, ThreadsRacingOnTheFirstCallAllReachTheFunction) {
  const auto expected = static_cast<long long>(parcel::platform::ProcessId());
  std::vector<long long> seen(8, -1);
  std::vector<std::thread> threads;
  for (std::size_t i = 0; i < seen.size(); ++i) {
    threads.emplace_back([&seen, i] { seen[i] = static_cast<long long>(g_process_id()); });
  }
  for (std::thread& thread : threads) thread.join();
  for (long long value : seen) EXPECT_EQ(value, expected);
  EXPECT_NE(g_process_id.Get(), nullptr);
  EXPECT_TRUE(g_system_library.Load());
}

TEST(PlatformLazySymbol, MissingFunctionOrLibraryGivesTheFixedResult) {
  for (int round = 0; round < 2; ++round) {  // the first look-up, then the kept answer
    EXPECT_EQ(g_missing_function(1), -7);
    EXPECT_EQ(g_missing_function.Get(), nullptr);
    EXPECT_EQ(g_in_missing_library(1), -8);
    EXPECT_FALSE(g_missing_library.Load());
  }
}

// Each value with its bytes in both orders, written out by hand.
struct CodingCase {
  std::uint32_t value;
  std::string little;
  std::string big;
};

const CodingCase kCoding16[] = {
    {0x0000, std::string("\0\0", 2), std::string("\0\0", 2)},
    {0x0102, "\x02\x01", "\x01\x02"},
    {0x8001, "\x01\x80", "\x80\x01"},
    {0xFFFF, "\xFF\xFF", "\xFF\xFF"},
};

const CodingCase kCoding32[] = {
    {0x00000000, std::string(4, '\0'), std::string(4, '\0')},
    {0x01020304, "\x04\x03\x02\x01", "\x01\x02\x03\x04"},
    {0x80000001, std::string("\x01\0\0\x80", 4), std::string("\x80\0\0\x01", 4)},
    {0x00FF00FF, std::string("\xFF\0\xFF\0", 4), std::string("\0\xFF\0\xFF", 4)},
    {0xFFFFFFFF, "\xFF\xFF\xFF\xFF", "\xFF\xFF\xFF\xFF"},
};

TEST(PlatformCoding, SixteenBitValuesHaveTheirBytesInEitherOrder) {
  using namespace parcel::platform;
  for (const CodingCase& c : kCoding16) {
    const auto value = static_cast<std::uint16_t>(c.value);
    char bytes[2];
    EncodeFixed16(bytes, value);
    EXPECT_EQ(std::string(bytes, 2), c.little) << c.value;
    EncodeBigEndian16(bytes, value);
    EXPECT_EQ(std::string(bytes, 2), c.big) << c.value;
    EXPECT_EQ(DecodeFixed16(c.little.data()), value);
    EXPECT_EQ(DecodeBigEndian16(c.big.data()), value);
    std::string appended = "x";
    PutFixed16(&appended, value);
    EXPECT_EQ(appended, "x" + c.little);
  }
}

TEST(PlatformCoding, ThirtyTwoBitValuesHaveTheirBytesInEitherOrder) {
  using namespace parcel::platform;
  for (const CodingCase& c : kCoding32) {
    char bytes[4];
    EncodeFixed32(bytes, c.value);
    EXPECT_EQ(std::string(bytes, 4), c.little) << c.value;
    EncodeBigEndian32(bytes, c.value);
    EXPECT_EQ(std::string(bytes, 4), c.big) << c.value;
    EXPECT_EQ(DecodeFixed32(c.little.data()), c.value);
    EXPECT_EQ(DecodeBigEndian32(c.big.data()), c.value);
    std::string appended = "x";
    PutFixed32(&appended, c.value);
    EXPECT_EQ(appended, "x" + c.little);
  }
}

TEST(PlatformCoding, FieldsAtOddOffsetsTouchOnlyTheirOwnBytes) {
  using namespace parcel::platform;
  for (std::size_t at = 0; at < 4; ++at) {
    unsigned char buffer[12];
    std::fill(std::begin(buffer), std::end(buffer), 0xAA);
    EncodeBigEndian32(buffer + at, 0x11223344);
    EncodeFixed16(buffer + at + 4, 0x5566);
    EXPECT_EQ(DecodeBigEndian32(buffer + at), 0x11223344u) << at;
    EXPECT_EQ(DecodeFixed32(buffer + at), 0x44332211u) << at;
    EXPECT_EQ(DecodeFixed16(buffer + at + 4), 0x5566u) << at;
    EXPECT_EQ(DecodeBigEndian16(buffer + at + 4), 0x6655u) << at;
    for (std::size_t i = 0; i < sizeof buffer; ++i) {
      if (i < at || i >= at + 6) {
        EXPECT_EQ(buffer[i], 0xAA) << at << " " << i;
      }
    }
  }
}

TEST(PlatformAllocHook, FailsTheNamedAllocationsOfTheNamedSite) {
  using parcel::platform::AllocFailure;
  using parcel::platform::AllocSite;
  constexpr AllocSite kX = AllocSite::kXml, kT = AllocSite::kTransfer, kZ = AllocSite::kZipBuffer;
  struct Case {
    AllocFailure failure;
    std::vector<AllocSite> calls;
    std::string fails;  // one letter per call: y fails, n succeeds
    std::int64_t counted;
  } cases[] = {
      {{.site = kX, .after = 2, .once = false}, {kX, kT, kX, kX, kZ, kX}, "nnnyny", 4},
      {{.site = kX, .after = 1, .once = true}, {kX, kX, kT, kX}, "nynn", 3},
      {{.site = std::nullopt, .after = 1, .once = true}, {kX, kT, kZ}, "nyn", 3},
      {{}, {kZ, kT, kX}, "yyy", 3},
      {{.site = kT, .after = 0, .once = false}, {kX, kZ}, "nn", 0},
  };
  for (const Case& c : cases) {
    parcel::platform::SetAllocFailure(c.failure);
    std::string fails;
    for (AllocSite site : c.calls) fails += parcel::platform::AllocationFails(site) ? 'y' : 'n';
    EXPECT_EQ(fails, c.fails);
    EXPECT_EQ(parcel::platform::AllocationsCounted(), c.counted) << c.fails;
    parcel::platform::ClearAllocFailure();
    EXPECT_FALSE(parcel::platform::AllocationFails(c.calls[0])) << c.fails;
  }
}

TEST(PlatformAllocHook, FailedReallocationKeepsTheBlock) {
  using parcel::platform::AllocSite;
  auto* block = static_cast<char*>(parcel::platform::HookedMalloc(AllocSite::kRuntime, 4));
  ASSERT_NE(block, nullptr);
  std::memcpy(block, "abc", 4);
  parcel::platform::SetAllocFailure({.site = AllocSite::kRuntime, .after = 0, .once = false});
  EXPECT_EQ(parcel::platform::HookedRealloc(AllocSite::kRuntime, block, 1 << 20), nullptr);
  EXPECT_EQ(parcel::platform::HookedMalloc(AllocSite::kRuntime, 4), nullptr);
  EXPECT_EQ(parcel::platform::HookedCalloc(AllocSite::kRuntime, 2, 2), nullptr);
  parcel::platform::ClearAllocFailure();
  EXPECT_STREQ(block, "abc");  // AddressSanitizer checks the block is still live
  std::free(block);
}

}  // namespace
