// Windows side of the socket service: Windows Sockets 2, reached through the
// table of lazily looked-up functions in winsock.h, so that no binary imports
// ws2_32.dll. Errors come from WSAGetLastError and are Windows Sockets
// numbers already.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/socket.h"
#include "platform/win/winsock.h"

namespace parcel::platform {
namespace win {
namespace {

// The portable numbering is the Windows one.
static_assert(kSocketFamilyLocal == AF_UNIX && kSocketFamilyIPv4 == AF_INET &&
              kSocketFamilyIPv6 == AF_INET6);
static_assert(kSocketTypeStream == SOCK_STREAM && kSocketTypeDatagram == SOCK_DGRAM &&
              kSocketTypeRaw == SOCK_RAW);
static_assert(sizeof(WSAPROTOCOL_INFOA) == kProtocolEntrySize);
static_assert(sizeof(sockaddr_un::sun_path) >= kLocalSocketPathSize);
static_assert(kInvalidSocket == INVALID_SOCKET);

constinit SystemLibrary g_ws2_32("ws2_32.dll");

constinit Winsock g_winsock{
    {g_ws2_32, "WSAStartup", WSASYSNOTREADY},
    {g_ws2_32, "WSACleanup", SOCKET_ERROR},
    {g_ws2_32, "WSAGetLastError", WSAEOPNOTSUPP},
    {g_ws2_32, "WSASocketA", INVALID_SOCKET},
    {g_ws2_32, "socket", INVALID_SOCKET},
    {g_ws2_32, "closesocket", SOCKET_ERROR},
    {g_ws2_32, "bind", SOCKET_ERROR},
    {g_ws2_32, "listen", SOCKET_ERROR},
    {g_ws2_32, "accept", INVALID_SOCKET},
    {g_ws2_32, "connect", SOCKET_ERROR},
    {g_ws2_32, "shutdown", SOCKET_ERROR},
    {g_ws2_32, "getsockname", SOCKET_ERROR},
    {g_ws2_32, "getpeername", SOCKET_ERROR},
    {g_ws2_32, "ioctlsocket", SOCKET_ERROR},
    {g_ws2_32, "send", SOCKET_ERROR},
    {g_ws2_32, "WSASend", SOCKET_ERROR},
    {g_ws2_32, "recv", SOCKET_ERROR},
    {g_ws2_32, "setsockopt", SOCKET_ERROR},
    {g_ws2_32, "getsockopt", SOCKET_ERROR},
    {g_ws2_32, "select", SOCKET_ERROR},
    {g_ws2_32, "WSAEnumProtocolsA", SOCKET_ERROR},
    {g_ws2_32, "getaddrinfo", WSAEOPNOTSUPP},
    {g_ws2_32, "freeaddrinfo"},
    {g_ws2_32, "getnameinfo", WSAEOPNOTSUPP},
    {g_ws2_32, "getservbyname", nullptr},
    {g_ws2_32, "getservbyport", nullptr},
    {g_ws2_32, "gethostname", SOCKET_ERROR},
    {g_ws2_32, "WSADuplicateSocketA", SOCKET_ERROR},
};

// Successful WSAStartup calls not yet undone by a WSACleanup.
std::atomic<int> g_startups{0};

}  // namespace

Winsock& Ws2() noexcept { return g_winsock; }

bool BindWinsock() noexcept {
  if (!g_ws2_32.Load()) return false;
  Winsock& ws = g_winsock;
  // Each look-up happens once for the process; later calls only read it.
  (void)ws.WSAStartup.Get(), (void)ws.WSACleanup.Get(), (void)ws.WSAGetLastError.Get();
  (void)ws.WSASocketA.Get(), (void)ws.socket.Get(), (void)ws.closesocket.Get();
  (void)ws.bind.Get(), (void)ws.listen.Get(), (void)ws.accept.Get(), (void)ws.connect.Get();
  (void)ws.shutdown.Get(), (void)ws.getsockname.Get(), (void)ws.getpeername.Get();
  (void)ws.ioctlsocket.Get(), (void)ws.send.Get(), (void)ws.WSASend.Get(), (void)ws.recv.Get();
  (void)ws.setsockopt.Get(), (void)ws.getsockopt.Get(), (void)ws.select.Get();
  (void)ws.WSAEnumProtocolsA.Get(), (void)ws.getaddrinfo.Get(), (void)ws.freeaddrinfo.Get();
  (void)ws.getnameinfo.Get(), (void)ws.getservbyname.Get(), (void)ws.getservbyport.Get();
  (void)ws.gethostname.Get(), (void)ws.WSADuplicateSocketA.Get();
  return true;
}

void NoteStartup() noexcept { g_startups.fetch_add(1, std::memory_order_acq_rel); }

void NoteCleanup() noexcept { g_startups.fetch_sub(1, std::memory_order_acq_rel); }

int RequireStarted() noexcept {
  return g_startups.load(std::memory_order_acquire) > 0 ? 0 : WSANOTINITIALISED;
}

int LastSocketError() noexcept { return g_winsock.WSAGetLastError(); }

}  // namespace win

namespace {

using win::Bind;
using win::LastSocketError;
using win::Ws2;

// Sockets are kernel handles (for providers that install none, the call
// fails and there is nothing to inherit), so the handle flag decides
// inheritance.
void DropInheritance(SOCKET socket) {
  SetHandleInformation(reinterpret_cast<HANDLE>(socket), HANDLE_FLAG_INHERIT, 0);
}

int ToSystem(const SocketAddress& address, sockaddr_storage* storage, int* length) {
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
      if (path_length == 0) return WSAEINVAL;
      if (path_length >= sizeof un->sun_path) return WSAENAMETOOLONG;
      un->sun_family = AF_UNIX;
      std::memcpy(un->sun_path, address.path, path_length + 1);
      *length = static_cast<int>(offsetof(sockaddr_un, sun_path) + path_length + 1);
      return 0;
    }
    default: return WSAEAFNOSUPPORT;
  }
}

int FromSystem(const sockaddr_storage& storage, int length, SocketAddress* out) {
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
      const auto* un = reinterpret_cast<const sockaddr_un*>(&storage);
      out->family = kSocketFamilyLocal;
      std::size_t room = length > static_cast<int>(offsetof(sockaddr_un, sun_path))
                             ? static_cast<std::size_t>(length) - offsetof(sockaddr_un, sun_path)
                             : 0;
      room = std::min(room, sizeof out->path - 1);
      std::size_t n = strnlen(un->sun_path, room);
      std::memcpy(out->path, un->sun_path, n);
      out->path[n] = '\0';
      return 0;
    }
    default: return WSAEAFNOSUPPORT;
  }
}

bool OptionLevelAndName(SocketOption option, int* level, int* name) {
  switch (option) {
    case SocketOption::kReuseAddress:
      // Windows lets a listener take a port whose old connections linger
      // anyway; SO_REUSEADDR would let other sockets take over a port in
      // use. Exclusive use is what a listener wants here.
      *level = SOL_SOCKET, *name = SO_EXCLUSIVEADDRUSE;
      return true;
    case SocketOption::kNoDelay: *level = IPPROTO_TCP, *name = TCP_NODELAY; return true;
    case SocketOption::kKeepAlive: *level = SOL_SOCKET, *name = SO_KEEPALIVE; return true;
    case SocketOption::kSendBuffer: *level = SOL_SOCKET, *name = SO_SNDBUF; return true;
    case SocketOption::kReceiveBuffer: *level = SOL_SOCKET, *name = SO_RCVBUF; return true;
    case SocketOption::kIPv6Only: *level = IPPROTO_IPV6, *name = IPV6_V6ONLY; return true;
    default: return false;
  }
}

int SetBlockingMode(SOCKET socket, bool blocking) {
  win::Winsock& ws = Ws2();
  decltype(ws.ioctlsocket)::Function ioctl;
  if (int rc = Bind(ws.ioctlsocket, &ioctl); rc != 0) return rc;
  u_long non_blocking = blocking ? 0 : 1;
  return ioctl(socket, FIONBIO, &non_blocking) == 0 ? 0 : LastSocketError();
}

// Windows's fd_set is a count followed by an array the count bounds, so a
// block holding the count and n handles is a set for n sockets, whatever
// FD_SETSIZE says. SocketPoll allocates its three sets that way.
constexpr std::size_t kSetHeader = offsetof(fd_set, fd_array);
static_assert(kSetHeader % alignof(SOCKET) == 0);

SOCKET* SetHandles(fd_set* set) {
  return reinterpret_cast<SOCKET*>(reinterpret_cast<unsigned char*>(set) + kSetHeader);
}

void AddToSet(fd_set* set, SOCKET socket) { SetHandles(set)[set->fd_count++] = socket; }

// After select the set holds the ready sockets; sorted once, each entry
// finds itself in O(log n).
void SortSet(fd_set* set) { std::sort(SetHandles(set), SetHandles(set) + set->fd_count); }

bool InSet(fd_set* set, SOCKET socket) {
  return std::binary_search(SetHandles(set), SetHandles(set) + set->fd_count, socket);
}

constexpr int kOnStack = 16;

}  // namespace

int SocketStartup(int major, int minor) noexcept {
  if (!win::BindWinsock()) return WSASYSNOTREADY;
  WSADATA data;
  int rc = Ws2().WSAStartup(MAKEWORD(major, minor), &data);
  if (rc == 0) win::NoteStartup();
  return rc;
}

int SocketCleanup() noexcept {
  win::Winsock& ws = Ws2();
  decltype(ws.WSACleanup)::Function cleanup;
  if (int rc = Bind(ws.WSACleanup, &cleanup); rc != 0) return rc;
  if (cleanup() != 0) return LastSocketError();
  win::NoteCleanup();
  return 0;
}

int SocketOpen(int family, int type, int protocol, const ProtocolEntry* provider,
               SocketHandle* out) noexcept {
  if (out == nullptr) return WSAEFAULT;
  *out = kInvalidSocket;
  win::Winsock& ws = Ws2();
  SOCKET socket;
  if (type == kSocketTypeStream) {
    decltype(ws.WSASocketA)::Function open;
    if (int rc = Bind(ws.WSASocketA, &open); rc != 0) return rc;
    // The record is copied so that the system gets it properly aligned and
    // typed, whatever the caller's storage.
    WSAPROTOCOL_INFOA info;
    if (provider != nullptr) std::memcpy(&info, provider->bytes, sizeof info);
    socket = open(family, type, protocol, provider != nullptr ? &info : nullptr, 0,
                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) return LastSocketError();
  } else {
    decltype(ws.socket)::Function open;
    if (int rc = Bind(ws.socket, &open); rc != 0) return rc;
    socket = open(family, type, protocol);
    if (socket == INVALID_SOCKET) return LastSocketError();
    DropInheritance(socket);
  }
  *out = socket;
  return 0;
}

int SocketClose(SocketHandle socket) noexcept {
  win::Winsock& ws = Ws2();
  decltype(ws.closesocket)::Function close;
  if (int rc = Bind(ws.closesocket, &close); rc != 0) return rc;
  return close(socket) == 0 ? 0 : LastSocketError();
}

int SocketBind(SocketHandle socket, const SocketAddress& address) noexcept {
  win::Winsock& ws = Ws2();
  decltype(ws.bind)::Function bind;
  if (int rc = Bind(ws.bind, &bind); rc != 0) return rc;
  sockaddr_storage storage;
  int length;
  if (int rc = ToSystem(address, &storage, &length); rc != 0) return rc;
  return bind(socket, reinterpret_cast<const sockaddr*>(&storage), length) == 0 ? 0
                                                                                : LastSocketError();
}

int SocketListen(SocketHandle socket, int backlog) noexcept {
  win::Winsock& ws = Ws2();
  decltype(ws.listen)::Function listen;
  if (int rc = Bind(ws.listen, &listen); rc != 0) return rc;
  return listen(socket, backlog) == 0 ? 0 : LastSocketError();
}

int SocketAccept(SocketHandle socket, SocketHandle* out, SocketAddress* peer) noexcept {
  if (out == nullptr) return WSAEFAULT;
  *out = kInvalidSocket;
  win::Winsock& ws = Ws2();
  decltype(ws.accept)::Function accept;
  if (int rc = Bind(ws.accept, &accept); rc != 0) return rc;
  sockaddr_storage storage;
  int length = sizeof storage;
  SOCKET accepted = accept(socket, reinterpret_cast<sockaddr*>(&storage), &length);
  if (accepted == INVALID_SOCKET) return LastSocketError();
  DropInheritance(accepted);
  // An accepted socket inherits the listener's non-blocking mode; callers
  // are promised a blocking one.
  if (int rc = SetBlockingMode(accepted, true); rc != 0) {
    ws.closesocket(accepted);
    return rc;
  }
  if (peer != nullptr && FromSystem(storage, length, peer) != 0) *peer = SocketAddress{};
  *out = accepted;
  return 0;
}

int SocketConnect(SocketHandle socket, const SocketAddress& address) noexcept {
  win::Winsock& ws = Ws2();
  decltype(ws.connect)::Function connect;
  if (int rc = Bind(ws.connect, &connect); rc != 0) return rc;
  sockaddr_storage storage;
  int length;
  if (int rc = ToSystem(address, &storage, &length); rc != 0) return rc;
  return connect(socket, reinterpret_cast<const sockaddr*>(&storage), length) == 0
             ? 0
             : LastSocketError();
}

int SocketConnectResult(SocketHandle socket, int* error) noexcept {
  if (error == nullptr) return WSAEFAULT;
  *error = 0;
  win::Winsock& ws = Ws2();
  decltype(ws.getsockopt)::Function get;
  if (int rc = Bind(ws.getsockopt, &get); rc != 0) return rc;
  int value = 0;
  int length = sizeof value;
  if (get(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&value), &length) != 0) {
    return LastSocketError();
  }
  *error = value;
  return 0;
}

int SocketShutdown(SocketHandle socket, int how) noexcept {
  static constexpr int kHow[] = {SD_RECEIVE, SD_SEND, SD_BOTH};
  win::Winsock& ws = Ws2();
  decltype(ws.shutdown)::Function shutdown;
  if (int rc = Bind(ws.shutdown, &shutdown); rc != 0) return rc;
  if (how < 0 || how > 2) return WSAEINVAL;
  return shutdown(socket, kHow[how]) == 0 ? 0 : LastSocketError();
}

int SocketLocalAddress(SocketHandle socket, SocketAddress* out) noexcept {
  if (out == nullptr) return WSAEFAULT;
  win::Winsock& ws = Ws2();
  decltype(ws.getsockname)::Function get;
  if (int rc = Bind(ws.getsockname, &get); rc != 0) return rc;
  sockaddr_storage storage;
  int length = sizeof storage;
  if (get(socket, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return LastSocketError();
  return FromSystem(storage, length, out);
}

int SocketPeerAddress(SocketHandle socket, SocketAddress* out) noexcept {
  if (out == nullptr) return WSAEFAULT;
  win::Winsock& ws = Ws2();
  decltype(ws.getpeername)::Function get;
  if (int rc = Bind(ws.getpeername, &get); rc != 0) return rc;
  sockaddr_storage storage;
  int length = sizeof storage;
  if (get(socket, reinterpret_cast<sockaddr*>(&storage), &length) != 0) return LastSocketError();
  return FromSystem(storage, length, out);
}

int SocketSetBlocking(SocketHandle socket, bool blocking) noexcept {
  return SetBlockingMode(socket, blocking);
}

int SocketSend(SocketHandle socket, const void* data, std::size_t length,
               std::size_t* sent) noexcept {
  if (sent == nullptr) return WSAEFAULT;
  *sent = 0;
  win::Winsock& ws = Ws2();
  decltype(ws.send)::Function send;
  if (int rc = Bind(ws.send, &send); rc != 0) return rc;
  // send counts in int: a longer buffer goes out in part, as any send may.
  int n = send(socket, static_cast<const char*>(data),
               static_cast<int>(std::min<std::size_t>(length, INT_MAX)), 0);
  if (n == SOCKET_ERROR) return LastSocketError();
  *sent = static_cast<std::size_t>(n);
  return 0;
}

int SocketSendV(SocketHandle socket, const SocketBuffer* pieces, int count,
                std::size_t* sent) noexcept {
  if (sent == nullptr) return WSAEFAULT;
  *sent = 0;
  win::Winsock& ws = Ws2();
  decltype(ws.WSASend)::Function send;
  if (int rc = Bind(ws.WSASend, &send); rc != 0) return rc;
  if (count < 0 || (count > 0 && pieces == nullptr)) return WSAEINVAL;
  WSABUF on_stack[kOnStack];
  WSABUF* buffers = on_stack;
  if (count > kOnStack) {
    buffers = static_cast<WSABUF*>(std::malloc(sizeof(WSABUF) * static_cast<std::size_t>(count)));
    if (buffers == nullptr) return WSAENOBUFS;
  }
  // A piece longer than a WSABUF can say ends the send there: what follows
  // it must not go out before its rest.
  DWORD used = 0;
  while (used < static_cast<DWORD>(count)) {
    const SocketBuffer& piece = pieces[used];
    buffers[used].buf = static_cast<char*>(const_cast<void*>(piece.data));
    buffers[used].len = static_cast<ULONG>(std::min<std::size_t>(piece.length, ULONG_MAX));
    ++used;
    if (piece.length > ULONG_MAX) break;
  }
  DWORD bytes = 0;
  int rc = send(socket, buffers, used, &bytes, 0, nullptr, nullptr) == 0 ? 0 : LastSocketError();
  if (buffers != on_stack) std::free(buffers);
  if (rc == 0) *sent = bytes;
  return rc;
}

int SocketReceive(SocketHandle socket, void* data, std::size_t length, bool peek,
                  std::size_t* received) noexcept {
  if (received == nullptr) return WSAEFAULT;
  *received = 0;
  win::Winsock& ws = Ws2();
  decltype(ws.recv)::Function recv;
  if (int rc = Bind(ws.recv, &recv); rc != 0) return rc;
  int n = recv(socket, static_cast<char*>(data),
               static_cast<int>(std::min<std::size_t>(length, INT_MAX)), peek ? MSG_PEEK : 0);
  if (n == SOCKET_ERROR) return LastSocketError();
  *received = static_cast<std::size_t>(n);
  return 0;
}

int SocketPendingBytes(SocketHandle socket, std::size_t* bytes) noexcept {
  if (bytes == nullptr) return WSAEFAULT;
  *bytes = 0;
  win::Winsock& ws = Ws2();
  decltype(ws.ioctlsocket)::Function ioctl;
  if (int rc = Bind(ws.ioctlsocket, &ioctl); rc != 0) return rc;
  u_long count = 0;
  if (ioctl(socket, FIONREAD, &count) != 0) return LastSocketError();
  *bytes = count;
  return 0;
}

int SocketSetOption(SocketHandle socket, SocketOption option, int value) noexcept {
  win::Winsock& ws = Ws2();
  decltype(ws.setsockopt)::Function set;
  if (int rc = Bind(ws.setsockopt, &set); rc != 0) return rc;
  int level, name;
  if (!OptionLevelAndName(option, &level, &name)) return WSAENOPROTOOPT;
  return set(socket, level, name, reinterpret_cast<const char*>(&value), sizeof value) == 0
             ? 0
             : LastSocketError();
}

int SocketGetOption(SocketHandle socket, SocketOption option, int* value) noexcept {
  if (value == nullptr) return WSAEFAULT;
  *value = 0;
  win::Winsock& ws = Ws2();
  decltype(ws.getsockopt)::Function get;
  if (int rc = Bind(ws.getsockopt, &get); rc != 0) return rc;
  int level, name;
  if (!OptionLevelAndName(option, &level, &name)) return WSAENOPROTOOPT;
  // Some boolean options come back as one byte; the zeroed int reads right
  // either way on this little-endian system.
  int result = 0;
  int length = sizeof result;
  if (get(socket, level, name, reinterpret_cast<char*>(&result), &length) != 0) {
    return LastSocketError();
  }
  *value = result;
  return 0;
}

int SocketPoll(PollEntry* entries, std::size_t count, int timeout_ms, int* ready) noexcept {
  if (ready == nullptr || (count > 0 && entries == nullptr)) return WSAEFAULT;
  *ready = 0;
  win::Winsock& ws = Ws2();
  decltype(ws.select)::Function select;
  if (int rc = Bind(ws.select, &select); rc != 0) return rc;
  std::size_t sockets = 0;
  for (std::size_t i = 0; i < count; ++i) {
    entries[i].revents = 0;
    if (entries[i].socket != kInvalidSocket) ++sockets;
  }
  if (sockets == 0) {
    // select refuses three empty sets; waiting on nothing is a plain wait.
    if (timeout_ms < 0) return WSAEINVAL;
    Sleep(static_cast<DWORD>(timeout_ms));
    return 0;
  }
  if (sockets > (SIZE_MAX - kSetHeader) / sizeof(SOCKET) / 3) return WSAENOBUFS;
  std::size_t set_bytes = kSetHeader + sockets * sizeof(SOCKET);
  auto* block = static_cast<unsigned char*>(std::malloc(3 * set_bytes));
  if (block == nullptr) return WSAENOBUFS;
  auto* readable = reinterpret_cast<fd_set*>(block);
  auto* writable = reinterpret_cast<fd_set*>(block + set_bytes);
  auto* failed = reinterpret_cast<fd_set*>(block + 2 * set_bytes);
  readable->fd_count = writable->fd_count = failed->fd_count = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (entries[i].socket == kInvalidSocket) continue;
    if (entries[i].events & kPollRead) AddToSet(readable, entries[i].socket);
    if (entries[i].events & kPollWrite) AddToSet(writable, entries[i].socket);
    // A failed non-blocking connect shows in the exception set only.
    AddToSet(failed, entries[i].socket);
  }
  timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  int rc = 0;
  if (select(0, readable, writable, failed, timeout_ms < 0 ? nullptr : &timeout) == SOCKET_ERROR) {
    rc = LastSocketError();
  } else {
    SortSet(readable), SortSet(writable), SortSet(failed);
    int marked = 0;
    for (std::size_t i = 0; i < count; ++i) {
      SOCKET socket = entries[i].socket;
      if (socket == kInvalidSocket) continue;
      short revents = static_cast<short>((InSet(readable, socket) ? kPollRead : 0) |
                                         (InSet(writable, socket) ? kPollWrite : 0) |
                                         (InSet(failed, socket) ? kPollError : 0));
      entries[i].revents = revents;
      if (revents != 0) ++marked;
    }
    *ready = marked;
  }
  std::free(block);
  return rc;
}

int FindQosProviders(ProtocolEntry* tcp, bool* have_tcp, ProtocolEntry* udp,
                     bool* have_udp) noexcept {
  if (tcp == nullptr || have_tcp == nullptr || udp == nullptr || have_udp == nullptr) {
    return WSAEFAULT;
  }
  *have_tcp = false;
  *have_udp = false;
  win::Winsock& ws = Ws2();
  decltype(ws.WSAEnumProtocolsA)::Function enumerate;
  if (int rc = Bind(ws.WSAEnumProtocolsA, &enumerate); rc != 0) return rc;
  // The first call asks for the size. Providers may be installed between the
  // two calls, so a second "too small" asks again.
  DWORD size = 0;
  WSAPROTOCOL_INFOA* records = nullptr;
  int found = SOCKET_ERROR;
  for (int attempt = 0; attempt < 4; ++attempt) {
    found = enumerate(nullptr, records, &size);
    if (found != SOCKET_ERROR) break;
    int rc = LastSocketError();
    std::free(records);
    records = nullptr;
    if (rc != WSAENOBUFS) return rc;
    records = static_cast<WSAPROTOCOL_INFOA*>(std::malloc(size));
    if (records == nullptr) return WSAENOBUFS;
  }
  if (found == SOCKET_ERROR) {
    std::free(records);
    return WSAENOBUFS;
  }
  for (int i = 0; i < found; ++i) {
    const WSAPROTOCOL_INFOA& record = records[i];
    if (record.iAddressFamily != AF_INET || !(record.dwServiceFlags1 & XP1_QOS_SUPPORTED)) continue;
    if (record.iProtocol == IPPROTO_TCP && !*have_tcp) {
      std::memcpy(tcp->bytes, &record, sizeof record);
      *have_tcp = true;
    } else if (record.iProtocol == IPPROTO_UDP && !*have_udp) {
      std::memcpy(udp->bytes, &record, sizeof record);
      *have_udp = true;
    }
  }
  std::free(records);
  return 0;
}

}  // namespace parcel::platform

// --- Passing sockets to another process -------------------------------------------

namespace parcel::platform {

int SocketSendSockets(SocketHandle channel, const SocketHandle* sockets, int count,
                      int process_id) noexcept {
  if (sockets == nullptr || count < 1 || count > kMaxPassedSockets) return WSAEINVAL;
  win::Winsock& ws = Ws2();
  decltype(ws.WSADuplicateSocketA)::Function duplicate;
  if (int rc = Bind(ws.WSADuplicateSocketA, &duplicate); rc != 0) return rc;
  static_assert(sizeof(WSAPROTOCOL_INFOA) == kProtocolEntrySize);
  for (int i = 0; i < count; ++i) {
    WSAPROTOCOL_INFOA info;
    if (duplicate(sockets[i], static_cast<DWORD>(process_id), &info) != 0) {
      return LastSocketError();
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(&info);
    std::size_t sent = 0;
    while (sent < sizeof info) {
      std::size_t n = 0;
      int rc = SocketSend(channel, bytes + sent, sizeof info - sent, &n);
      if (rc == WSAEWOULDBLOCK) rc = SocketWaitOne(channel, kPollWrite, 5000);
      if (rc != 0) return rc;
      sent += n;
    }
  }
  return 0;
}

int SocketReceiveSockets(SocketHandle channel, SocketHandle* sockets, int count,
                         int timeout_ms) noexcept {
  if (sockets == nullptr || count < 1 || count > kMaxPassedSockets) return WSAEINVAL;
  for (int i = 0; i < count; ++i) sockets[i] = kInvalidSocket;
  win::Winsock& ws = Ws2();
  decltype(ws.WSASocketA)::Function open;
  if (int rc = Bind(ws.WSASocketA, &open); rc != 0) return rc;
  for (int i = 0; i < count; ++i) {
    WSAPROTOCOL_INFOA info;
    auto* bytes = reinterpret_cast<unsigned char*>(&info);
    std::size_t got = 0;
    while (got < sizeof info) {
      std::size_t n = 0;
      int rc = SocketReceive(channel, bytes + got, sizeof info - got, false, &n);
      if (rc == WSAEWOULDBLOCK) {
        rc = SocketWaitOne(channel, kPollRead, timeout_ms);
        if (rc == 0) continue;
      }
      if (rc == 0 && n == 0) rc = WSAECONNRESET;
      if (rc != 0) {
        for (int k = 0; k < i; ++k) SocketClose(sockets[k]);
        return rc;
      }
      got += n;
    }
    SOCKET socket = open(FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, FROM_PROTOCOL_INFO, &info, 0,
                         WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (socket == INVALID_SOCKET) {
      const int error = LastSocketError();
      for (int k = 0; k < i; ++k) SocketClose(sockets[k]);
      return error;
    }
    (void)SetBlockingMode(socket, true);
    sockets[i] = socket;
  }
  return 0;
}

}  // namespace parcel::platform
