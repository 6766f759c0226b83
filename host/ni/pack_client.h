// The client side of packing over the network library: one request sent to
// a packing server and its response received (host/ni/pack_protocol.h).
#ifndef PARCEL_HOST_NI_PACK_CLIENT_H_
#define PARCEL_HOST_NI_PACK_CLIENT_H_

#include <string>
#include <string_view>

namespace parcel::host {

struct NiEndpoint {
  std::string host;
  unsigned short port = 0;
};

// "HOST:PORT" or "[IPv6 address]:PORT". False with a message otherwise.
bool ParseNiEndpoint(std::string_view text, NiEndpoint* endpoint, std::string* error);

enum class RemoteStatus {
  kOk,           // `response` holds the server's response
  kUnreachable,  // no connection could be made
  kRefused,      // the server refused the request with an error report
  kTooLarge,     // the server refused it as larger than its limit
  kBroken,       // the connection broke or the answer was malformed
  kTimeout,      // no answer within the time
};

struct RemoteResult {
  RemoteStatus status = RemoteStatus::kOk;
  int code = 0;         // the NI code behind a failure
  std::string message;  // in plain words, for a failure
};

// Connects, sends `request`, waits for the response (each wait at most
// `timeout_ms`, -1 without limit) and closes.
RemoteResult ExchangeOverNi(const NiEndpoint& endpoint, std::string_view request, int timeout_ms,
                            std::string* response);

}  // namespace parcel::host

#endif  // PARCEL_HOST_NI_PACK_CLIENT_H_
