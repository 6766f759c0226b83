// Cost of reading a job description and walking its FILE elements the way the
// compression job does: parse, then one "%s%s%sd" query and three attribute
// lookups per file, k = 0..n-1. The walk must stay linear in n.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>
#include <vector>

#include "xml/mini_xml_parser.h"

namespace {

std::string MakeDescription(int files) {
  std::string text = "<?xml version=\"1.0\"?>\n<REQUEST>\n <COMPRESS format=\"zip\">\n  <FILES>\n";
  for (int i = 0; i < files; ++i) {
    text += "   <FILE name=\"file" + std::to_string(i) + ".txt\" path=\"docs\\sub\" size=\"" +
            std::to_string(1000 + i) + "\"/>\n";
  }
  return text + "  </FILES>\n </COMPRESS>\n</REQUEST>\n";
}

void BM_ParseAndWalkFiles(benchmark::State& state) {
  const std::string description = MakeDescription(static_cast<int>(state.range(0)));
  char name[256];
  char path[256];
  char size[80];
  for (auto _ : state) {
    CMiniXMLParser parser;
    if (!parser.Parse(description.data(), description.size())) {
      state.SkipWithError("parse failed");
      break;
    }
    const int count = parser.GetChildCount("%s%s", "COMPRESS", "FILES");
    int found = 0;
    for (int k = 0; k < count; ++k) {
      const char* attributes = parser.GetNodeAttributes("%s%s%sd", "COMPRESS", "FILES", "FILE", k);
      if (attributes == nullptr) continue;
      using parcel::xml::AttributeResult;
      using parcel::xml::CopyAttributeValue;
      found += CopyAttributeValue(attributes, "name", name, sizeof name) == AttributeResult::kFound;
      found += CopyAttributeValue(attributes, "path", path, sizeof path) == AttributeResult::kFound;
      found += CopyAttributeValue(attributes, "size", size, sizeof size) == AttributeResult::kFound;
    }
    if (found != 3 * count || count != state.range(0)) {
      state.SkipWithError("walk missed files");
      break;
    }
    benchmark::DoNotOptimize(found);
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
  state.SetBytesProcessed(state.iterations() * std::int64_t(description.size()));
}
BENCHMARK(BM_ParseAndWalkFiles)->Arg(10)->Arg(1000)->Arg(65535)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
