// ZipInterpreter: the module's concrete interpreter, which packs the files of
// a request into one zip archive and answers with a response document.
#ifndef PARCEL_INTERPRETER_ZIP_INTERPRETER_H_
#define PARCEL_INTERPRETER_ZIP_INTERPRETER_H_

#include <cstddef>

#include "interpreter/host_abi.h"
#include "interpreter/orb_interpreter.h"
#include "platform/export.h"

namespace parcel::interpreter {

// Working buffer sizes of one job run, terminator included.
inline constexpr std::size_t kNameBufferSize = PARCEL_MAX_NAME_BYTES + 1;
inline constexpr std::size_t kEntryNameBufferSize = PARCEL_MAX_ENTRY_NAME_BYTES + 1;
inline constexpr std::size_t kSizeTextBufferSize = 80;
inline constexpr std::size_t kDocumentBufferSize = 1024;

// Error codes of the response document.
inline constexpr int kErrorRequest = 2;
inline constexpr int kErrorOpenArchive = 3;
inline constexpr int kErrorCloseArchive = 4;

}  // namespace parcel::interpreter

class ZipInterpreter final : public OrbInterpreterGen {
 public:
  ZipInterpreter() = default;

  bool Init(std::uintptr_t context) noexcept override;
  const char* GetName() noexcept override;
  const char* GetType() noexcept override;
  const char* GetVersion() noexcept override;
  void Destroy() noexcept override;

  // The compression job: reads the job description (part META), packs the
  // listed files into one archive and stores the response document META and
  // the archive ZIPFILE; on failure stores only an error document. True on
  // success.
  //
  // Values that do not fit the working buffers (a name of 256 bytes or more,
  // path + backslash + name of 260 or more, a size text of 80 or more) fail
  // the request with code 2 "invalid file list" rather than being cut, so an
  // archive never holds an entry under a name other than the one asked for.
  // An entry the archive cannot take (its limits of 65,535 entries and 4 GiB,
  // or memory) fails the request with code 4, as does an archive too large to
  // report, instead of answering success with files missing.
  bool Execute() noexcept override;

  // Writes the error fragment <ERROR code="code">message</ERROR> into
  // `buffer`, at most `limit` bytes with the terminator (cut when longer). The
  // message is formatted from `format` into a 1024-byte buffer first.
  static void FormatError(char* buffer, std::size_t limit, int code, const char* format, ...)
      PARCEL_PRINTF_FORMAT(4, 5);

  // Wraps `fragment` into the response document and stores it as output part
  // META ("text/xml", no file name). False, leaving the output unchanged,
  // when memory is exhausted.
  bool AddResponse(const char* fragment) noexcept;

  // Writes "prefix_<time><clock><digit>.extension" (no dot and extension when
  // `extension` is null) into `buffer`, at most `limit` bytes with the
  // terminator. The digit is (rand x 10) / 32767, 0 to 10.
  static void MakeOutputName(const char* prefix, const char* extension, char* buffer,
                             std::size_t limit) noexcept;

 private:
  ~ZipInterpreter() override = default;
  // Stores the error document for `code`/`message` and returns false.
  bool Fail(int code, const char* message) noexcept;
};

#endif  // PARCEL_INTERPRETER_ZIP_INTERPRETER_H_
