// A service host as a Microsoft-ABI compiler sees it: the interpreter interface
// is a C++ class with a virtual destructor, which takes one vtable slot (the
// scalar deleting destructor, called with a flags argument). Compiled by
// clang-cl without the C runtime (/Zl), so it needs nothing beyond the module.
#include "tests/msvc_abi_host.h"

namespace msvc_host {

class OrbInterpreterBase {
 public:
  virtual bool Init(unsigned long long hostContext) = 0;
  virtual bool Process(char* request, unsigned int requestSize, char** responseData,
                       unsigned int* responseSize) = 0;
  virtual void Reset() = 0;
  virtual void SetFlag() = 0;
  virtual void ClearFlag() = 0;
  virtual bool GetFlag() = 0;
  virtual const char* GetName() = 0;
  virtual const char* GetType() = 0;
  virtual const char* GetVersion() = 0;
  virtual ~OrbInterpreterBase() = 0;
};

}  // namespace msvc_host

extern "C" int MsvcHostCycle(MsvcHostInstantiateFn instantiate, char* request, unsigned int size,
                             int keep_response, MsvcHostReport* report) {
  auto* interpreter = static_cast<msvc_host::OrbInterpreterBase*>(instantiate());
  if (interpreter == nullptr) return -1;
  report->init_result = interpreter->Init(0x5EED);
  report->name = interpreter->GetName();
  report->type = interpreter->GetType();
  report->version = interpreter->GetVersion();
  interpreter->SetFlag();
  report->flag_after_set = interpreter->GetFlag();
  interpreter->ClearFlag();
  report->flag_after_clear = interpreter->GetFlag();

  char* response = nullptr;
  unsigned int response_size = 0;
  report->process_result = interpreter->Process(request, size, &response, &response_size);
  report->response_present = response != nullptr;
  report->response_size = response_size;
  for (unsigned int i = 0; i < sizeof report->response_head; ++i) {
    report->response_head[i] = response != nullptr && i < response_size ? response[i] : 0;
  }
  if (!keep_response) interpreter->Reset();
  delete interpreter;  // slot 9 with flags 1: destroy and free
  return 0;
}
