// Translation of socket-layer failures into NI codes, with their error
// information and trace line.
#include <cstdio>
#include <cstring>

#include "errinfo/errinfo.h"
#include "ni/ni_addr.h"
#include "ni/nii.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

const char* FamilyShort(int family) {
  switch (family) {
    case platform::kSocketFamilyIPv4: return "I4";
    case platform::kSocketFamilyIPv6: return "I6";
    case platform::kSocketFamilyLocal: return "UD";
    default: return "??";
  }
}

const char* TypeShort(int type) {
  switch (type) {
    case platform::kSocketTypeStream: return "ST";
    case platform::kSocketTypeDatagram: return "DG";
    default: return "??";
  }
}

bool IsSendCall(int call) { return call >= kSiCallSend && call <= kSiCallSendMsg2; }
bool IsReceiveCall(int call) { return call >= kSiCallRecv && call <= kSiCallRecvMsg2; }
bool IsBindCall(int call) { return call == kSiCallBind || call == kSiCallBind2; }
bool IsConnectCall(int call) { return call == kSiCallConnect || call == kSiCallConnect2; }

// What a translation decided.
struct Translation {
  int rc;
  const char* text;      // template with at most one %s
  const char* argument;  // fills the %s
  char detail[96];
  const char* function;
  const char* system_calls;
  bool trace;
};

}  // namespace
}  // namespace parcel::ni

int NiIMapSiError(int si_code, int call, NiHdl* handle, const NI_SOCKREC* record, int system_error,
                  const char* detail, const NI_NODEADDR* address, std::uint16_t port,
                  const char* function, const char* source, int line, bool trace) noexcept {
  using namespace parcel::ni;
  const NiLibrary& lib = Library();
  const NI_SOCKREC* sock = record;
  if (sock == nullptr && handle != nullptr) {
    sock = IsListeningState(handle->state) ? &handle->listen[0] : &handle->sock;
  }
  const int family = sock != nullptr ? sock->family : 0;
  const int type = sock != nullptr ? sock->type : 0;

  // host:service of the peer, from cached names only.
  const NI_NODEADDR* peer = address;
  std::uint16_t peer_port = port;
  if (peer == nullptr && handle != nullptr && !IsListeningState(handle->state)) {
    peer = &handle->peer;
    peer_port = handle->peer_port;
  }
  char host_service[160] = "";
  char address_text[160] = "";
  if (peer != nullptr) {
    PeerText(peer, peer_port, host_service, sizeof host_service);
    FormatAddressPort(peer, peer_port, address_text, sizeof address_text);
  }
  char service[NI_SERVNO_STR_LEN] = "";
  (void)NiSrvToStr2(peer_port, service, sizeof service);
  char own_host[NI_NODEADDR_STR_LEN] = "";
  (void)NiAddrToStr(peer, own_host, sizeof own_host, true);

  Translation t{};
  t.function = function != nullptr ? function : "";
  t.system_calls = SiCallSystemCalls(call);
  t.trace = trace;
  t.argument = nullptr;
  t.detail[0] = '\0';
  switch (si_code) {
    case SI_EINVAL:
    case SI_EINVAL_SOCK:
      t.rc = NIEINVAL;
      if (si_code == SI_EINVAL && call == kSiCallShutdown && !lib.settings.trace_shutdown_inval) {
        t.trace = false;
      }
      break;
    case SI_EINVAL_FAMI:
      t.rc = NIEINTERN;
      std::snprintf(t.detail, sizeof t.detail, "; %d", family);
      break;
    case SI_EINVAL_OPT: t.rc = NIEINTERN; break;
    case SI_EADDR_NAVAIL:
    case SI_ECONN_REFUSE:
      if (IsBindCall(call)) {
        if (family == parcel::platform::kSocketFamilyLocal) {
          t.rc = NIESERV_USED;
          t.argument = service;
        } else {
          t.rc = NIEMYHOST_VERIFY;
          t.argument = own_host;
        }
      } else {
        t.rc = NIECONN_REFUSED;
        t.argument = host_service;
        if (IsConnectCall(call)) {
          t.function = "NiPConnect";
          t.system_calls = "connect";
        } else if (call == kSiCallPeekPendConn) {
          t.function = "NiPConnect2";
          t.system_calls = "connect";
        }
      }
      break;
    case SI_EPORT_INUSE:
      t.rc = NIESERV_USED;
      t.argument = service;
      break;
    case SI_ECONN_BROKEN:
      t.rc = NIECONN_BROKEN;
      t.argument = host_service;
      if ((IsSendCall(call) && !lib.settings.trace_send_broken) ||
          (IsReceiveCall(call) && !lib.settings.trace_recv_broken)) {
        t.trace = false;
      }
      break;
    case SI_ETIMEOUT:
      if (IsConnectCall(call)) {
        t.rc = NIECONN_REFUSED;
        t.argument = host_service;
      } else {
        t.rc = NIETIMEOUT;
      }
      break;
    case SI_EMFILE:
      t.rc = NIEINVAL;
      std::snprintf(t.detail, sizeof t.detail, "; own high %d; max hds %d",
                    sock != nullptr ? sock->socket : -1, lib.max_handles);
      break;
    default: t.rc = NIEINTERN; break;
  }
  // NIEINVAL and the internal errors carry their code's template; the
  // others theirs with the host, service or partner filled in.
  t.text = t.rc == NIEINTERN ? "internal error" : NiIErrorText(t.rc);
  if (detail != nullptr && detail[0] != '\0') {
    std::size_t used = std::strlen(t.detail);
    std::snprintf(t.detail + used, sizeof t.detail - used, "; %s", detail);
  }

  char error_text[256];
  char detail_text[160];
  if (t.argument != nullptr) {
    std::snprintf(error_text, sizeof error_text, t.text, t.argument);
  } else {
    std::snprintf(error_text, sizeof error_text, "%s", t.text);
  }
  std::snprintf(detail_text, sizeof detail_text, "%s%s", t.function, t.detail);
  ErrISetSys(kNiComponent, kNiComponentNumber, source, line, t.trace ? 1 : 0, error_text, t.rc,
             detail_text, t.system_calls, system_error, nullptr, nullptr, nullptr, nullptr);

  if (t.trace && trcLevel >= 1) {
    const char* si_name = SiCodeName(si_code);
    if (si_name == nullptr) si_name = "???";
    const char* separator = address_text[0] != '\0' ? "; " : "";
    const char* operation = SiCallName(call);
    if (handle == nullptr) {
      PARCEL_TRC_AT(1, source, line, DpTrcError, "%s: %s failed (%s/%d%s%s%s)\n", t.function,
                    operation, si_name, system_error, separator, address_text, t.detail);
    } else if (IsListeningState(handle->state) && handle->listen[1].socket >= 0) {
      PARCEL_TRC_AT(1, source, line, DpTrcError,
                    "%s: %s failed for hdl %d / sock %d - sock %d\n    (%s/%d; %s; %s%s%s%s)\n",
                    t.function, operation, HandleNumber(handle), handle->listen[0].socket,
                    handle->listen[1].socket, si_name, system_error, FamilyShort(family),
                    TypeShort(type), separator, address_text, t.detail);
    } else {
      PARCEL_TRC_AT(1, source, line, DpTrcError,
                    "%s: %s failed for hdl %d / sock %d\n    (%s/%d; %s; %s%s%s%s)\n", t.function,
                    operation, HandleNumber(handle), sock != nullptr ? sock->socket : -1, si_name,
                    system_error, FamilyShort(family), TypeShort(type), separator, address_text,
                    t.detail);
    }
  }
  return t.rc;
}
