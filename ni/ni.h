/* The network interface library for its users: numbered handles over TCP
 * (IPv4 and IPv6) and local stream sockets, carrying messages (each one
 * frame: a 4-byte big-endian length, then the payload) or raw bytes.
 *
 * Results are NI codes: 0 (NI_OK) or a negative code; NiErrorName and
 * NiErrorText tell them. Timeouts are milliseconds; NI_BLOCK (-1) waits
 * without limit, 0 does not wait. A transfer that times out keeps its
 * progress in the handle: call again with the rest (write) or a buffer for
 * the rest (read) and it goes on with the same message.
 *
 * The library starts itself on first use; NiInit/NiExit count starts and
 * ends explicitly. Every function may be called from any thread; one handle
 * is used by one thread at a time. A program whose threads share the
 * library turns thread services on once at start (NiThreadsOn).
 *
 *   NI_HANDLE server;
 *   NiListen(NULL, 3200, NI_LISTEN_TCP, &server);
 *   NI_HANDLE client;
 *   NiAccept(server, NI_BLOCK, &client);
 *   NiRead(client, buffer, sizeof buffer, NI_BLOCK, &received);
 */
#ifndef PARCEL_NI_NI_H_
#define PARCEL_NI_NI_H_

#include "ni/ni_codes.h"
#include "platform/export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int NI_HANDLE;
#define NI_NO_HANDLE (-1)
#define NI_OK 0
#ifndef NI_BLOCK
#define NI_BLOCK (-1)
#endif

/* Counted start and end of the library (the last end closes every handle).
 * The first start makes a table of 2048 handles; NiInitHandles makes one of
 * `max_handles` (later starts only count). */
PARCEL_NI_API int NiInit(void);
PARCEL_NI_API int NiInitHandles(int max_handles);
PARCEL_NI_API int NiExit(void);
/* Turns the library's locks on; call once, before a second thread uses it. */
PARCEL_NI_API void NiThreadsOn(void);

/* What NiListen listens on (combine): TCP on IPv4, on IPv6 (both = one
 * dual-stack socket where the system has it), and the local stream socket
 * "/tmp/.qelstream<port>". */
#define NI_LISTEN_IPV4 1
#define NI_LISTEN_IPV6 2
#define NI_LISTEN_TCP (NI_LISTEN_IPV4 | NI_LISTEN_IPV6)
#define NI_LISTEN_LOCAL 4

/* Listens on `address` (a host name or numeric address; NULL = every
 * address of the chosen families) and `port` (0: the system picks one, read
 * it back with NiHandlePort; a local socket then takes the same number).
 * NIESERV_USED when the port is taken. */
PARCEL_NI_API int NiListen(const char* address, unsigned short port, int what, NI_HANDLE* handle);
/* Accepts one connection; NIETIMEOUT when none came within `timeout`. */
PARCEL_NI_API int NiAccept(NI_HANDLE listener, int timeout, NI_HANDLE* handle);
/* Connects to `host` and `port`. With NI_BLOCK the connect completes here
 * and the handle is blocking; with a timeout of 0 or more the handle is
 * non-blocking and a connect still going on after `timeout` is finished by
 * the first transfer or NiCheckConnect. NIECONN_REFUSED when nobody
 * listens, NIEHOST_UNKNOWN for an unknown host. */
PARCEL_NI_API int NiConnect(const char* host, unsigned short port, int timeout, NI_HANDLE* handle);
/* Connects to the local stream socket of `port`. */
PARCEL_NI_API int NiConnectLocal(unsigned short port, int timeout, NI_HANDLE* handle);
/* Finishes a non-blocking connect: 0 connected, NIETIMEOUT still going on. */
PARCEL_NI_API int NiCheckConnect(NI_HANDLE handle, int timeout);

/* One message: NiWrite sends `length` bytes as one frame; `*written` gets
 * the payload bytes this call sent (on NIETIMEOUT call again with the rest).
 * NiRead receives one frame's payload into `buffer`: NIETOO_SMALL when it
 * is bigger than `length` (the bytes that fit are there, `*received` says
 * how many; the next call gets the rest). Buffer length 0 asks whether a
 * message waits: NIETOO_SMALL for a non-empty one, 0 for an empty one. The
 * peer's close gives NIECONN_BROKEN. A check request (NiPing) from the peer
 * is answered and not handed out. */
PARCEL_NI_API int NiWrite(NI_HANDLE handle, const void* data, int length, int timeout,
                          int* written);
PARCEL_NI_API int NiRead(NI_HANDLE handle, void* buffer, int length, int timeout, int* received);
/* Raw bytes without framing: NiReadRaw returns what is there (at most
 * `length` bytes). */
PARCEL_NI_API int NiWriteRaw(NI_HANDLE handle, const void* data, int length, int timeout,
                             int* written);
PARCEL_NI_API int NiReadRaw(NI_HANDLE handle, void* buffer, int length, int timeout, int* received);
/* Waits until the handle can be read (NI_WAIT_READ) or written
 * (NI_WAIT_WRITE): 0 or NIETIMEOUT. */
#define NI_WAIT_READ 1
#define NI_WAIT_WRITE 2
PARCEL_NI_API int NiPeek(NI_HANDLE handle, int direction, int timeout);
/* Checks the connection: sends a check request and waits for the answer
 * (messages that arrive meanwhile are lost to the caller, so check an idle
 * connection). 0, NIETIMEOUT, NIECONN_BROKEN. */
PARCEL_NI_API int NiPing(NI_HANDLE handle, int timeout);

/* Waits on several handles: each entry names a handle and the events it
 * waits for; `revents` receives those that are ready (a broken connection
 * counts as readable). `*ready` gets the number of ready entries. */
typedef struct NI_WAIT_ENTRY {
  NI_HANDLE handle;
  short events;
  short revents;
} NI_WAIT_ENTRY;
PARCEL_NI_API int NiWait(NI_WAIT_ENTRY* entries, int count, int timeout, int* ready);

/* Parameters. Per handle: */
#define NI_PARAM_BLOCKING 1  /* 1 blocking, 0 non-blocking */
#define NI_PARAM_READ_ONCE 2 /* a read returns after its first receive */
#define NI_PARAM_TRACE 3     /* trace lines about the handle at level 1 */
#define NI_PARAM_NODELAY 4   /* TCP_NODELAY (on by default for TCP) */
#define NI_PARAM_SNDBUF 5    /* socket send buffer bytes */
#define NI_PARAM_RCVBUF 6    /* socket receive buffer bytes */
/* Library-wide (handle NI_NO_HANDLE): */
#define NI_PARAM_TRACE_ALL 20
#define NI_PARAM_FRAGMENT_TEST 21    /* cut transfers into pieces of 1..n bytes */
#define NI_PARAM_QUEUE_TEST_COUNT 22 /* calls of one blocked run */
#define NI_PARAM_QUEUE_TEST_PERCENT 23
#define NI_PARAM_WAIT_OVERRUN 24 /* seconds a wait may overrun before a trace line */
PARCEL_NI_API int NiSetParam(NI_HANDLE handle, int param, int value);
PARCEL_NI_API int NiGetParam(NI_HANDLE handle, int param, int* value);

/* The handle's local port (for a listener on port 0). */
PARCEL_NI_API int NiHandlePort(NI_HANDLE handle, unsigned short* port);
/* "address:port" of the local end (NI_END_LOCAL) or the peer (NI_END_PEER). */
#define NI_END_LOCAL 0
#define NI_END_PEER 1
PARCEL_NI_API int NiHandleAddress(NI_HANDLE handle, int end, char* text, int size);
/* Shuts the sending direction (the peer reads the end of the stream). */
PARCEL_NI_API int NiShutdownWrite(NI_HANDLE handle);
/* Closes the handle (a listener's local socket file is removed). */
PARCEL_NI_API int NiClose(NI_HANDLE handle);

/* Buffered handles. NiSetBuffered gives a connected handle a buffered
 * extension: NiWrite then never blocks (what the socket does not take waits
 * in the handle and goes out at its next read, write or select-set wait;
 * NIEQUE_FULL warns that the queue is nearly full, NIETIMEOUT refuses a
 * message when it is full), NiRead hands out whole messages (longer than
 * NI_PARAM_MAX_MSG: NIETOO_BIG before anything is allocated), check requests
 * and version requests are answered by the layer, and an error report from
 * the peer fails one read with the peer's code and error information. */
PARCEL_NI_API int NiSetBuffered(NI_HANDLE handle);
/* The next whole message as the library's buffer (no copy); the caller
 * releases it with NiBufFree. */
struct NIBUF;
PARCEL_NI_API int NiReceive(NI_HANDLE handle, struct NIBUF** message, int timeout);
/* Releases the caller's reference to a message and clears `*message`. */
#ifdef __cplusplus
#define NI_NOEXCEPT noexcept
#else
#define NI_NOEXCEPT
#endif
PARCEL_NI_API void NiBufFree(struct NIBUF** message) NI_NOEXCEPT;
/* Data and length of a message buffer. */
PARCEL_NI_API const void* NiBufData(const struct NIBUF* message);
PARCEL_NI_API int NiBufLength(const struct NIBUF* message);
/* Asks the peer's protocol version (a buffered handle): 0 and `*version`. */
PARCEL_NI_API int NiVersion(NI_HANDLE handle, int timeout, int* version);
/* Sends an error report (the calling thread's error information and
 * `code`) to the peer of a buffered handle. */
PARCEL_NI_API int NiSendError(NI_HANDLE handle, int code, int timeout);
/* Parameters of buffered handles. */
#define NI_PARAM_MAX_QUEUE 64  /* queued messages at most (default 0: only the one on the wire) */
#define NI_PARAM_WARN_QUEUE 65 /* NIEQUE_FULL when this few places are left */
#define NI_PARAM_MAX_MSG 66    /* longest message a read accepts (default and limit 8 MiB) */

/* Select sets: many handles waited on by one thread. A buffered handle is
 * ready to read when a whole message waits (the wait receives for it), to
 * write when its queue is empty and the socket takes more; an unbuffered
 * handle when its socket is. NI_SEL_COLLECT: a handle taken over from the
 * peer waits to be collected (NiTakeOver). A handle is in one set at most;
 * closing it takes it out. Level-triggered. */
typedef struct NI_SELSET NI_SELSET;
#define NI_SEL_READ 1
#define NI_SEL_WRITE 2
#define NI_SEL_COLLECT 4
typedef struct NI_SEL_EVENT {
  NI_HANDLE handle;
  int events;
} NI_SEL_EVENT;
PARCEL_NI_API int NiSelNewSet(NI_SELSET** set);
PARCEL_NI_API int NiSelDestroySet(NI_SELSET** set);
/* Sets what `handle` is waited for (0 takes it out of the set). */
PARCEL_NI_API int NiSelSet(NI_SELSET* set, NI_HANDLE handle, int interest);
/* Waits until handles are ready: up to `capacity` of them in `events`,
 * `*count` how many; NIETIMEOUT when none became ready. */
PARCEL_NI_API int NiSelWait(NI_SELSET* set, int timeout, NI_SEL_EVENT* events, int capacity,
                            int* count);

/* Hand-over of a handle to the process at the other end of a buffered
 * connection on the same host (on POSIX the connection must be a local
 * stream socket, which carries the descriptors). The taking side first
 * allows it (NiAllowTakeOver); the handing side calls NiHandOver, and after
 * it the handed handle reports NIEPASSED; the taking side's read returns
 * NIEACCEPT and NiTakeOver collects the new handle. */
PARCEL_NI_API int NiAllowTakeOver(NI_HANDLE connection, int allow);
PARCEL_NI_API int NiHandOver(NI_HANDLE connection, NI_HANDLE handed, int timeout);
PARCEL_NI_API int NiTakeOver(NI_HANDLE connection, NI_HANDLE* taken);

/* Name and text template of a code. */
PARCEL_NI_API const char* NiErrorName(int code);
PARCEL_NI_API const char* NiErrorText(int code);

#ifdef __cplusplus
}
#endif

#endif /* PARCEL_NI_NI_H_ */
