// Throughput of the zip writer, on its one-shot path (where built) and on
// zlib's streaming path, beside a plain zlib raw-deflate loop over the same
// data and entry shapes, so the writer's own cost over deflate shows.
// Arguments: data kind (0 text, 1 structured binary, 2 random bytes) and
// entry shape (0 one 8 MiB entry, 1 2048 entries of 4 KiB).
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "zip/zip.h"
#include "zip/zip_archive.h"

namespace {

constexpr std::size_t kTotal = 8u << 20;
constexpr std::size_t kSmall = 4096;

// Prose-like text: words of a 2000-word vocabulary drawn with a Zipf-like
// skew, with punctuation and line breaks.
std::string Text(std::mt19937& rng) {
  std::vector<std::string> vocabulary;
  for (int i = 0; i < 2000; ++i) {
    std::string word(2 + rng() % 9, 'a');
    for (char& c : word) c = static_cast<char>('a' + rng() % 26);
    vocabulary.push_back(word);
  }
  std::uniform_real_distribution<double> u(0.0, 1.0);
  std::string s;
  while (s.size() < kTotal) {
    s += vocabulary[static_cast<std::size_t>(std::exp(u(rng) * std::log(2000.0))) - 1];
    const unsigned r = rng() % 20;
    s += r == 0 ? ".\n" : r == 1 ? ", " : " ";
  }
  s.resize(kTotal);
  return s;
}

// Table-like binary: 32-byte records of counters, small codes, a drifting
// measurement, a tag from a small set and zero padding.
std::string Binary(std::mt19937& rng) {
  static const char kTags[4][8] = {"ALPHA", "BETA", "GAMMA", "DELTA"};
  std::string s(kTotal, '\0');
  double value = 100.0;
  for (std::size_t at = 0, id = 0; at + 32 <= kTotal; at += 32, ++id) {
    const auto id32 = static_cast<std::uint32_t>(id);
    const auto code = static_cast<std::uint16_t>(rng() % 12);
    value += static_cast<double>(static_cast<int>(rng() % 201) - 100) / 100.0;
    std::memcpy(&s[at], &id32, 4);
    std::memcpy(&s[at + 4], &code, 2);
    std::memcpy(&s[at + 8], &value, 8);
    std::memcpy(&s[at + 16], kTags[rng() % 4], 8);
  }
  return s;
}

std::string Random(std::mt19937& rng) {
  std::string s(kTotal, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

const std::string& Data(std::int64_t kind) {
  static const std::vector<std::string> data = [] {
    std::mt19937 rng(2026);
    return std::vector<std::string>{Text(rng), Binary(rng), Random(rng)};
  }();
  return data[static_cast<std::size_t>(kind)];
}

const char* const kKindNames[] = {"text", "binary", "random"};

void Label(benchmark::State& state) {
  state.SetLabel(std::string(kKindNames[state.range(0)]) +
                 (state.range(1) == 0 ? " one 8MiB entry" : " 2048 x 4KiB entries"));
}

// The job's calling pattern: per file one open, one write, one close.
void WriteArchive(benchmark::State& state, int method, bool one_shot) {
  parcel::zip::SetOneShotDeflate(one_shot);
  const std::string& data = Data(state.range(0));
  const std::size_t piece = state.range(1) == 0 ? kTotal : kSmall;
  const ZipEntryInfo info{41, 30, 9, 8, 11, 126, 0, 0, 0};
  std::uint32_t archive_length = 0;
  for (auto _ : state) {
    ZipArchive* archive = ZipOpenArchive();
    for (std::size_t at = 0, i = 0; at < data.size(); at += piece, ++i) {
      const std::string name = "files\\entry" + std::to_string(i) + ".dat";
      if (ZipOpenEntry(archive, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, method, -1) !=
              ZIP_SUCCESS ||
          ZipWriteEntry(archive, data.data() + at, static_cast<std::uint32_t>(piece)) !=
              ZIP_SUCCESS ||
          ZipCloseEntry(archive) != ZIP_SUCCESS) {
        state.SkipWithError("entry failed");
        break;
      }
    }
    char* out = nullptr;
    if (ZipCloseArchive(archive, nullptr, &out, &archive_length) != ZIP_SUCCESS) {
      state.SkipWithError("close failed");
      break;
    }
    benchmark::DoNotOptimize(out);
    parcel::zip::ReleaseArchiveData(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
  state.counters["ratio"] = static_cast<double>(archive_length) / static_cast<double>(data.size());
  Label(state);
}

void BM_ZipDeflate(benchmark::State& state) { WriteArchive(state, 8, true); }
void BM_ZipDeflateZlib(benchmark::State& state) { WriteArchive(state, 8, false); }
void BM_ZipStore(benchmark::State& state) { WriteArchive(state, 0, false); }

// The same deflate work with nothing around it: one raw stream per entry,
// compressed in one call into a buffer large enough for any output.
void BM_RawDeflate(benchmark::State& state) {
  const std::string& data = Data(state.range(0));
  const std::size_t piece = state.range(1) == 0 ? kTotal : kSmall;
  std::vector<unsigned char> out(compressBound(static_cast<uLong>(piece)) + 64);
  std::uint64_t compressed = 0;
  for (auto _ : state) {
    compressed = 0;
    for (std::size_t at = 0; at < data.size(); at += piece) {
      z_stream s{};
      deflateInit2(&s, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
      s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data() + at));
      s.avail_in = static_cast<uInt>(piece);
      s.next_out = out.data();
      s.avail_out = static_cast<uInt>(out.size());
      if (deflate(&s, Z_FINISH) != Z_STREAM_END) state.SkipWithError("deflate failed");
      compressed += s.total_out;
      deflateEnd(&s);
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data.size()));
  state.counters["ratio"] = static_cast<double>(compressed) / static_cast<double>(data.size());
  Label(state);
}

void Shapes(benchmark::internal::Benchmark* b) {
  for (int kind = 0; kind < 3; ++kind) {
    for (int shape = 0; shape < 2; ++shape) b->Args({kind, shape});
  }
  b->Unit(benchmark::kMillisecond);
}

BENCHMARK(BM_ZipDeflate)->Apply(Shapes);
BENCHMARK(BM_ZipDeflateZlib)->Apply(Shapes);
BENCHMARK(BM_RawDeflate)->Apply(Shapes);
BENCHMARK(BM_ZipStore)->Apply(Shapes);

}  // namespace

BENCHMARK_MAIN();
