// The buffered layer's writes, reads, queues, message examination, errors
// and handshake depth.
#include <cstdio>
#include <cstring>

#include "errinfo/errinfo.h"
#include "ni/ni_addr.h"
#include "ni/ni_buf.h"
#include "platform/monotonic_clock.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

constexpr const char* kSource = "ni_buf_io.cpp";
constexpr int kRawInput = 1460;
constexpr int kRawInputIPv6 = 1440;

int ModeOf(const BufferedExtension* ext) {
  return ext->handshake > 0 ? NI_MESG_IO : ext->talk_mode;
}

bool QueuesEmpty(const BufferedExtension* ext) {
  return ext->ready == nullptr && ext->queue_oldest == nullptr;
}

// Status "ERR": the saved error becomes the error information again and its
// code is the result. 0 when no error is pending.
int PendingError(NiHdl* handle, BufferedExtension* ext) {
  if (ext->status != kBufErr) return QEL_O_K;
  if (ext->saved_error == nullptr) {
    return NiIError(NIEINTERN, kSource, __LINE__, false,
                    "%s: buffer of hdl %d in stat err without errinfo", "NiBufIPendingError",
                    HandleNumber(handle));
  }
  PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: setting err-info for hdl %d (rc=%d)\n",
             "NiBufIPendingError", HandleNumber(handle), ext->saved_rc);
  ErrCpTo(reinterpret_cast<const char*>(ext->saved_error->data),
          static_cast<int>(ext->saved_error->len));
  NiBufFree(&ext->saved_error);
  return ext->saved_rc;
}

void LinkNewest(BufferedExtension* ext, NIBUF* buffer) {
  buffer->next = nullptr;
  buffer->prev = ext->queue_newest;
  if (ext->queue_newest != nullptr) ext->queue_newest->next = buffer;
  ext->queue_newest = buffer;
  if (ext->queue_oldest == nullptr) ext->queue_oldest = buffer;
  ++ext->mUserQueueLen;
}

NIBUF* TakeOldest(BufferedExtension* ext) {
  NIBUF* buffer = ext->queue_oldest;
  if (buffer == nullptr) return nullptr;
  ext->queue_oldest = buffer->next;
  if (ext->queue_oldest != nullptr) {
    ext->queue_oldest->prev = nullptr;
  } else {
    ext->queue_newest = nullptr;
  }
  buffer->next = buffer->prev = nullptr;
  --ext->mUserQueueLen;
  return buffer;
}

// Copies a message into a new buffer.
int CopyMessage(const void* data, int length, NIBUF** out) {
  *out = nullptr;
  return NiBufICopyTo(out, data, length);
}

// Sends the ready entry (the rest of a message already partly on the wire).
int SendReady(NiHdl* handle, BufferedExtension* ext, int timeout) {
  while (ext->ready != nullptr) {
    NIBUF* ready = ext->ready;
    const std::uint32_t before = handle->mPendDataLenToWrite;
    int written = 0;
    const int rc =
        NiIWrite(handle, ready->data, static_cast<int>(ready->len), timeout, ModeOf(ext), &written);
    ext->marked_writable = false;
    if (written > 0 || handle->mPendDataLenToWrite != before) ext->sent_since_reset = true;
    if (rc == QEL_O_K) {
      NiBufFree(&ext->ready);
      return QEL_O_K;
    }
    if (rc != NIETIMEOUT) return rc;
    const std::uint32_t rest = ModeOf(ext) == NI_RAW_IO
                                   ? ready->len - static_cast<std::uint32_t>(written)
                                   : handle->mPendDataLenToWrite;
    ready->data += ready->len - rest;
    ready->len = rest;
    return NIETIMEOUT;
  }
  return QEL_O_K;
}

int Elapsed(std::int64_t start) {
  return static_cast<int>((platform::MonotonicMicroseconds() - start) / 1000);
}

// Waits until the handle's socket is readable or writable.
int WaitReadOrWrite(NiHdl* handle, int timeout, bool* readable, bool* writable) {
  int sockets[2];
  NI_FDSET read{0, 1, sockets};
  NI_FDSET write{0, 1, sockets + 1};
  SiMaskAdd(&read, handle->sock.socket);
  SiMaskAdd(&write, handle->sock.socket);
  int ready = 0;
  int rc = NiISelect(&read, &write, timeout, &ready);
  *readable = read.count > 0;
  *writable = write.count > 0;
  return rc;
}

int SendControl(NiHdl* handle, BufferedExtension* ext, int timeout, int opcode, int rc,
                const unsigned char* data, int length, const char* function) {
  const std::size_t size = kControlHeader + errinfo::kErrInfoSize +
                           static_cast<std::size_t>(length > 0 ? length : 0) + 4;
  auto* message = static_cast<unsigned char*>(NiIAlloc(size, function));
  if (message == nullptr) {
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: malloc failed for %d bytes", function,
                    static_cast<int>(size));
  }
  const std::size_t total = BuildControlMessage(opcode, rc, data, length, message, size);
  int result;
  if (ext != nullptr) {
    if (ext->talk_mode == NI_RAW_IO && ext->handshake == 0) {
      NiIFree(message);
      return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid talkmode of hdl %d",
                      function, HandleNumber(handle));
    }
    result = NiBufIPrivWrite(handle, ext, message, static_cast<int>(total), timeout);
    if (result == NIETIMEOUT) result = QEL_O_K;  // queued: counts as sent
  } else {
    int written = 0;
    result = NiIWrite(handle, message, static_cast<int>(total), timeout, NI_MESG_IO, &written);
  }
  NiIFree(message);
  return result;
}

}  // namespace
}  // namespace parcel::ni

using namespace parcel::ni;

int NiBufIPrivWrite(NiHdl* handle, BufferedExtension* ext, const void* data, int length,
                    int timeout) noexcept {
  constexpr const char* kFunction = "NiBufIPrivWrite";
  if (ext->ready != nullptr) {
    int rc = SendReady(handle, ext, timeout);
    if (rc == NIETIMEOUT) {
      // The socket is busy with an earlier message: this one waits behind it.
      NIBUF* copy = nullptr;
      if (int copy_rc = CopyMessage(data, length, &copy); copy_rc != QEL_O_K) return copy_rc;
      LinkNewest(ext, copy);
      return NIETIMEOUT;
    }
    if (rc != QEL_O_K) return rc;
  }
  const int mode = ModeOf(ext);
  int written = 0;
  const int rc = NiIWrite(handle, data, length, timeout, mode, &written);
  ext->marked_writable = false;
  if (written > 0) ext->sent_since_reset = true;
  if (rc != NIETIMEOUT) return rc;
  const std::uint32_t rest = mode == NI_RAW_IO ? static_cast<std::uint32_t>(length - written)
                                               : handle->mPendDataLenToWrite;
  NIBUF* ready = nullptr;
  const auto* bytes = static_cast<const unsigned char*>(data);
  if (int copy_rc = CopyMessage(bytes + (static_cast<std::uint32_t>(length) - rest),
                                static_cast<int>(rest), &ready);
      copy_rc != QEL_O_K) {
    return copy_rc;
  }
  ext->ready = ready;
  PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: put buffer %p in ready-queue for hdl %d\n",
             kFunction, static_cast<void*>(ready), HandleNumber(handle));
  return NIETIMEOUT;
}

int NiBufIFinishHandshake(NiHdl* handle, BufferedExtension* ext, int timeout) noexcept {
  if (ext->ready != nullptr) return SendReady(handle, ext, timeout);
  return NiBufIIn(handle, ext, timeout);
}

int NiBufIEmptyOutQueue(NiHdl* handle, BufferedExtension* ext, int timeout) noexcept {
  constexpr const char* kFunction = "NiBufIEmptyOutQueue";
  while (ext->handshake > 0) {
    const int rc = NiBufIFinishHandshake(handle, ext, timeout);
    if (rc == NIEPING) {
      ext->check_answer = true;
      PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: PONG received during handshake\n",
                 kFunction);
      return NIETIMEOUT;
    }
    if (rc == NIEACCEPT) continue;
    if (rc != QEL_O_K) return rc;
    if (ext->waiting != nullptr && ext->handshake > 0) return NIETIMEOUT;
  }
  if (int rc = SendReady(handle, ext, timeout); rc != QEL_O_K) return rc;
  while (ext->mUserQueueLen > 0) {
    NIBUF* next = TakeOldest(ext);
    if (next == nullptr) {
      PARCEL_TRC(1, DpTrc, "\n%s: mpOutQueue for hdl %d\n", kFunction, HandleNumber(handle));
      return NIETIMEOUT;
    }
    ext->ready = next;
    if (int rc = SendReady(handle, ext, timeout); rc != QEL_O_K) return rc;
    if (ext->handshake > 0) return NIETIMEOUT;
  }
  return QEL_O_K;
}

int NiBufIWrite(NiHdl* handle, BufferedExtension* ext, const void* data, int length, int timeout,
                int* written) noexcept {
  constexpr const char* kFunction = "NiBufIWrite";
  *written = 0;
  if (length < 0 || (length > 0 && data == nullptr)) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid buffer (%d)", kFunction,
                    length);
  }
  if (int rc = PendingError(handle, ext); rc != QEL_O_K) return rc;
  int rc = NiBufIEmptyOutQueue(handle, ext, timeout);
  if (rc != QEL_O_K && rc != NIETIMEOUT) return rc;
  int result = QEL_O_K;
  if (!QueuesEmpty(ext) || ext->handshake > 0) {
    if (ext->mUserQueueLen >= ext->max_queue) {
      PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: queue for hdl %d full (%d packets)\n", kFunction,
                 HandleNumber(handle), ext->mUserQueueLen);
      (void)NiBufISelUpdate(handle, ext);
      return NIETIMEOUT;
    }
    const int free_places = ext->max_queue - ext->mUserQueueLen;
    NIBUF* copy = nullptr;
    if (int copy_rc = CopyMessage(data, length, &copy); copy_rc != QEL_O_K) return copy_rc;
    LinkNewest(ext, copy);
    const std::int64_t heap = NiBufHeapBytes();
    PARCEL_TRC(HandleDetailLevel(handle), DpTrc,
               "%s: added buffer %p to out-queue (hdl %d, %d packets, heap %d)\n", kFunction,
               static_cast<void*>(copy), HandleNumber(handle), ext->mUserQueueLen,
               static_cast<int>(heap));
    if (free_places <= ext->warn_distance) {
      result = NIEQUE_FULL;
    } else if (HeapLimit() != 0 && heap >= HeapLimit()) {
      PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: heap-space exhausted (%d > limit %d)\n",
                 kFunction, static_cast<int>(heap), static_cast<int>(HeapLimit()));
      result = NIEQUE_FULL;
    }
  } else {
    rc = NiBufIPrivWrite(handle, ext, data, length, timeout);
    if (rc != QEL_O_K && rc != NIETIMEOUT) return rc;
  }
  *written = length;
  (void)NiBufISelUpdate(handle, ext);
  return result;
}

int NiBufIIn(NiHdl* handle, BufferedExtension* ext, int timeout) noexcept {
  constexpr const char* kFunction = "NiBufIIn";
  const int number = HandleNumber(handle);
  if (ext->status == kBufAccepting) {
    int rc = TakeOver(handle, ext, timeout);
    if (rc == QEL_O_K) return NIEACCEPT;
    (void)NiBufISendErr(handle, ext, 0, rc);
    return rc == NIETIMEOUT ? NIEINTERN : rc;
  }
  const int mode = ModeOf(ext);
  int received = 0;
  if (mode == NI_RAW_IO) {
    if (ext->in == nullptr) {
      const bool ipv6_peer =
          !IsIPv4Mapped(handle->peer) && handle->sock.family == parcel::platform::kSocketFamilyIPv6;
      if (int rc =
              NiBufIAlloc(&ext->in, ipv6_peer ? kRawInputIPv6 : kRawInput, "NIBUF-IN", ext->alloc);
          rc != QEL_O_K) {
        return rc;
      }
    }
    int rc = NiIRead(handle, ext->in->space, static_cast<int>(ext->in->size), timeout, NI_RAW_IO,
                     &received);
    if (rc != QEL_O_K) {
      if (rc != NIETIMEOUT) NiBufFree(&ext->in);
      return rc;
    }
    ext->in->len = static_cast<std::uint32_t>(received);
  } else {
    if (ext->in == nullptr) {
      int rc = NiIRead(handle, nullptr, 0, timeout, NI_MESG_IO, &received);
      std::uint32_t length = 0;
      if (rc == NIETOO_SMALL) {
        length = handle->read_data_left;
        if (length > ext->max_message) {
          char peer[96];
          FormatAddressPort(&handle->peer, handle->peer_port, peer, sizeof peer);
          PARCEL_TRC(1, DpTrc, "%s: message length %d exceeds max (%d;hdl %d;peer=%s)\n", kFunction,
                     static_cast<int>(length), static_cast<int>(ext->max_message), number, peer);
          return NiIRecord(NIETOO_BIG, kSource, __LINE__, "%s: message length %d exceeds max (%d)",
                           kFunction, static_cast<int>(length), static_cast<int>(ext->max_message));
        }
      } else if (rc != QEL_O_K) {
        return rc;
      }
      if (int alloc_rc = NiBufIAlloc(&ext->in, static_cast<int>(length), "NIBUF-IN", ext->alloc);
          alloc_rc != QEL_O_K) {
        return alloc_rc;
      }
      ext->in->len = 0;
    }
    NIBUF* in = ext->in;
    while (in->len < in->size) {
      int rc = NiIRead(handle, in->space + in->len, static_cast<int>(in->size - in->len), timeout,
                       NI_MESG_IO, &received);
      if (received > 0) in->len += static_cast<std::uint32_t>(received);
      if (rc == NIETIMEOUT) return rc;  // the partial message stays for the next call
      if (rc != QEL_O_K) {
        NiBufFree(&ext->in);
        return rc;
      }
    }
  }
  NIBUF* message = ext->in;
  ext->in = nullptr;
  if (ext->talk_mode != NI_RAW_IO || ext->handshake > 0 || ext->status == kBufConnWait) {
    int peer_rc = QEL_O_K;
    int version = 0;
    const int rc = NiBufIProcMsg(handle, ext, message, &peer_rc, &version);
    if (rc == NIEOPCODE) {
      NiBufFree(&message);
      (void)NiBufISelUpdate(handle, ext);
      return peer_rc;
    }
    if (rc == NIEPING) {
      NiBufFree(&message);
      if (ext->status == kBufConnWait) {
        SetBufStatus(handle, ext, kBufOk, kFunction);
        (void)NiBufISetHS(handle, ext, false);
        return QEL_O_K;
      }
      return NIEPING;
    }
    if (rc != QEL_O_K) {
      NiBufFree(&message);
      return rc;
    }
    if (ext->status == kBufConnWait) {
      PARCEL_TRC(1, DpTrc, "%s: invalid data received (hdl %d;len=%d;msg=%d)\n", kFunction, number,
                 static_cast<int>(message->len), 0);
      NiBufFree(&message);
      return NiIRecord(NIEINTERN, kSource, __LINE__, "%s: invalid data received", kFunction);
    }
  }
  if (ext->security != nullptr && ext->talk_mode == NI_ROUT_IO &&
      ext->security->unwrap != nullptr) {
    NIBUF* plain = nullptr;
    const int rc = ext->security->unwrap(ext->security->context, message, &plain);
    NiBufFree(&message);
    if (rc != QEL_O_K) return rc;
    if (plain == nullptr) return QEL_O_K;  // nothing yet
    message = plain;
  }
  NiBufFree(&ext->waiting);
  ext->waiting = message;
  PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: packet complete for hdl %d\n", kFunction,
             number);
  (void)NiBufISelUpdate(handle, ext);
  return QEL_O_K;
}

int NiBufITryToRead(NiHdl* handle, BufferedExtension* ext, int timeout) noexcept {
  while (ext->ready != nullptr) {
    bool readable = false, writable = false;
    int rc = WaitReadOrWrite(handle, timeout, &readable, &writable);
    if (rc != QEL_O_K) return rc;
    if (writable) {
      rc = NiBufIEmptyOutQueue(handle, ext, 0);
      if (rc != QEL_O_K && rc != NIETIMEOUT) return rc;
    }
    if (readable) break;
  }
  // A reader that waits for a new message waits for the socket first: a
  // receive tried before would mostly find the socket empty and cost one
  // system call more per message.
  if (timeout != 0 && ext->status == kBufOk && ext->in == nullptr &&
      handle->read_header_left == 4) {
    if (int rc = NiIPeek(handle, 1, timeout); rc != QEL_O_K) return rc;
  }
  return NiBufIIn(handle, ext, timeout);
}

namespace {

// Gets a complete message into the waiting slot, going on waiting while
// what arrives is consumed by the layer (check messages, version answers).
int AwaitMessage(NiHdl* handle, BufferedExtension* ext, int timeout) {
  const std::int64_t start = parcel::platform::MonotonicMicroseconds();
  while (ext->waiting == nullptr) {
    if (ext->check_answer) {
      ext->check_answer = false;
      return ext->taken_over != nullptr ? NIEACCEPT : NIEPING;
    }
    int left = timeout;
    if (timeout > 0) left = std::max(0, timeout - Elapsed(start));
    // A consumed control message leaves nothing waiting: go on; the read
    // itself times out when nothing more is there.
    const int rc = NiBufITryToRead(handle, ext, left);
    if (rc != QEL_O_K) return rc;
  }
  return QEL_O_K;
}

}  // namespace

int NiBufIRead(NiHdl* handle, BufferedExtension* ext, void* buffer, int length, int timeout,
               int* received) noexcept {
  constexpr const char* kFunction = "NiBufIRead";
  *received = 0;
  if (length < 0 || (length > 0 && buffer == nullptr)) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid buffer (%d)", kFunction,
                    length);
  }
  if (int rc = PendingError(handle, ext); rc != QEL_O_K) return rc;
  if (int rc = AwaitMessage(handle, ext, timeout); rc != QEL_O_K) return rc;
  NIBUF* message = ext->waiting;
  const std::uint32_t count = message->len < static_cast<std::uint32_t>(length)
                                  ? message->len
                                  : static_cast<std::uint32_t>(length);
  if (count > 0) std::memcpy(buffer, message->data, count);
  *received = static_cast<int>(count);
  if (count == message->len) {
    NiBufFree(&ext->waiting);
    (void)NiBufISelUpdate(handle, ext);
    return QEL_O_K;
  }
  message->data += count;
  message->len -= count;
  return NiIRecord(NIETOO_SMALL, kSource, __LINE__, "%s: buffer too small (%d<%d)", kFunction,
                   length, static_cast<int>(message->len + count));
}

int NiBufIReceive(NiHdl* handle, BufferedExtension* ext, NIBUF** message, int timeout) noexcept {
  *message = nullptr;
  if (int rc = PendingError(handle, ext); rc != QEL_O_K) return rc;
  if (int rc = AwaitMessage(handle, ext, timeout); rc != QEL_O_K) return rc;
  *message = ext->waiting;
  ext->waiting = nullptr;
  (void)NiBufISelUpdate(handle, ext);
  return QEL_O_K;
}

int NiBufIProcMsg(NiHdl* handle, BufferedExtension* ext, NIBUF* message, int* peer_rc,
                  int* version) noexcept {
  constexpr const char* kFunction = "NiBufIProcMsg";
  const int number = HandleNumber(handle);
  const unsigned char* data = message->data;
  const std::size_t length = message->len;
  *peer_rc = QEL_O_K;
  if (length == kNiCheckMessageSize && std::memcmp(data, NI_PING, kNiCheckMessageSize) == 0) {
    PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: hdl %d received NI_PING, reply NI_PONG\n",
               kFunction, number);
    if (ext == nullptr && handle->mPendDataLenToWrite > 0) {
      PARCEL_TRC(HandleDetailLevel(handle), DpTrc,
                 "%s: hdl %d mPendDataLenToWrite > 0 (%d), do not send PONG\n", kFunction, number,
                 static_cast<int>(handle->mPendDataLenToWrite));
    } else {
      (void)NiICheck(handle, 0, false, nullptr);
    }
    return NIEOPCODE;
  }
  if (length == kNiCheckMessageSize && std::memcmp(data, NI_PONG, kNiCheckMessageSize) == 0) {
    if (handle->wait_check == 1) {
      PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: hdl %d received NI_PONG, check o.k.\n",
                 kFunction, number);
      handle->wait_check = 0;
      return NIEPING;
    }
    if (handle->wait_check == 2) {
      ++handle->check_answers;
      PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: hdl %d received NI_PONG: wait_count: %d\n",
                 kFunction, number, handle->check_answers);
    } else {
      PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: hdl %d received NI_PONG\n", kFunction,
                 number);
    }
    return NIEOPCODE;
  }
  ControlMessage control;
  if (!ParseControlMessage(data, length, &control)) return QEL_O_K;
  PARCEL_TRC(HandleDetailLevel(handle), DpTrc,
             "%s: hdl %d processing opcode %d (len=%d; vers=%d)\n", kFunction, number,
             control.opcode, static_cast<int>(length), control.version);
  if (version != nullptr) *version = control.version;
  switch (control.opcode) {
    case kOpError:
      if (control.errinfo_length > 0) {
        (void)ErrCpNetToInt(reinterpret_cast<const char*>(control.errinfo), control.errinfo_length);
      }
      *peer_rc = control.rc;
      PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: hdl %d received rc=%d (%s) from peer\n",
                 kFunction, number, control.rc, NiIErrorName(control.rc));
      return NIEOPCODE;
    case kOpVersionRequest:
      if (ext == nullptr && handle->mPendDataLenToWrite > 0) {
        PARCEL_TRC(HandleDetailLevel(handle), DpTrc,
                   "%s: hdl %d mPendDataLenToWrite > 0 (%d), do not send VERSION\n", kFunction,
                   number, static_cast<int>(handle->mPendDataLenToWrite));
      } else {
        (void)SendControl(handle, ext, 0, kOpVersionAnswer, QEL_O_K, nullptr, 0, kFunction);
      }
      return NIEOPCODE;
    case kOpVersionAnswer:
      if (handle->wait_version) {
        handle->wait_version = 0;
        message->data = message->space;
        message->data[0] = static_cast<unsigned char>(control.version);
        message->len = 1;
        return QEL_O_K;
      }
      return NIEOPCODE;
    case kOpHandOverOffer: return HandOverOffered(handle, ext, control);
    case kOpHandOverAnswer: return HandOverAnswered(handle, ext, control);
    case kOpHandOverDone: return HandOverDone(handle, ext);
    default: {
      NiOpcodeHandler handler = CurrentOpcodeHandler();
      if (handler != nullptr &&
          handler(handle, control.opcode, control.data, control.data_length) != NIEINVAL) {
        return NIEOPCODE;
      }
      NiIRecord(NIEVERSION, kSource, __LINE__, "%s: unknown opcode %d received", kFunction,
                control.opcode);
      (void)SendControl(handle, ext, 0, kOpError, NIEVERSION, nullptr, 0, kFunction);
      return NIEOPCODE;
    }
  }
}

int NiBufISetError(NiHdl* handle, BufferedExtension* ext, int rc) noexcept {
  constexpr const char* kFunction = "NiBufISetError";
  if (ext->status == kBufErr) {
    PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: discarding error %d due to older error\n",
               kFunction, rc);
    return rc;
  }
  const char* record = nullptr;
  int length = 0;
  if (ErrGetRecord(&record, &length) != 0 || length == 0) {
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: no error information found",
                    kFunction);
  }
  NiBufFree(&ext->saved_error);
  if (NiBufICopyTo(&ext->saved_error, record, length) != QEL_O_K) return NIEINTERN;
  ext->saved_rc = rc;
  NiBufFree(&ext->in);
  NiBufFree(&ext->waiting);
  SetBufStatus(handle, ext, kBufErr, kFunction);
  if (NiBufISelUpdate(handle, ext) != QEL_O_K) return NIEINTERN;
  return rc;
}

int NiBufISendErr(NiHdl* handle, BufferedExtension* ext, int timeout, int rc) noexcept {
  constexpr const char* kFunction = "NiBufISendErr";
  const int number = HandleNumber(handle);
  if (!ErrHasInfo()) {
    PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: no errInfo set for hdl %d\n", kFunction, number);
    NiIRecord(rc, kSource, __LINE__, "%s: error in hdl %d", kFunction, number);
  }
  PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: send ni-error rc %d to hdl %d\n", kFunction, rc,
             number);
  return SendControl(handle, ext, timeout, kOpError, rc, nullptr, 0, kFunction);
}

int NiBufISendMsg(NiHdl* handle, BufferedExtension* ext, int timeout, int opcode,
                  const unsigned char* data, int length) noexcept {
  constexpr const char* kFunction = "NiBufISendMsg";
  const int number = HandleNumber(handle);
  NiIRecord(NIEVERSION, kSource, __LINE__, "%s: local hdl %d", kFunction, number);
  PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: send opCode %d to hdl %d (dataLen=%d)\n",
             kFunction, opcode, number, length);
  return SendControl(handle, ext, timeout, opcode, NIEVERSION, data, length, kFunction);
}

int NiBufISetHS(NiHdl* handle, BufferedExtension* ext, bool raise) noexcept {
  constexpr const char* kFunction = "NiBufISetHS";
  const int number = HandleNumber(handle);
  if (raise) {
    if (ext->handshake == 0) {
      if (ext->ready != nullptr && SendReady(handle, ext, 0) == NIETIMEOUT) {
        PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: ready could not be freed (hdl %d)\n", kFunction,
                   number);
      }
      if (ext->in != nullptr && ext->in->len > 0) {
        PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: hdl %d in fragment read\n", kFunction, number);
      }
    }
    ++ext->handshake;
    PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "handshake for hdl %d = %d\n", number,
               ext->handshake);
    if (ext->handshake == 1) (void)NiBufISelUpdate(handle, ext);
    return QEL_O_K;
  }
  if (ext->handshake == 0) {
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: invalid status for hdl %d", kFunction,
                    number);
  }
  --ext->handshake;
  PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "handshake for hdl %d = %d\n", number,
             ext->handshake);
  if (ext->handshake == 0) {
    (void)NiBufISelUpdate(handle, ext);
    int rc = NiBufIEmptyOutQueue(handle, ext, 0);
    if (rc != QEL_O_K && rc != NIETIMEOUT) return rc;
  }
  return QEL_O_K;
}

int NiBufIWriteUserMsg(NiHdl* handle, const void* data, int length, int timeout,
                       int* written) noexcept {
  constexpr const char* kFunction = "NiBufIWriteUserMsg";
  *written = 0;
  BufferedExtension* ext = ExtensionOf(handle);
  if (ext == nullptr) return NiIWrite(handle, data, length, timeout, NI_MESG_IO, written);
  if (int rc = PendingError(handle, ext); rc != QEL_O_K) return rc;
  if (ext->talk_mode != NI_MESG_IO && ext->handshake == 0) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid talkmode of hdl %d", kFunction,
                    HandleNumber(handle));
  }
  int rc = NiBufIPrivWrite(handle, ext, data, length, timeout);
  if (rc == NIETIMEOUT) rc = QEL_O_K;
  if (rc == QEL_O_K) *written = length;
  return rc;
}

int NiBufIPendRead(NiHdl* handle, BufferedExtension* ext, int timeout, int* length) noexcept {
  *length = 0;
  if (ext->waiting == nullptr) {
    int rc = NiBufITryToRead(handle, ext, timeout);
    if (rc != QEL_O_K && rc != NIETIMEOUT) return rc;
  }
  if (ext->waiting == nullptr) {
    *length = ext->in != nullptr ? static_cast<int>(ext->in->len) : 0;
    return NIETIMEOUT;
  }
  *length = static_cast<int>(ext->waiting->len);
  return QEL_O_K;
}

int NiBufIPendWrite(NiHdl* handle, BufferedExtension* ext, int timeout) noexcept {
  int rc = NiBufIEmptyOutQueue(handle, ext, timeout);
  (void)NiBufISelUpdate(handle, ext);
  return rc;
}
