// Uploads to compression requests.
#include "host/serve/upload.h"

#include <cstring>

#include "host/transfer_form.h"

namespace parcel::host {
namespace {

constexpr std::string_view kPathField = "path";

bool HasControlCharacter(std::string_view text) {
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return true;
  }
  return false;
}

std::string Join(const std::string& path, std::string_view more) {
  if (path.empty()) return std::string(more);
  if (more.empty()) return path;
  return path + "\\" + std::string(more);
}

}  // namespace

std::string NormalizeEntryPath(std::string_view text) {
  std::string out;
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t end = text.find_first_of("/\\", at);
    if (end == std::string_view::npos) end = text.size();
    std::string_view level = text.substr(at, end - at);
    if (!level.empty() && level != "." && level != "..") out = Join(out, level);
    at = end + 1;
  }
  return out;
}

bool UploadCollector::Fail(UploadError error, std::string message) {
  error_ = error;
  message_ = std::move(message);
  return false;
}

bool UploadCollector::EndPart() {
  if (part_ == PartKind::kPath) path_ = NormalizeEntryPath(path_text_);
  part_ = PartKind::kNone;
  return true;
}

bool UploadCollector::BeginPart(std::string_view field, std::string_view file_name) {
  if (error_ != UploadError::kNone || !EndPart()) return false;
  if (file_name.empty()) {
    // A text field, or a file input left empty.
    part_ = field == kPathField ? PartKind::kPath : PartKind::kIgnored;
    path_text_.clear();
    return true;
  }
  if (HasControlCharacter(file_name)) {
    return Fail(UploadError::kBadRequest,
                "the file name of field '" + std::string(field) + "' holds a control character");
  }
  const std::string own = NormalizeEntryPath(file_name);
  if (own.empty()) {
    return Fail(UploadError::kBadRequest,
                "the file name '" + std::string(file_name) + "' names no file");
  }
  const std::string entry = Join(path_, own);
  const std::size_t cut = entry.rfind('\\');
  JobFile file;
  file.name = cut == std::string::npos ? entry : entry.substr(cut + 1);
  file.path = cut == std::string::npos ? std::string() : entry.substr(0, cut);
  if (file.name.size() > PARCEL_MAX_NAME_BYTES) {
    return Fail(UploadError::kBadRequest,
                "the file name '" + file.name + "' is " + std::to_string(file.name.size()) +
                    " bytes long; the limit is " + std::to_string(PARCEL_MAX_NAME_BYTES));
  }
  if (entry.size() > PARCEL_MAX_ENTRY_NAME_BYTES) {
    return Fail(UploadError::kBadRequest,
                "the entry name '" + entry + "' is " + std::to_string(entry.size()) +
                    " bytes long; the limit is " + std::to_string(PARCEL_MAX_ENTRY_NAME_BYTES));
  }
  if (files_.size() >= limits_.max_files) {
    return Fail(UploadError::kTooLarge,
                "more than " + std::to_string(limits_.max_files) + " files in one upload");
  }
  files_.push_back(std::move(file));
  contents_.emplace_back();
  part_ = PartKind::kFile;
  return true;
}

bool UploadCollector::AddContent(std::string_view bytes) {
  if (error_ != UploadError::kNone) return false;
  switch (part_) {
    case PartKind::kFile:
      if (bytes.size() > limits_.max_bytes - bytes_) {
        return Fail(UploadError::kTooLarge, "the files are larger than the upload limit of " +
                                                std::to_string(limits_.max_bytes) + " bytes");
      }
      bytes_ += bytes.size();
      contents_.back().append(bytes);
      files_.back().size += bytes.size();
      return true;
    case PartKind::kPath:
      if (path_text_.size() + bytes.size() > PARCEL_MAX_ENTRY_NAME_BYTES) {
        return Fail(UploadError::kBadRequest, "the path field is longer than an entry name may be");
      }
      path_text_.append(bytes);
      return true;
    case PartKind::kNone:
    case PartKind::kIgnored:
    default: return true;
  }
}

bool UploadCollector::Finish() {
  if (error_ != UploadError::kNone || !EndPart()) return false;
  if (files_.empty()) return Fail(UploadError::kBadRequest, "the upload holds no file");
  return true;
}

std::string UploadCollector::TakeRequest() {
  RequestBuilder builder;
  const std::string description = BuildJobDescription(files_);
  builder.AddTable("META", description);
  // The upload limit keeps each file and the whole request far below what
  // the builder refuses.
  for (std::size_t k = 0; k < files_.size(); ++k) {
    builder.ReserveTable("FILE" + std::to_string(k + 1), files_[k].size);
  }
  std::string request = builder.Build();
  for (std::size_t k = 0; k < contents_.size(); ++k) {
    if (!contents_[k].empty()) {
      std::memcpy(request.data() + builder.TableOffset(k + 1), contents_[k].data(),
                  contents_[k].size());
    }
    std::string().swap(contents_[k]);
  }
  return request;
}

}  // namespace parcel::host
