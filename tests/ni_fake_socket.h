// A scripted peer behind the socket layer, for the network library's tests
// and fuzzers: sockets numbered from kFakeSocketBase are not the system's;
// their receives take bytes from a script in chosen sizes, their sends are
// captured and may be refused, and any call may be interrupted. Every other
// socket goes to the platform.
#ifndef PARCEL_TESTS_NI_FAKE_SOCKET_H_
#define PARCEL_TESTS_NI_FAKE_SOCKET_H_

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "ni/si.h"
#include "platform/socket.h"

namespace parcel::testing {

inline constexpr int kFakeSocketBase = 900000;

struct FakeWire {
  // Bytes the peer sends, handed out by receives.
  std::string inbound;
  std::size_t read_at = 0;
  // Sizes of successive receives, cycled; 0 = the call would block. Empty:
  // as much as asked.
  std::vector<std::size_t> receive_sizes;
  std::size_t receive_calls = 0;
  // When the script is used up: the peer closes (true) or nothing comes.
  bool close_at_end = true;
  // What we sent.
  std::string outbound;
  // Most bytes a send takes (0 = would block); refused sends: the error
  // number of each call in turn (0 = go on).
  std::size_t max_send = static_cast<std::size_t>(-1);
  std::deque<int> send_errors;
  // Refuse every send above this size with 10055 (0 = never).
  std::size_t no_buffer_above = 0;
  std::vector<std::size_t> send_sizes;  // sizes asked of each send
  // Interrupt every other call (10004).
  bool interrupt = false;
  bool interrupted_last = false;
};

class FakeSockets {
 public:
  FakeSockets() {
    system_ = ni::SiPlatformSystem();
    system_.send = &Send;
    system_.send_v = &SendV;
    system_.receive = &Receive;
    system_.poll = &Poll;
    system_.close = &Close;
    system_.set_blocking = &SetBlocking;
    previous_ = ni::SiSetSystem(&system_);
    Wire() = FakeWire{};
  }
  ~FakeSockets() { ni::SiSetSystem(previous_); }
  FakeSockets(const FakeSockets&) = delete;
  FakeSockets& operator=(const FakeSockets&) = delete;

  static FakeWire& Wire() {
    static FakeWire wire;
    return wire;
  }
  static NI_SOCKREC Record() { return NI_SOCKREC{kFakeSocketBase, 2, 1, 0}; }

 private:
  static bool IsFake(platform::SocketHandle socket) {
    return socket != platform::kInvalidSocket && static_cast<long long>(socket) >= kFakeSocketBase;
  }
  static bool Interrupt() {
    FakeWire& wire = Wire();
    if (!wire.interrupt) return false;
    wire.interrupted_last = !wire.interrupted_last;
    return wire.interrupted_last;
  }
  static int TakeSend(std::size_t length, std::size_t* sent) {
    FakeWire& wire = Wire();
    *sent = 0;
    if (Interrupt()) return platform::kWsaEINTR;
    wire.send_sizes.push_back(length);
    if (!wire.send_errors.empty()) {
      int error = wire.send_errors.front();
      wire.send_errors.pop_front();
      if (error != 0) return error;
    }
    if (wire.no_buffer_above != 0 && length > wire.no_buffer_above) return platform::kWsaENOBUFS;
    if (wire.max_send == 0) return platform::kWsaEWOULDBLOCK;
    *sent = std::min(length, wire.max_send);
    return 0;
  }
  static int Send(platform::SocketHandle socket, const void* data, std::size_t length,
                  std::size_t* sent) {
    if (!IsFake(socket)) return platform::SocketSend(socket, data, length, sent);
    int error = TakeSend(length, sent);
    if (error == 0) Wire().outbound.append(static_cast<const char*>(data), *sent);
    return error;
  }
  static int SendV(platform::SocketHandle socket, const platform::SocketBuffer* pieces, int count,
                   std::size_t* sent) {
    if (!IsFake(socket)) return platform::SocketSendV(socket, pieces, count, sent);
    std::string joined;
    for (int i = 0; i < count; ++i) {
      joined.append(static_cast<const char*>(pieces[i].data), pieces[i].length);
    }
    int error = TakeSend(joined.size(), sent);
    if (error == 0) Wire().outbound.append(joined, 0, *sent);
    return error;
  }
  static int Receive(platform::SocketHandle socket, void* data, std::size_t length, bool peek,
                     std::size_t* received) {
    if (!IsFake(socket)) return platform::SocketReceive(socket, data, length, peek, received);
    FakeWire& wire = Wire();
    *received = 0;
    if (Interrupt()) return platform::kWsaEINTR;
    std::size_t size = length;
    if (!wire.receive_sizes.empty()) {
      size = wire.receive_sizes[wire.receive_calls++ % wire.receive_sizes.size()];
      if (size == 0) return platform::kWsaEWOULDBLOCK;
    }
    const std::size_t left = wire.inbound.size() - wire.read_at;
    if (left == 0) return wire.close_at_end ? 0 : platform::kWsaEWOULDBLOCK;
    size = std::min({size, length, left});
    std::memcpy(data, wire.inbound.data() + wire.read_at, size);
    if (!peek) wire.read_at += size;
    *received = size;
    return 0;
  }
  static int Poll(platform::PollEntry* entries, std::size_t count, int timeout, int* ready) {
    bool any_fake = false;
    for (std::size_t i = 0; i < count; ++i) any_fake |= IsFake(entries[i].socket);
    if (!any_fake) return platform::SocketPoll(entries, count, timeout, ready);
    // Ready as the next call would find it: a receive that would block (size
    // 0 in the script, taken here) or a send that takes nothing is not.
    FakeWire& wire = Wire();
    *ready = 0;
    for (std::size_t i = 0; i < count; ++i) {
      entries[i].revents = 0;
      if (entries[i].events & platform::kPollRead) {
        bool readable = wire.read_at < wire.inbound.size() || wire.close_at_end;
        if (readable && !wire.receive_sizes.empty() &&
            wire.receive_sizes[wire.receive_calls % wire.receive_sizes.size()] == 0) {
          ++wire.receive_calls;
          readable = false;
        }
        if (readable) entries[i].revents |= platform::kPollRead;
      }
      if ((entries[i].events & platform::kPollWrite) && wire.max_send != 0) {
        entries[i].revents |= platform::kPollWrite;
      }
      if (entries[i].revents != 0) ++*ready;
    }
    return 0;
  }
  static int Close(platform::SocketHandle socket) {
    return IsFake(socket) ? 0 : platform::SocketClose(socket);
  }
  static int SetBlocking(platform::SocketHandle socket, bool blocking) {
    return IsFake(socket) ? 0 : platform::SocketSetBlocking(socket, blocking);
  }

  ni::SiSystem system_{};
  const ni::SiSystem* previous_ = nullptr;
};

}  // namespace parcel::testing

#endif  // PARCEL_TESTS_NI_FAKE_SOCKET_H_
