// The public operations of the network library (ni/ni.h) over its internal
// layer.
#include "ni/ni.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ni/ni_addr.h"
#include "ni/ni_buf.h"
#include "ni/nii.h"
#include "runtime/thr.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

constexpr const char* kSource = "ni_api.cpp";
constexpr int kBacklog = 512;

bool Started() { return Library().init_count > 0 && Library().table != nullptr; }

int StartIfNeeded() { return Started() ? QEL_O_K : NiInit3(); }

int Lookup(NI_HANDLE number, NiHdl** handle, const char* function) {
  // No handle exists before the library starts, so nothing here starts it.
  if (int rc = NiIHandle(number, handle, function); rc != QEL_O_K) return rc;
  if ((*handle)->passed && ExtensionOf(*handle) == nullptr) {
    return NiIError(NIEPASSED, kSource, __LINE__, false, "%s: hdl %d passed to other process",
                    function, number);
  }
  return QEL_O_K;
}

// The extension of a buffered handle; NIEINVAL for another.
int LookupBuffered(NI_HANDLE number, NiHdl** handle, BufferedExtension** ext,
                   const char* function) {
  if (int rc = Lookup(number, handle, function); rc != QEL_O_K) return rc;
  *ext = ExtensionOf(*handle);
  if (*ext == nullptr) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: hdl %d is not buffered", function,
                    number);
  }
  return QEL_O_K;
}

// Creates and binds a socket of `family` for listening.
int OpenListening(NiHdl* handle, NI_SOCKREC* record, int family, const NI_NODEADDR* address,
                  std::uint16_t port, bool dual_stack, const char* function) {
  int si;
  do {
    si = SiSocket(family, platform::kSocketTypeStream, 0, record);
  } while (si == SI_EINTR);
  if (si != SI_OK) {
    return NiIMapSiError(si, kSiCallSocket, handle, record, record->error, nullptr, nullptr, 0,
                         function, kSource, __LINE__, true);
  }
  if (family != platform::kSocketFamilyLocal) {
    (void)SiSetSockOpt(record, platform::SocketOption::kReuseAddress, 1);
  }
  if (family == platform::kSocketFamilyIPv6) {
    (void)SiSetSockOpt(record, platform::SocketOption::kIPv6Only, dual_stack ? 0 : 1);
  }
  platform::SocketAddress socket_address;
  int length = 0;
  if (int rc = NiIMakeSockAddr(handle, record, address, port, &socket_address, &length);
      rc != QEL_O_K) {
    return rc;
  }
  if (family == platform::kSocketFamilyLocal) {
    // A socket file nobody listens on is left over from an earlier run.
    NI_SOCKREC probe{-1, 0, 0, 0};
    if (SiSocket(family, platform::kSocketTypeStream, 0, &probe) == SI_OK) {
      const int connect_si = SiConnect(&probe, socket_address);
      (void)SiClose(&probe);
      if (connect_si == SI_ECONN_REFUSE) std::remove(socket_address.path);
    }
  }
  do {
    si = SiBind2(record, socket_address);
  } while (si == SI_EINTR);
  if (si == SI_OK) {
    do {
      si = SiListen(record, kBacklog);
    } while (si == SI_EINTR);
  }
  if (si != SI_OK) {
    return NiIMapSiError(si, kSiCallBind2, handle, record, record->error, nullptr, address, port,
                         function, kSource, __LINE__, true);
  }
  return QEL_O_K;
}

// Creates a connecting handle to `address` and starts the connect.
int ConnectTo(int family, const NI_NODEADDR* address, std::uint16_t port, int timeout,
              NI_HANDLE* out, const char* function) {
  NiHdl* handle = nullptr;
  if (int rc = NiICreateHandle(&handle, false); rc != QEL_O_K) return rc;
  handle->peer = address != nullptr ? *address : Library().loopback;
  handle->peer_port = port;
  auto fail = [&](int rc) {
    (void)NiICloseHandle(handle, false, false);
    return rc;
  };
  int si;
  do {
    si = SiSocket(family, platform::kSocketTypeStream, 0, &handle->sock);
  } while (si == SI_EINTR);
  if (si != SI_OK) {
    return fail(NiIMapSiError(si, kSiCallSocket, handle, &handle->sock, handle->sock.error, nullptr,
                              nullptr, 0, function, kSource, __LINE__, true));
  }
  if (family != platform::kSocketFamilyLocal) {
    (void)SiSetSockOpt(&handle->sock, platform::SocketOption::kNoDelay, 1);
  }
  platform::SocketAddress socket_address;
  int length = 0;
  if (int rc = NiIMakeSockAddr(handle, &handle->sock, address, port, &socket_address, &length);
      rc != QEL_O_K) {
    return fail(rc);
  }
  if (timeout >= 0) {
    if (int rc = NiIBlockMode(handle, false, false); rc != QEL_O_K) return fail(rc);
  }
  do {
    si = SiConnect(&handle->sock, socket_address);
  } while (si == SI_EINTR);
  if (si == SI_OK) {
    SetState(handle, NI_CONNECTED, function);
  } else if (si == SI_ECONN_INPROG) {
    SetState(handle, NI_CONN_WAIT, function);
    if (timeout > 0) {
      int rc = NiICheckPendConnection(handle, timeout, true);
      if (rc != QEL_O_K && rc != NIETIMEOUT) return fail(rc == NIESERV_USED ? NIECONN_REFUSED : rc);
    }
  } else {
    return fail(NiIMapSiError(si, kSiCallConnect, handle, &handle->sock, handle->sock.error,
                              nullptr, nullptr, 0, function, kSource, __LINE__, true));
  }
  *out = HandleNumber(handle);
  return QEL_O_K;
}

// Sets or gets the socket option behind a handle parameter.
int SocketParam(NiHdl* handle, int param, bool set, int* value, const char* function) {
  const auto option = param == NI_PARAM_NODELAY  ? platform::SocketOption::kNoDelay
                      : param == NI_PARAM_SNDBUF ? platform::SocketOption::kSendBuffer
                                                 : platform::SocketOption::kReceiveBuffer;
  NI_SOCKREC* record = IsListeningState(handle->state) ? &handle->listen[0] : &handle->sock;
  const int si = set ? SiSetSockOpt(record, option, *value) : SiGetSockOpt(record, option, value);
  if (si == SI_OK) return QEL_O_K;
  return NiIMapSiError(si, set ? kSiCallSetSockOpt : kSiCallGetSockOpt, handle, record,
                       record->error, nullptr, nullptr, 0, function, kSource, __LINE__, true);
}

bool IsPing(const unsigned char* data, int length) {
  return length == kNiCheckMessageSize && std::memcmp(data, NI_PING, kNiCheckMessageSize) == 0;
}

}  // namespace
}  // namespace parcel::ni

using namespace parcel::ni;
namespace platform = parcel::platform;

extern "C" {

int NiInit(void) { return NiInit3(); }

int NiInitHandles(int max_handles) {
  NiLibrary& lib = Library();
  if (lib.init_count > 0) return NiInit3();
  lib.init_count = 1;
  int rc = NiIInit(max_handles, std::getenv("NI_USEIPv6") != nullptr);
  if (rc != QEL_O_K) {
    NiIExit();
    return rc;
  }
  ThrLockInit(&lib.ref_lock, "NI ref section");
  ThrLockInit(&lib.heap_lock, "NI heap section");
  lib.buffer_locks_made = true;
  return QEL_O_K;
}

int NiExit(void) {
  NiLibrary& lib = Library();
  if (lib.init_count <= 0) return NIECALL;
  if (--lib.init_count > 0) return QEL_O_K;
  return NiIExit();
}

void NiThreadsOn(void) { parcel::runtime::EnableThreadServices(); }

int NiListen(const char* address, unsigned short port, int what, NI_HANDLE* out) {
  constexpr const char* kFunction = "NiListen";
  *out = NI_NO_HANDLE;
  if ((what & (NI_LISTEN_TCP | NI_LISTEN_LOCAL)) == 0 ||
      (what & ~(NI_LISTEN_TCP | NI_LISTEN_LOCAL)) || (what == NI_LISTEN_LOCAL && port == 0)) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid listen request (%d, %u)",
                    kFunction, what, port);
  }
  if (int rc = StartIfNeeded(); rc != QEL_O_K) return rc;
  NI_NODEADDR node;
  const NI_NODEADDR* bind_address = nullptr;
  int family = platform::kSocketFamilyIPv4;
  bool dual = false;
  if (address != nullptr) {
    if (int rc = ResolveHost(address, (what & NI_LISTEN_IPV6) != 0, &node); rc != QEL_O_K) {
      return rc;
    }
    bind_address = &node;
    family = IsIPv4Mapped(node) ? platform::kSocketFamilyIPv4 : platform::kSocketFamilyIPv6;
  } else if (what & NI_LISTEN_IPV6) {
    family = platform::kSocketFamilyIPv6;
    dual = (what & NI_LISTEN_IPV4) != 0;
    static const NI_NODEADDR kAny6{};
    bind_address = &kAny6;
  }
  NiHdl* handle = nullptr;
  if (int rc = NiICreateHandle(&handle, true); rc != QEL_O_K) return rc;
  std::uint16_t net_port = NetworkPort(port);
  if (what & NI_LISTEN_TCP) {
    int rc =
        OpenListening(handle, &handle->listen[0], family, bind_address, net_port, dual, kFunction);
    if (rc != QEL_O_K) {
      (void)NiICloseHandle(handle, false, false);
      return rc;
    }
    platform::SocketAddress bound;
    if (SiGetSockName(&handle->listen[0], &bound) == SI_OK) net_port = bound.port;
  }
  if (what & NI_LISTEN_LOCAL) {
    int rc = OpenListening(handle, &handle->listen[1], platform::kSocketFamilyLocal, nullptr,
                           net_port, false, kFunction);
    if (rc != QEL_O_K) {
      (void)NiICloseHandle(handle, false, false);
      return rc;
    }
  }
  SetState(handle, NI_LISTEN, kFunction);
  *out = HandleNumber(handle);
  return QEL_O_K;
}

int NiAccept(NI_HANDLE listener, int timeout, NI_HANDLE* out) {
  constexpr const char* kFunction = "NiAccept";
  *out = NI_NO_HANDLE;
  NiHdl* handle = nullptr;
  if (int rc = Lookup(listener, &handle, kFunction); rc != QEL_O_K) return rc;
  if (handle->state != NI_LISTEN) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: hdl %d is not listening", kFunction,
                    listener);
  }
  int sockets[2];
  NI_FDSET mask{0, 2, sockets};
  for (const NI_SOCKREC& record : handle->listen) {
    if (record.socket >= 0) SiMaskAdd(&mask, record.socket);
  }
  int ready = 0;
  if (int rc = NiISelect(&mask, nullptr, timeout, &ready); rc != QEL_O_K) return rc;
  NI_SOCKREC* from =
      handle->listen[0].socket == mask.sockets[0] ? &handle->listen[0] : &handle->listen[1];
  NI_SOCKREC accepted{-1, 0, 0, 0};
  platform::SocketAddress peer;
  int si;
  do {
    si = SiAccept(from, &accepted, &peer);
  } while (si == SI_EINTR || si == SI_ECONN_BROKEN);
  if (si == SI_ETIMEOUT) return NIETIMEOUT;  // taken by another caller meanwhile
  if (si != SI_OK) {
    return NiIMapSiError(si, kSiCallAccept, handle, from, from->error, nullptr, nullptr, 0,
                         kFunction, kSource, __LINE__, true);
  }
  NiHdl* connection = nullptr;
  if (int rc = NiICreateHandle(&connection, false); rc != QEL_O_K) {
    (void)SiClose(&accepted);
    return rc;
  }
  connection->sock = accepted;
  (void)NiISolveSockAddr(connection, &connection->sock, peer, &connection->peer,
                         &connection->peer_port, nullptr, 0);
  if (accepted.family != platform::kSocketFamilyLocal) {
    (void)SiSetSockOpt(&connection->sock, platform::SocketOption::kNoDelay, 1);
  }
  SetState(connection, NI_ACCEPTED, kFunction);
  *out = HandleNumber(connection);
  return QEL_O_K;
}

int NiConnect(const char* host, unsigned short port, int timeout, NI_HANDLE* out) {
  *out = NI_NO_HANDLE;
  if (host == nullptr || port == 0) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid address", "NiConnect");
  }
  if (int rc = StartIfNeeded(); rc != QEL_O_K) return rc;
  NI_NODEADDR node;
  if (int rc = ResolveHost(host, true, &node); rc != QEL_O_K) return rc;
  const int family = IsIPv4Mapped(node) ? platform::kSocketFamilyIPv4 : platform::kSocketFamilyIPv6;
  return ConnectTo(family, &node, NetworkPort(port), timeout, out, "NiConnect");
}

int NiConnectLocal(unsigned short port, int timeout, NI_HANDLE* out) {
  *out = NI_NO_HANDLE;
  if (port == 0) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid port", "NiConnectLocal");
  }
  if (int rc = StartIfNeeded(); rc != QEL_O_K) return rc;
  return ConnectTo(platform::kSocketFamilyLocal, nullptr, NetworkPort(port), timeout, out,
                   "NiConnectLocal");
}

int NiCheckConnect(NI_HANDLE number, int timeout) {
  NiHdl* handle = nullptr;
  if (int rc = Lookup(number, &handle, "NiCheckConnect"); rc != QEL_O_K) return rc;
  if (handle->state != NI_CONN_WAIT) return QEL_O_K;
  int rc = NiICheckPendConnection(handle, timeout, true);
  return rc == NIESERV_USED ? NIECONN_REFUSED : rc;
}

int NiWrite(NI_HANDLE number, const void* data, int length, int timeout, int* written) {
  *written = 0;
  NiHdl* handle = nullptr;
  if (int rc = Lookup(number, &handle, "NiWrite"); rc != QEL_O_K) return rc;
  if (BufferedExtension* ext = ExtensionOf(handle); ext != nullptr) {
    return NiBufIWrite(handle, ext, data, length, timeout, written);
  }
  return NiIWrite(handle, data, length, timeout, NI_MESG_IO, written);
}

int NiRead(NI_HANDLE number, void* buffer, int length, int timeout, int* received) {
  *received = 0;
  NiHdl* handle = nullptr;
  if (int rc = Lookup(number, &handle, "NiRead"); rc != QEL_O_K) return rc;
  if (BufferedExtension* ext = ExtensionOf(handle); ext != nullptr) {
    return NiBufIRead(handle, ext, buffer, length, timeout, received);
  }
  for (;;) {
    const bool fresh = handle->read_header_left == 4 && handle->read_data_left == 0;
    int rc = NiIRead(handle, buffer, length, timeout, NI_MESG_IO, received);
    if (rc != QEL_O_K || !fresh || !IsPing(static_cast<const unsigned char*>(buffer), *received)) {
      return rc;
    }
    // A check request from the peer: answer it and wait for the next message.
    if (rc = NiICheck(handle, timeout, false, nullptr); rc != QEL_O_K) return rc;
    *received = 0;
  }
}

int NiWriteRaw(NI_HANDLE number, const void* data, int length, int timeout, int* written) {
  *written = 0;
  NiHdl* handle = nullptr;
  if (int rc = Lookup(number, &handle, "NiWriteRaw"); rc != QEL_O_K) return rc;
  return NiIWrite(handle, data, length, timeout, NI_RAW_IO, written);
}

int NiReadRaw(NI_HANDLE number, void* buffer, int length, int timeout, int* received) {
  *received = 0;
  NiHdl* handle = nullptr;
  if (int rc = Lookup(number, &handle, "NiReadRaw"); rc != QEL_O_K) return rc;
  return NiIRead(handle, buffer, length, timeout, NI_RAW_IO, received);
}

int NiPeek(NI_HANDLE number, int direction, int timeout) {
  NiHdl* handle = nullptr;
  if (int rc = Lookup(number, &handle, "NiPeek"); rc != QEL_O_K) return rc;
  if (direction != NI_WAIT_READ && direction != NI_WAIT_WRITE) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid direction %d", "NiPeek",
                    direction);
  }
  return NiIPeek(handle, direction, timeout);
}

int NiPing(NI_HANDLE number, int timeout) {
  NiHdl* handle = nullptr;
  if (int rc = Lookup(number, &handle, "NiPing"); rc != QEL_O_K) return rc;
  if (BufferedExtension* ext = ExtensionOf(handle); ext != nullptr) {
    // The layer reports the answer as NIEPING. A message that comes first
    // stays for the caller's next read, and the check gives up.
    if (ext->waiting != nullptr) {
      return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: message waiting on hdl %d", "NiPing",
                      number);
    }
    handle->wait_check = 1;
    int rc = NiICheck(handle, timeout, true, nullptr);
    int length = 0;
    while (rc == QEL_O_K) {
      rc = NiBufIPendRead(handle, ext, timeout, &length);
      if (rc == NIEPING) {
        rc = QEL_O_K;
        break;
      }
      if (rc == QEL_O_K) {
        rc = NiIError(NIEINVAL, kSource, __LINE__, false,
                      "%s: message arrived before the answer on hdl %d", "NiPing", number);
      }
    }
    handle->wait_check = 0;
    return rc;
  }
  if (int rc = NiICheck(handle, timeout, true, nullptr); rc != QEL_O_K) return rc;
  for (;;) {
    unsigned char answer[kNiCheckMessageSize];
    int received = 0;
    int rc = NiIRead(handle, answer, sizeof answer, timeout, NI_MESG_IO, &received);
    if (rc == NIETOO_SMALL) {
      // Someone else's message: skip the rest of it.
      unsigned char rest[4096];
      do {
        rc = NiIRead(handle, rest, sizeof rest, timeout, NI_MESG_IO, &received);
      } while (rc == NIETOO_SMALL);
      if (rc != QEL_O_K) return rc;
      continue;
    }
    if (rc != QEL_O_K) return rc;
    if (received == kNiCheckMessageSize && std::memcmp(answer, NI_PONG, kNiCheckMessageSize) == 0) {
      return QEL_O_K;
    }
    if (IsPing(answer, received)) {
      if (rc = NiICheck(handle, timeout, false, nullptr); rc != QEL_O_K) return rc;
    }
  }
}

int NiWait(NI_WAIT_ENTRY* entries, int count, int timeout, int* ready) {
  constexpr const char* kFunction = "NiWait";
  *ready = 0;
  if (count < 0 || (count > 0 && entries == nullptr)) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid list (%d)", kFunction, count);
  }
  if (int rc = StartIfNeeded(); rc != QEL_O_K) return rc;
  const std::size_t capacity = static_cast<std::size_t>(count) * 2 + 1;
  int* storage = static_cast<int*>(NiIAlloc(capacity * 2 * sizeof(int), kFunction));
  if (storage == nullptr) {
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: malloc failed for %d bytes",
                    kFunction, static_cast<int>(capacity * 2 * sizeof(int)));
  }
  NI_FDSET read{0, static_cast<int>(capacity), storage};
  NI_FDSET write{0, static_cast<int>(capacity), storage + capacity};
  int rc = QEL_O_K;
  for (int i = 0; i < count && rc == QEL_O_K; ++i) {
    entries[i].revents = 0;
    NiHdl* handle = nullptr;
    rc = NiIHandle(entries[i].handle, &handle, kFunction);
    if (rc != QEL_O_K) break;
    const NI_SOCKREC* records[2] = {
        IsListeningState(handle->state) ? &handle->listen[0] : &handle->sock,
        IsListeningState(handle->state) ? &handle->listen[1] : nullptr};
    for (const NI_SOCKREC* record : records) {
      if (record == nullptr || record->socket < 0) continue;
      if (entries[i].events & NI_WAIT_READ) SiMaskAdd(&read, record->socket);
      if (entries[i].events & NI_WAIT_WRITE) SiMaskAdd(&write, record->socket);
    }
  }
  if (rc == QEL_O_K) rc = NiISelect(&read, &write, timeout, ready);
  if (rc == QEL_O_K) {
    int entries_ready = 0;
    for (int i = 0; i < count; ++i) {
      NiHdl* handle = &Library().table[entries[i].handle];
      const NI_SOCKREC* records[2] = {
          IsListeningState(handle->state) ? &handle->listen[0] : &handle->sock,
          IsListeningState(handle->state) ? &handle->listen[1] : nullptr};
      for (const NI_SOCKREC* record : records) {
        if (record == nullptr || record->socket < 0) continue;
        if (SiMaskIsSet(&read, record->socket)) entries[i].revents |= NI_WAIT_READ;
        if (SiMaskIsSet(&write, record->socket)) entries[i].revents |= NI_WAIT_WRITE;
      }
      entries[i].revents &= entries[i].events;
      if (entries[i].revents != 0) ++entries_ready;
    }
    *ready = entries_ready;
  }
  NiIFree(storage);
  return rc;
}

int NiSetParam(NI_HANDLE number, int param, int value) {
  constexpr const char* kFunction = "NiSetParam";
  if (int rc = StartIfNeeded(); rc != QEL_O_K) return rc;
  NiLibrary& lib = Library();
  if (number == NI_NO_HANDLE) {
    ThrLockEnter(&lib.param_lock);
    int rc = QEL_O_K;
    switch (param) {
      case NI_PARAM_TRACE_ALL: lib.settings.trace_all = value != 0; break;
      case NI_PARAM_FRAGMENT_TEST: lib.settings.fragment_test = value < 0 ? 0 : value; break;
      case NI_PARAM_QUEUE_TEST_COUNT:
        lib.settings.queue_test_count = value < 0 ? 0 : value;
        lib.queue_test_run.store(0);
        break;
      case NI_PARAM_QUEUE_TEST_PERCENT:
        lib.settings.queue_test_probability = value < 0 ? 0 : value > 100 ? 100 : value;
        break;
      case NI_PARAM_WAIT_OVERRUN: lib.settings.poll_overrun_seconds = value < 0 ? 0 : value; break;
      default: rc = NIEINVAL;
    }
    ThrLockLeave(&lib.param_lock);
    if (rc != QEL_O_K) {
      return NiIError(rc, kSource, __LINE__, false, "%s: invalid parameter %d", kFunction, param);
    }
    return rc;
  }
  NiHdl* handle = nullptr;
  if (int rc = NiIHandle(number, &handle, kFunction); rc != QEL_O_K) return rc;
  if (param >= NIP_TALKMODE && param <= NIP_MAX_MSG) {
    BufferedExtension* ext = ExtensionOf(handle);
    if (ext == nullptr) {
      return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: hdl %d is not buffered", kFunction,
                      number);
    }
    NI_HDLPARAM record{};
    record.param = param;
    record.datatype = param == NIP_TALKMODE || param == NIP_BUFSTAT ? NI_DT_RAW : NI_DT_UINT;
    if (record.datatype == NI_DT_RAW) {
      record.value.raw_val = value;
    } else {
      record.value.uint_val = static_cast<unsigned>(value < 0 ? 0 : value);
    }
    return NiBufISetHdlParam(handle, ext, &record);
  }
  switch (param) {
    case NI_PARAM_BLOCKING: return NiIBlockMode(handle, value != 0, true);
    case NI_PARAM_READ_ONCE: handle->read_once = value != 0; return QEL_O_K;
    case NI_PARAM_TRACE: handle->trace = value != 0; return QEL_O_K;
    case NI_PARAM_NODELAY:
    case NI_PARAM_SNDBUF:
    case NI_PARAM_RCVBUF: return SocketParam(handle, param, true, &value, kFunction);
    default:
      return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid parameter %d", kFunction,
                      param);
  }
}

int NiGetParam(NI_HANDLE number, int param, int* value) {
  constexpr const char* kFunction = "NiGetParam";
  if (int rc = StartIfNeeded(); rc != QEL_O_K) return rc;
  const NiSettings& settings = Library().settings;
  if (number == NI_NO_HANDLE) {
    switch (param) {
      case NI_PARAM_TRACE_ALL: *value = settings.trace_all ? 1 : 0; return QEL_O_K;
      case NI_PARAM_FRAGMENT_TEST: *value = settings.fragment_test; return QEL_O_K;
      case NI_PARAM_QUEUE_TEST_COUNT: *value = settings.queue_test_count; return QEL_O_K;
      case NI_PARAM_QUEUE_TEST_PERCENT: *value = settings.queue_test_probability; return QEL_O_K;
      case NI_PARAM_WAIT_OVERRUN: *value = settings.poll_overrun_seconds; return QEL_O_K;
      default: break;
    }
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid parameter %d", kFunction,
                    param);
  }
  NiHdl* handle = nullptr;
  if (int rc = NiIHandle(number, &handle, kFunction); rc != QEL_O_K) return rc;
  if (param >= NIP_TALKMODE && param <= NIP_MAX_MSG) {
    BufferedExtension* ext = ExtensionOf(handle);
    NI_HDLPARAM record{};
    record.param = param;
    if (ext == nullptr || NiBufIGetHdlParam(handle, ext, &record) != QEL_O_K) {
      return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid parameter %d", kFunction,
                      param);
    }
    *value = record.datatype == NI_DT_RAW ? record.value.raw_val
                                          : static_cast<int>(record.value.uint_val);
    return QEL_O_K;
  }
  switch (param) {
    case NI_PARAM_BLOCKING: *value = handle->blocking; return QEL_O_K;
    case NI_PARAM_READ_ONCE: *value = handle->read_once; return QEL_O_K;
    case NI_PARAM_TRACE: *value = handle->trace; return QEL_O_K;
    case NI_PARAM_NODELAY:
    case NI_PARAM_SNDBUF:
    case NI_PARAM_RCVBUF: return SocketParam(handle, param, false, value, kFunction);
    default:
      return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid parameter %d", kFunction,
                      param);
  }
}

int NiHandlePort(NI_HANDLE number, unsigned short* port) {
  NiHdl* handle = nullptr;
  if (int rc = Lookup(number, &handle, "NiHandlePort"); rc != QEL_O_K) return rc;
  NI_SOCKREC* record = IsListeningState(handle->state) ? &handle->listen[0] : &handle->sock;
  if (record->socket < 0 && IsListeningState(handle->state)) record = &handle->listen[1];
  platform::SocketAddress bound;
  if (record->socket < 0 || SiGetSockName(record, &bound) != SI_OK) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: hdl %d has no bound socket",
                    "NiHandlePort", number);
  }
  if (bound.family == platform::kSocketFamilyLocal) {
    // The port is the number at the end of the path.
    const char* digits = std::strrchr(bound.path, 'm');
    *port = digits != nullptr ? static_cast<unsigned short>(std::atoi(digits + 1)) : 0;
    return QEL_O_K;
  }
  *port = static_cast<unsigned short>(PortNumber(bound.port));
  return QEL_O_K;
}

int NiHandleAddress(NI_HANDLE number, int end, char* text, int size) {
  NiHdl* handle = nullptr;
  if (int rc = Lookup(number, &handle, "NiHandleAddress"); rc != QEL_O_K) return rc;
  if (text == nullptr || size <= 0) return NIEINVAL;
  if (end == NI_END_PEER) {
    if (IsListeningState(handle->state)) return NIEINVAL;
    FormatAddressPort(&handle->peer, handle->peer_port, text, static_cast<std::size_t>(size));
    return QEL_O_K;
  }
  NI_SOCKREC* record = IsListeningState(handle->state) ? &handle->listen[0] : &handle->sock;
  platform::SocketAddress bound;
  if (record->socket < 0 || SiGetSockName(record, &bound) != SI_OK) return NIEINVAL;
  NI_NODEADDR node;
  std::uint16_t port = 0;
  char path[platform::kLocalSocketPathSize];
  if (int rc = NiISolveSockAddr(handle, record, bound, &node, &port, path, sizeof path);
      rc != QEL_O_K) {
    return rc;
  }
  if (bound.family == platform::kSocketFamilyLocal) {
    std::snprintf(text, static_cast<std::size_t>(size), "%s", path);
  } else {
    FormatAddressPort(&node, port, text, static_cast<std::size_t>(size));
  }
  return QEL_O_K;
}

int NiShutdownWrite(NI_HANDLE number) {
  NiHdl* handle = nullptr;
  if (int rc = Lookup(number, &handle, "NiShutdownWrite"); rc != QEL_O_K) return rc;
  int si;
  do {
    si = SiShutdown(&handle->sock, 1);
  } while (si == SI_EINTR);
  if (si == SI_OK) return QEL_O_K;
  return NiIMapSiError(si, kSiCallShutdown, handle, &handle->sock, handle->sock.error, nullptr,
                       nullptr, 0, "NiShutdownWrite", kSource, __LINE__, true);
}

int NiClose(NI_HANDLE number) {
  NiHdl* handle = nullptr;
  if (int rc = Lookup(number, &handle, "NiClose"); rc != QEL_O_K) return rc;
  return NiICloseHandle(handle, true, false);
}

int NiSetBuffered(NI_HANDLE number) {
  NiHdl* handle = nullptr;
  if (int rc = Lookup(number, &handle, "NiSetBuffered"); rc != QEL_O_K) return rc;
  if (IsListeningState(handle->state)) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: hdl %d is listening", "NiSetBuffered",
                    number);
  }
  if (ExtensionOf(handle) != nullptr) return QEL_O_K;
  // A buffered handle's writes never block: its socket must not either.
  if (int rc = NiIBlockMode(handle, false, true); rc != QEL_O_K) return rc;
  return NiBufIHdlInit(handle);
}

int NiReceive(NI_HANDLE number, NIBUF** message, int timeout) {
  *message = nullptr;
  NiHdl* handle = nullptr;
  BufferedExtension* ext = nullptr;
  if (int rc = LookupBuffered(number, &handle, &ext, "NiReceive"); rc != QEL_O_K) return rc;
  return NiBufIReceive(handle, ext, message, timeout);
}

const void* NiBufData(const NIBUF* message) { return message != nullptr ? message->data : nullptr; }
int NiBufLength(const NIBUF* message) {
  return message != nullptr ? static_cast<int>(message->len) : 0;
}

int NiVersion(NI_HANDLE number, int timeout, int* version) {
  *version = 0;
  NiHdl* handle = nullptr;
  BufferedExtension* ext = nullptr;
  if (int rc = LookupBuffered(number, &handle, &ext, "NiVersion"); rc != QEL_O_K) return rc;
  handle->wait_version = 1;
  if (int rc = NiBufISendMsg(handle, ext, timeout, kOpVersionRequest, nullptr, 0); rc != QEL_O_K) {
    handle->wait_version = 0;
    return rc;
  }
  unsigned char answer[16];
  int received = 0;
  int rc;
  // The answer arrives as a one-byte message; user messages before it are
  // not expected on a connection that asks.
  do {
    rc = NiBufIRead(handle, ext, answer, sizeof answer, timeout, &received);
  } while (rc == QEL_O_K && handle->wait_version);
  handle->wait_version = 0;
  if (rc == QEL_O_K) *version = received == 1 ? answer[0] : 0;
  return rc;
}

int NiSendError(NI_HANDLE number, int code, int timeout) {
  NiHdl* handle = nullptr;
  BufferedExtension* ext = nullptr;
  if (int rc = LookupBuffered(number, &handle, &ext, "NiSendError"); rc != QEL_O_K) return rc;
  return NiBufISendErr(handle, ext, timeout, code);
}

int NiAllowTakeOver(NI_HANDLE number, int allow) {
  NiHdl* handle = nullptr;
  BufferedExtension* ext = nullptr;
  if (int rc = LookupBuffered(number, &handle, &ext, "NiAllowTakeOver"); rc != QEL_O_K) {
    return rc;
  }
  ext->take_over = allow != 0;
  return QEL_O_K;
}

int NiHandOver(NI_HANDLE number, NI_HANDLE handed_number, int timeout) {
  constexpr const char* kFunction = "NiHandOver";
  NiHdl* handle = nullptr;
  BufferedExtension* ext = nullptr;
  if (int rc = LookupBuffered(number, &handle, &ext, kFunction); rc != QEL_O_K) return rc;
  NiHdl* handed = nullptr;
  if (int rc = Lookup(handed_number, &handed, kFunction); rc != QEL_O_K) return rc;
  if (handed == handle || ext->status != kBufOk || ext->mpAcceptedHdl != nullptr ||
      (handed->state != NI_LISTEN && handed->state != NI_CONNECTED &&
       handed->state != NI_ACCEPTED)) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: cannot hand hdl %d over hdl %d",
                    kFunction, handed_number, number);
  }
  const int sockets = IsListeningState(handed->state)
                          ? (handed->listen[0].socket >= 0) + (handed->listen[1].socket >= 0)
                          : 1;
  const unsigned char data[6] = {0, handed->state, 0, 0, 0, static_cast<unsigned char>(sockets)};
  ext->mpAcceptedHdl = handed;
  SetBufStatus(handle, ext, kBufSending, kFunction);
  (void)NiBufISetHS(handle, ext, true);
  int rc = NiBufISendMsg(handle, ext, timeout, kOpHandOverOffer, data, 6);
  if (rc == QEL_O_K) rc = NiBufIEmptyOutQueue(handle, ext, timeout);
  if (rc == QEL_O_K && ext->status == kBufSending) rc = NIETIMEOUT;
  if (rc != QEL_O_K && ext->status == kBufSending) {
    // The exchange did not finish: the handle stays here.
    ext->mpAcceptedHdl = nullptr;
    SetBufStatus(handle, ext, kBufOk, kFunction);
    if (ext->handshake > 0) (void)NiBufISetHS(handle, ext, false);
  }
  return rc;
}

int NiTakeOver(NI_HANDLE number, NI_HANDLE* taken) {
  *taken = NI_NO_HANDLE;
  NiHdl* handle = nullptr;
  BufferedExtension* ext = nullptr;
  if (int rc = LookupBuffered(number, &handle, &ext, "NiTakeOver"); rc != QEL_O_K) return rc;
  if (ext->taken_over == nullptr) return NIETIMEOUT;
  *taken = HandleNumber(ext->taken_over);
  ext->taken_over = nullptr;
  ext->check_answer = false;
  (void)NiBufISelUpdate(handle, ext);
  return QEL_O_K;
}

const char* NiErrorName(int code) { return NiIErrorName(code); }
const char* NiErrorText(int code) { return NiIErrorText(code); }

}  // extern "C"
