// The packing server over the network library: clients send requests in the
// transfer form on buffered NI connections (host/ni/pack_protocol.h) and get
// the module's responses back the same way.
//
// One thread waits on every connection with one select set and takes whole
// requests only; a fixed set of worker threads runs them through the
// interpreter pool, so a slow or silent client costs a connection, never a
// worker. A connection carries any number of requests, one after the other.
// A request the server refuses gets an NI error report with the code and a
// message in the error information; the connection is then closed when the
// stream cannot go on (a message too long, a malformed header), and stays
// open when it can (the module gave no response).
#ifndef PARCEL_HOST_NI_PACK_SERVER_H_
#define PARCEL_HOST_NI_PACK_SERVER_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "host/interpreter_pool.h"

namespace parcel::host {

struct NiServeOptions {
  // Address to listen on: an IPv4 or IPv6 address or a host name; empty or
  // "*": every address, IPv4 and IPv6.
  std::string listen = "127.0.0.1";
  int port = 0;  // 0: any free port
  // Also listen on the local stream socket of the port's number, where the
  // system has local stream sockets.
  bool local_socket = true;
  std::size_t max_connections = 1024;
  std::uint64_t max_request = 64u << 20;
  // A connection that sends no whole message and takes no answer for this
  // long is closed (requests being run do not count).
  std::uint64_t idle_timeout_seconds = 60;
  std::size_t workers = 2;
  bool quiet = false;  // no log line per request
};

// What the server has done so far.
struct NiServerCounters {
  std::uint64_t accepted = 0;   // connections
  std::uint64_t open = 0;       // connections open now
  std::uint64_t answered = 0;   // requests answered with a response
  std::uint64_t refused = 0;    // requests or connections refused with an error report
  std::uint64_t timed_out = 0;  // connections closed for being idle
  std::uint64_t running = 0;    // requests taken and not yet answered
};

class NiPackServer {
 public:
  // The pool is borrowed and must outlive the server.
  NiPackServer(InterpreterPool* pool, NiServeOptions options);
  ~NiPackServer();
  NiPackServer(const NiPackServer&) = delete;
  NiPackServer& operator=(const NiPackServer&) = delete;

  // Listens and starts the threads. False with a message when the address
  // cannot be listened on or the library cannot start.
  bool Start(std::string* error);

  // The port listened on, and whether the local stream socket is open.
  unsigned short port() const;
  bool local_socket() const;

  // Stops accepting, lets requests in flight be answered for up to `grace`,
  // then closes every connection and ends the threads. Called once.
  void Stop(std::chrono::milliseconds grace);

  NiServerCounters counters() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace parcel::host

#endif  // PARCEL_HOST_NI_PACK_SERVER_H_
