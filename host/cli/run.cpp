// parcel-host run: a saved request through the module, its output records
// into a directory.
#include "host/cli/commands.h"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <iterator>

#include "host/cli/atomic_file.h"
#include "host/cli/command_support.h"
#include "host/path_text.h"
#include "host/system_message.h"

namespace parcel::host {
namespace fs = std::filesystem;

std::string OutputFileName(const OutputRecord& record, std::size_t index,
                           std::vector<std::string>* taken) {
  std::string name = record.file_name;
  if (name.empty()) {
    name = record.name.empty() ? "record" : record.name;
    if (record.mime_type == "text/xml") {
      name += ".xml";
    } else if (record.mime_type == "application/zip") {
      name += ".zip";
    } else {
      name += ".bin";
    }
  }
  for (char& c : name) {
    bool keep = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                c == '.' || c == '-' || c == '_';
    if (!keep) c = '_';
  }
  if (name.front() == '.') name = std::string("_") + name;
  if (std::find(taken->begin(), taken->end(), name) != taken->end()) {
    std::size_t dot = name.rfind('.');
    if (dot == 0 || dot == std::string::npos) dot = name.size();
    name = name.substr(0, dot) + "-" + std::to_string(index) + name.substr(dot);
  }
  taken->push_back(name);
  return name;
}

int Run(const RunOptions& options) {
  const bool quiet = options.verbosity == Verbosity::kQuiet;
  const fs::path request_path = PathFromUtf8(options.request_file);
  std::string request;
  {
    std::error_code ec;
    if (std::uintmax_t size = fs::file_size(request_path, ec); !ec && size > UINT32_MAX) {
      return Fail(kExitInput, QuotedPath(request_path) +
                                  ": larger than 4 GiB; the transfer form cannot carry it");
    }
    errno = 0;
    std::ifstream in(request_path, std::ios::binary);
    if (!in.is_open()) {
      return Fail(kExitInput, QuotedPath(request_path) + ": " + ErrnoMessage("cannot be opened"));
    }
    request.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (in.bad()) return Fail(kExitInput, QuotedPath(request_path) + ": read error");
  }
  if (request.empty()) return Fail(kExitInput, QuotedPath(request_path) + ": the file is empty");

  Module module;
  if (int code = LoadModule(options.module, &module); code != kExitOk) return code;
  Interpreter interpreter;
  ResponseCheck check;
  if (int code = Exchange(module, request.data(), request.size(), &interpreter, &check);
      code != kExitOk) {
    return code;
  }

  const fs::path directory = PathFromUtf8(options.directory);
  std::error_code ec;
  fs::create_directories(directory, ec);
  if (ec) return Fail(kExitOutput, "cannot create " + QuotedPath(directory) + ": " + ec.message());
  std::vector<std::string> taken;
  std::string error;
  for (std::size_t i = 0; i < check.records.size(); ++i) {
    const OutputRecord& record = check.records[i];
    fs::path target = directory / PathFromUtf8(OutputFileName(record, i, &taken));
    if (!WriteFileAtomically(target, record.data, &error)) return Fail(kExitOutput, error);
    if (!quiet) {
      std::printf("%s: %s %s, %zu bytes\n", DisplayPath(target).c_str(), record.name.c_str(),
                  record.mime_type.c_str(), record.data.size());
    }
  }
  if (check.status == ResponseStatus::kJobError) {
    return FailWithJobError(check.document);
  }
  return kExitOk;
}

}  // namespace parcel::host
