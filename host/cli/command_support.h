// What the commands of parcel-host share: their one-line messages, loading
// the module and running one request through it.
#ifndef PARCEL_HOST_CLI_COMMAND_SUPPORT_H_
#define PARCEL_HOST_CLI_COMMAND_SUPPORT_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "host/module.h"
#include "host/transfer_form.h"

namespace parcel::host {

// Prints "parcel-host: <text>" on standard error.
void Message(const std::string& text);

// Message(message), then `code`.
int Fail(int code, const std::string& message);

// Loads the module at `path`: kExitOk, or kExitModule with a message.
int LoadModule(const std::string& path, Module* module);

// Runs the request through a new interpreter of `module` and splits the
// response into its records, which view the response buffer that
// `interpreter` keeps: no copy of the archive is made. kExitOk; kExitInput
// for a request beyond 32 bits; kExitModule when no interpreter could be
// made; kExitBadResponse when there is no response or it is malformed.
int Exchange(const Module& module, char* request, std::uint64_t size, Interpreter* interpreter,
             std::vector<OutputRecord>* records);

// The first record named `name`; null when there is none.
const OutputRecord* FindRecord(const std::vector<OutputRecord>& records, std::string_view name);

}  // namespace parcel::host

#endif  // PARCEL_HOST_CLI_COMMAND_SUPPORT_H_
