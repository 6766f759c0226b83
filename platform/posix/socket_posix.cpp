// POSIX side of the socket service: BSD sockets, with every errno value
// turned into a Windows Sockets number by SocketErrorFromErrno.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/socket.h"

#ifndef MSG_NOSIGNAL
#error "sends rely on MSG_NOSIGNAL to keep SIGPIPE away"
#endif

namespace parcel::platform {
namespace {

static_assert(sizeof(sockaddr_un::sun_path) >= kLocalSocketPathSize);

int LastError() { return SocketErrorFromErrno(errno); }

int SystemFamily(int family) {
  switch (family) {
    case kSocketFamilyLocal: return AF_UNIX;
    case kSocketFamilyIPv4: return AF_INET;
    case kSocketFamilyIPv6: return AF_INET6;
    default: return -1;
  }
}

int SystemType(int type) {
  switch (type) {
    case kSocketTypeStream: return SOCK_STREAM;
    case kSocketTypeDatagram: return SOCK_DGRAM;
    case kSocketTypeRaw: return SOCK_RAW;
    default: return -1;
  }
}

// Fills `storage` with the system's form of `address`; `*length` receives
// its size. 0 or a Windows Sockets number.
int ToSystem(const SocketAddress& address, sockaddr_storage* storage, socklen_t* length) {
  std::memset(storage, 0, sizeof *storage);
  switch (address.family) {
    case kSocketFamilyIPv4: {
      auto* in = reinterpret_cast<sockaddr_in*>(storage);
      in->sin_family = AF_INET;
      in->sin_port = address.port;
      std::memcpy(&in->sin_addr, address.address, 4);
      *length = sizeof *in;
      return 0;
    }
    case kSocketFamilyIPv6: {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(storage);
      in6->sin6_family = AF_INET6;
      in6->sin6_port = address.port;
      std::memcpy(&in6->sin6_addr, address.address, 16);
      in6->sin6_scope_id = address.scope_id;
      *length = sizeof *in6;
      return 0;
    }
    case kSocketFamilyLocal: {
      auto* un = reinterpret_cast<sockaddr_un*>(storage);
      std::size_t path_length = strnlen(address.path, sizeof address.path);
      // An empty path would name Linux's abstract namespace or ask for an
      // automatic name, neither of which the portable form can express.
      if (path_length == 0) return kWsaEINVAL;
      if (path_length >= sizeof un->sun_path) return kWsaENAMETOOLONG;
      un->sun_family = AF_UNIX;
      std::memcpy(un->sun_path, address.path, path_length + 1);
      *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path_length + 1);
      return 0;
    }
    default: return kWsaEAFNOSUPPORT;
  }
}

int FromSystem(const sockaddr_storage& storage, socklen_t length, SocketAddress* out) {
  *out = SocketAddress{};
  switch (storage.ss_family) {
    case AF_INET: {
      const auto* in = reinterpret_cast<const sockaddr_in*>(&storage);
      out->family = kSocketFamilyIPv4;
      out->port = in->sin_port;
      std::memcpy(out->address, &in->sin_addr, 4);
      return 0;
    }
    case AF_INET6: {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&storage);
      out->family = kSocketFamilyIPv6;
      out->port = in6->sin6_port;
      std::memcpy(out->address, &in6->sin6_addr, 16);
      out->scope_id = in6->sin6_scope_id;
      return 0;
    }
    case AF_UNIX: {
      // An unnamed socket (a connecting client) has no path; an abstract one
      // starts with NUL and reads as empty too. A path the system kept
      // without its terminator is cut to fit.
      const auto* un = reinterpret_cast<const sockaddr_un*>(&storage);
      out->family = kSocketFamilyLocal;
      std::size_t room = length > offsetof(sockaddr_un, sun_path)
                             ? static_cast<std::size_t>(length) - offsetof(sockaddr_un, sun_path)
                             : 0;
      if (room > sizeof out->path - 1) room = sizeof out->path - 1;
      std::size_t n = strnlen(un->sun_path, room);
      std::memcpy(out->path, un->sun_path, n);
      out->path[n] = '\0';
      return 0;
    }
    default: return kWsaEAFNOSUPPORT;
  }
}

bool OptionLevelAndName(SocketOption option, int* level, int* name) {
  switch (option) {
    case SocketOption::kReuseAddress: *level = SOL_SOCKET, *name = SO_REUSEADDR; return true;
    case SocketOption::kNoDelay: *level = IPPROTO_TCP, *name = TCP_NODELAY; return true;
    case SocketOption::kKeepAlive: *level = SOL_SOCKET, *name = SO_KEEPALIVE; return true;
    case SocketOption::kSendBuffer: *level = SOL_SOCKET, *name = SO_SNDBUF; return true;
    case SocketOption::kReceiveBuffer: *level = SOL_SOCKET, *name = SO_RCVBUF; return true;
    case SocketOption::kIPv6Only: *level = IPPROTO_IPV6, *name = IPV6_V6ONLY; return true;
    default: return false;
  }
}

// Up to this many pieces or poll entries go on the stack; more are
// allocated for the call.
constexpr int kOnStack = 16;

}  // namespace

int SocketStartup(int, int) noexcept { return 0; }

int SocketCleanup() noexcept { return 0; }

int SocketOpen(int family, int type, int protocol, const ProtocolEntry*,
               SocketHandle* out) noexcept {
  if (out == nullptr) return kWsaEFAULT;
  *out = kInvalidSocket;
  int system_family = SystemFamily(family);
  if (system_family < 0) return kWsaEAFNOSUPPORT;
  int system_type = SystemType(type);
  if (system_type < 0) return kWsaESOCKTNOSUPPORT;
  int fd = socket(system_family, system_type | SOCK_CLOEXEC, protocol);
  if (fd < 0) return LastError();
  *out = fd;
  return 0;
}

int SocketClose(SocketHandle socket) noexcept {
  // Linux releases the descriptor even when close is interrupted, so EINTR
  // is success here: retrying could close a descriptor another thread has
  // been given meanwhile.
  if (close(socket) != 0 && errno != EINTR) return LastError();
  return 0;
}

int SocketBind(SocketHandle socket, const SocketAddress& address) noexcept {
  sockaddr_storage storage;
  socklen_t length;
  int rc = ToSystem(address, &storage, &length);
  if (rc != 0) return rc;
  return bind(socket, reinterpret_cast<const sockaddr*>(&storage), length) == 0 ? 0 : LastError();
}

int SocketListen(SocketHandle socket, int backlog) noexcept {
  return listen(socket, backlog) == 0 ? 0 : LastError();
}

int SocketAccept(SocketHandle socket, SocketHandle* out, SocketAddress* peer) noexcept {
  if (out == nullptr) return kWsaEFAULT;
  *out = kInvalidSocket;
  sockaddr_storage storage;
  socklen_t length = sizeof storage;
  // accept4 without SOCK_NONBLOCK gives a blocking socket whatever the
  // listener's mode, and SOCK_CLOEXEC closes the window in which a fork
  // elsewhere would inherit it.
  int fd = accept4(socket, reinterpret_cast<sockaddr*>(&storage), &length, SOCK_CLOEXEC);
  if (fd < 0) return LastError();
  if (peer != nullptr && FromSystem(storage, length, peer) != 0) *peer = SocketAddress{};
  *out = fd;
  return 0;
}

int SocketConnect(SocketHandle socket, const SocketAddress& address) noexcept {
  sockaddr_storage storage;
  socklen_t length;
  int rc = ToSystem(address, &storage, &length);
  if (rc != 0) return rc;
  return connect(socket, reinterpret_cast<const sockaddr*>(&storage), length) == 0 ? 0
                                                                                   : LastError();
}

int SocketConnectResult(SocketHandle socket, int* error) noexcept {
  if (error == nullptr) return kWsaEFAULT;
  *error = 0;
  int value = 0;
  socklen_t length = sizeof value;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &value, &length) != 0) return LastError();
  *error = value == 0 ? 0 : SocketErrorFromErrno(value);
  return 0;
}

int SocketShutdown(SocketHandle socket, int how) noexcept {
  static constexpr int kHow[] = {SHUT_RD, SHUT_WR, SHUT_RDWR};
  if (how < 0 || how > 2) return kWsaEINVAL;
  return shutdown(socket, kHow[how]) == 0 ? 0 : LastError();
}

int SocketLocalAddress(SocketHandle socket, SocketAddress* out) noexcept {
  if (out == nullptr) return kWsaEFAULT;
  sockaddr_storage storage;
  socklen_t length = sizeof storage;
  if (getsockname(socket, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return LastError();
  return FromSystem(storage, length, out);
}

int SocketPeerAddress(SocketHandle socket, SocketAddress* out) noexcept {
  if (out == nullptr) return kWsaEFAULT;
  sockaddr_storage storage;
  socklen_t length = sizeof storage;
  if (getpeername(socket, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return LastError();
  return FromSystem(storage, length, out);
}

int SocketSetBlocking(SocketHandle socket, bool blocking) noexcept {
  int flags = fcntl(socket, F_GETFL);
  if (flags < 0) return LastError();
  int wanted = blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK;
  if (wanted != flags && fcntl(socket, F_SETFL, wanted) != 0) return LastError();
  return 0;
}

int SocketSend(SocketHandle socket, const void* data, std::size_t length,
               std::size_t* sent) noexcept {
  if (sent == nullptr) return kWsaEFAULT;
  *sent = 0;
  ssize_t n = send(socket, data, length, MSG_NOSIGNAL);
  if (n < 0) return LastError();
  *sent = static_cast<std::size_t>(n);
  return 0;
}

int SocketSendV(SocketHandle socket, const SocketBuffer* pieces, int count,
                std::size_t* sent) noexcept {
  if (sent == nullptr) return kWsaEFAULT;
  *sent = 0;
  if (count < 0 || (count > 0 && pieces == nullptr)) return kWsaEINVAL;
  iovec on_stack[kOnStack];
  iovec* vectors = on_stack;
  if (count > kOnStack) {
    vectors = static_cast<iovec*>(std::malloc(sizeof(iovec) * static_cast<std::size_t>(count)));
    if (vectors == nullptr) return kWsaENOBUFS;
  }
  for (int i = 0; i < count; ++i) {
    vectors[i].iov_base = const_cast<void*>(pieces[i].data);
    vectors[i].iov_len = pieces[i].length;
  }
  msghdr message{};
  message.msg_iov = vectors;
  message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
  ssize_t n = sendmsg(socket, &message, MSG_NOSIGNAL);
  int rc = n < 0 ? LastError() : 0;
  if (vectors != on_stack) std::free(vectors);
  if (rc == 0) *sent = static_cast<std::size_t>(n);
  return rc;
}

int SocketReceive(SocketHandle socket, void* data, std::size_t length, bool peek,
                  std::size_t* received) noexcept {
  if (received == nullptr) return kWsaEFAULT;
  *received = 0;
  ssize_t n = recv(socket, data, length, peek ? MSG_PEEK : 0);
  if (n < 0) return LastError();
  *received = static_cast<std::size_t>(n);
  return 0;
}

int SocketPendingBytes(SocketHandle socket, std::size_t* bytes) noexcept {
  if (bytes == nullptr) return kWsaEFAULT;
  *bytes = 0;
  int count = 0;
  if (ioctl(socket, FIONREAD, &count) != 0) return LastError();
  *bytes = count > 0 ? static_cast<std::size_t>(count) : 0;
  return 0;
}

int SocketSetOption(SocketHandle socket, SocketOption option, int value) noexcept {
  int level, name;
  if (!OptionLevelAndName(option, &level, &name)) return kWsaENOPROTOOPT;
  return setsockopt(socket, level, name, &value, sizeof value) == 0 ? 0 : LastError();
}

int SocketGetOption(SocketHandle socket, SocketOption option, int* value) noexcept {
  if (value == nullptr) return kWsaEFAULT;
  *value = 0;
  int level, name;
  if (!OptionLevelAndName(option, &level, &name)) return kWsaENOPROTOOPT;
  int result = 0;
  socklen_t length = sizeof result;
  if (getsockopt(socket, level, name, &result, &length) != 0) return LastError();
  *value = result;
  return 0;
}

int SocketPoll(PollEntry* entries, std::size_t count, int timeout_ms, int* ready) noexcept {
  if (ready == nullptr || (count > 0 && entries == nullptr)) return kWsaEFAULT;
  *ready = 0;
  if (count > static_cast<std::size_t>(INT_MAX)) return kWsaEINVAL;
  pollfd on_stack[kOnStack];
  pollfd* fds = on_stack;
  if (count > kOnStack) {
    fds = static_cast<pollfd*>(std::malloc(sizeof(pollfd) * count));
    if (fds == nullptr) return kWsaENOBUFS;
  }
  for (std::size_t i = 0; i < count; ++i) {
    // poll skips negative descriptors itself, which is kInvalidSocket's rule.
    fds[i].fd = entries[i].socket;
    fds[i].events = static_cast<short>(((entries[i].events & kPollRead) ? POLLIN : 0) |
                                       ((entries[i].events & kPollWrite) ? POLLOUT : 0));
    fds[i].revents = 0;
  }
  int rc =
      poll(fds, static_cast<nfds_t>(count), timeout_ms < 0 ? -1 : timeout_ms) < 0 ? LastError() : 0;
  int marked = 0;
  for (std::size_t i = 0; i < count; ++i) {
    // A descriptor that is not open: Windows's select fails the whole call
    // for it, and so does this.
    if (rc == 0 && (fds[i].revents & POLLNVAL)) rc = kWsaENOTSOCK;
    short revents = static_cast<short>(((fds[i].revents & POLLIN) ? kPollRead : 0) |
                                       ((fds[i].revents & POLLOUT) ? kPollWrite : 0) |
                                       ((fds[i].revents & POLLERR) ? kPollError : 0) |
                                       ((fds[i].revents & POLLHUP) ? kPollHangUp : 0));
    entries[i].revents = revents;
    if (revents != 0) ++marked;
  }
  if (rc != 0) {
    for (std::size_t i = 0; i < count; ++i) entries[i].revents = 0;
  } else {
    *ready = marked;
  }
  if (fds != on_stack) std::free(fds);
  return rc;
}

int FindQosProviders(ProtocolEntry*, bool* have_tcp, ProtocolEntry*, bool* have_udp) noexcept {
  if (have_tcp == nullptr || have_udp == nullptr) return kWsaEFAULT;
  *have_tcp = false;
  *have_udp = false;
  return 0;
}

}  // namespace parcel::platform

// --- Passing sockets to another process -------------------------------------------

namespace parcel::platform {

int SocketSendSockets(SocketHandle channel, const SocketHandle* sockets, int count,
                      int /*process_id*/) noexcept {
  if (sockets == nullptr || count < 1 || count > kMaxPassedSockets) return kWsaEINVAL;
  char byte = 'S';
  iovec data{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassedSockets)] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = CMSG_SPACE(sizeof(int) * static_cast<std::size_t>(count));
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int) * static_cast<std::size_t>(count));
  std::memcpy(CMSG_DATA(header), sockets, sizeof(int) * static_cast<std::size_t>(count));
  for (;;) {
    const ssize_t n = sendmsg(channel, &message, MSG_NOSIGNAL);
    if (n == 1) return 0;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (int rc = SocketWaitOne(channel, kPollWrite, 5000); rc != 0) return rc;
      continue;
    }
    return n < 0 ? SocketErrorFromErrno(errno) : kWsaEINVAL;
  }
}

int SocketReceiveSockets(SocketHandle channel, SocketHandle* sockets, int count,
                         int timeout_ms) noexcept {
  if (sockets == nullptr || count < 1 || count > kMaxPassedSockets) return kWsaEINVAL;
  for (int i = 0; i < count; ++i) sockets[i] = kInvalidSocket;
  char byte = 0;
  iovec data{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * kMaxPassedSockets)] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  ssize_t n;
  for (;;) {
    n = recvmsg(channel, &message, MSG_CMSG_CLOEXEC);
    if (n >= 0) break;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (int rc = SocketWaitOne(channel, kPollRead, timeout_ms); rc != 0) return rc;
      continue;
    }
    return SocketErrorFromErrno(errno);
  }
  // Take every descriptor that arrived, then keep them only when they are
  // exactly what was announced.
  int received[kMaxPassedSockets * 2];
  int got = 0;
  for (cmsghdr* header = CMSG_FIRSTHDR(&message); header != nullptr;
       header = CMSG_NXTHDR(&message, header)) {
    if (header->cmsg_level != SOL_SOCKET || header->cmsg_type != SCM_RIGHTS) continue;
    const std::size_t bytes = header->cmsg_len - CMSG_LEN(0);
    const int in_header = static_cast<int>(bytes / sizeof(int));
    for (int i = 0; i < in_header && got < kMaxPassedSockets * 2; ++i) {
      std::memcpy(&received[got++], CMSG_DATA(header) + i * sizeof(int), sizeof(int));
    }
  }
  const bool exact = n == 1 && byte == 'S' && got == count && (message.msg_flags & MSG_CTRUNC) == 0;
  if (!exact) {
    for (int i = 0; i < got; ++i) close(received[i]);
    return n == 0 ? kWsaECONNRESET : kWsaEINVAL;
  }
  for (int i = 0; i < count; ++i) {
    const int flags = fcntl(received[i], F_GETFL);
    if (flags >= 0) (void)fcntl(received[i], F_SETFL, flags & ~O_NONBLOCK);
    sockets[i] = received[i];
  }
  return 0;
}

}  // namespace parcel::platform
