// Costs of the runtime services: a switched-off trace statement (one
// comparison), line assembly, hex dumps, pattern search, locks and keys.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>
#include <vector>

#include "runtime/mem.h"
#include "runtime/thr.h"
#include "runtime/trace.h"

namespace {

namespace rt = parcel::runtime;

// Trace output goes to the null device, so the benchmarks measure the facility
// rather than the disk.
class NullStream {
 public:
  NullStream() : stream_(std::fopen("/dev/null", "wb")) {}
  ~NullStream() {
    if (stream_ != nullptr) std::fclose(stream_);
  }
  std::FILE* get() const { return stream_; }

 private:
  std::FILE* stream_;
};

void BM_TraceStatementOff(benchmark::State& state) {
  rt::ResetTrace();
  int hdl = 0;
  for (auto _ : state) {
    PARCEL_TRC(2, DpTrc, "%s: invalid hdl %d\n", "NiIRead", hdl);
    benchmark::DoNotOptimize(++hdl);
  }
}
BENCHMARK(BM_TraceStatementOff);

void BM_TraceLinePlain(benchmark::State& state) {
  rt::ResetTrace();
  NullStream null;
  trcStampMode = 0;
  trcLevel = 2;
  trcHandle = null.get();
  int hdl = 0;
  for (auto _ : state) PARCEL_TRC(2, DpTrc, "%s: invalid hdl %d\n", "NiIRead", ++hdl);
  rt::ResetTrace();
}
BENCHMARK(BM_TraceLinePlain);

void BM_TraceLineTaggedMultiLine(benchmark::State& state) {
  rt::ResetTrace();
  NullStream null;
  trcStampMode = 0;
  DpTrcFile file;
  rt::InitTraceFile(&file, null.get(), 3);
  DpTrcComponent* n = rt::RegisterTraceComponent('N', 3, &file);
  rt::SetTraceComponentIndent(n, 2);
  for (auto _ : state) DpTrcNoStamp(n, "first line\nsecond line\nthird line %d\n", 3);
  rt::ResetTrace();
}
BENCHMARK(BM_TraceLineTaggedMultiLine);

void BM_TraceErrorLineWithStamp(benchmark::State& state) {
  rt::ResetTrace();
  NullStream null;
  DpTrcSetLocation("nixxhsl6", 1208);
  for (auto _ : state)
    DpTrcError(null.get(), "%s: init failed (rc=%d)\n", "NiHsL6SetIndexSize", -1);
  rt::ResetTrace();
}
BENCHMARK(BM_TraceErrorLineWithStamp);

void BM_HexDump(benchmark::State& state) {
  rt::ResetTrace();
  NullStream null;
  std::vector<unsigned char> data(static_cast<std::size_t>(state.range(0)));
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
  for (auto _ : state) DpTrcHexDump(null.get(), "buffer", data.data(), data.size(), 1);
  state.SetBytesProcessed(state.iterations() * state.range(0));
  rt::ResetTrace();
}
BENCHMARK(BM_HexDump)->Arg(64)->Arg(4096);

// The worst case of the watch-pattern search: a full line and a pattern with
// many `*` that never matches.
void BM_FindPatternWorstCase(benchmark::State& state) {
  std::string text(8190, 'a');
  std::string pattern;
  for (int i = 0; i < state.range(0); ++i) pattern += "a*";
  pattern += "b";
  for (auto _ : state) benchmark::DoNotOptimize(DpTrcFindPattern(text.c_str(), pattern.c_str()));
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_FindPatternWorstCase)->Arg(1)->Arg(16)->Arg(200);

void BM_ThrLockEnterLeave(benchmark::State& state) {
  thrActive = state.range(0) != 0;
  rt::ThrLock lock;
  ThrLockInit(&lock, "bench section");
  for (auto _ : state) {
    ThrLockEnter(&lock);
    ThrLockLeave(&lock);
  }
  thrReady = true;
  ThrLockDelete(&lock);
  thrActive = false;
  thrReady = false;
}
BENCHMARK(BM_ThrLockEnterLeave)->Arg(0)->Arg(1);

void BM_ThrKeyGet(benchmark::State& state) {
  std::uint32_t key = THR_KEY_NONE;
  int value = 0;
  ThrKeySet(&key, &value);
  for (auto _ : state) benchmark::DoNotOptimize(ThrKeyGet(&key));
  ThrKeyRelease(&key);
}
BENCHMARK(BM_ThrKeyGet);

void BM_MemAllocFree(benchmark::State& state) {
  for (auto _ : state) MemFree(MemAlloc(static_cast<std::size_t>(state.range(0)), "bench"));
}
BENCHMARK(BM_MemAllocFree)->Arg(64)->Arg(65536);

}  // namespace

BENCHMARK_MAIN();
