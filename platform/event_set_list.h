// The event set as a list polled through SocketPoll: the set of systems
// without epoll. Internal to platform/.
#ifndef PARCEL_PLATFORM_EVENT_SET_LIST_H_
#define PARCEL_PLATFORM_EVENT_SET_LIST_H_

#include <new>
#include <unordered_map>
#include <vector>

#include "platform/event_set.h"

namespace parcel::platform {

struct EventSet {
  std::vector<PollEntry> entries;
  std::vector<void*> tags;
  std::unordered_map<SocketHandle, std::size_t> index;  // socket -> position
};

inline int ListCreate(EventSet** out) noexcept {
  *out = new (std::nothrow) EventSet;
  return *out != nullptr ? 0 : kWsaENOBUFS;
}

inline int ListWatch(EventSet* set, SocketHandle socket, short events, void* tag) noexcept {
  try {
    auto found = set->index.find(socket);
    if (found != set->index.end()) {
      set->entries[found->second].events = events;
      set->tags[found->second] = tag;
      return 0;
    }
    set->index.emplace(socket, set->entries.size());
    set->entries.push_back(PollEntry{socket, events, 0});
    set->tags.push_back(tag);
    return 0;
  } catch (...) {
    return kWsaENOBUFS;
  }
}

inline int ListForget(EventSet* set, SocketHandle socket) noexcept {
  auto found = set->index.find(socket);
  if (found == set->index.end()) return 0;
  const std::size_t at = found->second;
  const std::size_t last = set->entries.size() - 1;
  if (at != last) {
    set->entries[at] = set->entries[last];
    set->tags[at] = set->tags[last];
    set->index[set->entries[at].socket] = at;
  }
  set->entries.pop_back();
  set->tags.pop_back();
  set->index.erase(found);
  return 0;
}

inline int ListWait(EventSet* set, int timeout_ms, SocketEvent* out, std::size_t capacity,
                    std::size_t* count) noexcept {
  *count = 0;
  int ready = 0;
  int error = SocketPoll(set->entries.data(), set->entries.size(), timeout_ms, &ready);
  if (error == kWsaEINTR) return 0;
  if (error != 0) return error;
  for (std::size_t i = 0; i < set->entries.size() && *count < capacity; ++i) {
    if (set->entries[i].revents == 0) continue;
    out[(*count)++] = SocketEvent{set->entries[i].socket, set->entries[i].revents, set->tags[i]};
  }
  return 0;
}

}  // namespace parcel::platform

#endif  // PARCEL_PLATFORM_EVENT_SET_LIST_H_
