// parcel-host pack: files from disk into one archive through the module.
#include "host/cli/commands.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>

#include "host/cli/atomic_file.h"
#include "host/cli/command_support.h"
#include "host/cli/input_files.h"
#include "host/cli/progress.h"
#include "host/job_description.h"
#include "host/module.h"
#include "host/ni/pack_client.h"
#include "host/path_text.h"
#include "host/response_check.h"
#include "host/system_message.h"
#include "host/zip_directory.h"
#include "ni/ni.h"
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
    case platform::FileReadResult::kOk: return true;
    case platform::FileReadResult::kCannotOpen: problem = "cannot be opened"; break;
    case platform::FileReadResult::kReadError: problem = "read error"; break;
    case platform::FileReadResult::kShrank: problem = "shrank while being read"; break;
    case platform::FileReadResult::kGrew: problem = "grew while being read"; break;
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
  std::snprintf(text, sizeof text, "%.1f%%",
                100.0 * static_cast<double>(part) / static_cast<double>(whole));
  return text;
}

void PrintListing(const std::vector<ZipEntry>& entries) {
  std::printf("%12s %12s %7s  %s\n", "size", "packed", "ratio", "name");
  for (const ZipEntry& entry : entries) {
    std::printf("%12" PRIu32 " %12" PRIu32 " %7s  %s\n", entry.size, entry.compressed_size,
                Percent(entry.compressed_size, entry.size).c_str(), entry.name.c_str());
  }
}

// The files of one run and what the module should make of them.
struct Inputs {
  std::vector<InputFile> files;
  std::vector<JobFile> jobs;         // the files' entries, in order
  std::uint64_t bytes = 0;           // their sizes together
  std::size_t expected_entries = 0;  // files with content: empty ones are left out
};

// The names to pack: the arguments, then those read from `names` with -@.
int GatherNames(const PackOptions& options, std::istream& names, std::vector<std::string>* out) {
  *out = options.inputs;
  if (options.names_from_stdin) ReadNames(names, out);
  if (out->empty()) {
    return Fail(kExitUsage, "nothing to pack: name files or directories, or give names with -@");
  }
  return kExitOk;
}

// Walks the names into files, leaving out the archive being written (and
// its temporary file), and checks them against the limits of one request.
int CollectInputs(const PackOptions& options, const std::vector<std::string>& names,
                  const std::vector<fs::path>& excluded, Inputs* inputs) {
  std::string error;
  InputCollector collector({options.junk_paths, excluded});
  for (const std::string& name : names) {
    if (!collector.Add(name, &error)) return Fail(kExitInput, error);
  }
  if (options.verbosity == Verbosity::kVerbose) {
    for (const std::string& note : collector.notes()) Message(note);
  }
  inputs->files = collector.files();
  if (inputs->files.empty()) return Fail(kExitUsage, "nothing to pack: the inputs hold no files");
  if (!CheckRequestLimits(inputs->files, &error)) return Fail(kExitInput, error);
  for (const InputFile& file : inputs->files) {
    inputs->jobs.push_back(file.entry);
    inputs->bytes += file.entry.size;
    if (file.entry.size > 0) {
      ++inputs->expected_entries;
    } else if (options.verbosity != Verbosity::kQuiet) {
      Message("warning: " + QuotedPath(file.source) +
              " is empty and left out: the archive holds files with content only");
    }
  }
  return kExitOk;
}

// Table META, then one table per file; files are read straight into place.
int BuildRequest(const PackOptions& options, const Inputs& inputs,
                 std::unique_ptr<RequestMemory>* request, std::uint64_t* size) {
  const std::string description = BuildJobDescription(inputs.jobs);
  RequestBuilder builder;
  bool fits = builder.AddTable("META", description);
  for (std::size_t k = 0; fits && k < inputs.jobs.size(); ++k) {
    fits = builder.ReserveTable("FILE" + std::to_string(k + 1), inputs.jobs[k].size);
  }
  if (!fits || !builder.Size(size)) {
    return Fail(kExitInput, "the inputs are too large for one request");
  }
  // Write fills all but the file tables, which the reads below fill
  // completely or the run ends.
  *request = std::make_unique<RequestMemory>(static_cast<std::size_t>(*size));
  char* memory = (*request)->get();
  if (memory == nullptr) {
    return Fail(kExitInternal,
                "out of memory for a request of " + std::to_string(*size) + " bytes");
  }
  builder.Write(memory);
  ProgressBar bar(stderr, "reading", inputs.bytes,
                  options.verbosity != Verbosity::kQuiet && inputs.bytes >= kProgressThreshold &&
                      platform::IsTerminal(stderr));
  std::string error;
  for (std::size_t k = 0; k < inputs.files.size(); ++k) {
    char* place = memory + builder.TableOffset(k + 1);
    if (!ReadInto(inputs.files[k].source, place, inputs.files[k].entry.size, &bar, &error)) {
      bar.Finish();
      return Fail(kExitInput, error);
    }
  }
  return kExitOk;
}

// Acts on the checked response: saves the response document when asked
// (whatever it says), then lets only a readable archive of every file with
// content through.
int AcceptResponse(const PackOptions& options, const ResponseCheck& check,
                   std::size_t expected_entries) {
  std::string error;
  const OutputRecord* meta = check.meta();
  if (meta != nullptr && !options.response_file.empty() &&
      !WriteFileAtomically(PathFromUtf8(options.response_file), meta->data, &error)) {
    return Fail(kExitOutput, error);
  }
  switch (check.status) {
    case ResponseStatus::kArchive: break;
    case ResponseStatus::kJobError: return FailWithJobError(check.document);
    default: return Fail(kExitBadResponse, check.reason);
  }
  if (check.entries.size() != expected_entries) {
    return Fail(kExitBadResponse, "the module's archive holds " +
                                      std::to_string(check.entries.size()) +
                                      " entries instead of " + std::to_string(expected_entries));
  }
  return kExitOk;
}

// Exchange through a packing server: the response lands in `response`,
// which `check` views.
int RemoteExchange(const NiEndpoint& server, int timeout_seconds, const char* request,
                   std::uint64_t size, std::string* response, ResponseCheck* check) {
  if (size > UINT32_MAX) {
    return Fail(kExitInput, "the request is larger than 4 GiB; the transfer form cannot carry it");
  }
  const RemoteResult result =
      ExchangeOverNi(server, std::string_view(request, size), timeout_seconds * 1000, response);
  switch (result.status) {
    case RemoteStatus::kOk: break;
    case RemoteStatus::kTooLarge: return Fail(kExitInput, result.message);
    default: return Fail(kExitNetwork, result.message);
  }
  return CheckExchanged(*response, check);
}

void PrintSummary(const fs::path& output, const Inputs& inputs, const ResponseCheck& check,
                  std::chrono::steady_clock::time_point start) {
  const std::size_t entries = check.entries.size();
  const std::size_t archive_bytes = check.archive()->data.size();
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%s: %zu %s, %" PRIu64 " bytes in, %zu bytes archive, ratio %s, %.2f s\n",
              DisplayPath(output).c_str(), entries, entries == 1 ? "entry" : "entries",
              inputs.bytes, archive_bytes, Percent(archive_bytes, inputs.bytes).c_str(), seconds);
}

}  // namespace

int Pack(const PackOptions& options, std::istream& names) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::string> arguments;
  if (int code = GatherNames(options, names, &arguments); code != kExitOk) return code;

  // Through a server, or through the module loaded here.
  NiEndpoint server;
  std::string error;
  if (!options.server.empty() && !ParseNiEndpoint(options.server, &server, &error)) {
    return Fail(kExitUsage, "--ni: " + error);
  }
  Module module;
  if (!options.server.empty() && options.ni_fragment_test > 0) {
    (void)NiSetParam(NI_NO_HANDLE, NI_PARAM_FRAGMENT_TEST, options.ni_fragment_test);
  }
  if (options.server.empty()) {
    if (int code = LoadModule(options.module, &module); code != kExitOk) return code;
  }

  // Opened first, so an archive that cannot be written is found before any
  // work is done.
  const fs::path output = PathFromUtf8(options.output);
  AtomicFile archive_file;
  if (!archive_file.Open(output, &error)) return Fail(kExitOutput, error);

  Inputs inputs;
  if (int code = CollectInputs(options, arguments, {output, archive_file.temp_path()}, &inputs);
      code != kExitOk) {
    return code;
  }
  std::unique_ptr<RequestMemory> request;
  std::uint64_t request_size = 0;
  if (int code = BuildRequest(options, inputs, &request, &request_size); code != kExitOk) {
    return code;
  }
  // Saved before Process, which rewrites parts of the request in place.
  if (!options.request_file.empty() &&
      !WriteFileAtomically(PathFromUtf8(options.request_file),
                           std::string_view(request->get(), request_size), &error)) {
    return Fail(kExitOutput, error);
  }

  Interpreter interpreter;
  std::string remote_response;
  ResponseCheck check;
  const int exchanged = options.server.empty()
                            ? Exchange(module, request->get(), request_size, &interpreter, &check)
                            : RemoteExchange(server, options.timeout_seconds, request->get(),
                                             request_size, &remote_response, &check);
  if (exchanged != kExitOk) return exchanged;
  if (int code = AcceptResponse(options, check, inputs.expected_entries); code != kExitOk) {
    return code;
  }
  // Written straight from the module's response.
  if (!archive_file.Write(check.archive()->data, &error) || !archive_file.Commit(&error)) {
    return Fail(kExitOutput, error);
  }

  if (options.verbosity == Verbosity::kVerbose) PrintListing(check.entries);
  if (options.verbosity != Verbosity::kQuiet) PrintSummary(output, inputs, check, start);
  return kExitOk;
}

}  // namespace parcel::host
