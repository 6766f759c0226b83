// The commands' shared steps.
#include "host/cli/command_support.h"

#include <algorithm>
#include <cstdio>

#include "host/exit_codes.h"

namespace parcel::host {

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

}  // namespace parcel::host
