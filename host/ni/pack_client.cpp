// One request to a packing server over the network library.
#include "host/ni/pack_client.h"

#include <chrono>
#include <cstring>

#include "errinfo/errinfo.h"
#include "host/ni/pack_protocol.h"
#include "ni/ni_cxx.h"

namespace parcel::host {
namespace {

// The library's text for `code`, with the endpoint where it names a partner.
std::string CodeText(int code, const std::string& endpoint) {
  std::string text = NiErrorText(code);
  if (std::size_t at = text.find("%s"); at != std::string::npos) text.replace(at, 2, endpoint);
  return text + " (" + NiErrorName(code) + ")";
}

// A failed receive: the server's error report when the error information
// names the server, else the connection's own failure.
RemoteResult Failure(int code, const std::string& endpoint) {
  RemoteResult result;
  result.code = code;

  if (std::strcmp(ErrGetFld(parcel::errinfo::kErrFieldComponent), kServerComponent) == 0) {
    result.status = code == NIETOO_BIG ? RemoteStatus::kTooLarge : RemoteStatus::kRefused;
    result.message = "the server at " + endpoint +
                     " refused the request: " + ErrGetFld(parcel::errinfo::kErrFieldError) + " (" +
                     NiErrorName(code) + ")";
    return result;
  }
  result.status = code == NIETIMEOUT ? RemoteStatus::kTimeout : RemoteStatus::kBroken;
  result.message = code == NIETIMEOUT ? "the server at " + endpoint + " did not answer in time"
                                      : "the connection to " + endpoint +
                                            " broke off: " + CodeText(code, endpoint);
  return result;
}

}  // namespace

bool ParseNiEndpoint(std::string_view text, NiEndpoint* endpoint, std::string* error) {
  std::string_view host;
  std::string_view port;
  if (!text.empty() && text.front() == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      *error = "expected [ADDRESS]:PORT, got \"" + std::string(text) + "\"";
      return false;
    }
    host = text.substr(1, close - 1);
    port = text.substr(close + 2);
  } else {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || text.find(':') != colon) {
      *error =
          "expected HOST:PORT (an IPv6 address in brackets), got \"" + std::string(text) + "\"";
      return false;
    }
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  unsigned long number = 0;
  bool digits = !port.empty() && port.size() <= 5;
  for (char c : port) {
    digits = digits && c >= '0' && c <= '9';
    if (digits) number = number * 10 + static_cast<unsigned long>(c - '0');
  }
  if (host.empty() || !digits || number == 0 || number > 65535) {
    *error = "expected HOST:PORT with a port from 1 to 65535, got \"" + std::string(text) + "\"";
    return false;
  }
  endpoint->host.assign(host);
  endpoint->port = static_cast<unsigned short>(number);
  return true;
}

RemoteResult ExchangeOverNi(const NiEndpoint& endpoint, std::string_view request, int timeout_ms,
                            std::string* response) {
  response->clear();
  const std::string where =
      (endpoint.host.find(':') != std::string::npos ? "[" + endpoint.host + "]" : endpoint.host) +
      ":" + std::to_string(endpoint.port);
  ErrClear();
  ni::Handle connection;
  int rc = ni::Handle::Connect(endpoint.host.c_str(), endpoint.port, timeout_ms, &connection);
  if (rc == NI_OK) rc = NiSetBuffered(connection.get());
  if (rc != NI_OK) {
    return {RemoteStatus::kUnreachable, rc,
            "cannot connect to " + where + ": " + CodeText(rc, where)};
  }
  // Each piece waits for the one before to leave, so a large request is
  // never copied whole into the queue.
  rc = SendTransfer(connection.get(), request, timeout_ms);
  TransferAssembler answer(kMaxAnswer);
  for (;;) {
    NIBUF* message = nullptr;
    // A refused request may end the connection before all of it was sent:
    // the error report is read all the same. A receive that ends with
    // NIETIMEOUT before its time is up (the library's fragmentation test
    // ends calls early on purpose) is tried again.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int received = NiReceive(connection.get(), &message, timeout_ms);
    while (received == NIETIMEOUT && timeout_ms > 0 && MillisecondsUntil(deadline) > 0) {
      received = NiReceive(connection.get(), &message, MillisecondsUntil(deadline));
    }
    if (received != NI_OK) {
      return Failure(received != NIECONN_BROKEN || rc == NI_OK ? received : rc, where);
    }
    const std::string_view bytes(static_cast<const char*>(NiBufData(message)),
                                 static_cast<std::size_t>(NiBufLength(message)));
    TransferAssembler::Step step = answer.Add(bytes);
    NiBufFree(&message);
    if (step == TransferAssembler::Step::kMore) continue;
    if (step != TransferAssembler::Step::kDone) {
      return {RemoteStatus::kBroken, NIEINVAL,
              "the server at " + where + " sent a malformed or oversized answer"};
    }
    *response = answer.Take();
    return {};
  }
}

}  // namespace parcel::host
