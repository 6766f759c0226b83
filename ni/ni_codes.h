// Return codes of the network interface library (NI) and of its socket layer
// (SI), the socket call identifiers, and their names and texts.
//
// NI codes are 0 (QEL_O_K) or negative. NiIErrorText gives printf templates
// whose "%s" places (host, service, partner) the caller fills. SI codes are
// small non-negative numbers returned by the socket layer; a call identifier
// says which socket operation failed.
//
// Thread safety: every function here is a look-up in constant tables; the
// unknown-value trace lines are single trace statements.
#ifndef PARCEL_NI_NI_CODES_H_
#define PARCEL_NI_NI_CODES_H_

// NI return codes (enumerators, so that C code can use them too).
// clang-format off
enum NiReturnCode {
  QEL_O_K = 0,
  NIEINTERN = -1,
  NIEHOST_UNKNOWN = -2,
  NIESERV_UNKNOWN = -3,
  NIESERV_USED = -4,
  NIETIMEOUT = -5,
  NIECONN_BROKEN = -6,
  NIETOO_SMALL = -7,
  NIEINVAL = -8,
  NIEWAKEUP = -9,
  NIECONN_REFUSED = -10,
  NIEPING = -11,
  NIECONN_PENDING = -12,
  NIEVERSION = -13,
  NIENOFREEPORT = -15,
  NIEMYHOST_VERIFY = -16,
  NIEWLX_FAILURE = -17,
  NIEOPCODE = -18,
  NIEQUE_FULL = -19,
  NIETOO_BIG = -20,
  NIEACCEPT = -21,
  NIEPASSED = -22,
  NIENO_ANSWER = -23,
  NIECALL = -24,
  NIEROUT_HOST_UNKNOWN = -90,
  NIEROUT_SERV_UNKNOWN = -91,
  NIEROUT_CONN_REFUSED = -92,
  NIEROUT_INTERN = -93,
  NIEROUT_PERM_DENIED = -94,
  NIEROUT_CONN_BROKEN = -95,
  NIEROUT_VERSION = -96,
  NIEROUT_CANCELED = -97,
  NIEROUT_SHUTDOWN = -98,
  NIEROUT_INFO_DENIED = -99,
  NIEROUT_OVERFLOW = -100,
  NIEROUT_MODE_DENIED = -101,
  NIEROUT_NOCLIENT = -102,
  NIEROUT_EXTERN = -103,
  NIEROUT_WLX_FAILURE = -104,
};

// SI codes.
enum SiReturnCode {
  SI_OK = 0,
  SI_EINVAL = 1,
  SI_EINVAL_SOCK = 2,
  SI_EINVAL_FAMI = 3,
  SI_EINVAL_OPT = 4,
  SI_EINTR = 5,
  SI_ESYSCALL = 6,
  SI_EADDR_NAVAIL = 7,
  SI_EPORT_INUSE = 8,
  SI_ECONN_REFUSE = 10,
  SI_ECONN_INPROG = 11,
  SI_ECONN_BROKEN = 12,
  SI_ETIMEOUT = 13,
  SI_EINTERN = 14,
  SI_ENOTIMPL = 15,
  SI_EMEMORY = 16,
  SI_EMFILE = 17,
};
// clang-format on

#ifdef __cplusplus
namespace parcel::ni {

// Error numbers of the socket layer's own, stored in a socket record like the
// system's numbers.
inline constexpr int kSiErrFamily = 2048;        // protocol family not supported
inline constexpr int kSiErrOption = 2049;        // protocol level or option not supported
inline constexpr int kSiErrInternal = 2050;      // unexpected value from a system call
inline constexpr int kSiErrNotSupported = 2051;  // platform has no implementation

// Socket call identifiers (which socket operation failed).
enum SiCall : int {
  kSiCallNone = 0,
  kSiCallInit = 1,
  kSiCallExit = 2,
  kSiCallSocket = 3,
  kSiCallSocketIPv4 = 4,
  kSiCallSocketIPv6 = 5,
  kSiCallSocketUDS = 6,
  kSiCallClose = 7,
  kSiCallBind = 8,
  kSiCallBind2 = 9,
  kSiCallListen = 10,
  kSiCallAccept = 11,
  kSiCallAccept2 = 12,
  kSiCallConnect = 13,
  kSiCallConnect2 = 14,
  kSiCallSend = 15,
  kSiCallSendV = 16,
  kSiCallSendTo = 17,
  kSiCallSendTo2 = 18,
  kSiCallSendMsg = 19,
  kSiCallSendMsg2 = 20,
  kSiCallRecv = 21,
  kSiCallRecvV = 22,
  kSiCallRecvFrom = 23,
  kSiCallRecvFrom2 = 24,
  kSiCallRecvMsg = 25,
  kSiCallRecvMsg2 = 26,
  kSiCallGetPendDataLen = 27,
  kSiCallShutdown = 28,
  kSiCallGetSockName = 29,
  kSiCallGetSockName2 = 30,
  kSiCallGetPeerName = 31,
  kSiCallGetPeerName2 = 32,
  kSiCallGetSockOpt = 33,
  kSiCallGetSockOpt2 = 34,
  kSiCallSetSockOpt = 35,
  kSiCallSetSockOpt2 = 36,
  kSiCallGetBlockMode = 37,
  kSiCallSetBlockMode = 38,
  kSiCallGetCloseExec = 39,
  kSiCallSetCloseExec = 40,
  kSiCallSelect = 41,
  kSiCallPoll = 42,
  kSiCallPeek = 43,
  kSiCallPeekPendConn = 44,
  kSiCallSendSocket = 45,
  kSiCallRecvSocket = 46,
};
inline constexpr int kSiCallCount = 47;

// Name of an SI code ("SI_ETIMEOUT"); null for a value without a name.
const char* SiCodeName(int si_code) noexcept;
// Operation name ("SiSend") and system calls ("send") of a call identifier;
// "???" for a value outside the table.
const char* SiCallName(int call) noexcept;
const char* SiCallSystemCalls(int call) noexcept;
// "AF_UNIX", "AF_INET", "AF_INET6" for families 1, 2, 23; "SOCK_STREAM",
// "SOCK_DGRAM", "SOCK_RAW" for types 1, 2, 3; "???" otherwise.
const char* SiFamilyName(int family) noexcept;
const char* SiTypeName(int type) noexcept;
// The text of a library-private error number (2048 .. 2051); null otherwise.
const char* SiPrivateErrorText(int error) noexcept;

}  // namespace parcel::ni

// The name of an NI code ("NIETIMEOUT"). A value outside the table gives
// "*** ERROR ***" and the trace line "NiIErrorName: unknown error %d" at
// level 1.
const char* NiIErrorName(int code) noexcept;
// The text template of an NI code. A code without a text (0, -23, -103 and
// every unassigned value) gives "*** ERROR ***" and the trace line
// "NiIErrorText: unknown error %d" at level 1.
const char* NiIErrorText(int code) noexcept;
#endif  // __cplusplus

#endif  // PARCEL_NI_NI_CODES_H_
