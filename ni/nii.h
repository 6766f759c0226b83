// The internal layer of the network interface library: the library-wide
// state and its start and end, the handle table with its free list and the
// chain of used handles, the handle record and its states, the per-thread
// globals, the translation of socket-layer failures into NI codes, and the
// handle dump.
//
// Handles. A handle's number is its index in the table. Callers of the
// library hold numbers; NiIHandle checks a number (range, not free) before
// anything uses it. A single handle is used by one thread at a time; the
// table, its free list and the used chain are guarded by "NI hdl section".
//
// Failures record error information with the component "NI (network
// interface)", number 38, and write trace lines that begin with the calling
// function's name.
#ifndef PARCEL_NI_NII_H_
#define PARCEL_NI_NII_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>

#include "ni/ni_codes.h"
#include "ni/si.h"
#include "platform/export.h"
#include "runtime/thr.h"

// A node address: 16 bytes in IPv6 order; IPv4 a.b.c.d is held IPv4-mapped
// (ten zero bytes, 0xFF 0xFF, a, b, c, d).
struct NI_NODEADDR {
  unsigned char addr[16];
};

// Handle states.
// clang-format off
inline constexpr unsigned char NI_FREE           = 0;
inline constexpr unsigned char NI_INITIAL_LIS    = 1;
inline constexpr unsigned char NI_INITIAL_CON    = 2;
inline constexpr unsigned char NI_LISTEN         = 17;
inline constexpr unsigned char NI_CONN_WAIT      = 35;
inline constexpr unsigned char NI_CONNECTED      = 36;
inline constexpr unsigned char NI_ACCEPTED       = 37;
inline constexpr unsigned char NI_DG_CONNECTED   = 54;
inline constexpr unsigned char NI_DG_UNCONNECTED = 55;
// clang-format on

namespace parcel::ni {

// Component of the error information.
inline constexpr const char* kNiComponent = "NI (network interface)";
inline constexpr int kNiComponentNumber = 38;

// Handles of a default start, and the largest table a start accepts.
inline constexpr int kNiDefaultHandles = 2048;
inline constexpr int kNiMaxHandles = 1 << 20;
// Sockets a handle listens on at most.
inline constexpr int kNiListenSockets = 2;

struct BufferedExtension;  // the buffered message layer's part of a handle
struct ExtensionOps;       // its operations

// One handle record of the table.
struct HandleRecord {
  HandleRecord* next;  // used chain
  HandleRecord* prev;
  unsigned char state;
  std::int64_t created;    // seconds since the epoch
  unsigned char trace;     // 1 = lines about this handle at level 1
  unsigned char blocking;  // 1 = sockets in blocking mode
  // A listening handle uses `listen` (descriptors -1 when unused); every
  // other handle uses the peer and `sock`.
  NI_SOCKREC listen[kNiListenSockets];
  NI_NODEADDR peer;
  std::uint16_t peer_port;  // network order
  NI_SOCKREC sock;
  unsigned char read_once;  // a read returns after its first receive call
  // Read progress.
  std::uint32_t read_data_left;
  unsigned char read_header_left;  // 0..4; 4 = no header byte read yet
  unsigned char read_header[4];
  // Write progress.
  std::uint32_t mPendDataLenToWrite;
  unsigned char write_header_left;
  unsigned char write_header[4];
  // Check state.
  unsigned char wait_version;
  unsigned char wait_check;  // 0, 1 or 2
  int check_answers;
  // Counters.
  std::uint64_t bytes_written;
  std::uint64_t bytes_read;
  std::uint64_t messages_written;
  std::uint64_t messages_read;
  BufferedExtension* extension;
  const ExtensionOps* extension_ops;
  // The select set the handle is in (null: none).
  struct SelectSet* select_set;
  // The handle was handed over to another process: its operations report
  // NIEPASSED until it is closed.
  unsigned char passed;
};

// Operations of a handle's extension that the handle layer calls.
struct ExtensionOps {
  void (*close)(HandleRecord* handle);  // also releases the extension
  bool (*has_security_context)(const HandleRecord* handle);
  // Writes a message through the extension (check messages use it).
  int (*write_user_message)(HandleRecord* handle, const void* data, int length, int timeout,
                            int* written);
};

// Library settings that trace and test switches change.
struct NiSettings {
  bool trace_all;        // new handles trace at level 1
  int fragment_test;     // 0 = off
  int queue_test_count;  // 0 = off
  int queue_test_probability;
  int poll_overrun_seconds;   // 0 = not checked
  bool trace_shutdown_inval;  // SI_EINVAL from shutdown
  bool trace_send_broken;     // SI_ECONN_BROKEN from a send call
  bool trace_recv_broken;     // SI_ECONN_BROKEN from a receive call
};

// The library-wide state.
struct NiLibrary {
  std::int16_t init_count;
  HandleRecord* table;
  int max_handles;
  int* free_list;  // NITAB_FREE: a stack of handle numbers
  int free_count;
  HandleRecord* used_head;
  bool ipv6;
  NI_NODEADDR any;
  NI_NODEADDR loopback;
  NiSettings settings;
  bool cache_started_here;
  char local_path_template[32];
  runtime::ThrLock hdl_lock;
  runtime::ThrLock param_lock;
  runtime::ThrLock wakeup_lock;
  runtime::ThrLock trc_peer_lock;
  runtime::ThrLock ref_lock;   // "NI ref section" (buffered layer)
  runtime::ThrLock heap_lock;  // "NI heap section" (buffered layer)
  bool locks_made;
  bool buffer_locks_made;
  std::uint32_t thread_key;
  // The library's own random numbers (test settings), seeded at each start.
  std::uint64_t random_seed;
  std::atomic<std::uint64_t> random_counter;
  // Calls of the current blocked run of the queue test (0 = none going).
  std::atomic<int> queue_test_run;
};

NiLibrary& Library() noexcept;

// The per-thread globals.
inline constexpr std::size_t kNodeAddrTextSize = 46;
struct ThreadGlobals {
  HandleRecord* handles[2];  // closed by the key's destructor
  char addr_text[kNodeAddrTextSize];
};

// The handle's number (its index in the table).
int HandleNumber(const HandleRecord* handle) noexcept;
// Whether `state` is a listening state (low four bits 1).
inline bool IsListeningState(unsigned char state) { return (state & 0x0F) == 1; }
// Name of a state ("NI_CONNECTED"); null outside the table.
const char* StateName(unsigned char state) noexcept;
// The one state setter: sets the state and writes "%s: state of hdl %d %s".
void SetState(HandleRecord* handle, unsigned char state, const char* function) noexcept;

// Handle number to record: NIEINVAL with "%s: invalid hdl %d" for a number
// out of range, a free record, or a library that is not started.
int NiIHandle(int number, HandleRecord** out, const char* function) noexcept;

// A random number from the library's own generator (thread-safe; seeded at
// each library start, independent of the C library's generator).
std::uint32_t NiIRandom() noexcept;

// The clock of creation times; null restores time(). For tests.
void SetNiClock(std::int64_t (*clock)()) noexcept;
std::int64_t NiNow() noexcept;

// Level of a line about `handle`: 2, or 1 with its trace flag on; detail
// lines 3, or 2 with the flag on.
inline int HandleLevel(const HandleRecord* handle) {
  return handle != nullptr && handle->trace ? 1 : 2;
}
inline int HandleDetailLevel(const HandleRecord* handle) {
  return handle != nullptr && handle->trace ? 2 : 3;
}

// Records a failure: error information with `rc` and the formatted text,
// and the error line at level 1 (DpTrcError, or DpTrcWarning when
// `warning`). Returns `rc`.
PARCEL_PRINTF_FORMAT(5, 6)
int NiIError(int rc, const char* source, int line, bool warning, const char* format, ...) noexcept;
// As NiIError, recording the error information only (for failures whose
// trace line says more than the error text).
PARCEL_PRINTF_FORMAT(4, 5)
int NiIRecord(int rc, const char* source, int line, const char* format, ...) noexcept;

// The library's heap blocks: MemAlloc and MemFree with a count of the blocks
// the library holds, so that tests and soak runs can see a leak.
void* NiIAlloc(std::size_t size, const char* caller) noexcept;
void NiIFree(void* block) noexcept;
std::int64_t NiILiveBlocks() noexcept;

// Takes a handle out of its select set (called by the close).
void SelectSetDropHandle(HandleRecord* handle) noexcept;

// The name caches' part of the library start and end and of the failure
// translation (ni/ni_hostcache.h). NameCacheStart creates the cache object
// of the IPv6 or the IPv4 implementation with the defaults; NameCacheEnd
// destroys whichever object exists.
int NameCacheStart(bool ipv6) noexcept;  // 0, NIECALL (already there) or a failure
void NameCacheEnd() noexcept;
int LocalHostStart() noexcept;  // 0, NIECALL (already done) or a failure
void LocalHostEnd() noexcept;
// Node address of a numeric address text, or of a host name through the
// name cache's forward look-up (cache first): 0, NIEHOST_UNKNOWN or a
// failure. An IPv6 answer is taken only when `ipv6` is set.
int ResolveHost(const char* host, bool ipv6, NI_NODEADDR* out) noexcept;
// Whether a peer is on this host (a local socket, loopback, or one of the
// host's own addresses).
bool IsLocalPeer(const NI_NODEADDR* address, int family) noexcept;
// "host:service" of a peer for error texts, from cached names only (never
// waits for a look-up); numeric where nothing is cached.
void PeerText(const NI_NODEADDR* address, std::uint16_t port, char* out, std::size_t size) noexcept;

// Writes a handle's dump block into `out` (`size` bytes, NUL-terminated);
// returns the text's length, or -1 when it does not fit.
int FormatHandleDump(const HandleRecord* handle, char* out, std::size_t size) noexcept;

}  // namespace parcel::ni

using NiHdl = parcel::ni::HandleRecord;

// Counted start: the first call starts the library (2048 handles, IPv6 when
// "NI_USEIPv6" is set), later calls count.
int NiInit3() noexcept;
// Starts the library with `max_handles` handles.
int NiIInit(int max_handles, bool ipv6) noexcept;
// Ends the library: closes every handle, stops the socket layer, frees all.
int NiIExit() noexcept;
// Makes sure the calling thread has its globals.
int NiThrInit() noexcept;
int NiIThrInit() noexcept;
// Starts the library and the thread as needed; the thread's globals or null.
parcel::ni::ThreadGlobals* NiIGetThrGlob() noexcept;
// Takes a free handle record into `*handle`.
int NiICreateHandle(NiHdl** handle, bool listening) noexcept;
// Closes a handle's sockets (removing a local listening socket's file when
// `remove_local_file`) and returns the record to the free list.
int NiICloseHandle(NiHdl* handle, bool remove_local_file, bool lock_held) noexcept;
// Translates a socket-layer failure into an NI code (see ni_map.cpp).
int NiIMapSiError(int si_code, int call, NiHdl* handle, const NI_SOCKREC* record, int system_error,
                  const char* detail, const NI_NODEADDR* address, std::uint16_t port,
                  const char* function, const char* source, int line, bool trace) noexcept;
// Talk modes of NiIRead and NiIWrite.
inline constexpr int NI_MESG_IO = 0;
inline constexpr int NI_RAW_IO = 1;
inline constexpr int NI_ROUT_IO = 2;
// Timeout that waits without limit (also in ni/ni.h).
#ifndef NI_BLOCK
#define NI_BLOCK (-1)
#endif
// Payload of the check messages, the zero byte included.
inline constexpr char NI_PING[] = "NI_PING";
inline constexpr char NI_PONG[] = "NI_PONG";
inline constexpr int kNiCheckMessageSize = 8;

// Writes one frame (modes 0 and 2: a 4-byte big-endian length, then the
// payload) or raw bytes (mode 1). `*written` receives the payload bytes this
// call sent. NIETIMEOUT keeps the progress in the handle: the next call
// passes the rest of the message (its length must be the bytes still
// pending, else NIEINVAL).
int NiIWrite(NiHdl* handle, const void* buffer, int length, int timeout, int mode,
             int* written) noexcept;
// Reads one frame's payload (modes 0, 2) or what is there (mode 1) into
// `buffer`. NIETIMEOUT and NIETOO_SMALL keep the progress: the next call
// continues the same frame. Buffer length 0 asks whether a frame is there:
// NIETOO_SMALL for a non-empty one (its length stays pending), 0 for an
// empty one.
int NiIRead(NiHdl* handle, void* buffer, int length, int timeout, int mode, int* received) noexcept;
// Waits until the handle is readable (direction 1) or writable (2).
int NiIPeek(NiHdl* handle, int direction, int timeout) noexcept;
// Sends NI_PING (request) or NI_PONG; `already_sent` (may be null) counts
// the bytes of an earlier call that timed out.
int NiICheck(NiHdl* handle, int timeout, bool request, int* already_sent) noexcept;
// Finishes a non-blocking connect.
int NiICheckPendConnection(NiHdl* handle, int timeout, bool set_state) noexcept;
// Switches the handle's sockets to blocking or non-blocking mode.
int NiIBlockMode(NiHdl* handle, bool blocking, bool only_if_changed) noexcept;
// Waits on several sockets (poll where the platform has it).
int NiIPoll(NI_POLLFD* entries, int count, int timeout, int* ready) noexcept;
// Waits on two select masks; afterwards they hold the ready sockets.
int NiISelect(NI_FDSET* read, NI_FDSET* write, int timeout, int* ready) noexcept;

// Dumps every used handle to the trace.
void NiIWalkNitab() noexcept;
// Dumps one handle to the trace (`buffer` null) or into `buffer`;
// NIETOO_SMALL when the block does not fit.
int NiIHdlDump(NiHdl* handle, char* buffer, std::size_t size) noexcept;

#endif  // PARCEL_NI_NII_H_
