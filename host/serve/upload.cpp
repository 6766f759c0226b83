// Uploads to compression requests.
#include "host/serve/upload.h"

#include <cstring>

#include "host/transfer_form.h"

namespace parcel::host {
namespace {

constexpr std::string_view kPathField = "path";

std::string Join(const std::string& path, std::string_view more) {
  if (path.empty()) return std::string(more);
  if (more.empty()) return path;
  return path + "\\" + std::string(more);
}

std::string Problem(PathProblem problem, std::string_view what) {
  switch (problem) {
    case PathProblem::kDotLevel:
      return std::string(what) +
             " has a '.' or '..' level; send paths relative to the archive's root";
    case PathProblem::kControlCharacter: return std::string(what) + " holds a control character";
    case PathProblem::kInvalidUtf8: return std::string(what) + " is not UTF-8";
    case PathProblem::kNone:
    default: return std::string(what) + " cannot be used";
  }
}

}  // namespace

bool IsValidUtf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    int more = 0;
    std::uint32_t code = 0, least = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xe0) == 0xc0) {
      more = 1, code = lead & 0x1f, least = 0x80;
    } else if ((lead & 0xf0) == 0xe0) {
      more = 2, code = lead & 0x0f, least = 0x800;
    } else if ((lead & 0xf8) == 0xf0) {
      more = 3, code = lead & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (text.size() - i <= static_cast<std::size_t>(more)) return false;
    for (int k = 1; k <= more; ++k) {
      const auto next = static_cast<unsigned char>(text[i + static_cast<std::size_t>(k)]);
      if ((next & 0xc0) != 0x80) return false;
      code = (code << 6) | (next & 0x3f);
    }
    if (code < least || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) return false;
    i += static_cast<std::size_t>(more) + 1;
  }
  return true;
}

PathProblem NormalizeEntryPath(std::string_view text, std::string* out) {
  out->clear();
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) return PathProblem::kControlCharacter;
  }
  if (!IsValidUtf8(text)) return PathProblem::kInvalidUtf8;
  const bool drive = text.size() >= 2 && text[1] == ':' &&
                     ((text[0] >= 'a' && text[0] <= 'z') || (text[0] >= 'A' && text[0] <= 'Z'));
  if (drive) text.remove_prefix(2);
  std::string path;
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t end = text.find_first_of("/\\", at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view level = text.substr(at, end - at);
    if (level == "." || level == "..") return PathProblem::kDotLevel;
    if (!level.empty()) path = Join(path, level);
    at = end + 1;
  }
  *out = std::move(path);
  return PathProblem::kNone;
}

bool UploadCollector::Fail(UploadError error, std::string message) {
  error_ = error;
  message_ = std::move(message);
  return false;
}

bool UploadCollector::EndPart() {
  const PartKind ended = part_;
  part_ = PartKind::kNone;
  if (ended != PartKind::kPath) return true;
  const PathProblem problem = NormalizeEntryPath(path_text_, &path_);
  if (problem != PathProblem::kNone)
    return Fail(UploadError::kBadRequest, Problem(problem, "the path field"));
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
  std::string own;
  const PathProblem problem = NormalizeEntryPath(file_name, &own);
  if (problem != PathProblem::kNone) {
    return Fail(UploadError::kBadRequest,
                Problem(problem, "the file name of field '" + std::string(field) + "'"));
  }
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
  if (entries_.count(entry) != 0) {
    return Fail(UploadError::kBadRequest, "the entry name '" + entry +
                                              "' is given twice; each file of an upload needs a "
                                              "name of its own");
  }
  if (files_.size() >= limits_.max_files) {
    return Fail(UploadError::kTooLarge,
                "more than " + std::to_string(limits_.max_files) + " files in one upload");
  }
  entries_.insert(entry);
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

std::vector<std::string> UploadCollector::EmptyFiles() const {
  std::vector<std::string> names;
  for (const JobFile& file : files_) {
    if (file.size == 0) names.push_back(Join(file.path, file.name));
  }
  return names;
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
