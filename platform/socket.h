// Sockets over the system's socket interface (Windows Sockets 2 on Windows,
// BSD sockets on POSIX), with one error vocabulary on every platform: each
// operation returns 0 on success or a Windows Sockets error number (10004
// interrupted, 10035 would block, 10054 reset, ...). On POSIX the errno value
// goes through one translation table (SocketErrorFromErrno), so the layers
// above never see errno.
//
// Families and types are given in the Windows numbering everywhere:
// kSocketFamilyLocal 1, kSocketFamilyIPv4 2, kSocketFamilyIPv6 23; types 1
// stream, 2 datagram, 3 raw. Addresses travel as SocketAddress, a portable
// form that each side turns into the system's socket address.
//
// Common guarantees:
//  - No operation ever raises SIGPIPE (POSIX sends with MSG_NOSIGNAL).
//  - Sockets are created and accepted close-on-exec (not inherited by child
//    processes; on Windows not inheritable).
//  - An interrupted system call is reported as 10004 (kWsaEINTR), never
//    retried here: the caller decides.
//  - A call that would block on a non-blocking socket is reported as 10035
//    (kWsaEWOULDBLOCK); so is a non-blocking connect in progress.
//  - POSIX descriptors may be 1024 and above, so nothing here uses select or
//    FD_SET on POSIX: SocketPoll rests on poll(2). On Windows SocketPoll rests
//    on select with sets sized for the call, so it has no FD_SETSIZE limit.
//
// Windows: ws2_32.dll is not imported by the binaries. Its functions are
// bound on first use (SocketStartup loads the library and resolves every
// function once); until a SocketStartup succeeded, every other operation
// returns 10093 (kWsaNOTINITIALISED). A function the system lacks makes the
// operations that need it return 10045 (kWsaEOPNOTSUPP).
//
// A null pointer where a result is to be stored gives 10014 (kWsaEFAULT).
//
// Thread safety: every operation may be called from any thread; operations on
// one socket from several threads at once are the caller's to order.
#ifndef PARCEL_PLATFORM_SOCKET_H_
#define PARCEL_PLATFORM_SOCKET_H_

#include <cstddef>
#include <cstdint>

namespace parcel::platform {

#if defined(_WIN32)
using SocketHandle = std::uintptr_t;  // SOCKET
inline constexpr SocketHandle kInvalidSocket = ~SocketHandle{0};
#else
using SocketHandle = int;  // file descriptor
inline constexpr SocketHandle kInvalidSocket = -1;
#endif

// Whether SocketPoll is the system's own poll (POSIX) rather than a select
// standing in for it (Windows).
#if defined(_WIN32)
inline constexpr bool kSocketPollIsNative = false;
#else
inline constexpr bool kSocketPollIsNative = true;
#endif

// Families (Windows numbering) and types.
inline constexpr int kSocketFamilyLocal = 1;
inline constexpr int kSocketFamilyIPv4 = 2;
inline constexpr int kSocketFamilyIPv6 = 23;
inline constexpr int kSocketTypeStream = 1;
inline constexpr int kSocketTypeDatagram = 2;
inline constexpr int kSocketTypeRaw = 3;

// Windows Sockets error numbers: the one error vocabulary of socket results.
inline constexpr int kWsaEINTR = 10004;
inline constexpr int kWsaEBADF = 10009;
inline constexpr int kWsaEACCES = 10013;
inline constexpr int kWsaEFAULT = 10014;
inline constexpr int kWsaEINVAL = 10022;
inline constexpr int kWsaEMFILE = 10024;
inline constexpr int kWsaEWOULDBLOCK = 10035;
inline constexpr int kWsaEINPROGRESS = 10036;
inline constexpr int kWsaEALREADY = 10037;
inline constexpr int kWsaENOTSOCK = 10038;
inline constexpr int kWsaEDESTADDRREQ = 10039;
inline constexpr int kWsaEMSGSIZE = 10040;
inline constexpr int kWsaEPROTOTYPE = 10041;
inline constexpr int kWsaENOPROTOOPT = 10042;
inline constexpr int kWsaEPROTONOSUPPORT = 10043;
inline constexpr int kWsaESOCKTNOSUPPORT = 10044;
inline constexpr int kWsaEOPNOTSUPP = 10045;
inline constexpr int kWsaEPFNOSUPPORT = 10046;
inline constexpr int kWsaEAFNOSUPPORT = 10047;
inline constexpr int kWsaEADDRINUSE = 10048;
inline constexpr int kWsaEADDRNOTAVAIL = 10049;
inline constexpr int kWsaENETDOWN = 10050;
inline constexpr int kWsaENETUNREACH = 10051;
inline constexpr int kWsaENETRESET = 10052;
inline constexpr int kWsaECONNABORTED = 10053;
inline constexpr int kWsaECONNRESET = 10054;
inline constexpr int kWsaENOBUFS = 10055;
inline constexpr int kWsaEISCONN = 10056;
inline constexpr int kWsaENOTCONN = 10057;
inline constexpr int kWsaESHUTDOWN = 10058;
inline constexpr int kWsaETOOMANYREFS = 10059;
inline constexpr int kWsaETIMEDOUT = 10060;
inline constexpr int kWsaECONNREFUSED = 10061;
inline constexpr int kWsaELOOP = 10062;
inline constexpr int kWsaENAMETOOLONG = 10063;
inline constexpr int kWsaEHOSTDOWN = 10064;
inline constexpr int kWsaEHOSTUNREACH = 10065;
inline constexpr int kWsaSYSNOTREADY = 10091;
inline constexpr int kWsaVERNOTSUPPORTED = 10092;
inline constexpr int kWsaNOTINITIALISED = 10093;
inline constexpr int kWsaHOST_NOT_FOUND = 11001;
inline constexpr int kWsaTRY_AGAIN = 11002;
inline constexpr int kWsaNO_RECOVERY = 11003;
inline constexpr int kWsaNO_DATA = 11004;

// The Windows Sockets number of an errno value (EINTR 10004, EAGAIN,
// EWOULDBLOCK and EINPROGRESS 10035, ENOTSOCK and EBADF 10038, EPIPE and
// ECONNRESET 10054, ...). A value the table does not know is returned
// unchanged (errno values are far below 10000, so they never pass for a
// Windows number). Available on every platform, so the table can be tested
// everywhere; on Windows the socket operations never call it.
int SocketErrorFromErrno(int errno_value) noexcept;

// Path of a local stream socket, terminator included.
inline constexpr std::size_t kLocalSocketPathSize = 108;

// A socket address in portable form.
struct SocketAddress {
  int family = 0;                        // kSocketFamily*, 0 = none
  std::uint16_t port = 0;                // network byte order (IPv4, IPv6)
  std::uint8_t address[16] = {};         // IPv4: bytes 0..3; IPv6: all 16
  std::uint32_t scope_id = 0;            // IPv6 scope (host order)
  char path[kLocalSocketPathSize] = {};  // local: NUL-terminated path
};
// A local address is checked before the system sees it: an empty path gives
// 10022, a path that leaves no room for its terminator 10063. A local
// address read back (SocketLocalAddress, SocketPeerAddress, SocketAccept)
// of an unnamed socket has an empty path.

// Starts the socket interface of the process, asking for version
// major.minor: WSAStartup on Windows (loading and binding ws2_32.dll at the
// first call; a system without it gives 10091), nothing on POSIX. Each
// successful call needs one SocketCleanup.
int SocketStartup(int major, int minor) noexcept;
// Undoes one SocketStartup (WSACleanup); 0 on POSIX.
int SocketCleanup() noexcept;

// Opaque copy of the system's protocol provider record (WSAPROTOCOL_INFOA on
// 64-bit Windows is 372 bytes).
inline constexpr std::size_t kProtocolEntrySize = 372;
struct ProtocolEntry {
  alignas(8) unsigned char bytes[kProtocolEntrySize];
};

// Creates a socket. Stream sockets on Windows are made by WSASocketA with
// `provider` (may be null), no group and overlapped, others by socket();
// `provider` is ignored on POSIX. `*out` receives the socket on success.
int SocketOpen(int family, int type, int protocol, const ProtocolEntry* provider,
               SocketHandle* out) noexcept;
// Closes the socket. The handle is released even when the call is
// interrupted, so an interrupted close counts as success here (retrying could
// close a handle another thread has been given meanwhile).
int SocketClose(SocketHandle socket) noexcept;
// Binds to `address` (its family must be the socket's).
int SocketBind(SocketHandle socket, const SocketAddress& address) noexcept;
int SocketListen(SocketHandle socket, int backlog) noexcept;
// Accepts one connection; `peer` may be null. The new socket is blocking.
int SocketAccept(SocketHandle socket, SocketHandle* out, SocketAddress* peer) noexcept;
// Connects. A non-blocking socket gives 10035 while the connect goes on;
// SocketConnectResult then tells its outcome once the socket is writable.
int SocketConnect(SocketHandle socket, const SocketAddress& address) noexcept;
// The pending error of the socket (SO_ERROR) in `*error` (0 = none): the
// outcome of a non-blocking connect.
int SocketConnectResult(SocketHandle socket, int* error) noexcept;
// Shutdown of the receiving (0), sending (1) or both directions (2).
int SocketShutdown(SocketHandle socket, int how) noexcept;
int SocketLocalAddress(SocketHandle socket, SocketAddress* out) noexcept;
int SocketPeerAddress(SocketHandle socket, SocketAddress* out) noexcept;
int SocketSetBlocking(SocketHandle socket, bool blocking) noexcept;

// Sends up to `length` bytes; `*sent` receives the count (0 on failure).
int SocketSend(SocketHandle socket, const void* data, std::size_t length,
               std::size_t* sent) noexcept;
// One gathering send of `count` pieces (WSASend, sendmsg).
struct SocketBuffer {
  const void* data;
  std::size_t length;
};
int SocketSendV(SocketHandle socket, const SocketBuffer* pieces, int count,
                std::size_t* sent) noexcept;
// Receives up to `length` bytes; `*received` 0 with result 0 is the peer's
// orderly close. With `peek` the bytes stay in the socket (MSG_PEEK).
int SocketReceive(SocketHandle socket, void* data, std::size_t length, bool peek,
                  std::size_t* received) noexcept;
// Bytes that can be read without blocking (FIONREAD).
int SocketPendingBytes(SocketHandle socket, std::size_t* bytes) noexcept;

// Integer socket options.
enum class SocketOption {
  // A listener may bind a port whose old connections linger: SO_REUSEADDR on
  // POSIX. On Windows, where that is the default and SO_REUSEADDR would let
  // another socket take a port in use, SO_EXCLUSIVEADDRUSE instead.
  kReuseAddress,
  kNoDelay,        // TCP_NODELAY
  kKeepAlive,      // SO_KEEPALIVE
  kSendBuffer,     // SO_SNDBUF
  kReceiveBuffer,  // SO_RCVBUF
  kIPv6Only,       // IPV6_V6ONLY
};
int SocketSetOption(SocketHandle socket, SocketOption option, int value) noexcept;
int SocketGetOption(SocketHandle socket, SocketOption option, int* value) noexcept;

// Readiness wait. Events in `events` and `revents` are bit sets of the values
// below; kPollError and kPollHangUp are reported whether asked for or not.
inline constexpr short kPollRead = 1;
inline constexpr short kPollWrite = 2;
inline constexpr short kPollError = 4;
inline constexpr short kPollHangUp = 8;
struct PollEntry {
  SocketHandle socket;
  short events;
  short revents;
};
// Waits until one entry is ready or `timeout_ms` passed (negative: no limit,
// 0: just look) and sets every entry's `revents`; `*ready` receives the
// number of entries with a non-zero `revents`. Entries whose socket is
// kInvalidSocket are skipped (POSIX poll's rule for negative descriptors).
// A handle that is not open fails the whole call with 10038 (Windows's
// select refuses any handle that is no socket). Windows reports no hang-up: a peer's close
// shows as readable there (a receive then gives 0 bytes). With no socket to
// watch, the call waits `timeout_ms` (a negative one gives 10022 on Windows).
int SocketPoll(PollEntry* entries, std::size_t count, int timeout_ms, int* ready) noexcept;
// SocketPoll on one socket: 0 when it is ready for `events`, 10060 when
// `timeout_ms` passed first, or SocketPoll's error.
int SocketWaitOne(SocketHandle socket, short events, int timeout_ms) noexcept;

// Sockets handed over at once, at most.
inline constexpr int kMaxPassedSockets = 8;
// Hands sockets to another process on this host over the connected
// `channel`. POSIX passes the descriptors themselves with one byte of data
// (SCM_RIGHTS; the channel must be a local stream socket); Windows sends, for
// each socket, the 372-byte protocol record that WSADuplicateSocketA makes
// for process `process_id`. The sender keeps its own sockets.
int SocketSendSockets(SocketHandle channel, const SocketHandle* sockets, int count,
                      int process_id) noexcept;
// Receives `count` sockets sent by SocketSendSockets, waiting at most
// `timeout_ms` for them. Descriptors that come with other data, or more or
// fewer than `count` of them, are closed and the result is 10022. The new
// sockets are close-on-exec (not inheritable) and blocking.
int SocketReceiveSockets(SocketHandle channel, SocketHandle* sockets, int count,
                         int timeout_ms) noexcept;

// Quality-of-service providers. Fills `*tcp` and `*udp` with copies of the
// first provider entries of family IPv4 with protocol 6 (TCP) and 17 (UDP)
// whose service flags carry 0x2000 (quality of service supported), and sets
// `*have_tcp` / `*have_udp` accordingly (WSAEnumProtocolsA, first for the
// size, then into a buffer of that size). POSIX has no such providers: both
// flags false and result 0. Requires a started socket interface on Windows.
int FindQosProviders(ProtocolEntry* tcp, bool* have_tcp, ProtocolEntry* udp,
                     bool* have_udp) noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_SOCKET_H_
