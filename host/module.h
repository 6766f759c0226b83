// Loading the parcel module the way a service host does, and driving its
// interpreters by virtual-table slot through the binary interface.
#ifndef PARCEL_HOST_MODULE_H_
#define PARCEL_HOST_MODULE_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "interpreter/host_abi.h"
#include "platform/dynamic_library.h"

namespace parcel::host {

// One interpreter of a loaded module. Move-only; destroys the interpreter
// (slot 9) when it goes. The module must stay loaded as long as it lives.
class Interpreter {
 public:
  Interpreter() = default;
  explicit Interpreter(ParcelInterpreter* object) : object_(object) {}
  ~Interpreter() { Destroy(); }
  Interpreter(const Interpreter&) = delete;
  Interpreter& operator=(const Interpreter&) = delete;
  Interpreter(Interpreter&& other) noexcept;
  Interpreter& operator=(Interpreter&& other) noexcept;

  explicit operator bool() const { return object_ != nullptr; }
  ParcelInterpreter* get() const { return object_; }

  bool Init(std::uintptr_t context) { return object_->vtbl->Init(object_, context); }
  // Runs `request` (modified in place by the module). On return `response`
  // views the interpreter's response buffer, valid until Reset.
  bool Process(char* request, std::uint32_t size, std::string_view* response);
  void Reset() { object_->vtbl->Reset(object_); }
  const char* Name() const { return object_->vtbl->GetName(object_); }
  const char* Type() const { return object_->vtbl->GetType(object_); }
  const char* Version() const { return object_->vtbl->GetVersion(object_); }
  void Destroy();

 private:
  ParcelInterpreter* object_ = nullptr;
};

// A loaded parcel module.
class Module {
 public:
  // Loads the module at `path` and resolves Instantiate. False with a message
  // in `error` when the file cannot be loaded or is not a parcel module.
  bool Load(const std::string& path, std::string* error);
  // A new interpreter; empty when the module could not create one.
  Interpreter Instantiate() const;

 private:
  platform::DynamicLibrary library_;
  ParcelInstantiateFn instantiate_ = nullptr;
};

// Path of the loadable file `file_name` (the module, the serve plug-in) that
// goes with the running program: beside it, as in the build tree and the
// Windows bundle, when it is there; otherwise in the folder the install puts
// it in, InstalledModuleFolder() seen from the program's folder.
std::string CompanionFilePath(const std::string& file_name);

// The module folder of an install relative to the program's folder, with a
// trailing separator ("../lib/parcel/"); empty where both are one folder.
const char* InstalledModuleFolder();

// CompanionFilePath of the module.
std::string DefaultModulePath();

enum class RunStatus {
  kResponse,       // the response is in `response` (it may be an error document)
  kNoInterpreter,  // Instantiate gave no interpreter or Init failed
  kNoResponse,     // Process handed out no response
};

// Runs one request through a new interpreter of `module` as a service host
// does: Instantiate, Init, Process. The response is lent, not copied:
// `response` views the buffer of the interpreter left in `*interpreter`, valid
// until that interpreter is reset or destroyed. The module rewrites parts of
// the request's `size` bytes in place.
// Requires: `module` is loaded.
RunStatus RunRequest(const Module& module, char* request, std::uint32_t size,
                     Interpreter* interpreter, std::string_view* response);

}  // namespace parcel::host

#endif  // PARCEL_HOST_MODULE_H_
