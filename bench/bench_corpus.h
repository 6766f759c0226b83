// Deterministic benchmark inputs taken from files every Debian machine has:
// headers (text), programs (binaries) and gzip files (already compressed).
#ifndef PARCEL_BENCH_BENCH_CORPUS_H_
#define PARCEL_BENCH_BENCH_CORPUS_H_

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace parcel::bench {

struct CorpusFile {
  std::string name;
  std::string bytes;
};

// Up to `max_files` regular files under `root` whose names end in `suffix`
// (any name when empty) and whose sizes lie in [min_size, max_size], in sorted
// path order, until `budget` bytes are collected.
inline std::vector<CorpusFile> Collect(const std::string& root, const std::string& suffix,
                                       std::size_t min_size, std::size_t max_size,
                                       std::size_t budget, std::size_t max_files) {
  namespace fs = std::filesystem;
  std::vector<fs::path> paths;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(
           root, fs::directory_options::skip_permission_denied, ec);
       it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) break;
    if (!it->is_regular_file(ec) || it->is_symlink(ec)) continue;
    const std::string name = it->path().string();
    if (!suffix.empty() &&
        (name.size() < suffix.size() ||
         name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)) {
      continue;
    }
    const auto size = it->file_size(ec);
    if (ec || size < min_size || size > max_size) continue;
    paths.push_back(it->path());
  }
  std::sort(paths.begin(), paths.end());
  std::vector<CorpusFile> files;
  std::size_t total = 0;
  for (const auto& path : paths) {
    if (total >= budget || files.size() >= max_files) break;
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    total += bytes.size();
    files.push_back({path.filename().string(), std::move(bytes)});
  }
  return files;
}

// A mixed set: about 70% text, 20% binaries, 10% already compressed.
inline std::vector<CorpusFile> MixedCorpus(std::size_t budget) {
  auto files = Collect("/usr/include", ".h", 1, 1 << 20, budget * 7 / 10, 100000);
  auto binaries = Collect("/usr/bin", "", 1024, 4 << 20, budget * 2 / 10, 100000);
  auto packed = Collect("/usr/share/doc", ".gz", 1024, 4 << 20, budget / 10, 100000);
  files.insert(files.end(), binaries.begin(), binaries.end());
  files.insert(files.end(), packed.begin(), packed.end());
  return files;
}

inline std::size_t TotalBytes(const std::vector<CorpusFile>& files) {
  std::size_t total = 0;
  for (const auto& f : files) total += f.bytes.size();
  return total;
}

}  // namespace parcel::bench

#endif  // PARCEL_BENCH_BENCH_CORPUS_H_
