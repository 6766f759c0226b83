// Checks an archive with independent zip readers installed on the machine
// (Info-ZIP unzip, Python's zipfile, 7-Zip, bsdtar). Readers that are not
// installed, as under Wine, are left out; the caller learns which ran.
#ifndef PARCEL_TESTS_EXTERNAL_READERS_H_
#define PARCEL_TESTS_EXTERNAL_READERS_H_

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace parcel::testing {

inline bool HaveTool(const std::string& name) {
  static const bool have_shell = std::system("command -v sh >/dev/null 2>&1") == 0;
  return have_shell && std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Writes `zip` to a temporary file and runs every available reader's
// integrity test on it. Returns the names of readers that failed; `ran`
// receives the names of those that ran.
inline std::vector<std::string> CheckWithExternalReaders(std::string_view zip,
                                                         std::vector<std::string>* ran) {
  namespace fs = std::filesystem;
  static int counter = 0;
  const fs::path path =
      fs::temp_directory_path() /
      ("parcel-check-" +
       std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
       std::to_string(counter++) + ".zip");
  {
    std::ofstream out(path, std::ios::binary);
    out.write(zip.data(), static_cast<std::streamsize>(zip.size()));
  }
  const std::string file = "'" + path.string() + "'";
  struct Reader {
    const char* tool;
    std::string command;
  } readers[] = {
      {"unzip", "unzip -tqq " + file},
      {"python3",
       "python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
       "sys.exit(z.testzip() is not None)\" " +
           file},
      {"7z", "7z t -bso0 -bsp0 " + file},
      {"bsdtar", "bsdtar -xOf " + file},
  };
  std::vector<std::string> failed;
  for (const Reader& reader : readers) {
    if (!HaveTool(reader.tool)) continue;
    if (ran != nullptr) ran->push_back(reader.tool);
    if (std::system((reader.command + " >/dev/null 2>&1").c_str()) != 0)
      failed.push_back(reader.tool);
  }
  fs::remove(path);
  return failed;
}

// The entry names each available reader lists for `zip`, as UTF-8, keyed
// by the reader's name. Readers run in a UTF-8 locale, so a name the reader
// decodes correctly prints as written.
inline std::vector<std::pair<std::string, std::vector<std::string>>> ListWithExternalReaders(
    std::string_view zip) {
  namespace fs = std::filesystem;
  static int counter = 0;
  const std::string stem =
      (fs::temp_directory_path() /
       ("parcel-names-" +
        std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()) + "-" +
        std::to_string(counter++)))
          .string();
  {
    std::ofstream out(stem + ".zip", std::ios::binary);
    out.write(zip.data(), static_cast<std::streamsize>(zip.size()));
  }
  const std::string file = "'" + stem + ".zip'";
  const std::string listing = "'" + stem + ".txt'";
  struct Reader {
    const char* tool;
    std::string command;
  } readers[] = {
      {"unzip", "unzip -Z1 " + file},
      {"python3",
       "python3 -c \"import sys, zipfile; sys.stdout.buffer.write(b''.join(n.encode() + b'\\n' "
       "for n in zipfile.ZipFile(sys.argv[1]).namelist()))\" " +
           file},
      {"7z", "7z l -ba -slt " + file + " | sed -n 's/^Path = //p'"},
      {"bsdtar", "bsdtar -tf " + file},
  };
  std::vector<std::pair<std::string, std::vector<std::string>>> lists;
  for (const Reader& reader : readers) {
    if (!HaveTool(reader.tool)) continue;
    std::vector<std::string> names;
    if (std::system(
            ("LC_ALL=C.UTF-8 " + reader.command + " > " + listing + " 2>/dev/null").c_str()) == 0) {
      std::ifstream in(stem + ".txt", std::ios::binary);
      for (std::string line; std::getline(in, line);) names.push_back(line);
    } else {
      names.push_back("<" + std::string(reader.tool) + " failed>");
    }
    lists.emplace_back(reader.tool, std::move(names));
  }
  fs::remove(stem + ".zip");
  fs::remove(stem + ".txt");
  return lists;
}

}  // namespace parcel::testing

#endif  // PARCEL_TESTS_EXTERNAL_READERS_H_
