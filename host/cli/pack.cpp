// parcel-host pack: files from disk into one archive through the module.
#include "host/cli/commands.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>

#include "host/cli/atomic_file.h"
#include "host/cli/command_support.h"
#include "host/cli/input_files.h"
#include "host/cli/progress.h"
#include "host/job_description.h"
#include "host/module.h"
#include "host/path_text.h"
#include "host/system_message.h"
#include "host/zip_directory.h"
#include "platform/bulk_memory.h"
#include "platform/console.h"
#include "platform/file_read.h"

namespace parcel::host {
namespace fs = std::filesystem;
namespace {

// Inputs smaller than this are read too fast for a progress bar to help.
constexpr std::uint64_t kProgressThreshold = 16u << 20;

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

}  // namespace parcel::host
