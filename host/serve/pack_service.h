// What the HTTP host does with a request once it is in the transfer form:
// run it through a leased interpreter, check the response and keep the
// archive in the output store. Independent of the HTTP library.
#ifndef PARCEL_HOST_SERVE_PACK_SERVICE_H_
#define PARCEL_HOST_SERVE_PACK_SERVICE_H_

#include <chrono>
#include <string>
#include <string_view>

#include "host/interpreter_pool.h"
#include "host/serve/output_store.h"

namespace parcel::host {

// The answer to one request, as HTTP will carry it.
struct ServiceReply {
  int status = 200;
  std::string content_type;
  std::string body;
  // Set when an archive was stored: its name and download token.
  std::string archive_name;
  std::string token;
  // For 507: when the store may have room again.
  std::chrono::seconds retry_after{0};
  // For the server's own log, never the client: what the system said.
  std::string log;
};

class PackService {
 public:
  // How often a request runs again when its archive's generated name is
  // taken. Names carry the second, the process's processor time and a random
  // digit, so a rerun almost always gets a free one.
  static constexpr int kMaxAttempts = 16;

  // Both are borrowed and must outlive the service.
  PackService(InterpreterPool* pool, OutputStore* store) : pool_(pool), store_(store) {}

  // Runs a compression request (modified in place) and stores its archive
  // for `owner` (the client's address: the store's shares are counted by it).
  //   200 text/xml: the module's response document exactly as it came; when
  //       it reports an archive, the archive is stored under the name the
  //       document's url gives and archive_name and token are set. An error
  //       document is the module's answer too: nothing is stored.
  //   502: the module gave no response or a malformed one (records, document,
  //       archive or a name the store cannot hold).
  //   503: every attempt produced a name that was taken.
  //   507: the store, the owner's share of it or the disk has no room for
  //       the archive; retry_after is set unless it never fits.
  //   500: the archive could not be written (the reason goes to `log`).
  // Error replies carry a one-line text/plain message.
  ServiceReply Compress(std::string request, std::string_view owner);

  // Runs a request and answers with the module's response in the transfer
  // form, unchanged (200 application/octet-stream); 502 without a response.
  ServiceReply Process(std::string request);

 private:
  InterpreterPool* pool_;
  OutputStore* store_;
};

}  // namespace parcel::host

#endif  // PARCEL_HOST_SERVE_PACK_SERVICE_H_
