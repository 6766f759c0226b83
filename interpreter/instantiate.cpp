// The module's one exported function.
#include "platform/export.h"

#include <new>

#include "interpreter/zip_interpreter.h"

extern "C" PARCEL_EXPORT OrbInterpreterBase* Instantiate() {
  ZipInterpreter* interpreter = new (std::nothrow) ZipInterpreter();
  if (interpreter != nullptr && !interpreter->IsUsable()) {
    interpreter->Destroy();
    interpreter = nullptr;
  }
  return interpreter;
}
