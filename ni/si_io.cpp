// Socket layer: transfer, readiness, connection and option operations.
#include <algorithm>
#include <cstring>

#include "ni/si.h"
#include "platform/alertable_sleep.h"
#include "platform/monotonic_clock.h"
#include "platform/system_error_text.h"
#include "runtime/mem.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

using platform::PollEntry;
using platform::SocketHandle;

const SiSystem& System() { return SiCurrentSystem(); }

// Send, gather send and receive share one table; 10040 and 10055 concern
// the sends only.
int MapTransferError(int error, bool sending) {
  switch (error) {
    case platform::kWsaEINTR: return SI_EINTR;
    case platform::kWsaEWOULDBLOCK: return SI_ETIMEOUT;
    case platform::kWsaENOTSOCK: return SI_EINVAL_SOCK;
    case platform::kWsaEMSGSIZE:
    case platform::kWsaENOBUFS: return sending ? SI_EMEMORY : SI_ESYSCALL;
    case platform::kWsaECONNABORTED:
    case platform::kWsaECONNRESET:
    case platform::kWsaESHUTDOWN: return SI_ECONN_BROKEN;
    case platform::kWsaENOTCONN: return SI_EINVAL;
    default: return SI_ESYSCALL;
  }
}

int Fail(NI_SOCKREC* record, int error, int si) {
  record->error = error;
  return si;
}

// The text of an error number for trace lines: the library's own numbers,
// else the system's text.
const char* ErrorText(int error, char* buffer, std::size_t size) {
  if (const char* own = SiPrivateErrorText(error); own != nullptr) return own;
  platform::SystemErrorText(error, buffer, size);
  return buffer;
}

// A poll of `count` entries with the select layer's error rules: an
// interrupted wait is made again for the time that is left.
int WaitReady(PollEntry* entries, std::size_t count, int timeout, int* ready, int* error_out,
              const char* function, int socket) {
  const std::int64_t start = platform::MonotonicMicroseconds();
  for (;;) {
    int left = timeout;
    if (timeout > 0) {
      const std::int64_t spent = (platform::MonotonicMicroseconds() - start) / 1000;
      left = spent >= timeout ? 0 : static_cast<int>(timeout - spent);
    }
    int error = System().poll(entries, count, left, ready);
    if (error == 0) return SI_OK;
    if (error == platform::kWsaEINTR) continue;
    *error_out = error;
    if (error == platform::kWsaEINVAL) return SI_EINVAL;
    if (error == platform::kWsaENOTSOCK) return SI_EINVAL_SOCK;
    char text[128];
    PARCEL_TRC(1, DpTrc, "%s: SiSelectInt failed for sock %d(%d-%s)\n", function, socket, error,
               ErrorText(error, text, sizeof text));
    return SI_ESYSCALL;
  }
}

constexpr short kReadable = platform::kPollRead | platform::kPollError | platform::kPollHangUp;
constexpr short kWritable = platform::kPollWrite | platform::kPollError | platform::kPollHangUp;

}  // namespace

bool SiMaskAdd(NI_FDSET* mask, int socket) noexcept {
  int* end = mask->sockets + mask->count;
  int* at = std::lower_bound(mask->sockets, end, socket);
  if (at != end && *at == socket) return true;
  if (mask->count >= mask->capacity) {
    PARCEL_TRC(1, DpTrc, "select mask %p full (%d)\n", static_cast<void*>(mask), mask->count);
    return false;
  }
  std::memmove(at + 1, at, static_cast<std::size_t>(end - at) * sizeof(int));
  *at = socket;
  ++mask->count;
  return true;
}

bool SiMaskRemove(NI_FDSET* mask, int socket) noexcept {
  int* end = mask->sockets + mask->count;
  int* at = std::lower_bound(mask->sockets, end, socket);
  if (at == end || *at != socket) return false;
  std::memmove(at, at + 1, static_cast<std::size_t>(end - at - 1) * sizeof(int));
  --mask->count;
  return true;
}

bool SiMaskIsSet(const NI_FDSET* mask, int socket) noexcept {
  return std::binary_search(mask->sockets, mask->sockets + mask->count, socket);
}

}  // namespace parcel::ni

using parcel::ni::Fail;
using parcel::ni::SiHandleOf;
using parcel::ni::System;

int SiSend(NI_SOCKREC* record, const void* data, std::size_t length, std::size_t* sent) noexcept {
  *sent = 0;
  int error = System().send(SiHandleOf(*record), data, length, sent);
  return error == 0 ? SI_OK : Fail(record, error, parcel::ni::MapTransferError(error, true));
}

int SiSendV(NI_SOCKREC* record, const parcel::platform::SocketBuffer* pieces, int count,
            std::size_t* sent) noexcept {
  *sent = 0;
  int error = System().send_v(SiHandleOf(*record), pieces, count, sent);
  return error == 0 ? SI_OK : Fail(record, error, parcel::ni::MapTransferError(error, true));
}

int SiRecv(NI_SOCKREC* record, void* data, std::size_t length, std::size_t* received) noexcept {
  *received = 0;
  int error = System().receive(SiHandleOf(*record), data, length, false, received);
  return error == 0 ? SI_OK : Fail(record, error, parcel::ni::MapTransferError(error, false));
}

int SiPeek(NI_SOCKREC* record, int direction, int timeout) noexcept {
  parcel::platform::PollEntry entry{
      SiHandleOf(*record),
      static_cast<short>(direction == 2 ? parcel::platform::kPollWrite
                                        : parcel::platform::kPollRead),
      0};
  int ready = 0, error = 0;
  int si = parcel::ni::WaitReady(&entry, 1, timeout, &ready, &error, "SiPeek", record->socket);
  if (si != SI_OK) return Fail(record, error, si);
  return ready > 0 ? SI_OK : SI_ETIMEOUT;
}

int SiPeekPendConn(NI_SOCKREC* record, int timeout) noexcept {
  using namespace parcel::ni;
  parcel::platform::PollEntry entry{SiHandleOf(*record), parcel::platform::kPollWrite, 0};
  int ready = 0, error = 0;
  int si = WaitReady(&entry, 1, timeout, &ready, &error, "SiPeekPendConn", record->socket);
  if (si != SI_OK) return Fail(record, error, si);
  if (ready == 0) return SI_ETIMEOUT;

  SiLockLists();
  const bool connecting = SiListContains(SiList::kInProgress, record->socket);
  const bool broken = SiListContains(SiList::kBroken, record->socket);
  SiUnlockLists();
  if (!connecting) {
    PARCEL_TRC(2, DpTrc, "%s: sock %d not in connecting status\n", "SiPeekPendConn",
               record->socket);
    if (!broken) return SI_OK;
  }
  int pending = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (System().connect_result(SiHandleOf(*record), &pending) != 0) break;
    if (pending != 0 || (entry.revents & parcel::platform::kPollError) == 0) break;
    parcel::platform::AlertableSleep(0);
  }
  SiLockLists();
  SiListRemove(SiList::kInProgress, record->socket);
  if (pending != 0 || broken) SiListInsert(SiList::kBroken, record->socket);
  SiUnlockLists();
  if (pending == 0 && !broken) {
    if ((entry.revents & parcel::platform::kPollError) == 0) return SI_OK;
    PARCEL_TRC(1, DpTrc, "%s: could not get error code for sock %d\n", "SiPeekPendConn",
               record->socket);
    return Fail(record, kSiErrInternal, SI_ESYSCALL);
  }
  if (pending == 0) pending = parcel::platform::kWsaECONNREFUSED;
  return Fail(record, pending,
              pending == parcel::platform::kWsaEADDRINUSE ? SI_EPORT_INUSE : SI_ECONN_REFUSE);
}

int SiSetBlockMode(NI_SOCKREC* record, bool blocking) noexcept {
  int error = System().set_blocking(SiHandleOf(*record), blocking);
  if (error == 0) return SI_OK;
  switch (error) {
    case parcel::platform::kWsaEINTR: return Fail(record, error, SI_EINTR);
    case parcel::platform::kWsaENOTSOCK: return Fail(record, error, SI_EINVAL_SOCK);
    default: return Fail(record, error, SI_ESYSCALL);
  }
}

int SiSelect(NI_FDSET* read, NI_FDSET* write, int timeout, int* ready) noexcept {
  using namespace parcel::ni;
  using parcel::platform::PollEntry;
  *ready = 0;
  const int reads = read != nullptr ? read->count : 0;
  const int writes = write != nullptr ? write->count : 0;
  if (reads + writes == 0) {
    if (timeout > 0) parcel::platform::AlertableSleep(static_cast<std::uint32_t>(timeout));
    return SI_OK;
  }
  PollEntry small[64];
  PollEntry* entries = small;
  const std::size_t total = static_cast<std::size_t>(reads + writes);
  if (total > std::size(small)) {
    entries = static_cast<PollEntry*>(MemAlloc(total * sizeof(PollEntry), "SiSelect"));
    if (entries == nullptr) return SI_EMEMORY;
  }
  for (int i = 0; i < reads; ++i) {
    entries[i] = PollEntry{static_cast<parcel::platform::SocketHandle>(read->sockets[i]),
                           parcel::platform::kPollRead, 0};
  }
  for (int i = 0; i < writes; ++i) {
    entries[reads + i] = PollEntry{static_cast<parcel::platform::SocketHandle>(write->sockets[i]),
                                   parcel::platform::kPollWrite, 0};
  }
  int polled = 0, error = 0;
  int si = WaitReady(entries, total, timeout, &polled, &error, "SiSelect",
                     reads > 0 ? read->sockets[0] : write->sockets[0]);
  if (si == SI_OK) {
    int kept_reads = 0, kept_writes = 0;
    for (int i = 0; i < reads; ++i) {
      if (entries[i].revents & kReadable) read->sockets[kept_reads++] = read->sockets[i];
    }
    if (read != nullptr) read->count = kept_reads;
    // A connecting socket that failed counts as writable and is broken.
    SiLockLists();
    for (int i = 0; i < writes; ++i) {
      const int socket = write->sockets[i];
      const short events = entries[reads + i].revents;
      if ((events & parcel::platform::kPollError) && SiListContains(SiList::kInProgress, socket)) {
        SiListRemove(SiList::kInProgress, socket);
        SiListInsert(SiList::kBroken, socket);
      }
      if (events & kWritable) write->sockets[kept_writes++] = socket;
    }
    SiUnlockLists();
    if (write != nullptr) write->count = kept_writes;
    *ready = kept_reads + kept_writes;
  }
  if (entries != small) MemFree(entries);
  return si;
}

int SiPoll(NI_POLLFD* entries, int count, int timeout, int* ready, int* system_error) noexcept {
  using parcel::platform::PollEntry;
  *ready = 0;
  if (!parcel::platform::kSocketPollIsNative) {
    if (system_error != nullptr) *system_error = parcel::ni::kSiErrNotSupported;
    return SI_ENOTIMPL;
  }
  if (count < 0) return SI_EINVAL;
  PollEntry small[64];
  PollEntry* polled = small;
  const std::size_t total = static_cast<std::size_t>(count);
  if (total > std::size(small)) {
    polled = static_cast<PollEntry*>(MemAlloc(total * sizeof(PollEntry), "SiPoll"));
    if (polled == nullptr) return SI_EMEMORY;
  }
  for (std::size_t i = 0; i < total; ++i) {
    short events = 0;
    if (entries[i].events & NI_POLLIN) events |= parcel::platform::kPollRead;
    if (entries[i].events & NI_POLLOUT) events |= parcel::platform::kPollWrite;
    polled[i] =
        PollEntry{entries[i].fd < 0 ? parcel::platform::kInvalidSocket
                                    : static_cast<parcel::platform::SocketHandle>(entries[i].fd),
                  events, 0};
  }
  int error = System().poll(polled, total, timeout, ready);
  int si = SI_OK;
  if (error != 0) {
    if (system_error != nullptr) *system_error = error;
    si = error == parcel::platform::kWsaEINTR         ? SI_EINTR
         : error == parcel::platform::kWsaEINVAL      ? SI_EINVAL
         : error == parcel::platform::kWsaEWOULDBLOCK ? SI_ETIMEOUT
                                                      : SI_ESYSCALL;
  } else {
    for (std::size_t i = 0; i < total; ++i) {
      short revents = 0;
      if (polled[i].revents & parcel::platform::kPollRead) revents |= NI_POLLIN;
      if (polled[i].revents & parcel::platform::kPollWrite) revents |= NI_POLLOUT;
      if (polled[i].revents & parcel::platform::kPollError) revents |= NI_POLLERR;
      if (polled[i].revents & parcel::platform::kPollHangUp) revents |= NI_POLLHUP;
      entries[i].revents = revents;
    }
  }
  if (polled != small) MemFree(polled);
  return si;
}

int SiListen(NI_SOCKREC* record, int backlog) noexcept {
  int error = System().listen(SiHandleOf(*record), backlog);
  if (error == 0) return SI_OK;
  switch (error) {
    case parcel::platform::kWsaEINTR: return Fail(record, error, SI_EINTR);
    case parcel::platform::kWsaEADDRINUSE: return Fail(record, error, SI_EPORT_INUSE);
    case parcel::platform::kWsaENOTSOCK: return Fail(record, error, SI_EINVAL_SOCK);
    case parcel::platform::kWsaEINVAL: return Fail(record, error, SI_EINVAL);
    default: return Fail(record, error, SI_ESYSCALL);
  }
}

int SiAccept(NI_SOCKREC* record, NI_SOCKREC* accepted,
             parcel::platform::SocketAddress* peer) noexcept {
  parcel::platform::SocketHandle handle = parcel::platform::kInvalidSocket;
  int error = System().accept(SiHandleOf(*record), &handle, peer);
  if (error == 0) {
    if (static_cast<std::uintmax_t>(handle) > static_cast<std::uintmax_t>(INT32_MAX)) {
      (void)System().close(handle);
      return Fail(record, parcel::ni::kSiErrInternal, SI_EINTERN);
    }
    *accepted = NI_SOCKREC{static_cast<int>(handle), record->family, record->type, 0};
    return SI_OK;
  }
  switch (error) {
    case parcel::platform::kWsaEINTR: return Fail(record, error, SI_EINTR);
    case parcel::platform::kWsaEWOULDBLOCK: return Fail(record, error, SI_ETIMEOUT);
    case parcel::platform::kWsaEMFILE: return Fail(record, error, SI_EMFILE);
    case parcel::platform::kWsaENOBUFS: return Fail(record, error, SI_EMEMORY);
    case parcel::platform::kWsaECONNABORTED:
    case parcel::platform::kWsaECONNRESET: return Fail(record, error, SI_ECONN_BROKEN);
    case parcel::platform::kWsaENOTSOCK: return Fail(record, error, SI_EINVAL_SOCK);
    case parcel::platform::kWsaEINVAL: return Fail(record, error, SI_EINVAL);
    default: return Fail(record, error, SI_ESYSCALL);
  }
}

int SiConnect(NI_SOCKREC* record, const parcel::platform::SocketAddress& address) noexcept {
  using namespace parcel::ni;
  int error = System().connect(SiHandleOf(*record), address);
  if (error == 0) return SI_OK;
  switch (error) {
    case parcel::platform::kWsaEWOULDBLOCK:
    case parcel::platform::kWsaEINPROGRESS:
    case parcel::platform::kWsaEALREADY:
      SiLockLists();
      SiListInsert(SiList::kInProgress, record->socket);
      SiUnlockLists();
      return Fail(record, error, SI_ECONN_INPROG);
    case parcel::platform::kWsaEINTR: return Fail(record, error, SI_EINTR);
    case parcel::platform::kWsaECONNREFUSED:
    case parcel::platform::kWsaENETUNREACH:
    case parcel::platform::kWsaEHOSTUNREACH:
    case parcel::platform::kWsaENETDOWN: return Fail(record, error, SI_ECONN_REFUSE);
    case parcel::platform::kWsaEADDRNOTAVAIL: return Fail(record, error, SI_EADDR_NAVAIL);
    case parcel::platform::kWsaEADDRINUSE: return Fail(record, error, SI_EPORT_INUSE);
    case parcel::platform::kWsaETIMEDOUT: return Fail(record, error, SI_ETIMEOUT);
    case parcel::platform::kWsaEAFNOSUPPORT: return Fail(record, error, SI_EINVAL_FAMI);
    case parcel::platform::kWsaENOTSOCK: return Fail(record, error, SI_EINVAL_SOCK);
    case parcel::platform::kWsaEINVAL:
    case parcel::platform::kWsaEISCONN: return Fail(record, error, SI_EINVAL);
    case parcel::platform::kWsaENOBUFS: return Fail(record, error, SI_EMEMORY);
    default: return Fail(record, error, SI_ESYSCALL);
  }
}

int SiShutdown(NI_SOCKREC* record, int how) noexcept {
  int error = System().shutdown(SiHandleOf(*record), how);
  if (error == 0) return SI_OK;
  switch (error) {
    case parcel::platform::kWsaEINTR: return Fail(record, error, SI_EINTR);
    case parcel::platform::kWsaENOTSOCK: return Fail(record, error, SI_EINVAL_SOCK);
    case parcel::platform::kWsaENOTCONN:
    case parcel::platform::kWsaEINVAL: return Fail(record, error, SI_EINVAL);
    default: return Fail(record, error, SI_ESYSCALL);
  }
}

namespace {
int MapOptionError(NI_SOCKREC* record, int error) {
  switch (error) {
    case parcel::platform::kWsaEINTR: return Fail(record, error, SI_EINTR);
    case parcel::platform::kWsaENOPROTOOPT: return Fail(record, error, SI_EINVAL_OPT);
    case parcel::platform::kWsaENOTSOCK: return Fail(record, error, SI_EINVAL_SOCK);
    case parcel::platform::kWsaEINVAL: return Fail(record, error, SI_EINVAL);
    default: return Fail(record, error, SI_ESYSCALL);
  }
}
}  // namespace

int SiSetSockOpt(NI_SOCKREC* record, parcel::platform::SocketOption option, int value) noexcept {
  int error = System().set_option(SiHandleOf(*record), option, value);
  return error == 0 ? SI_OK : MapOptionError(record, error);
}

int SiGetSockOpt(NI_SOCKREC* record, parcel::platform::SocketOption option, int* value) noexcept {
  int error = System().get_option(SiHandleOf(*record), option, value);
  return error == 0 ? SI_OK : MapOptionError(record, error);
}

int SiGetPendDataLen(NI_SOCKREC* record, std::size_t* bytes) noexcept {
  int error = System().pending_bytes(SiHandleOf(*record), bytes);
  return error == 0 ? SI_OK : MapOptionError(record, error);
}
