// Cost of reading a module file's version strings. The stamp scan reads the
// file once, sequentially, through one 8192-byte buffer, and stops as soon as
// all four values are known: a file whose stamps come first costs the same
// whatever its size, one whose stamps come last costs time linear in its
// size. The resource route costs a few small reads per call.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "tests/pe_image_builder.h"
#include "version/stamp_scan.h"
#include "version/version.h"

namespace {

const std::string kStamps = std::string("#[%]QELFileVersion: 1") + '\0' +
                            "#[%]QELProductVersion: 2" + '\0' + "#[%]QELPlatform: 3" + '\0' +
                            "#[%]QELSpecialBuild: 4" + '\0';

std::string Filler(std::size_t size) {
  std::string bytes(size, '\0');
  std::mt19937 random(1);
  for (char& c : bytes) c = static_cast<char>(random());
  for (std::size_t i = 0; i < size; ++i) {
    if (bytes[i] == '#') bytes[i] = '$';  // no accidental marker starts
  }
  return bytes;
}

// A file in the working directory that lives as long as the object.
class BenchFile {
 public:
  BenchFile(const std::string& name, const std::string& bytes) : path_("version_bench_" + name) {
    std::FILE* file = std::fopen(path_.c_str(), "wb");
    if (file != nullptr) {
      std::fwrite(bytes.data(), 1, bytes.size(), file);
      std::fclose(file);
    }
  }
  ~BenchFile() { std::remove(path_.c_str()); }
  const char* path() const { return path_.c_str(); }

 private:
  std::string path_;
};

void Read(benchmark::State& state, const char* path) {
  for (auto _ : state) {
    char* v[4];
    if (ReadVersionInfo(path, &v[0], &v[1], &v[2], &v[3]) != 1) {
      state.SkipWithError("no version strings");
      break;
    }
    for (char* s : v) std::free(s);
  }
}

void BM_ScanStampsLast(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  BenchFile file("last", Filler(size) + kStamps);
  Read(state, file.path());
  state.SetBytesProcessed(state.iterations() * std::int64_t(size));
}
BENCHMARK(BM_ScanStampsLast)
    ->Arg(64 << 10)
    ->Arg(1 << 20)
    ->Arg(16 << 20)
    ->Unit(benchmark::kMicrosecond);

void BM_ScanStampsFirst(benchmark::State& state) {
  BenchFile file("first", kStamps + Filler(static_cast<std::size_t>(state.range(0))));
  Read(state, file.path());
}
BENCHMARK(BM_ScanStampsFirst)->Arg(64 << 10)->Arg(16 << 20)->Unit(benchmark::kMicrosecond);

// The scanner alone, on bytes in memory.
void BM_ScannerInMemory(benchmark::State& state) {
  const std::string bytes = Filler(1 << 20) + kStamps;
  for (auto _ : state) {
    parcel::version::detail::StampScanner scanner;
    scanner.Feed(bytes.data(), bytes.size());
    if (!scanner.Finish()) {
      state.SkipWithError("stamps not found");
      break;
    }
  }
  state.SetBytesProcessed(state.iterations() * std::int64_t(bytes.size()));
}
BENCHMARK(BM_ScannerInMemory)->Unit(benchmark::kMicrosecond);

void BM_ResourceOfADll(benchmark::State& state) {
  using namespace parcel::testing;
  const Bytes image = PeImage({{.data = VersionTree({FourValues(u"040704b0")})}});
  BenchFile file("dll", std::string(image.begin(), image.end()));
  Read(state, file.path());
}
BENCHMARK(BM_ResourceOfADll)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
