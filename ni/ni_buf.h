// The buffered message layer: a handle with a buffered extension never blocks
// its writer (what the socket does not take waits in the handle's queues and
// goes out at the next read, write, pending check or select-set wait), and
// reads always hand out whole messages from reference-counted buffers
// (NIBUF) sized to the message. The layer answers check messages itself,
// carries errors between the ends as control messages, and can hand a
// connection over to another process on the same host.
//
// Ownership: an NIBUF belongs to whoever holds a reference; NiBufFree drops
// one. Buffers handed out by a read are the caller's. The extension and its
// queues belong to the handle and are used by one thread at a time.
//
// Thread safety: reference counts change under "NI ref section", the
// library's buffer byte count under "NI heap section"; everything else is
// per handle.
#ifndef PARCEL_NI_NI_BUF_H_
#define PARCEL_NI_NI_BUF_H_

#include <cstddef>
#include <cstdint>

#include "ni/ni.h"
#include "ni/nii.h"

// A message buffer: this header, then `size` bytes of data space.
struct NIBUF {
  unsigned char* data;   // current data
  std::uint32_t len;     // bytes at `data`
  unsigned char* space;  // start of the data space
  std::uint32_t size;    // capacity
  unsigned char kind;    // 0 library's, 1 refers to `referred`, 2 user's (release function)
  std::int16_t refs;
  std::uint32_t heap_bytes;  // counted against the library's buffer bytes
  void (*release)(NIBUF* buffer);
  NIBUF* next;
  NIBUF* prev;
  NIBUF* referred;  // kind 1: the buffer whose data this one shows
};

// Allocates a buffer of `length` bytes for a message; `tag` names the
// purpose in trace lines.
using NiBufAllocFunc = int (*)(NIBUF** buffer, int length, const char* tag);

// clang-format off
inline constexpr int NIBUF_MAXALLOC = 8388608;
inline constexpr int NI_DT_RAW       = 2;
inline constexpr int NI_DT_UINT      = 4;
inline constexpr int NI_DT_ALLOCFUNC = 8;
inline constexpr int NI_BUFSTAT_OFF  = 0;
// clang-format on

namespace parcel::ni {
// clang-format off
// Extension statuses.
inline constexpr unsigned char kBufOff       = 0;
inline constexpr unsigned char kBufConnWait  = 1;
inline constexpr unsigned char kBufOk        = 2;
inline constexpr unsigned char kBufErr       = 3;
inline constexpr unsigned char kBufAccepting = 4;
inline constexpr unsigned char kBufSending   = 5;
// clang-format on
}  // namespace parcel::ni
// clang-format off
// Parameters served by the extension.
inline constexpr int NIP_TALKMODE   = 60;
inline constexpr int NIP_BUFSTAT    = 61;
inline constexpr int NIP_QUEUE_STAT = 62;
inline constexpr int NIP_ALLOC_FUNC = 63;
inline constexpr int NIP_MAX_QUEUE  = 64;
inline constexpr int NIP_WARN_QUEUE = 65;
inline constexpr int NIP_MAX_MSG    = 66;
// clang-format on
namespace parcel::ni {
// clang-format off
// Control message opcodes.
inline constexpr int kOpError          = 0;
inline constexpr int kOpVersionRequest = 1;
inline constexpr int kOpVersionAnswer  = 2;
inline constexpr int kOpHandOverAnswer = 5;
inline constexpr int kOpHandOverDone   = 6;
inline constexpr int kOpHandOverOffer  = 8;
// clang-format on
inline constexpr unsigned char kNiProtocolVersion = 38;
inline constexpr std::size_t kControlHeader = 24;  // "NI_RTERR" .. length of the error information
}  // namespace parcel::ni

// A handle parameter record.
struct NI_HDLPARAM {
  int param;
  int datatype;
  union {
    int raw_val;
    unsigned uint_val;
    NiBufAllocFunc alloc_val;
  } value;
};

// A handler for opcodes the layer does not know; NIEINVAL declines.
using NiOpcodeHandler = int (*)(NiHdl* handle, int opcode, const unsigned char* data, int length);

namespace parcel::ni {

struct SelectSet;

// The wrapper of a secured connection: wraps outgoing and unwraps incoming
// data. No implementation is part of the library; the layer works on plain
// data when a handle has none.
struct SecurityWrapper {
  int (*wrap)(void* context, const NIBUF* in, NIBUF** out);
  int (*unwrap)(void* context, const NIBUF* in, NIBUF** out);  // *out null: nothing yet
  void (*close)(void* context);
  void* context;
};

struct BufferedExtension {
  unsigned char status;
  int talk_mode;
  int handshake;
  NiBufAllocFunc alloc;
  SecurityWrapper* security;
  std::uint32_t max_message;
  bool sent_since_reset;
  NIBUF* queue_newest;
  NIBUF* queue_oldest;
  NIBUF* ready;
  int mUserQueueLen;
  int max_queue;
  int warn_distance;
  NIBUF* in;           // message being received
  NIBUF* waiting;      // complete message waiting for the caller
  NIBUF* saved_error;  // error information of status "ERR"
  int saved_rc;
  bool check_answer;  // a check answer arrived meanwhile
  bool local_peer;
  bool take_over;                // this end accepts handles offered by the peer
  NiHdl* mpAcceptedHdl;          // handle being handed over (status "SENDING")
  unsigned char* mpPassHdlData;  // six bytes of hand-over data received
  NiHdl* taken_over;             // handle taken over, waiting to be collected
  std::uint8_t* version_answer;  // where a version answer goes (null: none asked)
  // Select set membership.
  SelectSet* set;
  void* set_user;
  unsigned char asked;        // 1 read, 2 write, 4 collect
  unsigned char mode;         // socket watched: 1 read, 2 write
  unsigned char ready_state;  // 1 message, 2 writable, 4 collect
  bool marked_writable;
};

// The library's counters for tests and soak runs: bytes allocated for
// buffers and live buffers.
std::int64_t NiBufHeapBytes() noexcept;
std::int64_t NiBufLiveBuffers() noexcept;
// A limit of buffer bytes (0 = none) past which writes warn.
void NiBufSetHeapLimit(std::uint32_t limit) noexcept;
// Registers the opcode handler (null: none).
void NiBufSetOpcodeHandler(NiOpcodeHandler handler) noexcept;
// Name of a status ("OK"); "???" outside the table.
const char* BufStatusName(unsigned char status) noexcept;
// The one status setter (writes "%s: hdl %d changed from %s to %s").
void SetBufStatus(NiHdl* handle, BufferedExtension* ext, unsigned char status,
                  const char* function) noexcept;
// The extension of a handle, or null.
BufferedExtension* ExtensionOf(const NiHdl* handle) noexcept;
// Builds a control message into `out` (at least 24 + 500 + `length` + 4
// bytes); returns its length.
std::size_t BuildControlMessage(int opcode, int rc, const unsigned char* data, int length,
                                unsigned char* out, std::size_t size) noexcept;
// Whether a received message is a control message, with its parts. A length
// of error information past the frame makes it user data (trace line).
struct ControlMessage {
  int version;
  int opcode;
  int rc;
  const unsigned char* errinfo;
  int errinfo_length;
  const unsigned char* data;
  int data_length;
};
bool ParseControlMessage(const unsigned char* message, std::size_t length,
                         ControlMessage* out) noexcept;

// The opcode handler and the buffer limit in force.
NiOpcodeHandler CurrentOpcodeHandler() noexcept;
std::uint32_t HeapLimit() noexcept;
// Takes a handle out of its select set (at close).
void SelectSetForget(NiHdl* handle, BufferedExtension* ext) noexcept;
// Hand-over steps of the message examination (opcodes 8, 5, 6) and the
// take-over at the next receive.
int HandOverOffered(NiHdl* handle, BufferedExtension* ext, const ControlMessage& message) noexcept;
int HandOverAnswered(NiHdl* handle, BufferedExtension* ext, const ControlMessage& message) noexcept;
int HandOverDone(NiHdl* handle, BufferedExtension* ext) noexcept;
int TakeOver(NiHdl* handle, BufferedExtension* ext, int timeout) noexcept;

}  // namespace parcel::ni

int NiBufAlloc2(NIBUF** buffer, int length, const char* tag) noexcept;
int NiBufIAlloc(NIBUF** buffer, int length, const char* tag, NiBufAllocFunc alloc) noexcept;
// NiBufFree (ni/ni.h) drops one reference and clears `*buffer`.
// A new buffer of kind 1 showing `source`'s data (one more reference on it).
int NiBufDup(NIBUF** copy, NIBUF* source) noexcept;
// A buffer of kind 2 over the caller's memory; `release` is called exactly
// once when the last reference goes.
int NiBufWrap(NIBUF** buffer, void* data, int length, void (*release)(NIBUF* buffer)) noexcept;
int NiBufICopyTo(NIBUF** buffer, const void* data, int length) noexcept;

int NiBufIHdlInit(NiHdl* handle) noexcept;
int NiBufIWrite(NiHdl* handle, parcel::ni::BufferedExtension* ext, const void* data, int length,
                int timeout, int* written) noexcept;
int NiBufIRead(NiHdl* handle, parcel::ni::BufferedExtension* ext, void* buffer, int length,
               int timeout, int* received) noexcept;
// As NiBufIRead, handing out the message's buffer itself (the caller's).
int NiBufIReceive(NiHdl* handle, parcel::ni::BufferedExtension* ext, NIBUF** message,
                  int timeout) noexcept;
void NiBufIClose(NiHdl* handle) noexcept;
int NiBufISetHdlParam(NiHdl* handle, parcel::ni::BufferedExtension* ext,
                      const NI_HDLPARAM* param) noexcept;
int NiBufIGetHdlParam(NiHdl* handle, parcel::ni::BufferedExtension* ext,
                      NI_HDLPARAM* param) noexcept;
// Pending checks: read (a message waiting: its length in `*length`) and write
// (the queues flushed).
int NiBufIPendRead(NiHdl* handle, parcel::ni::BufferedExtension* ext, int timeout,
                   int* length) noexcept;
int NiBufIPendWrite(NiHdl* handle, parcel::ni::BufferedExtension* ext, int timeout) noexcept;
int NiBufIEmptyOutQueue(NiHdl* handle, parcel::ni::BufferedExtension* ext, int timeout) noexcept;
int NiBufITryToRead(NiHdl* handle, parcel::ni::BufferedExtension* ext, int timeout) noexcept;
int NiBufIIn(NiHdl* handle, parcel::ni::BufferedExtension* ext, int timeout) noexcept;
int NiBufIPrivWrite(NiHdl* handle, parcel::ni::BufferedExtension* ext, const void* data, int length,
                    int timeout) noexcept;
int NiBufIWriteUserMsg(NiHdl* handle, const void* data, int length, int timeout,
                       int* written) noexcept;
int NiBufIProcMsg(NiHdl* handle, parcel::ni::BufferedExtension* ext, NIBUF* message, int* peer_rc,
                  int* version) noexcept;
int NiBufISetError(NiHdl* handle, parcel::ni::BufferedExtension* ext, int rc) noexcept;
int NiBufISendErr(NiHdl* handle, parcel::ni::BufferedExtension* ext, int timeout, int rc) noexcept;
int NiBufISendMsg(NiHdl* handle, parcel::ni::BufferedExtension* ext, int timeout, int opcode,
                  const unsigned char* data, int length) noexcept;
int NiBufISetHS(NiHdl* handle, parcel::ni::BufferedExtension* ext, bool raise) noexcept;
int NiBufISelUpdate(NiHdl* handle, parcel::ni::BufferedExtension* ext) noexcept;
int NiBufIFinishHandshake(NiHdl* handle, parcel::ni::BufferedExtension* ext, int timeout) noexcept;

#endif  // PARCEL_NI_NI_BUF_H_
