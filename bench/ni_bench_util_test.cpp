#include "bench/ni_bench_util.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <set>

namespace parcel::bench {
namespace {

LatencySamples OneToN(int n, bool reversed) {
  LatencySamples samples;
  for (int i = 1; i <= n; ++i) samples.Add(reversed ? n + 1 - i : i);
  return samples;
}

TEST(LatencySamplesTest, NearestRankOfKnownSets) {
  struct Case {
    int n;
    double percent;
    std::int64_t expected;
  } cases[] = {
      {100, 50, 50}, {100, 99, 99},   {100, 99.9, 100},  {100, 100, 100},
      {100, 0, 1},   {1000, 99, 990}, {1000, 99.9, 999}, {10, 50, 5},
      {10, 99, 10},  {3, 50, 2},      {1, 50, 1},        {1, 99, 1},
      {2, 50, 1},    {2, 51, 2},      {100, 150, 100},   {100, -5, 1},
  };
  for (const Case& c : cases) {
    for (bool reversed : {false, true}) {
      LatencySamples samples = OneToN(c.n, reversed);
      EXPECT_EQ(samples.Percentile(c.percent), c.expected)
          << "n " << c.n << ", p" << c.percent << (reversed ? ", added in reverse" : "");
    }
  }
}

TEST(LatencySamplesTest, EmptyAndAddingAfterAQuery) {
  LatencySamples samples;
  EXPECT_EQ(samples.Percentile(50), 0);
  EXPECT_EQ(samples.Max(), 0);
  samples.Add(7);
  samples.Add(3);
  EXPECT_EQ(samples.Max(), 7);
  samples.Add(100);  // after the sort of the query: must be sorted in again
  samples.Add(1);
  EXPECT_EQ(samples.Max(), 100);
  EXPECT_EQ(samples.Percentile(25), 1);
  EXPECT_EQ(samples.Count(), 4u);
  samples.Clear();
  EXPECT_EQ(samples.Count(), 0u);
  EXPECT_EQ(samples.Max(), 0);
}

TEST(SendPlanTest, RoundsAPeriodApartConnectionsSpreadEvenly) {
  SendPlan plan{.start_us = 5000, .period_us = 1000, .connections = 4, .rounds = 3};
  ASSERT_EQ(plan.Total(), 12);
  const std::int64_t expected[] = {5000, 5250, 5500, 5750, 6000, 6250,
                                   6500, 6750, 7000, 7250, 7500, 7750};
  for (std::int64_t s = 0; s < plan.Total(); ++s) {
    EXPECT_EQ(plan.DueUs(s), expected[s]) << s;
    EXPECT_EQ(plan.Connection(s), s % 4) << s;
    EXPECT_EQ(plan.Round(s), s / 4) << s;
  }
}

TEST(SendPlanTest, TenThousandConnectionsEachOncePerSecondInOrder) {
  SendPlan plan{.start_us = 0, .period_us = 1'000'000, .connections = 10'000, .rounds = 60};
  std::set<int> first_round;
  std::int64_t previous = -1;
  for (std::int64_t s = 0; s < plan.Total(); ++s) {
    const std::int64_t due = plan.DueUs(s);
    ASSERT_GT(due, previous) << s;  // strictly in time order, no two at once
    previous = due;
    if (plan.Round(s) == 0) first_round.insert(plan.Connection(s));
    // Each connection's sends are exactly one period apart.
    if (s >= plan.connections) {
      ASSERT_EQ(due - plan.DueUs(s - plan.connections), 1'000'000);
    }
  }
  EXPECT_EQ(first_round.size(), 10'000u);
  EXPECT_LT(plan.DueUs(plan.Total() - 1), 60'000'000);
  EXPECT_EQ(plan.DueUs(plan.Total() - 1), 59'999'900);
}

TEST(ProbeTest, RoundTripsAndRejectsDamage) {
  const Probe sent{0xDEADBEEF, 59, std::int64_t{0x0123456789AB}};
  unsigned char wire[kProbeSize];
  EncodeProbe(sent, wire);
  Probe got;
  ASSERT_TRUE(DecodeProbe(wire, kProbeSize, &got));
  EXPECT_EQ(got.connection, sent.connection);
  EXPECT_EQ(got.round, sent.round);
  EXPECT_EQ(got.sent_us, sent.sent_us);
  // The connection number is sent big-endian first.
  EXPECT_EQ(wire[0], 0xDE);
  EXPECT_EQ(wire[3], 0xEF);

  EXPECT_FALSE(DecodeProbe(wire, kProbeSize - 1, &got));
  EXPECT_FALSE(DecodeProbe(wire, 0, &got));
  for (int at : {16, kProbeSize - 1}) {
    unsigned char damaged[kProbeSize];
    std::copy(wire, wire + kProbeSize, damaged);
    damaged[at] ^= 1;
    EXPECT_FALSE(DecodeProbe(damaged, kProbeSize, &got)) << "padding byte " << at;
  }
}

}  // namespace
}  // namespace parcel::bench
