// A stand-in module for host tests: it speaks the module's binary interface
// but answers every request with a canned response, chosen by the variable
// PARCEL_FAKE_RESPONSE, so hosts can be driven into each way a module can
// fail, or into archive names that collide. Built without Instantiate (FAKE_WITHOUT_INSTANTIATE) it
// is a loadable library that is no parcel module.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "interpreter/host_abi.h"
#include "platform/export.h"

#ifdef FAKE_WITHOUT_INSTANTIATE

extern "C" PARCEL_EXPORT int NotInstantiate() { return 0; }

#else

namespace {

// Standard layout, so a pointer to `base` is a pointer to the whole.
struct Fake {
  ParcelInterpreter base;
  std::string* response;
};

std::string Record(const char* mime, const char* name, const char* file, const std::string& data) {
  std::string header(160, ' ');
  std::memcpy(header.data(), "TransMagic", 11);
  std::memcpy(header.data() + 16, mime, std::strlen(mime));
  std::memcpy(header.data() + 48, name, std::strlen(name));
  std::memcpy(header.data() + 80, file, std::strlen(file));
  std::snprintf(header.data() + 144, 16, "%d", static_cast<int>(data.size()));
  return header + data;
}

std::string Meta(const std::string& fragment) {
  return Record("text/xml", "META", "",
                "<?xml version=\"1.0\"?><RESPONSE>" + fragment + "</RESPONSE>");
}

std::string Report(std::size_t size, const std::string& name = "zipfile_1.zip") {
  return Meta("<COMPRESSED_FILE name=\"ZIPFILE\" type=\"application/zip\" size=\"" +
              std::to_string(size) + "\" url=\"/output/" + name + "\"/>");
}

// An archive without entries whose comment is the first name="..." value of
// the request, so a client can tell its own archive from another's.
std::string MarkedArchive(const char* request, uint32_t size) {
  std::string text(request != nullptr ? request : "", request != nullptr ? size : 0);
  std::string marker;
  std::size_t at = text.find("name=\"");
  if (at != std::string::npos) {
    at += 6;
    marker = text.substr(at, text.find('"', at) - at).substr(0, 1000);
  }
  std::string end("PK\5\6" + std::string(16, '\0'));
  end += static_cast<char>(marker.size() & 0xff);
  end += static_cast<char>(marker.size() >> 8);
  return end + marker;
}

// Archive names for the collision modes: "same-name" always gives one name;
// "collide" gives each name twice in a row, counted over all interpreters.
std::string CollidingName(const std::string& kind) {
  static std::atomic<int> runs{0};
  if (kind == "same-name") return "zipfile_1.zip";
  return "zipfile_" + std::to_string(runs++ / 2) + ".zip";
}

std::string Canned(const char* request, uint32_t size) {
  const char* kind = std::getenv("PARCEL_FAKE_RESPONSE");
  std::string k = kind != nullptr ? kind : "";
  const std::string empty_zip("PK\5\6" + std::string(18, '\0'));
  if (k == "error") return Meta("<ERROR code=\"3\">internal error while opening zip</ERROR>");
  if (k == "garbage") return "this is not a response";
  if (k == "no-zip") return Report(22);
  if (k == "damaged")
    return Report(22) + Record("application/zip", "ZIPFILE", "z.zip", std::string(22, 'x'));
  if (k == "empty-zip")
    return Report(22) + Record("application/zip", "ZIPFILE", "z.zip", empty_zip);
  if (k == "same-name" || k == "collide") {
    std::string name = CollidingName(k);
    std::string archive = MarkedArchive(request, size);
    return Report(archive.size(), name) +
           Record("application/zip", "ZIPFILE", name.c_str(), archive);
  }
  return {};  // no response
}

bool Init(ParcelInterpreter*, uintptr_t) { return true; }
bool Process(ParcelInterpreter* self, char* request, uint32_t request_size, char** data,
             uint32_t* size) {
  Fake* fake = reinterpret_cast<Fake*>(self);
  *fake->response = Canned(request, request_size);
  *data = fake->response->empty() ? nullptr : fake->response->data();
  *size = static_cast<uint32_t>(fake->response->size());
  return !fake->response->empty();
}
void Reset(ParcelInterpreter* self) { reinterpret_cast<Fake*>(self)->response->clear(); }
void Flag(ParcelInterpreter*) {}
bool GetFlag(ParcelInterpreter*) { return false; }
const char* Text(ParcelInterpreter*) { return "FAKE"; }
void Destroy(ParcelInterpreter* self) {
  Fake* fake = reinterpret_cast<Fake*>(self);
  delete fake->response;
  delete fake;
}
bool Execute(ParcelInterpreter*) { return false; }

const ParcelInterpreterVtbl kTable = {Init, Process, Reset, Flag,    Flag,   GetFlag,
                                      Text, Text,    Text,  Destroy, Execute};

}  // namespace

extern "C" PARCEL_EXPORT ParcelInterpreter* Instantiate() {
  const char* kind = std::getenv("PARCEL_FAKE_RESPONSE");
  if (kind != nullptr && std::strcmp(kind, "no-interpreter") == 0) return nullptr;
  Fake* fake = new Fake{{&kTable}, new std::string};
  return &fake->base;
}

#endif
