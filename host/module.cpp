// Module loading and slot calls for host programs.
#include "host/module.h"

#include <filesystem>
#include <system_error>
#include <utility>

namespace parcel::host {

Interpreter::Interpreter(Interpreter&& other) noexcept
    : object_(std::exchange(other.object_, nullptr)) {}

Interpreter& Interpreter::operator=(Interpreter&& other) noexcept {
  if (this != &other) {
    Destroy();
    object_ = std::exchange(other.object_, nullptr);
  }
  return *this;
}

bool Interpreter::Process(char* request, std::uint32_t size, std::string_view* response) {
  char* data = nullptr;
  std::uint32_t length = 0;
  bool ok = object_->vtbl->Process(object_, request, size, &data, &length);
  if (response != nullptr)
    *response = data != nullptr ? std::string_view(data, length) : std::string_view();
  return ok;
}

void Interpreter::Destroy() {
  if (object_ != nullptr) {
    object_->vtbl->Destroy(object_);
    object_ = nullptr;
  }
}

bool Module::Load(const std::string& path, std::string* error) {
  instantiate_ = nullptr;
  if (!library_.Open(path, error)) return false;
  instantiate_ = reinterpret_cast<ParcelInstantiateFn>(library_.Symbol(PARCEL_INSTANTIATE_SYMBOL));
  if (instantiate_ == nullptr) {
    if (error != nullptr)
      *error = path + " is not a parcel module (no " PARCEL_INSTANTIATE_SYMBOL ")";
    library_.Close();
    return false;
  }
  return true;
}

Interpreter Module::Instantiate() const {
  return Interpreter(instantiate_ != nullptr ? instantiate_() : nullptr);
}

RunStatus RunRequest(const Module& module, char* request, std::uint32_t size,
                     Interpreter* interpreter, std::string_view* response) {
  *response = {};
  *interpreter = module.Instantiate();
  if (!*interpreter || !interpreter->Init(0)) return RunStatus::kNoInterpreter;
  interpreter->Process(request, size, response);
  // The result of Process is not consulted: a response, even an error
  // document, is what the host acts on.
  return response->empty() ? RunStatus::kNoResponse : RunStatus::kResponse;
}

const char* InstalledModuleFolder() { return PARCEL_MODULEDIR_FROM_BINDIR; }

std::string CompanionFilePath(const std::string& file_name) {
  const std::string folder = platform::ExecutableDirectory();
  std::string beside = folder + file_name;
  std::error_code error;
  if (*InstalledModuleFolder() == '\0' || std::filesystem::exists(beside, error)) return beside;
  return folder + InstalledModuleFolder() + file_name;
}

std::string DefaultModulePath() { return CompanionFilePath(platform::ModuleFileName("parcel")); }

}  // namespace parcel::host
