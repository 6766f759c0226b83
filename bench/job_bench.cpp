// Whole requests through the interpreter (transfer form in, response out),
// beside the bare compressors over the same bytes (libdeflate, the one-shot
// path's floor, and zlib's raw deflate), so the job's own overhead over
// compression shows. With PARCEL_BENCH_CORPUS naming the folder that
// bench/make_corpus.sh made, the three sets are that corpus's.
#include <benchmark/benchmark.h>
#include <zlib.h>
#if PARCEL_BENCH_LIBDEFLATE
#include <libdeflate.h>
#endif

#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_corpus.h"
#include "host/transfer_form.h"
#include "interpreter/zip_interpreter.h"

namespace {

using parcel::bench::CorpusFile;

std::vector<CorpusFile> SetFor(int which) {
  if (const char* corpus = std::getenv("PARCEL_BENCH_CORPUS"); corpus != nullptr) {
    static const char* kFolders[] = {"/mixed", "/small", "/large"};
    return parcel::bench::Collect(corpus + std::string(kFolders[which]), "", 0, SIZE_MAX, SIZE_MAX,
                                  SIZE_MAX);
  }
  switch (which) {
    case 0: return parcel::bench::MixedCorpus(24 << 20);
    case 1: return parcel::bench::Collect("/usr/include", ".h", 1, 16 << 10, 16 << 20, 4000);
    default:
      return parcel::bench::Collect("/usr/lib/x86_64-linux-gnu", ".so", 2 << 20, 64 << 20, 32 << 20,
                                    8);
  }
}

const char* SetName(int which) {
  static const char* kNames[] = {"mixed", "small_files", "large_files"};
  return kNames[which];
}

std::string JobDescription(const std::vector<CorpusFile>& files) {
  std::string xml = "<?xml version=\"1.0\"?><REQUEST><COMPRESS format=\"zip\"><FILES>";
  for (const auto& f : files) xml += "<FILE name=\"" + f.name + "\" path=\"bench\"/>";
  return xml + "</FILES></COMPRESS></REQUEST>";
}

void BM_JobEndToEnd(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const auto files = SetFor(which);
  const std::string meta = JobDescription(files);
  parcel::host::RequestBuilder builder;
  builder.AddTable("META", meta);
  for (std::size_t i = 0; i < files.size(); ++i) {
    builder.AddTable("FILE" + std::to_string(i + 1), files[i].bytes);
  }
  const std::string request = builder.Build();
  ZipInterpreter* interpreter = new ZipInterpreter;
  interpreter->Init(0);
  std::string buffer;
  std::uint32_t archive = 0;
  for (auto _ : state) {
    state.PauseTiming();
    buffer = request;  // the job rewrites tag bytes in place
    state.ResumeTiming();
    char* data = nullptr;
    std::uint32_t size = 0;
    interpreter->Process(buffer.data(), static_cast<std::uint32_t>(buffer.size()), &data, &size);
    archive = size;
    interpreter->Reset();
  }
  interpreter->Destroy();
  state.SetLabel(std::string(SetName(which)) + " files=" + std::to_string(files.size()) +
                 " response=" + std::to_string(archive));
  state.SetBytesProcessed(std::int64_t(state.iterations()) *
                          std::int64_t(parcel::bench::TotalBytes(files)));
}
BENCHMARK(BM_JobEndToEnd)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

// The floor: raw deflate at the default level plus CRC over every file.
void BM_ZlibDeflateOnly(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const auto files = SetFor(which);
  std::vector<unsigned char> out;
  std::size_t compressed = 0;
  for (auto _ : state) {
    compressed = 0;
    for (const auto& f : files) {
      z_stream stream{};
      deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
      out.resize(deflateBound(&stream, f.bytes.size()));
      stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(f.bytes.data()));
      stream.avail_in = static_cast<uInt>(f.bytes.size());
      stream.next_out = out.data();
      stream.avail_out = static_cast<uInt>(out.size());
      deflate(&stream, Z_FINISH);
      compressed += stream.total_out;
      deflateEnd(&stream);
      benchmark::DoNotOptimize(crc32(0, reinterpret_cast<const Bytef*>(f.bytes.data()),
                                     static_cast<uInt>(f.bytes.size())));
    }
  }
  state.SetLabel(std::string(SetName(which)) + " deflated=" + std::to_string(compressed));
  state.SetBytesProcessed(std::int64_t(state.iterations()) *
                          std::int64_t(parcel::bench::TotalBytes(files)));
}
BENCHMARK(BM_ZlibDeflateOnly)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

#if PARCEL_BENCH_LIBDEFLATE
// The one-shot path's floor: libdeflate at level 6 and its CRC over every
// file, into one output block large enough for any of them.
void BM_LibdeflateOnly(benchmark::State& state) {
  const int which = static_cast<int>(state.range(0));
  const auto files = SetFor(which);
  libdeflate_compressor* compressor = libdeflate_alloc_compressor(6);
  std::size_t largest = 0;
  for (const auto& f : files) largest = std::max(largest, f.bytes.size());
  std::vector<unsigned char> out(libdeflate_deflate_compress_bound(compressor, largest));
  std::size_t compressed = 0;
  for (auto _ : state) {
    compressed = 0;
    for (const auto& f : files) {
      compressed += libdeflate_deflate_compress(compressor, f.bytes.data(), f.bytes.size(),
                                                out.data(), out.size());
      benchmark::DoNotOptimize(libdeflate_crc32(0, f.bytes.data(), f.bytes.size()));
    }
  }
  libdeflate_free_compressor(compressor);
  state.SetLabel(std::string(SetName(which)) + " deflated=" + std::to_string(compressed));
  state.SetBytesProcessed(std::int64_t(state.iterations()) *
                          std::int64_t(parcel::bench::TotalBytes(files)));
}
BENCHMARK(BM_LibdeflateOnly)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
#endif

}  // namespace

BENCHMARK_MAIN();
