// The commands' shared steps.
#include "host/cli/command_support.h"

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

int FailWithJobError(const ResponseDocument& document) {
  return Fail(kExitJobError, "the module answered with error " + std::to_string(document.code) +
                                 ": " + document.message);
}

int Exchange(const Module& module, char* request, std::uint64_t size, Interpreter* interpreter,
             ResponseCheck* check) {
  if (size > UINT32_MAX) {
    return Fail(kExitInput, "the request is larger than 4 GiB; the transfer form cannot carry it");
  }
  std::string_view response;
  if (RunRequest(module, request, static_cast<std::uint32_t>(size), interpreter, &response) ==
      RunStatus::kNoInterpreter) {
    return Fail(kExitModule, "the module did not create an interpreter");
  }
  return CheckExchanged(response, check);
}

int CheckExchanged(std::string_view response, ResponseCheck* check) {
  *check = CheckResponse(response);
  switch (check->status) {
    case ResponseStatus::kNoResponse:
    case ResponseStatus::kMalformed: return Fail(kExitBadResponse, check->reason);
    default: return kExitOk;
  }
}

}  // namespace parcel::host
