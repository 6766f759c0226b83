// A set of sockets watched for readiness, for servers that wait on many
// connections at once: epoll on Linux; elsewhere a list polled through
// SocketPoll (poll(2) on POSIX, select with sets sized for the call on
// Windows), so no descriptor or set-size limit applies.
//
// Level-triggered: a socket that stays ready is reported by every wait.
// Thread safety: one set is used by one thread at a time.
#ifndef PARCEL_PLATFORM_EVENT_SET_H_
#define PARCEL_PLATFORM_EVENT_SET_H_

#include <cstddef>

#include "platform/socket.h"

namespace parcel::platform {

struct EventSet;

// A ready socket: the events (kPollRead, kPollWrite, kPollError,
// kPollHangUp) and the tag given when it was added.
struct SocketEvent {
  SocketHandle socket;
  short events;
  void* tag;
};

// 0 or a Windows Sockets error number (10055 without memory).
int EventSetCreate(EventSet** out) noexcept;
void EventSetDestroy(EventSet* set) noexcept;
// Watches `socket` for `events` (kPollRead and/or kPollWrite; errors and
// hang-ups are reported whatever is asked, 0 watches for those alone),
// adding it or changing what it is watched for.
int EventSetWatch(EventSet* set, SocketHandle socket, short events, void* tag) noexcept;
// Stops watching `socket` (a socket not in the set is no error).
int EventSetForget(EventSet* set, SocketHandle socket) noexcept;
// Waits until a socket is ready or `timeout_ms` passed (negative: no
// limit) and writes up to `capacity` ready sockets to `out`; `*count`
// receives how many. An interrupted wait returns 0 with count 0.
int EventSetWait(EventSet* set, int timeout_ms, SocketEvent* out, std::size_t capacity,
                 std::size_t* count) noexcept;

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_EVENT_SET_H_
