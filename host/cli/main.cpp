// parcel-host: loads the parcel module as a service host does and packs files
// from disk through it.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <map>
#include <new>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "host/cli/commands.h"
#include "host/module.h"
#include "interpreter/host_abi.h"
#include "platform/console.h"
#include "platform/dynamic_library.h"

namespace {

using parcel::host::Verbosity;

void AddModuleOption(CLI::App* command, std::string* module) {
  std::string where = parcel::platform::ModuleFileName("parcel") + " beside this program";
  if (*parcel::host::InstalledModuleFolder() != '\0') {
    where += ", else in " + std::string(parcel::host::InstalledModuleFolder()) + " from there";
  }
  command->add_option("--module", *module, "Module file to load (default: " + where + ")");
}

void AddVerbosityFlags(CLI::App* command, bool* quiet, bool* verbose) {
  auto* q = command->add_flag("-q,--quiet", *quiet, "Print errors only");
  command->add_flag("-v,--verbose", *verbose, "Print more detail")->excludes(q);
}

Verbosity VerbosityOf(bool quiet, bool verbose) {
  return quiet ? Verbosity::kQuiet : verbose ? Verbosity::kVerbose : Verbosity::kNormal;
}

int Main(int argc, char** argv) {
  parcel::platform::UseUtf8Console();
  CLI::App app{
      "parcel-host: packs files into a zip archive through the parcel module,\n"
      "loaded at run time the way a service host loads it."};
  app.name("parcel-host");
  app.footer(parcel::host::ExitCodeHelp());
  app.require_subcommand(1);

  const std::string default_module = parcel::host::DefaultModulePath();
  bool quiet = false;
  bool verbose = false;

  parcel::host::PackOptions pack_options;
  pack_options.module = default_module;
  CLI::App* pack = app.add_subcommand("pack", "Pack files and directories into a zip archive");
  pack->add_option("-o,--output", pack_options.output, "Archive to write")->required();
  pack->add_option("paths", pack_options.inputs, "Files and directories (recursively)");
  pack->add_flag("-j,--junk-paths", pack_options.junk_paths,
                 "Store file names alone, without their directories");
  pack->add_flag("-@,--names-stdin", pack_options.names_from_stdin,
                 "Read further names from standard input, one per line");
  pack->add_option("--response", pack_options.response_file, "Save the response document here");
  pack->add_option("--request", pack_options.request_file,
                   "Save the request in the transfer form here");
  pack->add_option("--ni", pack_options.server,
                   "Pack through a server (serve --ni-port) at HOST:PORT ([ADDRESS]:PORT for "
                   "IPv6) instead of loading the module");
  pack->add_option("--timeout", pack_options.timeout_seconds,
                   "With --ni: seconds to wait for the server at each step")
      ->check(CLI::Range(1, 24 * 3600))
      ->default_str(std::to_string(pack_options.timeout_seconds));
  // Not in the help: a switch for load tests of servers.
  pack->add_option("--ni-fragment-test", pack_options.ni_fragment_test)
      ->check(CLI::Range(0, 1 << 20))
      ->group("");
  AddModuleOption(pack, &pack_options.module);
  AddVerbosityFlags(pack, &quiet, &verbose);
  pack->footer(
      "Example: parcel-host pack -o docs.zip docs/ notes.txt\n"
      "         parcel-host pack --ni 127.0.0.1:3300 -o docs.zip docs/\n\n" +
      parcel::host::ExitCodeHelp());

  parcel::host::RunOptions run_options;
  run_options.module = default_module;
  CLI::App* run = app.add_subcommand(
      "run", "Feed a saved transfer-form request to the module and write its output records");
  run->add_option("request", run_options.request_file, "Request file")->required();
  run->add_option("-o,--output", run_options.directory, "Directory for the output records")
      ->default_str(".");
  AddModuleOption(run, &run_options.module);
  AddVerbosityFlags(run, &quiet, &verbose);
  run->footer("Example: parcel-host run saved.req -o out/\n\n" + parcel::host::ExitCodeHelp());

  std::string info_module = default_module;
  CLI::App* info = app.add_subcommand("info", "Show the name, type and version of the interpreter");
  AddModuleOption(info, &info_module);

  std::string version_file;
  CLI::App* version = app.add_subcommand(
      "version", "Show the file version, product version, platform and special build of a module");
  version->add_option("FILE", version_file, "Module file to read")->required();
  version->footer("Example: parcel-host version build/windows/parcel.dll\n\n" +
                  parcel::host::ExitCodeHelp());

  parcel::host::ServeOptions serve_options;
  serve_options.module = default_module;
  CLI::App* serve = app.add_subcommand(
      "serve",
      "Serve packing over HTTP (upload files, get the response document, download the "
      "archive; Linux) and over the network library (--ni-port; every platform)");
  serve->add_option("--listen", serve_options.listen, "Address to listen on")
      ->default_str(serve_options.listen);
  serve->add_option("--port", serve_options.port, "Port to listen on; 0 picks a free one")
      ->default_str(std::to_string(serve_options.port))
      ->check(CLI::Range(0, 65535));
  serve->add_option("--port-file", serve_options.port_file,
                    "Write the port listened on into this file");
  serve
      ->add_option("--threads", serve_options.threads,
                   "Worker threads, each with an interpreter of its own (default: one per "
                   "processor, at least 2)")
      ->check(CLI::Range(1, 256));
  serve->add_option("--store", serve_options.store,
                    "Directory for archives awaiting download; it must be empty or a store of an "
                    "earlier run (default: a new directory under the temporary directory)");
  serve
      ->add_option("--store-size", serve_options.store_bytes,
                   "Bytes of archives kept at most, e.g. 512M or 2G")
      ->transform(CLI::AsSizeValue(false))
      ->default_str("1G");
  serve
      ->add_option("--expiry", serve_options.expiry_seconds,
                   "How long an archive is kept for download, e.g. 90s, 30m, 2h")
      ->transform(CLI::AsNumberWithUnit(
          std::map<std::string, std::uint64_t>{{"s", 1}, {"m", 60}, {"h", 3600}},
          CLI::AsNumberWithUnit::CASE_SENSITIVE))
      ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{366} * 24 * 3600))
      ->default_str("1h");
  serve
      ->add_option("--max-upload", serve_options.max_upload,
                   "Largest request body accepted, e.g. 64M; larger ones get 413 (at most 1G)")
      ->transform(CLI::AsSizeValue(false))
      ->check(CLI::Range(std::uint64_t{1}, parcel::host::kMaxUploadLimit))
      ->default_str("64M");
  serve->add_option("--max-files", serve_options.max_files, "Files in one upload at most")
      ->check(CLI::Range(std::size_t{1}, std::size_t{PARCEL_MAX_FILES}))
      ->default_str(std::to_string(PARCEL_MAX_FILES));
  const std::map<std::string, std::uint64_t> seconds{{"s", 1}, {"m", 60}, {"h", 3600}};
  serve
      ->add_option("--client-store-size", serve_options.client_store_bytes,
                   "Bytes of archives one client address may keep at most, e.g. 100M (default: no "
                   "share, up to --store-size)")
      ->transform(CLI::AsSizeValue(false));
  serve
      ->add_option("--max-held", serve_options.max_held,
                   "Upload bytes held at once for requests in flight; beyond it 503 (at least "
                   "--max-upload)")
      ->transform(CLI::AsSizeValue(false))
      ->default_str("256M");
  serve
      ->add_option("--max-connections", serve_options.max_connections,
                   "Open connections at most; more get 503")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20))
      ->default_str("1024");
  serve
      ->add_option("--max-client-connections", serve_options.max_client_connections,
                   "Open connections from one client address at most; more get 503")
      ->check(CLI::Range(std::size_t{1}, std::size_t{1} << 20))
      ->default_str("64");
  serve
      ->add_option("--head-timeout", serve_options.head_timeout_seconds,
                   "Time for a request's head to arrive, e.g. 10s")
      ->transform(CLI::AsNumberWithUnit(seconds, CLI::AsNumberWithUnit::CASE_SENSITIVE))
      ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{3600}))
      ->default_str("10s");
  serve
      ->add_option("--idle-timeout", serve_options.idle_timeout_seconds,
                   "How long a kept-alive connection waits for its next request, e.g. 5s")
      ->transform(CLI::AsNumberWithUnit(seconds, CLI::AsNumberWithUnit::CASE_SENSITIVE))
      ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{3600}))
      ->default_str("5s");
  serve
      ->add_option("--min-rate", serve_options.min_rate,
                   "Bytes a second a request body or an answer must average once the head timeout "
                   "has passed, e.g. 4K")
      ->transform(CLI::AsSizeValue(false))
      ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{1} << 40))
      ->default_str("4K");
  serve
      ->add_option("--shutdown-grace", serve_options.shutdown_grace_seconds,
                   "After SIGINT or SIGTERM, how long requests in flight may take, e.g. 30s")
      ->transform(CLI::AsNumberWithUnit(seconds, CLI::AsNumberWithUnit::CASE_SENSITIVE))
      ->check(CLI::Range(std::uint64_t{0}, std::uint64_t{24} * 3600))
      ->default_str("30s");
  serve
      ->add_option("--ni-port", serve_options.ni_port,
                   "Also serve packing over the network library on this port; 0 picks a free one")
      ->check(CLI::Range(0, 65535));
  serve
      ->add_option("--ni-listen", serve_options.ni_listen,
                   "Address the NI server listens on, IPv4 or IPv6; * for every address")
      ->default_str(serve_options.ni_listen);
  serve->add_option("--ni-port-file", serve_options.ni_port_file,
                    "Write the NI port listened on into this file");
  serve
      ->add_option("--ni-idle-timeout", serve_options.ni_idle_timeout_seconds,
                   "Close an NI connection that sends no whole message and takes no answer for "
                   "this long, e.g. 60s")
      ->transform(CLI::AsNumberWithUnit(seconds, CLI::AsNumberWithUnit::CASE_SENSITIVE))
      ->check(CLI::Range(std::uint64_t{1}, std::uint64_t{24} * 3600))
      ->default_str("60s");
  bool no_ni_local = false;
  serve->add_flag("--no-ni-local", no_ni_local,
                  "Do not listen on the local stream socket of the NI port");
  bool no_http = false;
  serve->add_flag("--no-http", no_http, "Serve over the network library only (needs --ni-port)");
  serve->add_flag("--public-downloads", serve_options.public_downloads,
                  "Serve archives to anyone who knows the name, without the download token");
  serve->add_flag("-q,--quiet", serve_options.quiet, "No access log");
  AddModuleOption(serve, &serve_options.module);
  serve->footer(
      "Example: parcel-host serve --port 8080\n"
      "         curl -F file=@notes.txt http://127.0.0.1:8080/compress\n"
      "         parcel-host serve --no-http --ni-port 3300\n\n" +
      parcel::host::ExitCodeHelp());

  // CLI11 takes an argument vector in reverse order.
  std::vector<std::string> args = parcel::platform::Utf8Arguments(argc, argv);
  std::reverse(args.begin(), args.end());
  try {
    app.parse(args);
  } catch (const CLI::ParseError& e) {
    int code = app.exit(e);
    return code == 0 ? parcel::host::kExitOk : parcel::host::kExitUsage;
  }

  if (*pack) {
    pack_options.verbosity = VerbosityOf(quiet, verbose);
    return parcel::host::Pack(pack_options, std::cin);
  }
  if (*serve) {
    serve_options.ni_local = !no_ni_local;
    serve_options.http = !no_http;
    return parcel::host::RunServe(serve_options);
  }
  if (*run) {
    run_options.verbosity = VerbosityOf(quiet, verbose);
    return parcel::host::Run(run_options);
  }
  if (*version) return parcel::host::Version(version_file);
  return parcel::host::Info(info_module);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Main(argc, argv);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "parcel-host: out of memory\n");
  } catch (const std::exception& e) {
    std::fprintf(stderr, "parcel-host: %s\n", e.what());
  }
  return parcel::host::kExitInternal;
}
