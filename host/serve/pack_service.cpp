// Running requests for the HTTP host.
#include "host/serve/pack_service.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/response_check.h"
#include "interpreter/host_abi.h"

namespace parcel::host {
namespace {

constexpr std::string_view kOutputPrefix = "/output/";

ServiceReply Text(int status, std::string message) {
  ServiceReply reply;
  reply.status = status;
  reply.content_type = "text/plain; charset=utf-8";
  reply.body = std::move(message) + "\n";
  return reply;
}

// Bytes from the start of the request to its data area: header and
// description, the part Process rewrites.
std::size_t DescriptionEnd(const std::string& request) {
  if (request.size() < PARCEL_TRANSFER_HEADER_SIZE) return request.size();
  std::string field =
      request.substr(PARCEL_TRANSFER_DESCRIPTION_LENGTH_OFFSET, PARCEL_TRANSFER_FIELD_SIZE);
  unsigned long long length = std::strtoull(field.c_str(), nullptr, 10);
  return length > request.size() - PARCEL_TRANSFER_HEADER_SIZE
             ? request.size()
             : PARCEL_TRANSFER_HEADER_SIZE + length;
}

// Calls Reset when it goes, so an interpreter never returns to the pool
// holding a response, even when copying out of it throws.
class ResetAtEnd {
 public:
  explicit ResetAtEnd(Interpreter& interpreter) : interpreter_(interpreter) {}
  ~ResetAtEnd() { interpreter_.Reset(); }
  ResetAtEnd(const ResetAtEnd&) = delete;
  ResetAtEnd& operator=(const ResetAtEnd&) = delete;

 private:
  Interpreter& interpreter_;
};

// What one run of the module gave.
struct Attempt {
  bool done = false;  // `reply` is the answer; otherwise run again
  ServiceReply reply;
};

// The reply to a response that is no archive to store; false for one that is.
bool ReplyWithoutArchive(const ResponseCheck& check, ServiceReply* reply) {
  switch (check.status) {
    case ResponseStatus::kArchive: return false;
    case ResponseStatus::kJobError:
      // The module's answer too: the document goes back as it came.
      reply->content_type = "text/xml";
      reply->body = check.meta()->data;
      return true;
    case ResponseStatus::kNoDocument:
    case ResponseStatus::kUnreadableDocument:
      *reply = Text(502, "the module's response has no readable response document");
      return true;
    case ResponseStatus::kNoArchive:
    case ResponseStatus::kSizeMismatch:
      *reply = Text(502, "the module's response does not hold the archive its document reports");
      return true;
    case ResponseStatus::kNoResponse:
    case ResponseStatus::kMalformed:
    case ResponseStatus::kDamagedArchive:
    default: *reply = Text(502, check.reason); return true;
  }
}

Attempt Judge(std::string_view response, std::string_view owner, OutputStore* store) {
  Attempt attempt;
  attempt.done = true;
  const ResponseCheck check = CheckResponse(response);
  if (ReplyWithoutArchive(check, &attempt.reply)) return attempt;
  const OutputRecord* meta = check.meta();
  const OutputRecord* zip = check.archive();
  if (check.document.url != std::string(kOutputPrefix) + zip->file_name) {
    attempt.reply = Text(502, "the module's document names the archive '" + check.document.url +
                                  "', its archive record '" + zip->file_name + "'");
    return attempt;
  }

  std::string error;
  std::string token;
  switch (store->Put(zip->file_name, zip->data, owner, &token, &error)) {
    case OutputStore::PutStatus::kStored:
      attempt.reply.content_type = "text/xml";
      attempt.reply.body = meta->data;
      attempt.reply.archive_name = zip->file_name;
      attempt.reply.token = std::move(token);
      break;
    case OutputStore::PutStatus::kNameTaken: attempt.done = false; break;
    case OutputStore::PutStatus::kFull: {
      auto stats = store->stats();
      attempt.reply = Text(507, "the output store is full: " + std::to_string(stats.bytes) +
                                    " bytes are kept for download and an archive of " +
                                    std::to_string(zip->data.size()) +
                                    " bytes does not fit; try again when archives expire");
      attempt.reply.retry_after = store->RetryAfter();
      break;
    }
    case OutputStore::PutStatus::kOwnerFull:
      attempt.reply = Text(507,
                           "the archives of this client take its whole share of the output "
                           "store; try again when they expire");
      attempt.reply.retry_after = store->RetryAfter(owner);
      break;
    case OutputStore::PutStatus::kTooLarge:
      attempt.reply = Text(507, "the archive of " + std::to_string(zip->data.size()) +
                                    " bytes is larger than the whole output store, or than one "
                                    "client's share of it");
      break;
    case OutputStore::PutStatus::kNoSpace:
      // The client learns that there is no room, never where: the path
      // goes to the server's own log.
      attempt.reply = Text(507, "the server has no room to store the archive; try again later");
      attempt.reply.retry_after = std::chrono::seconds(60);
      attempt.reply.log = error;
      break;
    case OutputStore::PutStatus::kBadName:
      attempt.reply = Text(502, "the module named its archive '" + zip->file_name +
                                    "', which is no name the output store can hold");
      break;
    case OutputStore::PutStatus::kWriteFailed:
    default:
      attempt.reply = Text(500, "the archive could not be stored");
      attempt.reply.log = error;
      break;
  }
  return attempt;
}

}  // namespace

ServiceReply PackService::Compress(std::string request, std::string_view owner) {
  // Process rewrites the description in place; a rerun starts from a copy.
  const std::string pristine = request.substr(0, DescriptionEnd(request));
  InterpreterPool::Lease interpreter = pool_->Acquire();
  for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
    if (attempt > 0) std::memcpy(request.data(), pristine.data(), pristine.size());
    std::string_view response;
    ResetAtEnd reset(*interpreter);
    interpreter->Process(request.data(), static_cast<std::uint32_t>(request.size()), &response);
    // The archive is written straight from the module's response buffer, and
    // the reply copied out of it, before Reset releases it.
    Attempt result = Judge(response, owner, store_);
    if (result.done) return result.reply;
  }
  return Text(503, "no free name for the archive after " + std::to_string(kMaxAttempts) +
                       " runs; try again");
}

ServiceReply PackService::Process(std::string request) {
  ServiceReply reply;
  if (!pool_->Run(&request, &reply.body)) return Text(502, "the module gave no response");
  reply.content_type = "application/octet-stream";
  return reply;
}

}  // namespace parcel::host
