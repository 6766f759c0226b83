// The concrete interpreter: its identity and its job.
#include "interpreter/zip_interpreter.h"

namespace {

constexpr char kName[] = "PARCEL";
constexpr char kType[] = "QELPH10";
constexpr char kVersion[] = "7000.0.9.0";

}  // namespace

bool ZipInterpreter::Init(std::uintptr_t context) noexcept {
  return OrbInterpreterGen::Init(context);
}

const char* ZipInterpreter::GetName() noexcept { return kName; }

const char* ZipInterpreter::GetType() noexcept { return kType; }

const char* ZipInterpreter::GetVersion() noexcept { return kVersion; }

void ZipInterpreter::Destroy() noexcept { delete this; }

bool ZipInterpreter::Execute() noexcept {
  // The compression job is not wired in yet: no output is stored.
  return false;
}
