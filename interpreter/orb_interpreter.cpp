// The generic request cycle of OrbInterpreterGen.
#include "interpreter/orb_interpreter.h"

#include <new>

#include "data/orb_data.h"
#include "platform/crt.h"

OrbInterpreterGen::OrbInterpreterGen()
    : hostContext(0), data(new (std::nothrow) OrbData()), flag(false) {}

OrbInterpreterGen::~OrbInterpreterGen() {
  if (data != nullptr) {
    data->ResetOutput();
    delete data;
  }
}

bool OrbInterpreterGen::Init(std::uintptr_t context) noexcept {
  hostContext = context;
  parcel::platform::SeedRand(static_cast<unsigned int>(parcel::platform::Clock()));
  return true;
}

bool OrbInterpreterGen::Process(char* request, std::uint32_t requestSize, char** responseData,
                                std::uint32_t* responseSize) noexcept {
  // A host that skipped Reset would otherwise leak the earlier response or get
  // it back in front of the new one.
  data->ResetOutput();
  (void)data->ReadTransfer(request, requestSize);
  bool result = Execute();
  if (!result && data->HasOutput()) result = true;
  if (responseData != nullptr && responseSize != nullptr) {
    (void)data->GetOutput(responseData, responseSize);
  }
  return result;
}

void OrbInterpreterGen::Reset() noexcept { data->ResetOutput(); }

void OrbInterpreterGen::DiscardOutput() noexcept { data->ResetOutput(); }

void OrbInterpreterGen::SetFlag() noexcept { flag = true; }

void OrbInterpreterGen::ClearFlag() noexcept { flag = false; }

bool OrbInterpreterGen::GetFlag() noexcept { return flag; }

void OrbInterpreterGen::Destroy() noexcept { delete this; }

int OrbInterpreterGen::GetPartCount() { return data->GetTableCount(); }

char* OrbInterpreterGen::GetPartData(int index) { return data->GetTableData(index); }

int OrbInterpreterGen::GetPartSize(int index) {
  // The container guarantees the product fits: tables that would not are dropped.
  return static_cast<int>(static_cast<std::uint32_t>(data->GetTableLineWidth(index)) *
                          data->GetTableLineCount(index));
}

int OrbInterpreterGen::FindPart(const char* name) { return data->FindTable(name); }

bool OrbInterpreterGen::AddOutputPart(const char* bytes, std::uint32_t size, const char* mimeType,
                                      const char* name, const char* fileName) {
  return data->AppendOutput(bytes, size, mimeType, name, fileName) == 0;
}

bool OrbInterpreterGen::AdoptOutputPart(char* block, std::uint32_t size, const char* mimeType,
                                        const char* name, const char* fileName) {
  return data->AppendOutputAdopting(block, size, mimeType, name, fileName) == 0;
}
