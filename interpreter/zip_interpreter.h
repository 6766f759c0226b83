// ZipInterpreter: the module's concrete interpreter, which packs the files of
// a request into one zip archive.
#ifndef PARCEL_INTERPRETER_ZIP_INTERPRETER_H_
#define PARCEL_INTERPRETER_ZIP_INTERPRETER_H_

#include "interpreter/orb_interpreter.h"

class ZipInterpreter final : public OrbInterpreterGen {
 public:
  ZipInterpreter() = default;

  bool Init(std::uintptr_t context) noexcept override;
  const char* GetName() noexcept override;
  const char* GetType() noexcept override;
  const char* GetVersion() noexcept override;
  void Destroy() noexcept override;
  bool Execute() noexcept override;

 private:
  ~ZipInterpreter() override = default;
};

#endif  // PARCEL_INTERPRETER_ZIP_INTERPRETER_H_
