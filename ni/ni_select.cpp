// Select sets: many handles waited on at once, buffered handles reported by
// the messages they hold, unbuffered ones by their sockets.
#include <cstring>
#include <new>
#include <vector>

#include "ni/ni.h"
#include "ni/ni_buf.h"
#include "platform/event_set.h"
#include "runtime/trace.h"

namespace parcel::ni {

struct SelectSet {
  platform::EventSet* events = nullptr;
  // Per handle number: what was asked (0 = not in the set).
  std::vector<unsigned char> asked;
  // Handles whose buffered ready state is not empty.
  std::vector<int> ready;
  std::vector<int> ready_at;  // position in `ready`, -1 = none
  std::vector<platform::SocketEvent> fired;
  int members = 0;
};

namespace {

constexpr const char* kSource = "ni_select.cpp";

void* TagOf(int number) { return reinterpret_cast<void*>(static_cast<std::intptr_t>(number) + 1); }
int NumberOf(void* tag) { return static_cast<int>(reinterpret_cast<std::intptr_t>(tag) - 1); }

void ReadyInsert(SelectSet* set, int number) {
  if (set->ready_at[static_cast<std::size_t>(number)] >= 0) return;
  set->ready_at[static_cast<std::size_t>(number)] = static_cast<int>(set->ready.size());
  set->ready.push_back(number);
}

void ReadyRemove(SelectSet* set, int number) {
  const int at = set->ready_at[static_cast<std::size_t>(number)];
  if (at < 0) return;
  const int last = set->ready.back();
  set->ready[static_cast<std::size_t>(at)] = last;
  set->ready_at[static_cast<std::size_t>(last)] = at;
  set->ready.pop_back();
  set->ready_at[static_cast<std::size_t>(number)] = -1;
}

short SocketEvents(unsigned char mode) {
  short events = 0;
  if (mode & 1) events |= platform::kPollRead;
  if (mode & 2) events |= platform::kPollWrite;
  return events;
}

// Watches the sockets of an unbuffered handle for what was asked.
int WatchPlain(SelectSet* set, NiHdl* handle, unsigned char asked) {
  const int number = HandleNumber(handle);
  const NI_SOCKREC* records[2] = {
      IsListeningState(handle->state) ? &handle->listen[0] : &handle->sock,
      IsListeningState(handle->state) ? &handle->listen[1] : nullptr};
  for (const NI_SOCKREC* record : records) {
    if (record == nullptr || record->socket < 0) continue;
    int error = platform::EventSetWatch(set->events, SiHandleOf(*record), SocketEvents(asked & 3),
                                        TagOf(number));
    if (error != 0) {
      return NiIError(error == platform::kWsaENOBUFS ? NIEINTERN : NIEINVAL, kSource, __LINE__,
                      false, "%s: set failed for hdl %d set%p; unknown error %d", "NiSelSet",
                      number, static_cast<void*>(set), error);
    }
  }
  return QEL_O_K;
}

void ForgetSockets(SelectSet* set, NiHdl* handle) {
  const NI_SOCKREC* records[3] = {&handle->sock, &handle->listen[0], &handle->listen[1]};
  for (const NI_SOCKREC* record : records) {
    if (record->socket >= 0) (void)platform::EventSetForget(set->events, SiHandleOf(*record));
  }
}

void Leave(SelectSet* set, NiHdl* handle) {
  const int number = HandleNumber(handle);
  if (set->asked[static_cast<std::size_t>(number)] != 0) --set->members;
  set->asked[static_cast<std::size_t>(number)] = 0;
  ReadyRemove(set, number);
  ForgetSockets(set, handle);
  handle->select_set = nullptr;
  if (BufferedExtension* ext = ExtensionOf(handle); ext != nullptr) {
    ext->set = nullptr;
    ext->asked = ext->mode = ext->ready_state = 0;
  }
}

}  // namespace

void SelectSetDropHandle(HandleRecord* handle) noexcept {
  if (handle->select_set != nullptr) Leave(handle->select_set, handle);
}

void SelectSetForget(NiHdl* handle, BufferedExtension* /*ext*/) noexcept {
  SelectSetDropHandle(handle);
}

}  // namespace parcel::ni

using namespace parcel::ni;

int NiBufISelUpdate(NiHdl* handle, BufferedExtension* ext) noexcept {
  constexpr const char* kFunction = "NiBufISelUpdate";
  const bool connecting = handle->state == NI_CONN_WAIT;
  unsigned char mode = 0;
  unsigned char ready = 0;
  if (ext->status == kBufErr) {
    ready = (connecting && !(ext->asked & 1)) ? 2 : 3;
  } else {
    if (ext->waiting != nullptr) ready |= ext->taken_over != nullptr ? 4 : 1;
    // The socket stays watched while a message waits (the wait does not read
    // for such a handle, and reports it ready anyway): dropping the interest
    // and taking it up again cost two changes of the event set per message.
    if (ext->in != nullptr || ext->handshake > 0 || (ext->asked & 5) ||
        ext->status == kBufAccepting) {
      mode |= 1;
    }
    if (ext->ready != nullptr || connecting ||
        (ext->handshake == 0 && (ext->queue_oldest != nullptr || (ext->asked & 2)))) {
      mode |= 2;
    }
    if (ext->marked_writable && ext->queue_oldest == nullptr && ext->ready == nullptr &&
        ext->handshake == 0 && !connecting) {
      ready |= 2;
    }
  }
  ready &= ext->asked;
  SelectSet* set = ext->set;
  if (set == nullptr) {
    ext->mode = mode;
    ext->ready_state = ready;
    return QEL_O_K;
  }
  const int number = HandleNumber(handle);
  if (mode != ext->mode) {
    PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: new MODE %c%c (%c%c) for hdl %d in set%p\n",
               kFunction, (mode & 1) ? 'r' : '-', (mode & 2) ? 'w' : '-',
               (ext->mode & 1) ? 'r' : '-', (ext->mode & 2) ? 'w' : '-', number,
               static_cast<void*>(set));
    int error = parcel::platform::EventSetWatch(set->events, SiHandleOf(handle->sock),
                                                SocketEvents(mode), TagOf(number));
    if (error != 0) {
      NiIRecord(NIEINTERN, kSource, __LINE__, "%s: set failed for hdl %d set%p; unknown error %d",
                kFunction, number, static_cast<void*>(set), error);
      return NIEINTERN;
    }
    ext->mode = mode;
  }
  if (ready != ext->ready_state) {
    PARCEL_TRC(HandleDetailLevel(handle), DpTrc,
               "%s: new STAT %c%c%c (%c%c%c) for hdl %d in set%p\n", kFunction,
               (ready & 1) ? 'r' : '-', (ready & 2) ? 'w' : '-', (ready & 4) ? 'c' : '-',
               (ext->ready_state & 1) ? 'r' : '-', (ext->ready_state & 2) ? 'w' : '-',
               (ext->ready_state & 4) ? 'c' : '-', number, static_cast<void*>(set));
    if (ready != 0) {
      ReadyInsert(set, number);
    } else {
      ReadyRemove(set, number);
    }
    ext->ready_state = ready;
  }
  return QEL_O_K;
}

extern "C" {

int NiSelNewSet(NI_SELSET** out) {
  if (out == nullptr) return NIEINVAL;
  *out = nullptr;
  if (int rc = Library().init_count > 0 ? QEL_O_K : NiInit3(); rc != QEL_O_K) return rc;
  auto* set = new (std::nothrow) SelectSet;
  if (set == nullptr) return NIEINTERN;
  const std::size_t handles = static_cast<std::size_t>(Library().max_handles);
  try {
    set->asked.assign(handles, 0);
    set->ready_at.assign(handles, -1);
    set->fired.resize(256);
  } catch (...) {
    delete set;
    return NIEINTERN;
  }
  if (parcel::platform::EventSetCreate(&set->events) != 0) {
    delete set;
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: no event set", "NiSelNewSet");
  }
  *out = reinterpret_cast<NI_SELSET*>(set);
  return QEL_O_K;
}

int NiSelDestroySet(NI_SELSET** handle_set) {
  if (handle_set == nullptr || *handle_set == nullptr) return NIEINVAL;
  auto* set = reinterpret_cast<SelectSet*>(*handle_set);
  *handle_set = nullptr;
  NiLibrary& lib = Library();
  for (std::size_t number = 0; number < set->asked.size(); ++number) {
    if (set->asked[number] == 0 || lib.table == nullptr) continue;
    NiHdl* handle = &lib.table[number];
    if (handle->select_set == set) Leave(set, handle);
  }
  parcel::platform::EventSetDestroy(set->events);
  delete set;
  return QEL_O_K;
}

int NiSelSet(NI_SELSET* handle_set, NI_HANDLE number, int interest) {
  constexpr const char* kFunction = "NiSelSet";
  auto* set = reinterpret_cast<SelectSet*>(handle_set);
  if (set == nullptr || (interest & ~(NI_SEL_READ | NI_SEL_WRITE | NI_SEL_COLLECT)) != 0) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid set or interest (%d)",
                    kFunction, interest);
  }
  NiHdl* handle = nullptr;
  if (int rc = NiIHandle(number, &handle, kFunction); rc != QEL_O_K) return rc;
  if (static_cast<std::size_t>(number) >= set->asked.size()) return NIEINVAL;
  if (handle->select_set != nullptr && handle->select_set != set) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: hdl %d is in another set", kFunction,
                    number);
  }
  if (interest == 0) {
    if (handle->select_set == set) Leave(set, handle);
    return QEL_O_K;
  }
  const auto asked = static_cast<unsigned char>(interest);
  if (set->asked[static_cast<std::size_t>(number)] == 0) ++set->members;
  set->asked[static_cast<std::size_t>(number)] = asked;
  handle->select_set = set;
  if (BufferedExtension* ext = ExtensionOf(handle); ext != nullptr) {
    if (ext->set != set) ext->mode = 0xFF;  // forces the first watch
    ext->set = set;
    ext->asked = asked;
    return NiBufISelUpdate(handle, ext);
  }
  return WatchPlain(set, handle, asked);
}

int NiSelWait(NI_SELSET* handle_set, int timeout, NI_SEL_EVENT* events, int capacity, int* count) {
  constexpr const char* kFunction = "NiSelWait";
  auto* set = reinterpret_cast<SelectSet*>(handle_set);
  if (count != nullptr) *count = 0;
  if (set == nullptr || events == nullptr || capacity <= 0 || count == nullptr) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid arguments", kFunction);
  }
  NiLibrary& lib = Library();
  std::size_t fired = 0;
  const int wait = set->ready.empty() ? timeout : 0;
  int error = parcel::platform::EventSetWait(set->events, wait, set->fired.data(),
                                             set->fired.size(), &fired);
  if (error != 0) {
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: wait failed (%d)", kFunction, error);
  }
  int reported = 0;
  for (std::size_t i = 0; i < fired; ++i) {
    const int number = NumberOf(set->fired[i].tag);
    if (number < 0 || number >= lib.max_handles) continue;
    NiHdl* handle = &lib.table[number];
    const unsigned char asked = set->asked[static_cast<std::size_t>(number)];
    if (asked == 0 || handle->select_set != set) continue;
    const short happened = set->fired[i].events;
    BufferedExtension* ext = ExtensionOf(handle);
    if (ext == nullptr) {
      int ready = 0;
      if (happened & (parcel::platform::kPollRead | parcel::platform::kPollError |
                      parcel::platform::kPollHangUp)) {
        ready |= NI_SEL_READ;
      }
      if (happened & (parcel::platform::kPollWrite | parcel::platform::kPollError)) {
        ready |= NI_SEL_WRITE;
      }
      ready &= asked;
      if (ready != 0 && reported < capacity) events[reported++] = NI_SEL_EVENT{number, ready};
      continue;
    }
    // A buffered handle: move its data, then report what it holds.
    int rc = QEL_O_K;
    if (happened & (parcel::platform::kPollWrite | parcel::platform::kPollError)) {
      ext->marked_writable = true;
      if (ext->ready != nullptr || ext->queue_oldest != nullptr) {
        rc = NiBufIEmptyOutQueue(handle, ext, 0);
        ext->marked_writable = rc == QEL_O_K;
      }
    }
    if ((rc == QEL_O_K || rc == NIETIMEOUT) && ext->waiting == nullptr &&
        (happened & (parcel::platform::kPollRead | parcel::platform::kPollError |
                     parcel::platform::kPollHangUp))) {
      rc = NiBufIIn(handle, ext, 0);
    }
    if (rc != QEL_O_K && rc != NIETIMEOUT && rc != NIEPING && rc != NIEACCEPT &&
        ext->status != kBufErr) {
      // Reported at the handle's next read or write.
      (void)NiBufISetError(handle, ext, rc);
    }
    (void)NiBufISelUpdate(handle, ext);
  }
  for (std::size_t i = 0; i < set->ready.size() && reported < capacity; ++i) {
    const int number = set->ready[i];
    const BufferedExtension* ext = ExtensionOf(&lib.table[number]);
    if (ext == nullptr || ext->ready_state == 0) continue;
    events[reported++] = NI_SEL_EVENT{number, ext->ready_state};
  }
  *count = reported;
  return reported > 0 ? QEL_O_K : NIETIMEOUT;
}

}  // extern "C"
