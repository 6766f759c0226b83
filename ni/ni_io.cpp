// Framed and raw transfer on a handle, readiness waits, connect completion,
// blocking mode and check messages.
#include <algorithm>
#include <cstring>

#include "ni/ni_addr.h"
#include "ni/nii.h"
#include "platform/coding.h"
#include "platform/monotonic_clock.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

constexpr const char* kSource = "ni_io.cpp";

const char* ModeName(int mode) {
  switch (mode) {
    case NI_MESG_IO: return "MESG_IO";
    case NI_RAW_IO: return "RAW_IO";
    case NI_ROUT_IO: return "ROUT_IO";
    default: return "???";
  }
}

// The overrun check of every wait with a timeout.
class WaitWatch {
 public:
  explicit WaitWatch(int timeout) : timeout_(timeout), start_(platform::MonotonicMicroseconds()) {}
  ~WaitWatch() {
    const int tolerated = Library().settings.poll_overrun_seconds;
    if (timeout_ < 0 || tolerated == 0) return;
    const auto seconds = static_cast<int>((platform::MonotonicMicroseconds() - start_) / 1000000);
    if (seconds > (timeout_ + 500) / 1000 + tolerated) {
      PARCEL_TRC(1, DpTrc, "passed over poll/select timeout (%ds>=%dms+%ds)\n", seconds, timeout_,
                 tolerated);
    }
  }

 private:
  int timeout_;
  std::int64_t start_;
};

// The fragmentation test: 0 = this pass is not limited, -1 = end the call
// with a timeout, else the most bytes this pass moves.
int FragmentLimit(int timeout, const char* function) {
  const int fragment = Library().settings.fragment_test;
  if (fragment == 0 || timeout < 0) return 0;
  const int n = static_cast<int>(NiIRandom() % static_cast<unsigned>(fragment + 1));
  if (n == 0) {
    PARCEL_TRC(2, DpTrc, "%s: return NIETIMEOUT due to fragmentation test\n", function);
    return -1;
  }
  return n;
}

// The queue test: whether this call is one of a blocked run.
bool QueueTestBlocks(int timeout, const char* function) {
  NiLibrary& lib = Library();
  const int count = lib.settings.queue_test_count;
  if (count == 0 || timeout < 0) return false;
  int run = lib.queue_test_run.load();
  if (run == 0) {
    // About P percent of all calls time out: a run of C starts with
    // probability P / C.
    const unsigned scaled = NiIRandom() % 100;
    if (static_cast<int>(scaled) * count >= lib.settings.queue_test_probability) return false;
  }
  if (run >= count) {
    lib.queue_test_run.store(0);
    return false;
  }
  lib.queue_test_run.store(run + 1);
  PARCEL_TRC(2, DpTrc, "%s: return NIETIMEOUT due to NIP_QTEST\n", function);
  return true;
}

NI_SOCKREC* SocketOf(NiHdl* handle) {
  return IsListeningState(handle->state) ? &handle->listen[0] : &handle->sock;
}

// Next lower send size after "no buffer space"; 0 when none is left.
int ReducedSize(int total) {
  if (total > 4096) return 4096;
  if (total > 1024) return 1024;
  if (total > 512) return 512;
  if (total >= 129) return 128;
  if (total >= 33) return 32;
  return 0;
}

int TranslateTransfer(int si, int call, NiHdl* handle, const char* function, int line) {
  int rc = NiIMapSiError(si, call, handle, &handle->sock, handle->sock.error, nullptr, nullptr, 0,
                         function, kSource, line, true);
  return rc == NIEINVAL ? NIEINTERN : rc;
}

void TraceWouldBlock(NiHdl* handle, const char* function, bool peeked) {
  if (handle->blocking || peeked) {
    PARCEL_TRC(1, DpTrc,
               "%s: hdl %d %s got EAGAIN after select socket successfully; call operating "
               "system-supplier\n",
               function, HandleNumber(handle), ModeName(NI_MESG_IO));
  } else {
    PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: hdl %d %s would block (errno=EAGAIN)\n",
               function, HandleNumber(handle), ModeName(NI_MESG_IO));
  }
}

// What a read and a write check first: a connect still going on is finished,
// the mode and the buffer are checked.
int StartTransfer(NiHdl* handle, const void* buffer, int length, int timeout, int mode,
                  const char* function) {
  if (handle->state == NI_CONN_WAIT) {
    int rc = NiICheckPendConnection(handle, timeout, true);
    if (rc != QEL_O_K) return rc == NIESERV_USED ? NIECONN_REFUSED : rc;
  }
  if (mode != NI_MESG_IO && mode != NI_RAW_IO && mode != NI_ROUT_IO) {
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: invalid mode %d for hdl %d", function,
                    mode, HandleNumber(handle));
  }
  if (length < 0 || (length > 0 && buffer == nullptr)) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid buffer (%d) for hdl %d",
                    function, length, HandleNumber(handle));
  }
  return QEL_O_K;
}

}  // namespace
}  // namespace parcel::ni

using namespace parcel::ni;

int NiIPeek(NiHdl* handle, int direction, int timeout) noexcept {
  constexpr const char* kFunction = "NiIPeek";
  const char letter = direction == 2 ? 'w' : 'r';
  const int number = HandleNumber(handle);
  int si;
  {
    WaitWatch watch(timeout);
    si = SiPeek(SocketOf(handle), direction, timeout);
  }
  const int level = handle->trace ? 1 : 3;
  switch (si) {
    case SI_OK:
      PARCEL_TRC(level, DpTrc, "%s: peek successful for hdl %d (%c)\n", kFunction, number, letter);
      return QEL_O_K;
    case SI_ETIMEOUT:
      PARCEL_TRC(level, DpTrc, "%s: peek for hdl %d timed out (%c; %dms)\n", kFunction, number,
                 letter, timeout);
      return NIETIMEOUT;
    case SI_EINVAL:
    case SI_EINVAL_SOCK:
    case SI_EINTERN:
      // The transfer that follows reports the error itself.
      PARCEL_TRC(level, DpTrc, "%s: peek for hdl %d failed (%c; rc=%d)\n", kFunction, number,
                 letter, si);
      return QEL_O_K;
    default: {
      char detail[32];
      std::snprintf(detail, sizeof detail, "%c; %d", letter, timeout);
      return NiIMapSiError(si, kSiCallPeek, handle, SocketOf(handle), SocketOf(handle)->error,
                           detail, nullptr, 0, kFunction, kSource, __LINE__, true);
    }
  }
}

int NiICheckPendConnection(NiHdl* handle, int timeout, bool set_state) noexcept {
  constexpr const char* kFunction = "NiICheckPendConnection";
  const int number = HandleNumber(handle);
  char peer[96];
  FormatAddressPort(&handle->peer, handle->peer_port, peer, sizeof peer);
  int si;
  {
    WaitWatch watch(timeout);
    si = SiPeekPendConn(&handle->sock, timeout);
  }
  if (si == SI_OK) {
    PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: connection of hdl %d to %s established\n",
               kFunction, number, peer);
    if (set_state) {
      SetState(
          handle,
          handle->sock.type == parcel::platform::kSocketTypeStream ? NI_CONNECTED : NI_DG_CONNECTED,
          kFunction);
    }
    return QEL_O_K;
  }
  if (si == SI_ETIMEOUT) {
    PARCEL_TRC(HandleDetailLevel(handle), DpTrc,
               "%s: connection of hdl %d to %s still in progress (%d)\n", kFunction, number, peer,
               timeout);
    if (set_state && handle->state != NI_CONN_WAIT) {
      PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: invalid state of hdl %d (%d)\n", kFunction,
                 number, handle->state);
      SetState(handle, NI_CONN_WAIT, kFunction);
    }
    return NIETIMEOUT;
  }
  int rc = NiIMapSiError(si, kSiCallPeekPendConn, handle, &handle->sock, handle->sock.error, peer,
                         &handle->peer, handle->peer_port, kFunction, kSource, __LINE__, true);
  return rc == NIEINVAL ? NIEINTERN : rc;
}

int NiIBlockMode(NiHdl* handle, bool blocking, bool only_if_changed) noexcept {
  constexpr const char* kFunction = "NiIBlockMode";
  const int number = HandleNumber(handle);
  if (only_if_changed && (handle->blocking != 0) == blocking) {
    PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: leave blockmode for hdl %d %s\n", kFunction,
               number, blocking ? "TRUE" : "FALSE");
    return QEL_O_K;
  }
  NI_SOCKREC* sockets[2] = {nullptr, nullptr};
  if (IsListeningState(handle->state)) {
    sockets[0] = &handle->listen[0];
    sockets[1] = &handle->listen[1];
  } else {
    sockets[0] = &handle->sock;
  }
  for (NI_SOCKREC* record : sockets) {
    if (record == nullptr || record->socket < 0) continue;
    int si;
    do {
      si = SiSetBlockMode(record, blocking);
    } while (si == SI_EINTR);
    if (si != SI_OK) {
      return NiIMapSiError(si, kSiCallSetBlockMode, handle, record, record->error, nullptr, nullptr,
                           0, kFunction, kSource, __LINE__, true);
    }
  }
  handle->blocking = blocking ? 1 : 0;
  PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: set blockmode for hdl %d %s\n", kFunction,
             number, blocking ? "TRUE" : "FALSE");
  return QEL_O_K;
}

int NiIWrite(NiHdl* handle, const void* buffer, int length, int timeout, int mode,
             int* written) noexcept {
  constexpr const char* kFunction = "NiIWrite";
  *written = 0;
  const int number = HandleNumber(handle);
  if (int rc = StartTransfer(handle, buffer, length, timeout, mode, kFunction); rc != QEL_O_K) {
    return rc;
  }
  if (mode == NI_RAW_IO) {
    handle->write_header_left = 0;
    handle->mPendDataLenToWrite = static_cast<std::uint32_t>(length);
  } else if (handle->write_header_left == 0 && handle->mPendDataLenToWrite == 0) {
    parcel::platform::EncodeBigEndian32(handle->write_header, static_cast<std::uint32_t>(length));
    handle->write_header_left = 4;
    handle->mPendDataLenToWrite = static_cast<std::uint32_t>(length);
  } else if (static_cast<std::uint32_t>(length) != handle->mPendDataLenToWrite) {
    return NiIError(NIEINVAL, kSource, __LINE__, false,
                    "%s: data not equal with pending data length (%d<>%d)", kFunction, length,
                    static_cast<int>(handle->mPendDataLenToWrite));
  }
  const auto* data = static_cast<const unsigned char*>(buffer);
  int passes = 0;
  int size_limit = 0;  // after "no buffer space": the most bytes per pass
  bool would_block = false;
  bool timed_out = false;
  while (handle->write_header_left + handle->mPendDataLenToWrite > 0) {
    int limit = FragmentLimit(timeout, kFunction);
    if (limit < 0 || QueueTestBlocks(timeout, kFunction)) {
      timed_out = true;
      break;
    }
    if (size_limit > 0 && (limit == 0 || limit > size_limit)) limit = size_limit;
    bool peeked = false;
    if ((handle->blocking && timeout >= 0) || would_block) {
      int rc = NiIPeek(handle, 2, timeout);
      if (rc == NIETIMEOUT) {
        timed_out = true;
        break;
      }
      if (rc != QEL_O_K) return rc;
      peeked = true;
    }
    const std::uint32_t header_left = handle->write_header_left;
    const std::size_t offset = static_cast<std::size_t>(length) - handle->mPendDataLenToWrite;
    std::size_t header_part = header_left;
    std::size_t data_part = handle->mPendDataLenToWrite;
    if (limit > 0) {
      header_part = std::min<std::size_t>(header_part, static_cast<std::size_t>(limit));
      data_part = std::min<std::size_t>(data_part, static_cast<std::size_t>(limit) - header_part);
    }
    std::size_t sent = 0;
    int si;
    int call;
    do {
      if (header_part > 0) {
        call = kSiCallSendV;
        const parcel::platform::SocketBuffer pieces[2] = {
            {handle->write_header + (4 - header_left), header_part}, {data + offset, data_part}};
        si = SiSendV(&handle->sock, pieces, data_part > 0 ? 2 : 1, &sent);
      } else {
        call = kSiCallSend;
        si = SiSend(&handle->sock, data + offset, data_part, &sent);
      }
    } while (si == SI_EINTR);
    ++passes;
    if (si == SI_OK) {
      would_block = false;
      const std::size_t to_header = std::min<std::size_t>(sent, header_left);
      const std::size_t to_data = sent - to_header;
      if (to_data > handle->mPendDataLenToWrite) {
        return NiIError(NIEINTERN, kSource, __LINE__, false,
                        "%s: more data written as passed (hdl %d)", kFunction, number);
      }
      handle->write_header_left = static_cast<unsigned char>(header_left - to_header);
      handle->mPendDataLenToWrite -= static_cast<std::uint32_t>(to_data);
      *written += static_cast<int>(to_data);
      if (handle->write_header_left > 0) {
        PARCEL_TRC(HandleDetailLevel(handle), DpTrc,
                   "%s: hdl %d sent incomplete hdr (wrt=%d,pnd=%d,pac=%d)\n", kFunction, number,
                   static_cast<int>(sent), handle->write_header_left, passes);
      } else if (handle->mPendDataLenToWrite > 0) {
        PARCEL_TRC(HandleDetailLevel(handle), DpTrc,
                   "%s: hdl %d sent incomplete data (wrt=%d,pnd=%d,pac=%d)\n", kFunction, number,
                   *written, static_cast<int>(handle->mPendDataLenToWrite), passes);
      }
      continue;
    }
    if (si == SI_ETIMEOUT) {
      TraceWouldBlock(handle, kFunction, peeked);
      if (timeout == 0) {
        timed_out = true;
        break;
      }
      would_block = true;
      continue;
    }
    if (si == SI_EMEMORY) {
      const int total = static_cast<int>(header_part + data_part);
      PARCEL_TRC(HandleDetailLevel(handle), DpTrc,
                 "%s: reduce data length (hdlLen=%d; dataLen=%d)\n", kFunction,
                 static_cast<int>(header_part), static_cast<int>(data_part));
      size_limit = ReducedSize(total);
      if (size_limit == 0) {
        PARCEL_TRC(
            1, DpTrc, "%s: MTU size reached (%d+%d<=%d) for hdl %d; flag connection as broken\n",
            kFunction, static_cast<int>(header_part), static_cast<int>(data_part), 32, number);
        return NiIRecord(NIECONN_BROKEN, kSource, __LINE__,
                         "%s: MTU size reached (%d+%d<=%d;hdl %d)", kFunction,
                         static_cast<int>(header_part), static_cast<int>(data_part), 32, number);
      }
      continue;
    }
    return TranslateTransfer(si, call, handle, kFunction, __LINE__);
  }
  if (timed_out) {
    if (handle->write_header_left > 0) {
      PARCEL_TRC(HandleDetailLevel(handle), DpTrc,
                 "%s: hdl %d sent incomplete hdr (wrt=%d,pnd=%d)\n", kFunction, number, *written,
                 handle->write_header_left);
    } else {
      PARCEL_TRC(HandleDetailLevel(handle), DpTrc,
                 "%s: hdl %d sent incomplete data (wrt=%d,pnd=%d,pac=%d,%s,%dms)\n", kFunction,
                 number, *written, static_cast<int>(handle->mPendDataLenToWrite), passes,
                 ModeName(mode), timeout);
    }
    return NIETIMEOUT;
  }
  ++handle->messages_written;
  handle->bytes_written += static_cast<std::uint64_t>(*written);
  PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: hdl %d sent data (wrt=%d,pac=%d,%s)\n",
             kFunction, number, *written, passes, ModeName(mode));
  return QEL_O_K;
}

namespace {

int ReadDone(NiHdl* handle, int received, int passes, int mode) {
  ++handle->messages_read;
  handle->bytes_read += static_cast<std::uint64_t>(received);
  handle->read_header_left = 4;
  handle->read_data_left = 0;
  PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: hdl %d received data (rcd=%d,pac=%d,%s)\n",
             "NiIRead", HandleNumber(handle), received, passes, ModeName(mode));
  return QEL_O_K;
}

}  // namespace

int NiIRead(NiHdl* handle, void* buffer, int length, int timeout, int mode,
            int* received) noexcept {
  constexpr const char* kFunction = "NiIRead";
  *received = 0;
  const int number = HandleNumber(handle);
  if (int rc = StartTransfer(handle, buffer, length, timeout, mode, kFunction); rc != QEL_O_K) {
    return rc;
  }
  auto* out = static_cast<unsigned char*>(buffer);
  const bool raw = mode == NI_RAW_IO;
  if (raw) {
    if (length == 0) {
      PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: RAW_MODE read with buffer length 0 (hdl %d)\n",
                 kFunction, number);
      return NiIRecord(NIETOO_SMALL, kSource, __LINE__, "%s: buffer length 0", kFunction);
    }
    handle->read_header_left = 0;
    handle->read_data_left = static_cast<std::uint32_t>(length);
  } else if (handle->read_header_left == 0 && handle->read_data_left > 0 && length == 0) {
    return NIETOO_SMALL;
  }
  int passes = 0;
  int header_pieces = 0;
  bool would_block = false;
  for (;;) {
    int limit = FragmentLimit(timeout, kFunction);
    if (limit < 0) {
      break;
    }
    bool peeked = false;
    if ((handle->blocking && timeout >= 0) || would_block) {
      int rc = NiIPeek(handle, 1, timeout);
      if (rc == NIETIMEOUT) {
        break;
      }
      if (rc != QEL_O_K) return rc;
      peeked = true;
    }
    const bool reading_header = handle->read_header_left > 0;
    unsigned char* target;
    std::size_t wanted;
    if (reading_header) {
      target = handle->read_header + (4 - handle->read_header_left);
      wanted = handle->read_header_left;
    } else {
      target = out + *received;
      wanted = std::min<std::size_t>(handle->read_data_left,
                                     static_cast<std::size_t>(length - *received));
    }
    if (limit > 0) wanted = std::min<std::size_t>(wanted, static_cast<std::size_t>(limit));
    std::size_t got = 0;
    int si;
    do {
      si = SiRecv(&handle->sock, target, wanted, &got);
    } while (si == SI_EINTR);
    ++passes;
    if (si == SI_OK && got == 0) {
      *received = 0;
      return NiIMapSiError(SI_ECONN_BROKEN, kSiCallRecv, handle, &handle->sock, 0, nullptr, nullptr,
                           0, kFunction, kSource, __LINE__, true);
    }
    if (si == SI_OK) {
      would_block = false;
      if (got > wanted) {
        return NiIError(NIEINTERN, kSource, __LINE__, false,
                        "%s: more data received as buffer length (%d>%d+%d)", kFunction,
                        static_cast<int>(got), length, *received);
      }
      if (reading_header) {
        ++header_pieces;
        handle->read_header_left = static_cast<unsigned char>(handle->read_header_left - got);
        if (handle->read_header_left > 0) {
          if (handle->read_once) {
            break;
          }
          continue;
        }
        const std::uint32_t frame = parcel::platform::DecodeBigEndian32(handle->read_header);
        if (frame & 0x80000000u) {
          char peer[96];
          FormatAddressPort(&handle->peer, handle->peer_port, peer, sizeof peer);
          PARCEL_TRC(1, DpTrc, "%s: invalid data (len=%d;0x%x;mode=%d;hdl %d;peer=%s)\n", kFunction,
                     static_cast<int>(frame), frame, mode, number, peer);
          // The stream cannot go on; the next read starts afresh.
          handle->read_header_left = 4;
          handle->read_data_left = 0;
          return NiIRecord(NIEINTERN, kSource, __LINE__,
                           "%s: invalid data (len=%d); probably RAW_IO", kFunction,
                           static_cast<int>(frame));
        }
        if (header_pieces > 1) {
          PARCEL_TRC(HandleDetailLevel(handle), DpTrc,
                     "%s: hdl %d received fragmented hdr (rcd=%d,pac=%d,len=%d)\n", kFunction,
                     number, 4, header_pieces, static_cast<int>(frame));
        }
        handle->read_data_left = frame;
        if (frame == 0) return ReadDone(handle, 0, passes, mode);
        if (length == 0) return NIETOO_SMALL;
        continue;
      }
      *received += static_cast<int>(got);
      handle->read_data_left -= static_cast<std::uint32_t>(got);
      if (handle->read_data_left == 0 || raw) {
        if (raw) {
          handle->read_data_left = 0;
          handle->read_header_left = 4;
          ++handle->messages_read;
          handle->bytes_read += got;
          return QEL_O_K;
        }
        return ReadDone(handle, *received, passes, mode);
      }
      if (*received == length) {
        return NiIRecord(NIETOO_SMALL, kSource, __LINE__, "%s: hdl %d buffer too small (%d<%d)",
                         kFunction, number, length,
                         *received + static_cast<int>(handle->read_data_left));
      }
      if (handle->read_once) {
        break;
      }
      continue;
    }
    if (si == SI_ETIMEOUT) {
      TraceWouldBlock(handle, kFunction, peeked);
      if (timeout == 0) {
        break;
      }
      would_block = true;
      continue;
    }
    if (handle->sock.error == 14) {
      PARCEL_TRC(1, DpTrc, "%s: recv(%d,%p,%d,0) caused EFAULT\n", kFunction, handle->sock.socket,
                 static_cast<void*>(target), static_cast<int>(wanted));
    }
    *received = -1;
    return TranslateTransfer(si, kSiCallRecv, handle, kFunction, __LINE__);
  }
  // Timed out; the progress stays for the next call.
  if (raw) {
    handle->read_data_left = 0;
    handle->read_header_left = 4;
    PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: raw read for hdl %d timed out (%dms)\n",
               kFunction, number, timeout);
  } else if (handle->read_header_left == 4) {
    PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: read for hdl %d timed out (%dms)\n",
               kFunction, number, timeout);
  } else if (handle->read_header_left > 0) {
    PARCEL_TRC(HandleDetailLevel(handle), DpTrc,
               "%s: hdl %d received incomplete hdr (rcd=%d,pnd=%d)\n", kFunction, number,
               4 - handle->read_header_left, handle->read_header_left);
  } else {
    PARCEL_TRC(HandleDetailLevel(handle), DpTrc,
               "%s: hdl %d received incomplete data (rcd=%d,pnd=%d,pac=%d,%s,%dms)\n", kFunction,
               number, *received, static_cast<int>(handle->read_data_left), passes, ModeName(mode),
               timeout);
  }
  return NIETIMEOUT;
}

int NiICheck(NiHdl* handle, int timeout, bool request, int* already_sent) noexcept {
  constexpr const char* kFunction = "NiICheck";
  const char* message = request ? NI_PING : NI_PONG;
  int sent_before = already_sent != nullptr ? *already_sent : 0;
  if (sent_before < 0 || sent_before > kNiCheckMessageSize) sent_before = 0;
  int written = 0;
  int rc;
  if (handle->extension != nullptr && handle->extension_ops != nullptr &&
      handle->extension_ops->write_user_message != nullptr) {
    rc = handle->extension_ops->write_user_message(
        handle, message + sent_before, kNiCheckMessageSize - sent_before, timeout, &written);
  } else {
    rc = NiIWrite(handle, message + sent_before, kNiCheckMessageSize - sent_before, timeout,
                  NI_MESG_IO, &written);
  }
  if (rc == NIETIMEOUT) {
    if (already_sent != nullptr) *already_sent = sent_before + written;
    PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: send incomplete (%d)\n", kFunction,
               sent_before + written);
    return rc;
  }
  if (rc != QEL_O_K) return rc;
  if (already_sent != nullptr) *already_sent = 0;
  PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: hdl %d sent %s to partner\n", kFunction,
             HandleNumber(handle), message);
  return QEL_O_K;
}

namespace {

void DumpPoll(const NI_POLLFD* entries, int count) {
  if (trcLevel < 2) return;
  parcel::runtime::TraceStatement statement(2);
  DpTrcNoStamp(trcHandle, "pfd at %p:\n", static_cast<const void*>(entries));
  for (int i = 0; i < count; ++i) {
    const short r = entries[i].revents;
    DpTrcNoStamp(trcHandle, "index %d: sock %d, events = %d revents = %d (%s%s%s%s... \n", i,
                 entries[i].fd, entries[i].events, r, (r & NI_POLLIN) ? "POLLIN " : "",
                 (r & NI_POLLOUT) ? "POLLOUT " : "", (r & NI_POLLHUP) ? "POLLHUP " : "",
                 (r & NI_POLLERR) ? "POLLERR " : "");
  }
}

void DumpMask(const char* function, const char* name, const NI_FDSET* mask) {
  if (trcLevel < 3 || mask == nullptr) return;
  parcel::runtime::TraceStatement statement(3);
  DpTrcNoStamp(trcHandle, "%s: %s mask (%d):", function, name, mask->count);
  for (int i = 0; i < mask->count; ++i) DpTrcNoStamp(trcHandle, " %d", mask->sockets[i]);
  DpTrcNoStamp(trcHandle, "\n");
}

}  // namespace

int NiIPoll(NI_POLLFD* entries, int count, int timeout, int* ready) noexcept {
  constexpr const char* kFunction = "NiIPoll";
  constexpr int kLoopLimit = 5000;
  *ready = 0;
  DumpPoll(entries, count);
  int si;
  int system_error = 0;
  int loops = 0;
  {
    WaitWatch watch(timeout);
    for (;;) {
      si = SiPoll(entries, count, timeout, ready, &system_error);
      if (si == SI_EINTR) continue;
      if (si == SI_ETIMEOUT && ++loops < kLoopLimit) continue;
      break;
    }
  }
  if (loops > 0) {
    PARCEL_TRC(1, DpTrc, "%s: poll looped %d times, caused by EAGAIN (limit=%d)\n", kFunction,
               loops, kLoopLimit);
  }
  if (si == SI_OK) {
    if (*ready == 0) {
      if (timeout != 0) {
        PARCEL_TRC(3, DpTrc, "%s: TIMEOUT occured (%d ms)\n", kFunction, timeout);
      }
      return NIETIMEOUT;
    }
    DumpPoll(entries, count);
    return QEL_O_K;
  }
  if (si == SI_EINVAL) {
    PARCEL_TRC(1, DpTrc, "%s: poll(%p,%d,%d) caused EFAULT\n", kFunction,
               static_cast<void*>(entries), count, timeout);
  }
  NiIMapSiError(si, kSiCallPoll, nullptr, nullptr, system_error, nullptr, nullptr, 0, kFunction,
                kSource, __LINE__, true);
  return NIEINTERN;
}

int NiISelect(NI_FDSET* read, NI_FDSET* write, int timeout, int* ready) noexcept {
  constexpr const char* kFunction = "NiISelect";
  *ready = 0;
  if (timeout < 0) {
    PARCEL_TRC(3, DpTrc, "%s: timeout NI_BLOCK\n", kFunction);
  } else {
    PARCEL_TRC(3, DpTrc, "%s: timeout %dms\n", kFunction, timeout);
  }
  int highest = -1;
  if (read != nullptr && read->count > 0) highest = read->sockets[read->count - 1];
  if (write != nullptr && write->count > 0) {
    highest = std::max(highest, write->sockets[write->count - 1]);
  }
  PARCEL_TRC(3, DpTrc, "%s: maximum fd=%d\n", kFunction, highest);
  DumpMask(kFunction, "read", read);
  DumpMask(kFunction, "write", write);
  int si;
  {
    WaitWatch watch(timeout);
    si = SiSelect(read, write, timeout, ready);
  }
  if (si == SI_OK) {
    if (*ready == 0) {
      PARCEL_TRC(3, DpTrc, "%s: TIMEOUT occured (%dms)\n", kFunction, timeout);
      return NIETIMEOUT;
    }
    DumpMask(kFunction, "read", read);
    DumpMask(kFunction, "write", write);
    return QEL_O_K;
  }
  NiIMapSiError(si, kSiCallSelect, nullptr, nullptr, 0, nullptr, nullptr, 0, kFunction, kSource,
                __LINE__, true);
  return NIEINTERN;
}
