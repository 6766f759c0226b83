// The concrete interpreter: its identity and its response documents.
#include "interpreter/zip_interpreter.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <new>
#include <string>

#include "platform/crt.h"

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

void ZipInterpreter::FormatError(char* buffer, std::size_t limit, int code, const char* format,
                                 ...) {
  if (buffer == nullptr || limit == 0) return;
  char message[parcel::interpreter::kDocumentBufferSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  std::snprintf(buffer, limit, "<ERROR code=\"%d\">%s</ERROR>", code, message);
}

bool ZipInterpreter::AddResponse(const char* fragment) noexcept {
  static constexpr char kHead[] = "<?xml version=\"1.0\"?><RESPONSE>";
  static constexpr char kTail[] = "</RESPONSE>";
  try {
    std::string document;
    document.reserve(sizeof kHead + sizeof kTail + std::char_traits<char>::length(fragment));
    document.append(kHead).append(fragment).append(kTail);
    return AddOutputPart(document.data(), static_cast<std::uint32_t>(document.size()), "text/xml",
                         "META", nullptr);
  } catch (const std::bad_alloc&) {
    // Memory exhausted: the output stays as it was.
    return false;
  }
}

void ZipInterpreter::MakeOutputName(const char* prefix, const char* extension, char* buffer,
                                    std::size_t limit) noexcept {
  if (buffer == nullptr || limit == 0) return;
  // Time and clock are written as signed 32-bit numbers, as the host's peers
  // have always read them.
  const auto t = static_cast<std::int32_t>(std::time(nullptr));
  const std::int32_t r = parcel::platform::Rand();
  const std::int32_t d = (r * 10) / parcel::platform::kRandMax;
  const auto c = static_cast<std::int32_t>(parcel::platform::Clock());
  if (extension != nullptr) {
    std::snprintf(buffer, limit, "%s_%ld%ld%d.%s", prefix, static_cast<long>(t),
                  static_cast<long>(c), static_cast<int>(d), extension);
  } else {
    std::snprintf(buffer, limit, "%s_%ld%ld%d", prefix, static_cast<long>(t), static_cast<long>(c),
                  static_cast<int>(d));
  }
}

bool ZipInterpreter::Fail(int code, const char* message) noexcept {
  char document[parcel::interpreter::kDocumentBufferSize];
  FormatError(document, sizeof document, code, "%s", message);
  (void)AddResponse(document);
  return false;
}
