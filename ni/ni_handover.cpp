// Hand-over of a handle between two processes on one host, over a buffered
// connection: offer (opcode 8), answer with the taker's process id (5), the
// sockets themselves, done (6).
#include <cstring>

#include "ni/ni.h"
#include "ni/ni_addr.h"
#include "ni/ni_buf.h"
#include "platform/coding.h"
#include "platform/system_info.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

constexpr const char* kSource = "ni_handover.cpp";
constexpr int kPassData = 6;
constexpr int kSocketWait = 10000;

// The sockets of a handle in hand-over order.
int SocketsOf(NiHdl* handle, platform::SocketHandle* out) {
  int count = 0;
  if (IsListeningState(handle->state)) {
    for (const NI_SOCKREC& record : handle->listen) {
      if (record.socket >= 0) out[count++] = SiHandleOf(record);
    }
  } else if (handle->sock.socket >= 0) {
    out[count++] = SiHandleOf(handle->sock);
  }
  return count;
}

}  // namespace

int HandOverOffered(NiHdl* handle, BufferedExtension* ext, const ControlMessage& message) noexcept {
  constexpr const char* kFunction = "NiBufIProcMsg";
  const int number = HandleNumber(handle);
  // Handles are taken over only from a process on this host, and only when
  // this end asked for them.
  if (ext == nullptr || !ext->take_over || !ext->local_peer || ext->status != kBufOk ||
      ext->mpAcceptedHdl != nullptr || ext->mpPassHdlData != nullptr ||
      message.data_length != kPassData) {
    NiIRecord(NIEINTERN, kSource, __LINE__, "%s: invalid internal state (hdl %d;%d;%p;%p;%d)",
              kFunction, number, ext != nullptr ? ext->status : -1,
              ext != nullptr ? static_cast<void*>(ext->mpAcceptedHdl) : nullptr,
              ext != nullptr ? static_cast<void*>(ext->mpPassHdlData) : nullptr,
              message.data_length);
    (void)NiBufISendErr(handle, ext, 0, NIEINTERN);
    return NIEOPCODE;
  }
  ext->mpPassHdlData = static_cast<unsigned char*>(NiIAlloc(kPassData, kFunction));
  if (ext->mpPassHdlData == nullptr) {
    NiIRecord(NIEINTERN, kSource, __LINE__, "%s: malloc failed for %d bytes", kFunction, kPassData);
    (void)NiBufISendErr(handle, ext, 0, NIEINTERN);
    return NIEOPCODE;
  }
  std::memcpy(ext->mpPassHdlData, message.data, kPassData);
  unsigned char pid[4];
  platform::EncodeBigEndian32(pid, static_cast<std::uint32_t>(platform::ProcessId()));
  SetBufStatus(handle, ext, kBufAccepting, kFunction);
  (void)NiBufISetHS(handle, ext, true);
  (void)NiBufISendMsg(handle, ext, 0, kOpHandOverAnswer, pid, 4);
  return NIEOPCODE;
}

int HandOverAnswered(NiHdl* handle, BufferedExtension* ext,
                     const ControlMessage& message) noexcept {
  constexpr const char* kFunction = "NiBufIProcMsg";
  const int number = HandleNumber(handle);
  if (ext == nullptr || ext->status != kBufSending || ext->mpAcceptedHdl == nullptr ||
      message.data_length < 4) {
    NiIRecord(NIEINTERN, kSource, __LINE__, "%s: invalid internal state (hdl %d;%d;%p;%d<%d)",
              kFunction, number, ext != nullptr ? ext->status : -1,
              ext != nullptr ? static_cast<void*>(ext->mpAcceptedHdl) : nullptr,
              message.data_length, 4);
    return NIEINTERN;
  }
  const int pid = static_cast<int>(platform::DecodeBigEndian32(message.data));
  NiHdl* handed = ext->mpAcceptedHdl;
  PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: sending hdl %d over hdl %d to pid %d\n", kFunction,
             HandleNumber(handed), number, pid);
  platform::SocketHandle sockets[kNiListenSockets];
  const int count = SocketsOf(handed, sockets);
  const int error = platform::SocketSendSockets(SiHandleOf(handle->sock), sockets, count, pid);
  if (error != 0) {
    return NiIError(NIEINTERN, kSource, __LINE__, false,
                    "%s: SiSendSocket failed (sirc=%d) for sock %d over hdl %d", kFunction, error,
                    static_cast<int>(sockets[0]), number);
  }
  PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: sent hdl %d successfully\n", kFunction,
             HandleNumber(handed));
  return NIEOPCODE;
}

int HandOverDone(NiHdl* handle, BufferedExtension* ext) noexcept {
  constexpr const char* kFunction = "NiBufIProcMsg";
  const int number = HandleNumber(handle);
  if (ext == nullptr || ext->status != kBufSending || ext->mpAcceptedHdl == nullptr) {
    NiIRecord(NIEINTERN, kSource, __LINE__, "%s: invalid internal state (hdl %d;%d;%p)", kFunction,
              number, ext != nullptr ? ext->status : -1,
              ext != nullptr ? static_cast<void*>(ext->mpAcceptedHdl) : nullptr);
    return NIEINTERN;
  }
  NiHdl* handed = ext->mpAcceptedHdl;
  handed->passed = 1;
  if (BufferedExtension* handed_ext = ExtensionOf(handed); handed_ext != nullptr) {
    NiIRecord(NIEPASSED, kSource, __LINE__, "%s:  passed by hdl %d", kFunction, number);
    (void)NiBufISetError(handed, handed_ext, NIEPASSED);
  }
  ext->mpAcceptedHdl = nullptr;
  SetBufStatus(handle, ext, kBufOk, kFunction);
  (void)NiBufISetHS(handle, ext, false);
  return NIEOPCODE;
}

int TakeOver(NiHdl* handle, BufferedExtension* ext, int timeout) noexcept {
  constexpr const char* kFunction = "NiBufIIn";
  const int number = HandleNumber(handle);
  if (ext->taken_over != nullptr) {
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: mpAcceptedHdl != NULL for hdl %d",
                    kFunction, number);
  }
  if (ext->mpPassHdlData == nullptr) {
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: mpPassHdlData = NULL for hdl %d",
                    kFunction, number);
  }
  const bool listening = ext->mpPassHdlData[1] == NI_LISTEN;
  const int count = ext->mpPassHdlData[5];
  if (count != 1 && count != 2) {
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: noOfSockets = %d for hdl %d",
                    kFunction, count, number);
  }
  if (int rc = NiIPeek(handle, 1, timeout < 0 ? kSocketWait : timeout); rc != QEL_O_K) return rc;
  platform::SocketHandle sockets[kNiListenSockets];
  const int error = platform::SocketReceiveSockets(SiHandleOf(handle->sock), sockets, count,
                                                   timeout < 0 ? kSocketWait : timeout);
  if (error != 0) {
    return NiIError(NIEINTERN, kSource, __LINE__, false,
                    "%s: no valid descriptor received; WSASocket failed (%d)", kFunction, error);
  }
  NiHdl* taken = nullptr;
  int rc = NiICreateHandle(&taken, listening);
  if (rc != QEL_O_K) {
    for (int i = 0; i < count; ++i) (void)platform::SocketClose(sockets[i]);
    return rc;
  }
  for (int i = 0; i < count; ++i) {
    NI_SOCKREC& record = listening ? taken->listen[i] : taken->sock;
    record.socket = static_cast<int>(sockets[i]);
    record.type = platform::kSocketTypeStream;
    platform::SocketAddress bound;
    record.family = SiGetSockName(&record, &bound) == SI_OK ? bound.family : 0;
    PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: received sock %d (%s, %s)\n", kFunction,
               record.socket, SiFamilyName(record.family), SiTypeName(record.type));
  }
  if (listening) {
    SetState(taken, NI_LISTEN, kFunction);
  } else {
    platform::SocketAddress peer;
    if (SiGetPeerName(&taken->sock, &peer) == SI_OK) {
      (void)NiISolveSockAddr(taken, &taken->sock, peer, &taken->peer, &taken->peer_port, nullptr,
                             0);
    }
    SetState(taken, NI_CONNECTED, kFunction);
    rc = NiIBlockMode(taken, false, false);
    if (rc == QEL_O_K) rc = NiBufIHdlInit(taken);
    if (rc != QEL_O_K) {
      (void)NiICloseHandle(taken, false, false);
      return rc;
    }
    BufferedExtension* taken_ext = ExtensionOf(taken);
    taken_ext->talk_mode = ext->talk_mode;
    taken_ext->max_message = ext->max_message;
    taken_ext->max_queue = ext->max_queue;
    taken_ext->warn_distance = ext->warn_distance;
    taken_ext->alloc = ext->alloc;
    char peer_text[96];
    FormatAddressPort(&taken->peer, taken->peer_port, peer_text, sizeof peer_text);
    PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: hdl %d accepted hdl %d from %s\n", kFunction,
               number, HandleNumber(taken), peer_text);
  }
  ext->taken_over = taken;
  NiIFree(ext->mpPassHdlData);
  ext->mpPassHdlData = nullptr;
  if (ext->waiting == nullptr) ext->check_answer = true;
  (void)NiBufISendMsg(handle, ext, 0, kOpHandOverDone, nullptr, 0);
  (void)NiBufISetHS(handle, ext, false);
  SetBufStatus(handle, ext, kBufOk, kFunction);
  return QEL_O_K;
}

}  // namespace parcel::ni
