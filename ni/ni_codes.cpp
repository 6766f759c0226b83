// Names and texts of the NI and SI codes and of the socket call identifiers.
#include "ni/ni_codes.h"

#include <cstddef>

#include "runtime/trace.h"

namespace {

constexpr const char* kNoText = "*** ERROR ***";

// Every text once; codes that share a text point to the same entry.
// clang-format off
enum TextId : unsigned char {
  kTxtNone, kTxtInternal, kTxtHostUnknown, kTxtServUnknown, kTxtServUsed, kTxtTimeout,
  kTxtConnBroken, kTxtCallerRc, kTxtNotReached, kTxtPending, kTxtVersion, kTxtNoFreePort,
  kTxtVerifyHost, kTxtWlx, kTxtOpcode, kTxtQueueFull, kTxtTooBig, kTxtAccept, kTxtPassed,
  kTxtCall, kTxtRoutPerm, kTxtRoutBroken, kTxtRoutCanceled, kTxtRoutShutdown, kTxtRoutInfo,
  kTxtRoutOverflow, kTxtRoutMode, kTxtRoutNoClient,
};

constexpr const char* kTexts[] = {
  nullptr,
  "internal error",
  "hostname '%s' unknown",
  "service '%s' unknown",
  "service '%s' in use",
  "timeout occured",
  "connection to partner '%s' broken",
  "internal error\n(this retcode should be handled by caller of NI-layer)",
  "partner '%s' not reached",
  "timeout while pending for route completion",
  "invalid client version",
  "no free connect port found within range",
  "verify own hostname '%s' failed",
  "WLX processing failed:\n%s",
  "Opcode received",
  "Queue overflow",
  "Network packet too big",
  "Accepted handle pending",
  "Handle passed to other process",
  "Unexpected function call",
  "%s: route permission denied (%s to %s, %s)",
  "connection to %s, %s broken",
  "route canceled by administator",
  "router shutdown",
  "info access denied (%s to %s, %s)",
  "maximum number of clients reached",
  "talkmode Native2 not allowed",
  "invalid client requested",
};

struct CodeRow {
  int code;
  const char* name;
  TextId text;
};

constexpr CodeRow kCodes[] = {
  {QEL_O_K,              "QEL_O_K",              kTxtNone},
  {NIEINTERN,            "NIEINTERN",            kTxtInternal},
  {NIEHOST_UNKNOWN,      "NIEHOST_UNKNOWN",      kTxtHostUnknown},
  {NIESERV_UNKNOWN,      "NIESERV_UNKNOWN",      kTxtServUnknown},
  {NIESERV_USED,         "NIESERV_USED",         kTxtServUsed},
  {NIETIMEOUT,           "NIETIMEOUT",           kTxtTimeout},
  {NIECONN_BROKEN,       "NIECONN_BROKEN",       kTxtConnBroken},
  {NIETOO_SMALL,         "NIETOO_SMALL",         kTxtCallerRc},
  {NIEINVAL,             "NIEINVAL",             kTxtCallerRc},
  {NIEWAKEUP,            "NIEWAKEUP",            kTxtCallerRc},
  {NIECONN_REFUSED,      "NIECONN_REFUSED",      kTxtNotReached},
  {NIEPING,              "NIEPING",              kTxtCallerRc},
  {NIECONN_PENDING,      "NIECONN_PENDING",      kTxtPending},
  {NIEVERSION,           "NIEVERSION",           kTxtVersion},
  {NIENOFREEPORT,        "NIENOFREEPORT",        kTxtNoFreePort},
  {NIEMYHOST_VERIFY,     "NIEMYHOST_VERIFY",     kTxtVerifyHost},
  {NIEWLX_FAILURE,       "NIEWLX_FAILURE",       kTxtWlx},
  {NIEOPCODE,            "NIEOPCODE",            kTxtOpcode},
  {NIEQUE_FULL,          "NIEQUE_FULL",          kTxtQueueFull},
  {NIETOO_BIG,           "NIETOO_BIG",           kTxtTooBig},
  {NIEACCEPT,            "NIEACCEPT",            kTxtAccept},
  {NIEPASSED,            "NIEPASSED",            kTxtPassed},
  {NIENO_ANSWER,         "NIENO_ANSWER",         kTxtNone},
  {NIECALL,              "NIECALL",              kTxtCall},
  {NIEROUT_HOST_UNKNOWN, "NIEROUT_HOST_UNKNOWN", kTxtHostUnknown},
  {NIEROUT_SERV_UNKNOWN, "NIEROUT_SERV_UNKNOWN", kTxtServUnknown},
  {NIEROUT_CONN_REFUSED, "NIEROUT_CONN_REFUSED", kTxtNotReached},
  {NIEROUT_INTERN,       "NIEROUT_INTERN",       kTxtInternal},
  {NIEROUT_PERM_DENIED,  "NIEROUT_PERM_DENIED",  kTxtRoutPerm},
  {NIEROUT_CONN_BROKEN,  "NIEROUT_CONN_BROKEN",  kTxtRoutBroken},
  {NIEROUT_VERSION,      "NIEROUT_VERSION",      kTxtVersion},
  {NIEROUT_CANCELED,     "NIEROUT_CANCELED",     kTxtRoutCanceled},
  {NIEROUT_SHUTDOWN,     "NIEROUT_SHUTDOWN",     kTxtRoutShutdown},
  {NIEROUT_INFO_DENIED,  "NIEROUT_INFO_DENIED",  kTxtRoutInfo},
  {NIEROUT_OVERFLOW,     "NIEROUT_OVERFLOW",     kTxtRoutOverflow},
  {NIEROUT_MODE_DENIED,  "NIEROUT_MODE_DENIED",  kTxtRoutMode},
  {NIEROUT_NOCLIENT,     "NIEROUT_NOCLIENT",     kTxtRoutNoClient},
  {NIEROUT_EXTERN,       "NIEROUT_EXTERN",       kTxtNone},
  {NIEROUT_WLX_FAILURE,  "NIEROUT_WLX_FAILURE",  kTxtWlx},
};

constexpr const char* kSiNames[] = {
  "SI_OK", "SI_EINVAL", "SI_EINVAL_SOCK", "SI_EINVAL_FAMI", "SI_EINVAL_OPT", "SI_EINTR",
  "SI_ESYSCALL", "SI_EADDR_NAVAIL", "SI_EPORT_INUSE", nullptr, "SI_ECONN_REFUSE",
  "SI_ECONN_INPROG", "SI_ECONN_BROKEN", "SI_ETIMEOUT", "SI_EINTERN", "SI_ENOTIMPL",
  "SI_EMEMORY", "SI_EMFILE",
};

struct CallRow {
  const char* operation;
  const char* system_calls;
};

constexpr CallRow kCalls[parcel::ni::kSiCallCount] = {
  {"(none)",           "(none)"},
  {"SiInit",           "TcpipInit"},
  {"SiExit",           "WSACleanup"},
  {"SiSocket",         "WSASocket, socket"},
  {"SiSocketIPv4",     "WSASocket, socket"},
  {"SiSocketIPv6",     "WSASocket, socket"},
  {"SiSocketUDS",      "WSASocket, socket"},
  {"SiClose",          "closesocket"},
  {"SiBind",           "bind"},
  {"SiBind2",          "bind"},
  {"SiListen",         "listen"},
  {"SiAccept",         "accept"},
  {"SiAccept2",        "accept"},
  {"SiConnect",        "connect"},
  {"SiConnect2",       "connect"},
  {"SiSend",           "send"},
  {"SiSendV",          "WSASend"},
  {"SiSendTo",         "sendto"},
  {"SiSendTo2",        "sendto"},
  {"SiSendMsg",        "send, WSASend, sendto"},
  {"SiSendMsg2",       "send, WSASend, sendto"},
  {"SiRecv",           "recv"},
  {"SiRecvV",          "WSARecv"},
  {"SiRecvFrom",       "recvfrom"},
  {"SiRecvFrom2",      "recvfrom"},
  {"SiRecvMsg",        "recv, WSARecv, recvfrom"},
  {"SiRecvMsg2",       "recv, WSARecv, recvfrom"},
  {"SiGetPendDataLen", "ioctlsocket"},
  {"SiShutdown",       "shutdown"},
  {"SiGetSockName",    "getsockname"},
  {"SiGetSockName2",   "getsockname"},
  {"SiGetPeerName",    "getpeername"},
  {"SiGetPeerName2",   "getpeername"},
  {"SiGetSockOpt",     "getsockopt"},
  {"SiGetSockOpt2",    "getsockopt"},
  {"SiSetSockOpt",     "setsockopt"},
  {"SiSetSockOpt2",    "setsockopt"},
  {"SiGetBlockMode",   "(none)"},
  {"SiSetBlockMode",   "ioctlsocket"},
  {"SiGetCloseExec",   "GetHandleInformation"},
  {"SiSetCloseExec",   "SetHandleInformation"},
  {"SiSelect",         "select"},
  {"SiPoll",           "(none)"},
  {"SiPeek",           "select"},
  {"SiPeekPendConn",   "select, getsockopt"},
  {"SiSendSocket",     "WSADuplicateSocket, send"},
  {"SiRecvSocket",     "recv, WSASocket, SetHandleInformation"},
};
// clang-format on

const CodeRow* FindCode(int code) {
  for (const CodeRow& row : kCodes) {
    if (row.code == code) return &row;
  }
  return nullptr;
}

void TraceUnknown(const char* function, int code) {
  PARCEL_TRC(1, DpTrc, "%s: unknown error %d\n", function, code);
}

}  // namespace

const char* NiIErrorName(int code) noexcept {
  const CodeRow* row = FindCode(code);
  if (row == nullptr) {
    TraceUnknown("NiIErrorName", code);
    return kNoText;
  }
  return row->name;
}

const char* NiIErrorText(int code) noexcept {
  const CodeRow* row = FindCode(code);
  if (row == nullptr || row->text == kTxtNone) {
    TraceUnknown("NiIErrorText", code);
    return kNoText;
  }
  return kTexts[row->text];
}

namespace parcel::ni {

const char* SiCodeName(int si_code) noexcept {
  if (si_code < 0 || si_code >= static_cast<int>(std::size(kSiNames))) return nullptr;
  return kSiNames[si_code];
}

const char* SiCallName(int call) noexcept {
  return call >= 0 && call < kSiCallCount ? kCalls[call].operation : "???";
}

const char* SiCallSystemCalls(int call) noexcept {
  return call >= 0 && call < kSiCallCount ? kCalls[call].system_calls : "???";
}

const char* SiFamilyName(int family) noexcept {
  switch (family) {
    case 1: return "AF_UNIX";
    case 2: return "AF_INET";
    case 23: return "AF_INET6";
    default: return "???";
  }
}

const char* SiTypeName(int type) noexcept {
  switch (type) {
    case 1: return "SOCK_STREAM";
    case 2: return "SOCK_DGRAM";
    case 3: return "SOCK_RAW";
    default: return "???";
  }
}

const char* SiPrivateErrorText(int error) noexcept {
  switch (error) {
    case kSiErrFamily: return "protocol family not supported";
    case kSiErrOption: return "protocol level or option not supported";
    case kSiErrInternal:
      return "unexpected value retured from system call, which cause invalid internal status";
    case kSiErrNotSupported: return "platform does not support a implementation";
    default: return nullptr;
  }
}

}  // namespace parcel::ni
