// Message buffers and their accounting, the extension's life, its status and
// parameters, and the control message layout.
#include "ni/ni_buf.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "errinfo/errinfo.h"
#include "platform/coding.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

constexpr const char* kSource = "ni_buf.cpp";

std::int64_t g_heap_bytes = 0;  // under "NI heap section"
std::atomic<std::int64_t> g_live_buffers{0};
std::uint32_t g_heap_limit = 0;
NiOpcodeHandler g_opcode_handler = nullptr;

void CountHeap(std::int64_t bytes) {
  NiLibrary& lib = Library();
  ThrLockEnter(&lib.heap_lock);
  g_heap_bytes += bytes;
  ThrLockLeave(&lib.heap_lock);
}

void FreeBlock(NIBUF* buffer) {
  CountHeap(-static_cast<std::int64_t>(buffer->heap_bytes));
  g_live_buffers.fetch_sub(1, std::memory_order_relaxed);
  NiIFree(buffer);
}

// The extension's operations for the handle layer.
void CloseOp(NiHdl* handle) { NiBufIClose(handle); }
bool HasSecurity(const NiHdl* handle) {
  const BufferedExtension* ext = ExtensionOf(handle);
  return ext != nullptr && ext->security != nullptr;
}
const ExtensionOps kOps = {&CloseOp, &HasSecurity, &NiBufIWriteUserMsg};

}  // namespace

std::int64_t NiBufHeapBytes() noexcept {
  NiLibrary& lib = Library();
  ThrLockEnter(&lib.heap_lock);
  const std::int64_t bytes = g_heap_bytes;
  ThrLockLeave(&lib.heap_lock);
  return bytes;
}

std::int64_t NiBufLiveBuffers() noexcept { return g_live_buffers.load(); }
void NiBufSetHeapLimit(std::uint32_t limit) noexcept { g_heap_limit = limit; }
void NiBufSetOpcodeHandler(NiOpcodeHandler handler) noexcept { g_opcode_handler = handler; }
NiOpcodeHandler CurrentOpcodeHandler() noexcept { return g_opcode_handler; }
std::uint32_t HeapLimit() noexcept { return g_heap_limit; }

const char* BufStatusName(unsigned char status) noexcept {
  static constexpr const char* kNames[] = {"OFF", "CONN_WAIT", "OK", "ERR", "ACCEPTING", "SENDING"};
  return status < std::size(kNames) ? kNames[status] : "???";
}

void SetBufStatus(NiHdl* handle, BufferedExtension* ext, unsigned char status,
                  const char* function) noexcept {
  if (status >= 6) {
    PARCEL_TRC(1, DpTrc, "%s: unknown status %d\n", function, status);
  }
  PARCEL_TRC(handle->trace ? 1 : 3, DpTrc, "%s: hdl %d changed from %s to %s\n", function,
             HandleNumber(handle), BufStatusName(ext->status), BufStatusName(status));
  ext->status = status;
}

BufferedExtension* ExtensionOf(const NiHdl* handle) noexcept {
  return handle != nullptr && handle->extension_ops == &kOps ? handle->extension : nullptr;
}

std::size_t BuildControlMessage(int opcode, int rc, const unsigned char* data, int length,
                                unsigned char* out, std::size_t size) noexcept {
  int info_length = 0;
  char info[errinfo::kErrInfoSize];
  if (opcode == kOpError || length > 0 ||
      (opcode != kOpVersionRequest && opcode != kOpVersionAnswer)) {
    if (ErrGetNetForm(info, &info_length, sizeof info) != 0) info_length = 0;
  }
  const std::size_t data_length =
      data != nullptr && length > 0 ? static_cast<std::size_t>(length) : 0;
  const bool short_form =
      (opcode == kOpVersionRequest || opcode == kOpVersionAnswer) && data_length == 0;
  if (short_form) info_length = 0;
  const std::size_t total =
      short_form ? kControlHeader
                 : kControlHeader + static_cast<std::size_t>(info_length) + data_length;
  if (total > size) return 0;
  std::memset(out, 0, total);
  std::memcpy(out, "NI_RTERR", 8);
  out[9] = kNiProtocolVersion;
  out[10] = static_cast<unsigned char>(opcode);
  platform::EncodeBigEndian32(out + 12, static_cast<std::uint32_t>(rc));
  platform::EncodeBigEndian32(out + 16, static_cast<std::uint32_t>(info_length));
  if (!short_form) {
    std::memcpy(out + 20, info, static_cast<std::size_t>(info_length));
    if (data_length > 0) std::memcpy(out + 20 + info_length, data, data_length);
  }
  return total;
}

bool ParseControlMessage(const unsigned char* message, std::size_t length,
                         ControlMessage* out) noexcept {
  if (length < kControlHeader || std::memcmp(message, "NI_RTERR", 8) != 0 || message[8] != 0) {
    return false;
  }
  const std::uint32_t info_length = platform::DecodeBigEndian32(message + 16);
  if (info_length > length - kControlHeader) {
    PARCEL_TRC(2, DpTrc, "%s: invalid error-msg received (%d>%d)\n", "NiBufIProcMsg",
               static_cast<int>(info_length), static_cast<int>(length - kControlHeader));
    return false;
  }
  out->version = message[9];
  out->opcode = out->version < 29 ? kOpError : message[10];
  out->rc = static_cast<int>(platform::DecodeBigEndian32(message + 12));
  out->errinfo = message + 20;
  out->errinfo_length = static_cast<int>(info_length);
  out->data = message + 20 + info_length;
  out->data_length = static_cast<int>(length - kControlHeader - info_length);
  return true;
}

}  // namespace parcel::ni

using namespace parcel::ni;

int NiBufAlloc2(NIBUF** buffer, int length, const char* tag) noexcept {
  constexpr const char* kFunction = "NiBufAlloc2";
  if (buffer == nullptr) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: parameter invalid (ppBuffer == NULL)",
                    kFunction);
  }
  if (length < 0) {
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: parameter invalid (length < 0)",
                    kFunction);
  }
  if (length > NIBUF_MAXALLOC) {
    return NiIError(NIETOO_BIG, kSource, __LINE__, false, "%s: required size too big (%d>%d)",
                    kFunction, length, NIBUF_MAXALLOC);
  }
  const auto bytes = static_cast<std::uint32_t>(length);
  NiLibrary& lib = Library();
  ThrLockEnter(&lib.heap_lock);
  g_heap_bytes += bytes;
  const std::int64_t now = g_heap_bytes;
  ThrLockLeave(&lib.heap_lock);
  if (g_heap_limit != 0 && now > g_heap_limit) {
    PARCEL_TRC(2, DpTrc, "%s: Heap-space %u exhausted by %u bytes\n", kFunction, g_heap_limit,
               static_cast<unsigned>(now - g_heap_limit));
  }
  auto* block = static_cast<NIBUF*>(NiIAlloc(sizeof(NIBUF) + bytes, "NIBUF"));
  if (block == nullptr) {
    CountHeap(-static_cast<std::int64_t>(bytes));
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: malloc failed for %d bytes",
                    kFunction, length);
  }
  std::memset(block, 0, sizeof *block);
  block->space = reinterpret_cast<unsigned char*>(block + 1);
  block->data = block->space;
  block->size = bytes;
  block->refs = 1;
  block->heap_bytes = bytes;
  g_live_buffers.fetch_add(1, std::memory_order_relaxed);
  PARCEL_TRC(3, DpTrc, "%s: malloc %s, to %d bytes\n", kFunction,
             tag != nullptr ? tag : "(unspecified)", length);
  *buffer = block;
  return QEL_O_K;
}

int NiBufIAlloc(NIBUF** buffer, int length, const char* tag, NiBufAllocFunc alloc) noexcept {
  if (alloc == nullptr || alloc == &NiBufAlloc2) return NiBufAlloc2(buffer, length, tag);
  if (length > NIBUF_MAXALLOC) {
    return NiIError(NIETOO_BIG, kSource, __LINE__, false, "%s: required size too big (%d>%d)",
                    "NiBufIAlloc", length, NIBUF_MAXALLOC);
  }
  *buffer = nullptr;
  if (int rc = alloc(buffer, length, tag); rc != QEL_O_K) return rc;
  if (*buffer == nullptr || (*buffer)->size < static_cast<std::uint32_t>(length)) {
    const int size = *buffer != nullptr ? static_cast<int>((*buffer)->size) : 0;
    NiBufFree(buffer);
    return NiIError(NIETOO_BIG, kSource, __LINE__, false, "%s: retured buffer too small (%d<%d)",
                    "NiBufIAlloc", size, length);
  }
  return QEL_O_K;
}

extern "C" void NiBufFree(NIBUF** buffer) noexcept {
  if (buffer == nullptr || *buffer == nullptr) return;
  NIBUF* block = *buffer;
  *buffer = nullptr;
  NiLibrary& lib = Library();
  ThrLockEnter(&lib.ref_lock);
  const int refs = block->refs > 0 ? --block->refs : -1;
  ThrLockLeave(&lib.ref_lock);
  if (refs != 0) {
    if (refs > 0)
      PARCEL_TRC(3, DpTrc, "%s: ref %d for buf %p\n", "NiBufFree", refs, static_cast<void*>(block));
    return;  // still referenced (or a count already at zero: never freed twice)
  }
  switch (block->kind) {
    case 1: {
      NIBUF* referred = block->referred;
      FreeBlock(block);
      NiBufFree(&referred);
      return;
    }
    case 2: {
      void (*release)(NIBUF*) = block->release;
      g_live_buffers.fetch_sub(1, std::memory_order_relaxed);
      block->refs = 1;
      block->len = 0;
      block->data = block->space;
      if (release != nullptr) release(block);
      return;
    }
    default:
      if (block->release != nullptr) {
        block->refs = 1;
        block->len = 0;
        block->data = block->space;
        block->release(block);
        return;
      }
      FreeBlock(block);
  }
}

int NiBufDup(NIBUF** copy, NIBUF* source) noexcept {
  if (copy == nullptr || source == nullptr) return NIEINVAL;
  NIBUF* block = static_cast<NIBUF*>(NiIAlloc(sizeof(NIBUF), "NiBufDup"));
  if (block == nullptr) {
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: malloc failed for %d bytes",
                    "NiBufDup", static_cast<int>(sizeof(NIBUF)));
  }
  NiLibrary& lib = Library();
  ThrLockEnter(&lib.ref_lock);
  ++source->refs;
  ThrLockLeave(&lib.ref_lock);
  std::memset(block, 0, sizeof *block);
  block->kind = 1;
  block->refs = 1;
  block->referred = source;
  block->space = source->space;
  block->data = source->data;
  block->len = source->len;
  block->size = source->size;
  g_live_buffers.fetch_add(1, std::memory_order_relaxed);
  *copy = block;
  return QEL_O_K;
}

int NiBufWrap(NIBUF** buffer, void* data, int length, void (*release)(NIBUF* buffer)) noexcept {
  if (buffer == nullptr || length < 0 || (length > 0 && data == nullptr)) return NIEINVAL;
  NIBUF* block = static_cast<NIBUF*>(NiIAlloc(sizeof(NIBUF), "NiBufWrap"));
  if (block == nullptr) {
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: malloc failed for %d bytes",
                    "NiBufWrap", static_cast<int>(sizeof(NIBUF)));
  }
  std::memset(block, 0, sizeof *block);
  block->kind = 2;
  block->refs = 1;
  block->space = static_cast<unsigned char*>(data);
  block->data = block->space;
  block->len = static_cast<std::uint32_t>(length);
  block->size = static_cast<std::uint32_t>(length);
  block->release = release;
  g_live_buffers.fetch_add(1, std::memory_order_relaxed);
  *buffer = block;
  return QEL_O_K;
}

int NiBufICopyTo(NIBUF** buffer, const void* data, int length) noexcept {
  constexpr const char* kFunction = "NiBufICopyTo";
  const auto* bytes = static_cast<const unsigned char*>(data);
  NIBUF* block = *buffer;
  if (block != nullptr && bytes >= block->space && bytes + length <= block->space + block->size) {
    PARCEL_TRC(3, DpTrc, "%s: Adjusting data in NIBUF len=%d\n", kFunction, length);
    block->data = const_cast<unsigned char*>(bytes);
    block->len = static_cast<std::uint32_t>(length);
    return QEL_O_K;
  }
  if (block != nullptr && block->size < static_cast<std::uint32_t>(length)) NiBufFree(buffer);
  if (*buffer == nullptr) {
    if (int rc = NiBufAlloc2(buffer, length, "NIBUF"); rc != QEL_O_K) return rc;
  }
  PARCEL_TRC(3, DpTrc, "%s: save data in NIBUF len=%d\n", kFunction, length);
  block = *buffer;
  block->data = block->space;
  if (length > 0) std::memcpy(block->data, data, static_cast<std::size_t>(length));
  block->len = static_cast<std::uint32_t>(length);
  return QEL_O_K;
}

int NiBufIHdlInit(NiHdl* handle) noexcept {
  constexpr const char* kFunction = "NiBufIHdlInit";
  if (handle->extension != nullptr) {
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: called with filled extension",
                    kFunction);
  }
  auto* ext = static_cast<BufferedExtension*>(NiIAlloc(sizeof(BufferedExtension), kFunction));
  if (ext == nullptr) {
    return NiIError(NIEINTERN, kSource, __LINE__, false, "%s: malloc failed for %d bytes",
                    kFunction, static_cast<int>(sizeof(BufferedExtension)));
  }
  std::memset(ext, 0, sizeof *ext);
  ext->status = kBufOk;
  ext->talk_mode = NI_MESG_IO;
  ext->alloc = &NiBufAlloc2;
  ext->max_message = NIBUF_MAXALLOC;
  ext->local_peer = IsLocalPeer(&handle->peer, handle->sock.family);
  handle->extension = ext;
  handle->extension_ops = &kOps;
  PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: hdl %d is buffered\n", kFunction,
             HandleNumber(handle));
  return QEL_O_K;
}

void NiBufIClose(NiHdl* handle) noexcept {
  constexpr const char* kFunction = "NiBufIClose";
  BufferedExtension* ext = ExtensionOf(handle);
  if (ext == nullptr) return;
  if (ext->security != nullptr && ext->security->close != nullptr) {
    ext->security->close(ext->security->context);
  }
  if (ext->taken_over != nullptr) {
    (void)NiICloseHandle(ext->taken_over, false, false);
    ext->taken_over = nullptr;
  }
  NiIFree(ext->mpPassHdlData);
  ext->mpPassHdlData = nullptr;
  SelectSetForget(handle, ext);
  const bool half_read = ext->in != nullptr;
  const bool unsent = ext->ready != nullptr || ext->queue_oldest != nullptr;
  if (half_read || unsent) {
    PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: called while buffer filled %c%c\n", kFunction,
               half_read ? 'r' : '-', unsent ? 'w' : '-');
  }
  NiBufFree(&ext->ready);
  while (ext->queue_oldest != nullptr) {
    NIBUF* buffer = ext->queue_oldest;
    ext->queue_oldest = buffer->next;
    --ext->mUserQueueLen;
    NiBufFree(&buffer);
  }
  ext->queue_newest = nullptr;
  if (ext->mUserQueueLen != 0) {
    PARCEL_TRC(1, DpTrc, "%s: mUserQueueLen=%d after freeing queue\n", kFunction,
               ext->mUserQueueLen);
  }
  NiBufFree(&ext->in);
  NiBufFree(&ext->waiting);
  NiBufFree(&ext->saved_error);
  PARCEL_TRC(HandleDetailLevel(handle), DpTrc, "%s: freed out-queue (hdl %d, heap %u)\n", kFunction,
             HandleNumber(handle), static_cast<unsigned>(NiBufHeapBytes()));
  NiIFree(ext);
  handle->extension = nullptr;
  handle->extension_ops = nullptr;
}

int NiBufISetHdlParam(NiHdl* handle, BufferedExtension* ext, const NI_HDLPARAM* param) noexcept {
  constexpr const char* kFunction = "NiBufISetHdlParam";
  const int number = HandleNumber(handle);
  auto wrong_type = [&](const char* type) {
    return NiIError(NIEINVAL, kSource, __LINE__, false,
                    "%s: parameter invalid (pParamData->datatype != %s)", kFunction, type);
  };
  switch (param->param) {
    case NIP_TALKMODE: {
      if (param->datatype != NI_DT_RAW) return wrong_type("NI_DT_RAW");
      int mode = param->value.raw_val;
      if (mode != NI_MESG_IO && mode != NI_ROUT_IO && mode != NI_RAW_IO) {
        return NiIError(NIEINVAL, kSource, __LINE__, false,
                        "%s: parameter invalid (pParamData->value.raw_val != NI_MESG_IO && "
                        "pParamData->value.raw_val != NI_ROUT_IO && pParamData->value.raw_val "
                        "!= NI_RAW_IO)",
                        kFunction);
      }
      if (mode == NI_RAW_IO && ext->security != nullptr) mode = NI_ROUT_IO;
      ext->talk_mode = mode;
      PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: set talkmode of hdl %d to %s%s\n", kFunction,
                 number,
                 mode == NI_MESG_IO  ? "MESG_IO"
                 : mode == NI_RAW_IO ? "RAW_IO"
                                     : "ROUT_IO",
                 ext->handshake > 0 ? " (saved)" : "");
      return QEL_O_K;
    }
    case NIP_BUFSTAT:
      if (param->datatype != NI_DT_RAW) return wrong_type("NI_DT_RAW");
      if (param->value.raw_val != NI_BUFSTAT_OFF) {
        return NiIError(NIEINVAL, kSource, __LINE__, false,
                        "%s: parameter invalid (pParamData->value.raw_val != NI_BUFSTAT_OFF)",
                        kFunction);
      }
      PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: hdl %d, bufstat %d\n", kFunction, number,
                 param->value.raw_val);
      NiBufIClose(handle);
      return QEL_O_K;
    case NIP_QUEUE_STAT:
      if (ext->queue_oldest != nullptr || ext->ready != nullptr) ext->sent_since_reset = false;
      return QEL_O_K;
    case NIP_ALLOC_FUNC:
      if (param->datatype != NI_DT_ALLOCFUNC) return wrong_type("NI_DT_ALLOCFUNC");
      ext->alloc = param->value.alloc_val != nullptr ? param->value.alloc_val : &NiBufAlloc2;
      PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: set alloc function for hdl %d to %p\n", kFunction,
                 number, reinterpret_cast<void*>(ext->alloc));
      return QEL_O_K;
    case NIP_MAX_QUEUE:
    case NIP_WARN_QUEUE:
    case NIP_MAX_MSG: {
      if (param->datatype != NI_DT_UINT) return wrong_type("NI_DT_UINT");
      const unsigned value = param->value.uint_val;
      if (param->param == NIP_MAX_QUEUE) {
        ext->max_queue = static_cast<int>(value > 0x7FFFFFFF ? 0x7FFFFFFF : value);
        PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: set max queue for hdl %d to %d\n", kFunction,
                   number, ext->max_queue);
      } else if (param->param == NIP_WARN_QUEUE) {
        ext->warn_distance = static_cast<int>(value > 0x7FFFFFFF ? 0x7FFFFFFF : value);
        PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: set warn queue for hdl %d to %d\n", kFunction,
                   number, ext->warn_distance);
      } else {
        // Messages are allocated whole; more than one allocation may hold is refused.
        ext->max_message = value > static_cast<unsigned>(NIBUF_MAXALLOC) ? NIBUF_MAXALLOC : value;
        PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: set max message length for hdl %d to %d\n",
                   kFunction, number, static_cast<int>(ext->max_message));
      }
      return QEL_O_K;
    }
    default: return NIEINVAL;
  }
}

int NiBufIGetHdlParam(NiHdl* /*handle*/, BufferedExtension* ext, NI_HDLPARAM* param) noexcept {
  switch (param->param) {
    case NIP_TALKMODE:
      param->datatype = NI_DT_RAW;
      param->value.raw_val = ext->talk_mode;
      return QEL_O_K;
    case NIP_QUEUE_STAT:
      param->datatype = NI_DT_UINT;
      param->value.uint_val = ext->queue_oldest == nullptr && ext->ready == nullptr ? 0
                              : ext->sent_since_reset                               ? 1
                                                                                    : 2;
      return QEL_O_K;
    case NIP_ALLOC_FUNC:
      param->datatype = NI_DT_ALLOCFUNC;
      param->value.alloc_val = ext->alloc;
      return QEL_O_K;
    case NIP_MAX_QUEUE:
    case NIP_WARN_QUEUE:
    case NIP_MAX_MSG:
      param->datatype = NI_DT_UINT;
      param->value.uint_val = param->param == NIP_MAX_QUEUE ? static_cast<unsigned>(ext->max_queue)
                              : param->param == NIP_WARN_QUEUE
                                  ? static_cast<unsigned>(ext->warn_distance)
                                  : ext->max_message;
      return QEL_O_K;
    default: return NIEINVAL;
  }
}
