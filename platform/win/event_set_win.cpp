// Windows side of the event set: the polled list (SocketPoll sizes its
// select sets for each call, so the set has no FD_SETSIZE limit).
#include "platform/event_set.h"

#include "platform/event_set_list.h"

namespace parcel::platform {

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

}  // namespace parcel::platform
