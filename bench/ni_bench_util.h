// Helpers shared by the network benchmarks: latency samples and their
// percentiles, the send plan of the many-connection run, and the probe
// message that carries its own send time.
#ifndef PARCEL_BENCH_NI_BENCH_UTIL_H_
#define PARCEL_BENCH_NI_BENCH_UTIL_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/coding.h"

namespace parcel::bench {

// Latency samples (any unit; the caller keeps to one). Percentiles are by
// nearest rank: the smallest sample with at least p% of the samples at or
// below it, so p100 is the maximum and a single sample is every percentile.
class LatencySamples {
 public:
  void Reserve(std::size_t count) { samples_.reserve(count); }
  void Add(std::int64_t sample) {
    samples_.push_back(sample);
    sorted_ = false;
  }
  std::size_t Count() const { return samples_.size(); }
  void Clear() {
    samples_.clear();
    sorted_ = true;
  }

  // 0 when there are no samples; `percent` is clamped to [0, 100].
  std::int64_t Percentile(double percent) {
    if (samples_.empty()) return 0;
    Sort();
    percent = std::clamp(percent, 0.0, 100.0);
    // Rank ceil(p/100 * n), at least 1; computed in integers of 1/1000 percent
    // so that 99% of 100 samples is rank 99, not 100 through rounding.
    const auto n = static_cast<std::int64_t>(samples_.size());
    const auto milli = static_cast<std::int64_t>(percent * 1000.0 + 0.5);
    std::int64_t rank = (milli * n + 100'000 - 1) / 100'000;
    rank = std::clamp<std::int64_t>(rank, 1, n);
    return samples_[static_cast<std::size_t>(rank - 1)];
  }
  std::int64_t Max() { return Percentile(100.0); }

 private:
  void Sort() {
    if (!sorted_) std::sort(samples_.begin(), samples_.end());
    sorted_ = true;
  }

  std::vector<std::int64_t> samples_;
  bool sorted_ = true;
};

// The send plan of many connections that each send one message per period:
// round k of connection i is due at start + k * period + i * period / count,
// so the sends of one round are spread evenly over the period.
struct SendPlan {
  std::int64_t start_us = 0;
  std::int64_t period_us = 1'000'000;
  int connections = 1;
  std::int64_t rounds = 1;

  std::int64_t Total() const { return rounds * connections; }
  // The `sequence`th send in time order (0 <= sequence < Total()).
  int Connection(std::int64_t sequence) const { return static_cast<int>(sequence % connections); }
  std::int64_t Round(std::int64_t sequence) const { return sequence / connections; }
  std::int64_t DueUs(std::int64_t sequence) const {
    return start_us + Round(sequence) * period_us + Connection(sequence) * period_us / connections;
  }
};

// The probe: connection number, round, send time in microseconds, padded
// with a fixed pattern to kProbeSize bytes.
inline constexpr int kProbeSize = 32;

struct Probe {
  std::uint32_t connection = 0;
  std::uint32_t round = 0;
  std::int64_t sent_us = 0;
};

inline void EncodeProbe(const Probe& probe, unsigned char (&out)[kProbeSize]) {
  const auto sent = static_cast<std::uint64_t>(probe.sent_us);
  platform::EncodeBigEndian32(out, probe.connection);
  platform::EncodeBigEndian32(out + 4, probe.round);
  platform::EncodeBigEndian32(out + 8, static_cast<std::uint32_t>(sent >> 32));
  platform::EncodeBigEndian32(out + 12, static_cast<std::uint32_t>(sent));
  for (int i = 16; i < kProbeSize; ++i) out[i] = static_cast<unsigned char>(0xA0 + i);
}

// False for a message that is not an intact probe (wrong length or padding).
inline bool DecodeProbe(const void* data, int length, Probe* probe) {
  if (length != kProbeSize) return false;
  const auto* in = static_cast<const unsigned char*>(data);
  for (int i = 16; i < kProbeSize; ++i) {
    if (in[i] != static_cast<unsigned char>(0xA0 + i)) return false;
  }
  probe->connection = platform::DecodeBigEndian32(in);
  probe->round = platform::DecodeBigEndian32(in + 4);
  probe->sent_us =
      static_cast<std::int64_t>(std::uint64_t{platform::DecodeBigEndian32(in + 8)} << 32 |
                                platform::DecodeBigEndian32(in + 12));
  return true;
}

}  // namespace parcel::bench

#endif  // PARCEL_BENCH_NI_BENCH_UTIL_H_
