// The socket layer of the network interface library: thin operations on a
// socket record that report SI codes (ni/ni_codes.h) and keep the system's
// error number (a Windows Sockets number on every platform) in the record.
//
// Every operation reaches the system through a table of socket functions
// (SiSystem). The default table is the platform's socket service; tests
// install a scripted one to produce failures the kernel will not produce on
// demand. The table is process-wide: install it while no socket operation
// runs.
//
// Thread safety: start and stop are called by the library start and end;
// the in-progress and broken lists are used only under the socket-layer lock.
#ifndef PARCEL_NI_SI_H_
#define PARCEL_NI_SI_H_

#include <cstddef>
#include <cstdint>

#include "ni/ni_codes.h"
#include "platform/socket.h"

// A socket as the library holds it: the descriptor (-1 = none), the family
// and type (Windows numbering) and the last error number stored for it.
struct NI_SOCKREC {
  int socket;
  int family;
  int type;
  int error;
};

namespace parcel::ni {

// The system functions the socket layer calls (see platform/socket.h for
// their contracts).
struct SiSystem {
  int (*startup)(int major, int minor);
  int (*cleanup)();
  int (*open)(int family, int type, int protocol, const platform::ProtocolEntry* provider,
              platform::SocketHandle* out);
  int (*close)(platform::SocketHandle socket);
  int (*bind)(platform::SocketHandle socket, const platform::SocketAddress& address);
  int (*local_address)(platform::SocketHandle socket, platform::SocketAddress* out);
  int (*peer_address)(platform::SocketHandle socket, platform::SocketAddress* out);
  int (*find_qos_providers)(platform::ProtocolEntry* tcp, bool* have_tcp,
                            platform::ProtocolEntry* udp, bool* have_udp);
  int (*listen)(platform::SocketHandle socket, int backlog);
  int (*accept)(platform::SocketHandle socket, platform::SocketHandle* out,
                platform::SocketAddress* peer);
  int (*connect)(platform::SocketHandle socket, const platform::SocketAddress& address);
  int (*connect_result)(platform::SocketHandle socket, int* error);
  int (*shutdown)(platform::SocketHandle socket, int how);
  int (*set_blocking)(platform::SocketHandle socket, bool blocking);
  int (*send)(platform::SocketHandle socket, const void* data, std::size_t length,
              std::size_t* sent);
  int (*send_v)(platform::SocketHandle socket, const platform::SocketBuffer* pieces, int count,
                std::size_t* sent);
  int (*receive)(platform::SocketHandle socket, void* data, std::size_t length, bool peek,
                 std::size_t* received);
  int (*pending_bytes)(platform::SocketHandle socket, std::size_t* bytes);
  int (*set_option)(platform::SocketHandle socket, platform::SocketOption option, int value);
  int (*get_option)(platform::SocketHandle socket, platform::SocketOption option, int* value);
  int (*poll)(platform::PollEntry* entries, std::size_t count, int timeout_ms, int* ready);
};

// The platform's functions.
const SiSystem& SiPlatformSystem() noexcept;
// Installs `system` (borrowed; it must outlive its use); null restores the
// platform's functions. Returns the table that was installed before.
const SiSystem* SiSetSystem(const SiSystem* system) noexcept;
// The table in use.
const SiSystem& SiCurrentSystem() noexcept;

// The system socket of a record.
inline platform::SocketHandle SiHandleOf(const NI_SOCKREC& record) {
  return record.socket < 0 ? platform::kInvalidSocket
                           : static_cast<platform::SocketHandle>(record.socket);
}

// Whether the socket layer is started (for tests and the library end).
bool SiIsStarted() noexcept;

// The sorted lists of sockets whose connect is in progress and of sockets
// found broken while connecting. Insert keeps the list sorted and ignores a
// socket already in it; false when the list is full. Under the socket-layer
// lock.
inline constexpr std::size_t kSiListCapacity = 32768;
enum class SiList { kInProgress, kBroken };
bool SiListInsert(SiList list, int socket) noexcept;
// The socket-layer lock around the lists (does nothing while not started).
void SiLockLists() noexcept;
void SiUnlockLists() noexcept;
bool SiListRemove(SiList list, int socket) noexcept;
bool SiListContains(SiList list, int socket) noexcept;
std::size_t SiListSize(SiList list) noexcept;

// The quality-of-service set-up's results, kept for the life of the process.
struct QosState {
  bool done;
  bool have_tcp;
  bool have_udp;
  platform::ProtocolEntry tcp;
  platform::ProtocolEntry udp;
  char application[64];
  char policy_locator[256];
  // The identity object built from the two texts (empty when none was built).
  unsigned char identity[512];
  std::size_t identity_length;
};
const QosState& SiQosState() noexcept;
// Forgets the set-up, so that the next start of the socket layer runs it
// again. For tests.
void SiResetQos() noexcept;

// The environment variable that names the application for quality of
// service (beside "QOSENABLE" and "QOSPOLICYLOCATOR").
inline constexpr const char* kQosApplicationVariable = "QOSAPPNAME";

// Builds the identity object (an RSVP policy-information object of type 1001
// with one application-identity policy element holding the policy locator
// and the application name) into `out` (`size` bytes). Returns its length,
// or 0 when it does not fit.
std::size_t BuildQosIdentity(const char* policy_locator, const char* application,
                             unsigned char* out, std::size_t size) noexcept;

}  // namespace parcel::ni

// Starts the socket layer; a second call while started does nothing. The
// first start of the process runs the quality-of-service set-up. SI_OK, or
// SI_ESYSCALL with the error number in `*system_error` (may be null).
int SiInit(int* system_error) noexcept;
// Stops the socket layer (SI_OK when it is not started).
int SiExit(int* system_error) noexcept;
// Creates a socket into `record`.
int SiSocket(int family, int type, int protocol, NI_SOCKREC* record) noexcept;
// Binds an IPv4 or IPv6 record to `address` (4 or 16 bytes, or null for the
// wildcard) and `port` (network order, or null for 0).
int SiBind(NI_SOCKREC* record, const unsigned char* address, int length,
           const std::uint16_t* port) noexcept;
// Binds a record of any family to a socket address made by NiIMakeSockAddr.
int SiBind2(NI_SOCKREC* record, const parcel::platform::SocketAddress& address) noexcept;
// The bound address of the record's socket.
int SiGetSockName(NI_SOCKREC* record, parcel::platform::SocketAddress* out) noexcept;
int SiGetPeerName(NI_SOCKREC* record, parcel::platform::SocketAddress* out) noexcept;
// Closes the record's socket, taking it out of both lists first.
int SiClose(NI_SOCKREC* record) noexcept;

// --- Transfer, readiness and connection operations --------------------------

// Poll entries of SiPoll and NiIPoll, with the event bits below.
struct NI_POLLFD {
  int fd;
  short events;
  short revents;
};
// clang-format off
inline constexpr short NI_POLLIN  = 1;
inline constexpr short NI_POLLOUT = 4;
inline constexpr short NI_POLLERR = 8;
inline constexpr short NI_POLLHUP = 16;
// clang-format on

// A select mask: a sorted list of sockets in storage the caller provides.
struct NI_FDSET {
  int count;
  int capacity;
  int* sockets;
};
namespace parcel::ni {
// Adds `socket` keeping the list sorted; a full mask writes "select mask %p
// full (%d)" and stays as it is (false).
bool SiMaskAdd(NI_FDSET* mask, int socket) noexcept;
bool SiMaskRemove(NI_FDSET* mask, int socket) noexcept;
bool SiMaskIsSet(const NI_FDSET* mask, int socket) noexcept;
}  // namespace parcel::ni

// Sends; `*sent` receives the bytes sent (0 on failure).
int SiSend(NI_SOCKREC* record, const void* data, std::size_t length, std::size_t* sent) noexcept;
// One gathering send of up to `count` pieces.
int SiSendV(NI_SOCKREC* record, const parcel::platform::SocketBuffer* pieces, int count,
            std::size_t* sent) noexcept;
// Receives; `*received` 0 with SI_OK means the peer closed.
int SiRecv(NI_SOCKREC* record, void* data, std::size_t length, std::size_t* received) noexcept;
// Waits until the socket is readable (direction 1) or writable (2), at most
// `timeout` ms (-1: no limit): SI_OK ready, SI_ETIMEOUT not ready.
int SiPeek(NI_SOCKREC* record, int direction, int timeout) noexcept;
// Finishes a non-blocking connect: SI_OK connected, SI_ETIMEOUT still
// connecting, SI_ECONN_REFUSE or SI_EPORT_INUSE failed.
int SiPeekPendConn(NI_SOCKREC* record, int timeout) noexcept;
int SiSetBlockMode(NI_SOCKREC* record, bool blocking) noexcept;
// Waits on the sockets of the two masks; afterwards they hold the ready
// sockets only. `*ready` receives their number.
int SiSelect(NI_FDSET* read, NI_FDSET* write, int timeout, int* ready) noexcept;
// poll(2) where the platform has it; SI_ENOTIMPL with error 2051 in
// `*system_error` where it has not (Windows).
int SiPoll(NI_POLLFD* entries, int count, int timeout, int* ready, int* system_error) noexcept;
int SiListen(NI_SOCKREC* record, int backlog) noexcept;
// Accepts into `accepted`; `peer` may be null. SI_ETIMEOUT when nothing is
// pending on a non-blocking socket.
int SiAccept(NI_SOCKREC* record, NI_SOCKREC* accepted,
             parcel::platform::SocketAddress* peer) noexcept;
// Connects; SI_ECONN_INPROG for a non-blocking connect that goes on (the
// socket then stands in the in-progress list).
int SiConnect(NI_SOCKREC* record, const parcel::platform::SocketAddress& address) noexcept;
int SiShutdown(NI_SOCKREC* record, int how) noexcept;
int SiSetSockOpt(NI_SOCKREC* record, parcel::platform::SocketOption option, int value) noexcept;
int SiGetSockOpt(NI_SOCKREC* record, parcel::platform::SocketOption option, int* value) noexcept;
int SiGetPendDataLen(NI_SOCKREC* record, std::size_t* bytes) noexcept;

#endif  // PARCEL_NI_SI_H_
