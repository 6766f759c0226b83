// What the commands of parcel-host share: their one-line messages, loading
// the module and running one request through it.
#ifndef PARCEL_HOST_CLI_COMMAND_SUPPORT_H_
#define PARCEL_HOST_CLI_COMMAND_SUPPORT_H_

#include <cstdint>
#include <string>

#include "host/module.h"
#include "host/response_check.h"

namespace parcel::host {

// Prints "parcel-host: <text>" on standard error.
void Message(const std::string& text);

// Message(message), then `code`.
int Fail(int code, const std::string& message);

// Loads the module at `path`: kExitOk, or kExitModule with a message.
int LoadModule(const std::string& path, Module* module);

// Fails with kExitJobError, printing the error document's code and message.
int FailWithJobError(const ResponseDocument& document);

// Runs the request through a new interpreter of `module` and checks the
// response (CheckResponse), whose records view the response buffer that
// `interpreter` keeps: no copy of the archive is made. kExitOk when the
// response holds output records (any status from kNoDocument on); kExitInput
// for a request beyond 32 bits; kExitModule when no interpreter could be made;
// kExitBadResponse when there is no response or it is malformed.
int Exchange(const Module& module, char* request, std::uint64_t size, Interpreter* interpreter,
             ResponseCheck* check);

// Checks a response that came (CheckResponse): kExitOk when it holds output
// records, kExitBadResponse with a message when it is missing or malformed.
int CheckExchanged(std::string_view response, ResponseCheck* check);

}  // namespace parcel::host

#endif  // PARCEL_HOST_CLI_COMMAND_SUPPORT_H_
