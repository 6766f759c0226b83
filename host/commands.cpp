// The commands of parcel-host.
#include "host/commands.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>

#include "host/atomic_file.h"
#include "host/input_files.h"
#include "host/job_description.h"
#include "host/module.h"
#include "host/progress.h"
#include "host/zip_directory.h"
#include "platform/bulk_memory.h"
#include "platform/console.h"
#include "platform/file_read.h"
#include "version/version.h"

namespace parcel::host {
namespace fs = std::filesystem;
namespace {

// Inputs smaller than this are read too fast for a progress bar to help.
constexpr std::uint64_t kProgressThreshold = 16u << 20;

void Message(const std::string& text) { std::fprintf(stderr, "parcel-host: %s\n", text.c_str()); }

int Fail(int code, const std::string& message) {
  Message(message);
  return code;
}

int LoadModule(const std::string& path, Module* module) {
  std::string error;
  if (!module->Load(path, &error)) return Fail(kExitModule, "cannot load module: " + error);
  return kExitOk;
}

// Runs the request and splits the response into its records, which view the
// response buffer that `interpreter` keeps: no copy of the archive is made.
int Exchange(const Module& module, char* request, std::uint64_t size, Interpreter* interpreter,
             std::vector<OutputRecord>* records) {
  if (size > UINT32_MAX) {
    return Fail(kExitInput, "the request is larger than 4 GiB; the transfer form cannot carry it");
  }
  std::string_view response;
  switch (RunRequest(module, request, static_cast<std::uint32_t>(size), interpreter, &response)) {
    case RunStatus::kResponse:
      break;
    case RunStatus::kNoInterpreter:
      return Fail(kExitModule, "the module did not create an interpreter");
    case RunStatus::kNoResponse:
    default:
      return Fail(kExitBadResponse, "the module gave no response");
  }
  std::string error;
  if (!ParseResponse(response, records, &error)) {
    return Fail(kExitBadResponse, "the module's response is malformed: " + error);
  }
  return kExitOk;
}

const OutputRecord* FindRecord(const std::vector<OutputRecord>& records, std::string_view name) {
  auto it = std::find_if(records.begin(), records.end(),
                         [&](const OutputRecord& r) { return r.name == name; });
  return it != records.end() ? &*it : nullptr;
}

// One name per line; blank lines are skipped and a CR before the LF is
// dropped. Read in blocks: the standard input stream, kept in step with the
// C library's, hands over bulk reads at once but single characters one call
// at a time.
void ReadNames(std::istream& in, std::vector<std::string>* names) {
  std::string pending;
  auto take = [&](std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) names->emplace_back(line);
  };
  char block[1 << 16];
  while (in.read(block, sizeof block) || in.gcount() > 0) {
    std::string_view rest(block, static_cast<std::size_t>(in.gcount()));
    for (std::size_t end; (end = rest.find('\n')) != std::string_view::npos;) {
      if (pending.empty()) {
        take(rest.substr(0, end));
      } else {
        pending.append(rest.substr(0, end));
        take(pending);
        pending.clear();
      }
      rest.remove_prefix(end + 1);
    }
    pending.append(rest);
  }
  take(pending);
}

// Reads exactly `size` bytes of `source` into `destination`; a file that is
// shorter or longer now than when it was collected changed under us.
bool ReadInto(const fs::path& source, char* destination, std::uint64_t size, ProgressBar* bar,
              std::string* error) {
  int system_error = 0;
  auto advance = [](void* context, std::uint64_t bytes) {
    static_cast<ProgressBar*>(context)->Advance(bytes);
  };
  const char* problem = nullptr;
  switch (platform::ReadWholeFile(source, destination, size, advance, bar, &system_error)) {
    case platform::FileReadResult::kOk:
      return true;
    case platform::FileReadResult::kCannotOpen:
      problem = "cannot be opened";
      break;
    case platform::FileReadResult::kReadError:
      problem = "read error";
      break;
    case platform::FileReadResult::kShrank:
      problem = "shrank while being read";
      break;
    case platform::FileReadResult::kGrew:
      problem = "grew while being read";
      break;
  }
  *error = QuotedPath(source) + ": " + SystemMessage(system_error, problem);
  return false;
}

// The request's memory, straight from the system and filled once.
class RequestMemory {
 public:
  explicit RequestMemory(std::size_t size) : size_(size), block_(platform::AllocateBulk(size)) {}
  ~RequestMemory() { platform::FreeBulk(block_, size_); }
  RequestMemory(const RequestMemory&) = delete;
  RequestMemory& operator=(const RequestMemory&) = delete;
  char* get() const { return static_cast<char*>(block_); }

 private:
  std::size_t size_;
  void* block_;
};

std::string Percent(std::uint64_t part, std::uint64_t whole) {
  if (whole == 0) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.1f%%", 100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

void PrintListing(const std::vector<ZipEntry>& entries) {
  std::printf("%12s %12s %7s  %s\n", "size", "packed", "ratio", "name");
  for (const ZipEntry& entry : entries) {
    std::printf("%12" PRIu32 " %12" PRIu32 " %7s  %s\n", entry.size, entry.compressed_size,
                Percent(entry.compressed_size, entry.size).c_str(), entry.name.c_str());
  }
}

}  // namespace

std::string ExitCodeHelp() {
  return "Exit codes:\n"
         "  0  success\n"
         "  1  internal error (out of memory)\n"
         "  2  usage error, or nothing to pack\n"
         "  3  an input is missing, unreadable or beyond the limits of one request\n"
         "  4  an output file cannot be written\n"
         "  5  the module cannot be loaded or is not a parcel module\n"
         "  6  the module answered with an error document (its code and message are printed)\n"
         "  7  the module's response is missing or malformed\n"
         "  8  serve: the address and port cannot be listened on\n";
}

int Pack(const PackOptions& options, std::istream& names) {
  const auto start = std::chrono::steady_clock::now();
  const bool quiet = options.verbosity == Verbosity::kQuiet;
  const bool verbose = options.verbosity == Verbosity::kVerbose;
  std::string error;

  std::vector<std::string> inputs = options.inputs;
  if (options.names_from_stdin) ReadNames(names, &inputs);
  if (inputs.empty()) {
    return Fail(kExitUsage, "nothing to pack: name files or directories, or give names with -@");
  }

  Module module;
  if (int code = LoadModule(options.module, &module); code != kExitOk) return code;

  const fs::path output = PathFromUtf8(options.output);
  AtomicFile archive_file;
  if (!archive_file.Open(output, &error)) return Fail(kExitOutput, error);

  InputCollector collector({options.junk_paths, {output, archive_file.temp_path()}});
  for (const std::string& input : inputs) {
    if (!collector.Add(input, &error)) return Fail(kExitInput, error);
  }
  if (verbose) {
    for (const std::string& note : collector.notes()) Message(note);
  }
  const std::vector<InputFile>& files = collector.files();
  if (files.empty()) return Fail(kExitUsage, "nothing to pack: the inputs hold no files");
  if (!CheckRequestLimits(files, &error)) return Fail(kExitInput, error);

  std::vector<JobFile> jobs;
  std::uint64_t input_bytes = 0;
  std::size_t expected_entries = 0;
  for (const InputFile& file : files) {
    jobs.push_back(file.entry);
    input_bytes += file.entry.size;
    if (file.entry.size > 0) {
      ++expected_entries;
    } else if (!quiet) {
      Message("warning: " + QuotedPath(file.source) +
              " is empty and left out: the archive holds files with content only");
    }
  }

  // Table META, then one table per file; files are read straight into place.
  const std::string description = BuildJobDescription(jobs);
  RequestBuilder builder;
  bool fits = builder.AddTable("META", description);
  for (std::size_t k = 0; fits && k < jobs.size(); ++k) {
    fits = builder.ReserveTable("FILE" + std::to_string(k + 1), jobs[k].size);
  }
  std::uint64_t request_size = 0;
  if (!fits || !builder.Size(&request_size)) {
    return Fail(kExitInput, "the inputs are too large for one request");
  }
  // Write fills all but the file tables, which the reads below fill
  // completely or the run ends.
  RequestMemory request(static_cast<std::size_t>(request_size));
  if (request.get() == nullptr) {
    return Fail(kExitInternal, "out of memory for a request of " + std::to_string(request_size) +
                                   " bytes");
  }
  builder.Write(request.get());
  {
    ProgressBar bar(stderr, "reading", input_bytes,
                    !quiet && input_bytes >= kProgressThreshold && platform::IsTerminal(stderr));
    for (std::size_t k = 0; k < files.size(); ++k) {
      char* place = request.get() + builder.TableOffset(k + 1);
      if (!ReadInto(files[k].source, place, files[k].entry.size, &bar, &error)) {
        bar.Finish();
        return Fail(kExitInput, error);
      }
    }
  }
  // Saved before Process, which rewrites parts of the request in place.
  if (!options.request_file.empty() &&
      !WriteFileAtomically(PathFromUtf8(options.request_file),
                           std::string_view(request.get(), request_size), &error)) {
    return Fail(kExitOutput, error);
  }

  Interpreter interpreter;
  std::vector<OutputRecord> records;
  if (int code = Exchange(module, request.get(), request_size, &interpreter, &records);
      code != kExitOk) {
    return code;
  }
  const OutputRecord* meta = FindRecord(records, "META");
  if (meta == nullptr) return Fail(kExitBadResponse, "the module's response has no META record");
  if (!options.response_file.empty() &&
      !WriteFileAtomically(PathFromUtf8(options.response_file), meta->data, &error)) {
    return Fail(kExitOutput, error);
  }
  ResponseDocument document;
  if (!ParseResponseDocument(meta->data, &document)) {
    return Fail(kExitBadResponse,
                "the module's response document is unreadable: " + std::string(meta->data));
  }
  if (document.is_error) {
    return Fail(kExitJobError, "the module answered with error " + std::to_string(document.code) +
                                   ": " + document.message);
  }
  const OutputRecord* zip = FindRecord(records, "ZIPFILE");
  if (zip == nullptr) return Fail(kExitBadResponse, "the module's response has no ZIPFILE record");
  if (zip->data.size() != document.size) {
    return Fail(kExitBadResponse, "the response document reports " + std::to_string(document.size) +
                                      " archive bytes, the ZIPFILE record holds " +
                                      std::to_string(zip->data.size()));
  }
  std::vector<ZipEntry> entries;
  if (!ReadZipDirectory(zip->data, &entries, &error)) {
    return Fail(kExitBadResponse, "the module's archive is damaged: " + error);
  }
  if (entries.size() != expected_entries) {
    return Fail(kExitBadResponse, "the module's archive holds " + std::to_string(entries.size()) +
                                      " entries instead of " + std::to_string(expected_entries));
  }
  if (!archive_file.Write(zip->data, &error) || !archive_file.Commit(&error)) {
    return Fail(kExitOutput, error);
  }

  if (verbose) PrintListing(entries);
  if (!quiet) {
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%s: %zu %s, %" PRIu64 " bytes in, %zu bytes archive, ratio %s, %.2f s\n",
                DisplayPath(output).c_str(), entries.size(),
                entries.size() == 1 ? "entry" : "entries", input_bytes, zip->data.size(),
                Percent(zip->data.size(), input_bytes).c_str(), seconds);
  }
  return kExitOk;
}

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
  std::vector<OutputRecord> records;
  if (int code = Exchange(module, request.data(), request.size(), &interpreter, &records);
      code != kExitOk) {
    return code;
  }

  const fs::path directory = PathFromUtf8(options.directory);
  std::error_code ec;
  fs::create_directories(directory, ec);
  if (ec) return Fail(kExitOutput, "cannot create " + QuotedPath(directory) + ": " + ec.message());
  std::vector<std::string> taken;
  std::string error;
  for (std::size_t i = 0; i < records.size(); ++i) {
    const OutputRecord& record = records[i];
    fs::path target = directory / PathFromUtf8(OutputFileName(record, i, &taken));
    if (!WriteFileAtomically(target, record.data, &error)) return Fail(kExitOutput, error);
    if (!quiet) {
      std::printf("%s: %s %s, %zu bytes\n", DisplayPath(target).c_str(), record.name.c_str(),
                  record.mime_type.c_str(), record.data.size());
    }
  }
  const OutputRecord* meta = FindRecord(records, "META");
  ResponseDocument document;
  if (meta != nullptr && ParseResponseDocument(meta->data, &document) && document.is_error) {
    return Fail(kExitJobError, "the module answered with error " + std::to_string(document.code) +
                                   ": " + document.message);
  }
  return kExitOk;
}

int Info(const std::string& module_path) {
  Module module;
  if (int code = LoadModule(module_path, &module); code != kExitOk) return code;
  Interpreter interpreter = module.Instantiate();
  if (!interpreter || !interpreter.Init(0)) {
    return Fail(kExitModule, "the module did not create an interpreter");
  }
  std::printf("name:    %s\ntype:    %s\nversion: %s\n", interpreter.Name(), interpreter.Type(),
              interpreter.Version());
  return kExitOk;
}

int Version(const std::string& file) {
  char* values[4] = {};
  if (ReadVersionInfo(file.empty() ? nullptr : file.c_str(), &values[0], &values[1], &values[2],
                      &values[3]) != 1) {
    return Fail(kExitInput, file + " carries no version information");
  }
  static const char* const kLabels[4] = {"file version:    ", "product version: ",
                                         "platform:        ", "special build:   "};
  for (int i = 0; i < 4; ++i) {
    std::printf("%s%s\n", kLabels[i], values[i]);
    std::free(values[i]);
  }
  return kExitOk;
}

}  // namespace parcel::host
