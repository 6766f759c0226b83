// parcel-host: loads the parcel module as a service host does and packs files
// from disk through it.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <iostream>
#include <new>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "host/commands.h"
#include "host/module.h"
#include "platform/console.h"
#include "platform/dynamic_library.h"

namespace {

using parcel::host::Verbosity;

void AddModuleOption(CLI::App* command, std::string* module) {
  command->add_option("--module", *module,
                      "Module file to load (default: " +
                          parcel::platform::ModuleFileName("parcel") + " beside this program)");
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
  CLI::App app{"parcel-host: packs files into a zip archive through the parcel module,\n"
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
  AddModuleOption(pack, &pack_options.module);
  AddVerbosityFlags(pack, &quiet, &verbose);
  pack->footer("Example: parcel-host pack -o docs.zip docs/ notes.txt\n\n" +
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
  if (*run) {
    run_options.verbosity = VerbosityOf(quiet, verbose);
    return parcel::host::Run(run_options);
  }
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
