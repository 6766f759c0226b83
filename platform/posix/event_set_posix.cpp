// POSIX side of the event set: epoll on Linux, the polled list elsewhere.
#include "platform/event_set.h"

#if defined(__linux__)
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <new>
#include <vector>
#else
#include "platform/event_set_list.h"
#endif

namespace parcel::platform {

#if defined(__linux__)

struct EventSet {
  int epoll;
  std::vector<epoll_event> events;
};

int EventSetCreate(EventSet** out) noexcept {
  const int fd = epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) return SocketErrorFromErrno(errno);
  *out = new (std::nothrow) EventSet{fd, {}};
  if (*out == nullptr) {
    close(fd);
    return kWsaENOBUFS;
  }
  return 0;
}

void EventSetDestroy(EventSet* set) noexcept {
  if (set == nullptr) return;
  close(set->epoll);
  delete set;
}

int EventSetWatch(EventSet* set, SocketHandle socket, short events, void* tag) noexcept {
  epoll_event event{};
  if (events & kPollRead) event.events |= EPOLLIN | EPOLLRDHUP;
  if (events & kPollWrite) event.events |= EPOLLOUT;
  event.data.ptr = tag;
  if (epoll_ctl(set->epoll, EPOLL_CTL_MOD, socket, &event) == 0) return 0;
  if (errno == ENOENT && epoll_ctl(set->epoll, EPOLL_CTL_ADD, socket, &event) == 0) return 0;
  return SocketErrorFromErrno(errno);
}

int EventSetForget(EventSet* set, SocketHandle socket) noexcept {
  if (epoll_ctl(set->epoll, EPOLL_CTL_DEL, socket, nullptr) == 0 || errno == ENOENT ||
      errno == EBADF) {
    return 0;
  }
  return SocketErrorFromErrno(errno);
}

int EventSetWait(EventSet* set, int timeout_ms, SocketEvent* out, std::size_t capacity,
                 std::size_t* count) noexcept {
  *count = 0;
  if (capacity == 0) return kWsaEINVAL;
  try {
    if (set->events.size() < capacity) set->events.resize(capacity);
  } catch (...) {
    return kWsaENOBUFS;
  }
  const int n = epoll_wait(set->epoll, set->events.data(), static_cast<int>(capacity),
                           timeout_ms < 0 ? -1 : timeout_ms);
  if (n < 0) return errno == EINTR ? 0 : SocketErrorFromErrno(errno);
  for (int i = 0; i < n; ++i) {
    const std::uint32_t e = set->events[static_cast<std::size_t>(i)].events;
    short events = 0;
    if (e & EPOLLIN) events |= kPollRead;
    if (e & EPOLLOUT) events |= kPollWrite;
    if (e & EPOLLERR) events |= kPollError;
    if (e & (EPOLLHUP | EPOLLRDHUP)) events |= kPollHangUp;
    // The tag stands for the socket: the set's owner knows which it is.
    out[i] = SocketEvent{kInvalidSocket, events, set->events[static_cast<std::size_t>(i)].data.ptr};
  }
  *count = static_cast<std::size_t>(n);
  return 0;
}

#else

int EventSetCreate(EventSet** out) noexcept { return ListCreate(out); }
void EventSetDestroy(EventSet* set) noexcept { delete set; }
int EventSetWatch(EventSet* set, SocketHandle socket, short events, void* tag) noexcept {
  return ListWatch(set, socket, events, tag);
}
int EventSetForget(EventSet* set, SocketHandle socket) noexcept { return ListForget(set, socket); }
int EventSetWait(EventSet* set, int timeout_ms, SocketEvent* out, std::size_t capacity,
                 std::size_t* count) noexcept {
  return ListWait(set, timeout_ms, out, capacity, count);
}

#endif

}  // namespace parcel::platform
