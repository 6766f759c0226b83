// Cost of reading a request in place: ReadTransfer plus the first queries.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "data/orb_data.h"

namespace {

std::string Field(const std::string& text, std::size_t width) {
  std::string field(width, ' ');
  field.replace(0, std::min(text.size(), width), text.substr(0, width));
  return field;
}

// A request of `files` one-line tables of 1 KiB each plus a META table.
std::string MakeRequest(int files) {
  std::string description = Field("VERS", 8) + Field("1.0", 40);
  std::string data;
  for (int i = 0; i <= files; ++i) {
    std::string name = i == 0 ? "META" : "FILE" + std::to_string(i);
    for (auto [tag, value] : std::vector<std::pair<std::string, std::string>>{{"TBNM", name},
                                                                              {"TBLN", "1"},
                                                                              {"TBWD", "1024"},
                                                                              {"TBCL", "1"},
                                                                              {"CLNM", "D"},
                                                                              {"CLWD", "1024"}}) {
      description += Field(tag, 8) + Field(value, 40);
    }
    data += std::string(1024, 'x');
  }
  return "TransMagic" + std::string(6, ' ') + Field(std::to_string(description.size()), 16) +
         Field("0", 16) + description + data;
}

void BM_ReadAndQuery(benchmark::State& state) {
  const std::string request = MakeRequest(static_cast<int>(state.range(0)));
  std::string buffer = request;
  OrbData data;
  for (auto _ : state) {
    data.ReadTransfer(buffer.data(), static_cast<std::uint32_t>(buffer.size()));
    int count = data.GetTableCount();
    for (int t = 0; t < count; ++t) benchmark::DoNotOptimize(data.GetTableLineWidth(t));
    benchmark::DoNotOptimize(data.FindTable("META"));
  }
  state.SetItemsProcessed(state.iterations() * (state.range(0) + 1));
}
BENCHMARK(BM_ReadAndQuery)->Arg(10)->Arg(1000)->Arg(10000);

}  // namespace

BENCHMARK_MAIN();
