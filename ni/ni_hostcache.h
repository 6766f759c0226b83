// The host and service name caches of the network interface library: the
// cache object with its entries and its table of 24 operations, the two
// implementations behind that table (NiHsL keeps IPv4 addresses, NiHsL6 an
// IPv4 and an IPv6 address per host), the resolver calls beneath them (NiP*),
// the resolver table tests replace, and the local host's own name and
// addresses.
//
// Look-up modes: 0 the cache first, then the resolver; 1 the cache only (the
// resolver is never asked); 2 the resolver only (the answer is not stored).
// Positive answers are kept until their expiry (seconds since the epoch,
// parcel::ni::NiNow), negative answers for the shorter "retry" timeouts.
//
// Host names of kNiHostNameSize (60) characters or more and service names of
// kNiServNameSize (20) or more are answered but never stored.
//
// Thread safety: any thread may look up. The host table is guarded by the
// host lock ("NI host section", "NI host section I6" for NiHsL6), the
// service table by the service lock ("NI serv section", "NI serv section
// I6"); neither is held while the resolver runs, so two threads may ask the
// resolver for the same name and both store their answer. A dump holds both
// locks from its begin to its end operation. Locks take the host lock before
// the service lock. The resolver time limit and the clock function are
// atomic. Creating and destroying the library's cache object are not
// concurrent with look-ups (the library start and end).
#ifndef PARCEL_NI_NI_HOSTCACHE_H_
#define PARCEL_NI_NI_HOSTCACHE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ni/nii.h"
#include "platform/resolver.h"
#include "runtime/thr.h"

// clang-format off
// Look-up modes.
inline constexpr int NI_HS_CACHE_FIRST   = 0;
inline constexpr int NI_HS_CACHE_ONLY    = 1;
inline constexpr int NI_HS_RESOLVER_ONLY = 2;
// Implementations NiIHSInit accepts (1 is a second name of 0).
inline constexpr int NI_HS_IMPL_IPV4   = 0;
inline constexpr int NI_HS_IMPL_IPV4_2 = 1;
inline constexpr int NI_HS_IMPL_IPV6   = 3;
// clang-format on

namespace parcel::ni {

// Name room of an entry, terminator included.
inline constexpr int kNiHostNameSize = 60;
inline constexpr int kNiServNameSize = 20;

// Defaults of the library start: entries per table, and the timeouts.
inline constexpr int kHsDefaultEntries = 100;
inline constexpr int kHsDefaultTimeout = 86400;  // what a timeout of 0 means
inline constexpr int kHsDefaultRetry = 600;
// Largest table a cache accepts.
inline constexpr int kHsMaxEntries = 1 << 16;
// The classic look-ups' work buffer: its first size and the size after which
// doubling stops (NIEINTERN).
inline constexpr int kHsWorkStart = 512;
inline constexpr int kHsWorkMax = 65536;
// Addresses the IPv6 forward look-up takes from one answer.
inline constexpr int kHsMaxAddresses = 64;
// The millisecond clock of slot 22 wraps here (65536 seconds).
inline constexpr std::uint32_t kHsClockWrapMs = 65536000u;
// Dump-line result after the last entry.
inline constexpr int kHsNoMore = 1;
// Protocol of the service look-ups.
inline constexpr const char* kHsProtocol = "tcp";

// Indexes of the six timeouts.
enum HsTimeout : int {
  kHostValid = 0,
  kHostNameUnknown = 1,
  kHostAddrUnknown = 2,
  kServValid = 3,
  kServNameUnknown = 4,
  kServPortUnknown = 5,
  kHsTimeoutCount = 6,
};

// Host entry states; a scan stops at the first empty entry. The dump flag of
// each valid state follows it.
enum HsHostState : unsigned char {
  kHostEmpty = 0,
  kHostAddrUnknownState = 1,   // negative answer of a reverse look-up
  kHostNameUnknownState = 2,   // negative answer of a forward look-up
  kHostOfficialQualified = 3,  // ' ': official and fully qualified name
  kHostOfficial = 4,           // 'H': official name, not fully qualified
  kHostQualified = 5,          // 'F': fully qualified name, not the official one
  kHostAsked = 6,              // 'A': the name asked for, neither
};

// Service entry states.
enum HsServState : unsigned char {
  kServEmpty = 0,
  kServPortUnknownState = 1,
  kServNameUnknownState = 2,
  kServValidState = 3,
};

// Host entry of NiHsL: the IPv4 address in network order.
struct HsHostEntry4 {
  unsigned char state;
  char name[kNiHostNameSize];
  unsigned char address[4];
  std::int64_t expiry;
};

// Host entry of NiHsL6. An address not known is ::ffff:0.0.0.0 (`ipv4`) or
// :: (`ipv6`); when an answer holds only one kind, both hold that address
// (a reverse answer's entry holds the asked address in both). Valid entries
// have the states 3 and 4 only: a forward answer's entry 3 when the asked
// name is the resolver's canonical name, else 4; a reverse answer's 3
// (getnameinfo gives one name).
struct HsHostEntry6 {
  unsigned char state;
  char name[kNiHostNameSize];
  NI_NODEADDR ipv4;
  NI_NODEADDR ipv6;
  std::int64_t expiry;
};

struct HsServEntry {
  unsigned char state;
  char name[kNiServNameSize];
  std::uint16_t port;  // network order
  std::int64_t expiry;
};

// A classic host answer, laid out in the caller's work buffer: every pointer
// points into that buffer and stays valid while it does. `aliases` and
// `addresses` end with a null pointer; each address has `length` bytes of
// family `addrtype` (2: 4 bytes; 23: 16 bytes).
struct NiHostEnt {
  char* name;
  char** aliases;
  int addrtype;
  int length;
  unsigned char** addresses;
};

// A service answer: the name lies in the caller's work buffer.
struct NiServEnt {
  char* name;
  std::uint16_t port;  // network order
  const char* protocol;
};

// The clock function: microseconds (any origin; only differences count).
using HsClock = std::int64_t (*)();

struct HsCache;

// The operation table; the slot order is fixed (both implementations share
// slots 10 to 13 and 19 to 23). Every operation requires a cache made by
// NiIHSInit (or HsCreate).
struct HsOps {
  // 0: builds both tables with `entries` each (0 disables the caches) and the
  // six timeouts (0 = 86400). NIECALL when already done, NIEINVAL for a bad
  // number, NIEINTERN (tables left empty) when memory runs out.
  int (*init)(HsCache* cache, int entries, const int timeouts[kHsTimeoutCount]);
  // 1: frees the tables and deletes the locks (the object stays the caller's).
  void (*destroy)(HsCache* cache);
  // 2: node address of `name`: 0, NIEHOST_UNKNOWN or a failure. `want_ipv4`
  // asks NiHsL6 for the IPv4 address (NiHsL always answers IPv4).
  int (*get_node_addr)(HsCache* cache, const char* name, NI_NODEADDR* out, int mode,
                       bool want_ipv4);
  // 3: host name of `address` into `buffer` (`length` bytes), the fully
  // qualified one when `fully_qualified`: 0, NIEHOST_UNKNOWN, NIETOO_SMALL
  // (the name needs more than `length` - 1 characters) or a failure.
  int (*get_host_name)(HsCache* cache, const NI_NODEADDR* address, char* buffer, int length,
                       bool fully_qualified, int mode);
  // 4, 5: port of a service name, name of a port; NIESERV_UNKNOWN.
  int (*get_serv_no)(HsCache* cache, const char* name, std::uint16_t* port, int mode);
  int (*get_serv_name)(HsCache* cache, std::uint16_t port, char* buffer, int length, int mode);
  // 6: frees both tables and builds them again with `entries`, keeping the
  // timeouts; 7: the number of host entries.
  int (*set_index_size)(HsCache* cache, int entries);
  int (*get_index_size)(HsCache* cache);
  // 8: the four negative timeouts (0 = 86400); 9: the current one.
  int (*set_retry_timeout)(HsCache* cache, int seconds);
  int (*get_retry_timeout)(HsCache* cache);
  // 10, 11: resolver time limit in milliseconds (0 = not measured).
  void (*set_time_limit)(HsCache* cache, int milliseconds);
  int (*get_time_limit)(HsCache* cache);
  // 12, 13: the clock function (null: seconds since the epoch).
  void (*set_clock)(HsCache* cache, HsClock clock);
  HsClock (*get_clock)(HsCache* cache);
  // 14: empties every entry and resets both overwrite positions.
  void (*flush)(HsCache* cache);
  // 15, 16: take both locks and reset both dump positions; release them.
  void (*dump_begin)(HsCache* cache);
  void (*dump_end)(HsCache* cache);
  // 17, 18: the next non-empty entry's line into `buffer`: 0, kHsNoMore after
  // the last, NIETOO_SMALL (position kept) when the line does not fit.
  int (*dump_host_line)(HsCache* cache, char* buffer, int length);
  int (*dump_serv_line)(HsCache* cache, char* buffer, int length);
  // 19: the fully qualified name of an answer (one of the given strings).
  const char* (*choose_fq_name)(const char* official, char* const* aliases);
  // 20, 21: trace a resolver answer in full (level 2).
  void (*trace_host_answer)(const char* function, const NiHostEnt* answer);
  void (*trace_serv_answer)(const char* function, const NiServEnt* answer);
  // 22: now in milliseconds, below kHsClockWrapMs; 23: the milliseconds from
  // `start` to `end` across one wrap.
  std::uint32_t (*now_ms)(HsCache* cache);
  std::uint32_t (*elapsed_ms)(std::uint32_t start, std::uint32_t end);
};
static_assert(sizeof(HsOps) == 24 * sizeof(void (*)()), "24 slots");

// The cache object. Tables, positions and timeouts are read and changed
// under their lock; `initialized` under both.
struct HsCache {
  const HsOps* ops;
  std::atomic<int> time_limit_ms;
  std::atomic<HsClock> clock;
  int host_entries;
  int serv_entries;
  void* hosts;  // HsHostEntry4[] or HsHostEntry6[]
  HsServEntry* servs;
  int next_host;  // next slot to overwrite; host_entries means "wrap first"
  int next_serv;
  int dump_host;
  int dump_serv;
  int timeouts[kHsTimeoutCount];
  runtime::ThrLock host_lock;
  runtime::ThrLock serv_lock;
  bool initialized;
};

// The operation tables of the two implementations.
extern const HsOps kNiHsLOps;
extern const HsOps kNiHsL6Ops;

// Makes an empty cache object of `ops` (NiIAlloc; tables not built yet) with
// its two locks; null when memory runs out. HsFree destroys (slot 1) and
// frees it; null does nothing.
HsCache* HsCreate(const HsOps* ops) noexcept;
void HsFree(HsCache* cache) noexcept;

// The library's cache object (null before NiIHSInit and after the end).
HsCache* NameCache() noexcept;

// The resolver functions the NiP calls use (platform/resolver.h contracts:
// 0 or a Windows Sockets error number).
struct NiResolver {
  int (*host_by_name)(const char* name, int family, platform::HostEntry* out, bool numeric_only);
  int (*host_by_address)(const std::uint8_t address[16], platform::HostEntry* out);
  int (*service_by_name)(const char* name, const char* protocol, std::uint16_t* port,
                         std::string* official_name);
  int (*service_by_port)(std::uint16_t port, const char* protocol, std::string* name);
  int (*host_name)(char* buffer, std::size_t size);
  int (*host_addresses)(std::vector<platform::NetworkAddress>* out);
};
// The platform's resolver.
const NiResolver& NiPlatformResolver() noexcept;
// Installs `resolver` (borrowed; it must outlive its use); null restores the
// platform's. Returns the table installed before. Install while no look-up
// runs.
const NiResolver* NiSetResolver(const NiResolver* resolver) noexcept;
const NiResolver& NiCurrentResolver() noexcept;

// The node address of a numeric address text (no resolver asked, nothing
// traced or recorded); false when `text` is no address text (of IPv4 when
// `ipv4_only`).
bool NumericAddress(const char* text, bool ipv4_only, NI_NODEADDR* out) noexcept;

// Most addresses the local host data keeps.
inline constexpr int kNiMaxLocalAddresses = 64;

}  // namespace parcel::ni

// --- Implementation entry points (slots 2 to 8 and 14, 17, 18) ---------------

int NiHsLGetNodeAddr(parcel::ni::HsCache* cache, const char* name, NI_NODEADDR* out, int mode,
                     bool want_ipv4) noexcept;
int NiHsLGetHostName(parcel::ni::HsCache* cache, const NI_NODEADDR* address, char* buffer,
                     int length, bool fully_qualified, int mode) noexcept;
int NiHsLGetServNo(parcel::ni::HsCache* cache, const char* name, std::uint16_t* port,
                   int mode) noexcept;
int NiHsLGetServName(parcel::ni::HsCache* cache, std::uint16_t port, char* buffer, int length,
                     int mode) noexcept;
int NiHsLSetIndexSize(parcel::ni::HsCache* cache, int entries) noexcept;
int NiHsLSetRetryTimeout(parcel::ni::HsCache* cache, int seconds) noexcept;
void NiHsLFlush(parcel::ni::HsCache* cache) noexcept;
int NiHsLDumpHostLine(parcel::ni::HsCache* cache, char* buffer, int length) noexcept;
int NiHsLDumpServLine(parcel::ni::HsCache* cache, char* buffer, int length) noexcept;

int NiHsL6GetNodeAddr(parcel::ni::HsCache* cache, const char* name, NI_NODEADDR* out, int mode,
                      bool want_ipv4) noexcept;
int NiHsL6GetHostName(parcel::ni::HsCache* cache, const NI_NODEADDR* address, char* buffer,
                      int length, bool fully_qualified, int mode) noexcept;
int NiHsL6GetServNo(parcel::ni::HsCache* cache, const char* name, std::uint16_t* port,
                    int mode) noexcept;
int NiHsL6GetServName(parcel::ni::HsCache* cache, std::uint16_t port, char* buffer, int length,
                      int mode) noexcept;
int NiHsL6SetIndexSize(parcel::ni::HsCache* cache, int entries) noexcept;
int NiHsL6SetRetryTimeout(parcel::ni::HsCache* cache, int seconds) noexcept;
void NiHsL6Flush(parcel::ni::HsCache* cache) noexcept;
int NiHsL6DumpHostLine(parcel::ni::HsCache* cache, char* buffer, int length) noexcept;
int NiHsL6DumpServLine(parcel::ni::HsCache* cache, char* buffer, int length) noexcept;

// --- Resolver calls ------------------------------------------------------------

// Classic look-ups into the caller's work buffer `work` of `length` bytes
// (any alignment): 0 with `*out` pointing into `work`; NIETOO_SMALL when the
// answer does not fit (nothing is written past `length`; ask again with a
// bigger buffer); NIEHOST_UNKNOWN ("%s: hostname '%s' not found", "%s:
// address %s not found") or NIESERV_UNKNOWN ("%s: service '%s' not found",
// "%s: port %s not found"); NIEINTERN for any other resolver failure.
// NiPGetHostByName2 asks for IPv4 addresses; an answer holds addresses of
// one family, that of its first address.
int NiPGetHostByName2(const char* name, parcel::ni::NiHostEnt* out, char* work,
                      int length) noexcept;
int NiPGetHostByAddr2(const NI_NODEADDR* address, parcel::ni::NiHostEnt* out, char* work,
                      int length) noexcept;
int NiPGetServByName2(const char* name, const char* protocol, parcel::ni::NiServEnt* out,
                      char* work, int length) noexcept;
int NiPGetServByPort2(std::uint16_t port, const char* protocol, parcel::ni::NiServEnt* out,
                      char* work, int length) noexcept;
// Forward look-up through getaddrinfo: IPv4 only or both families, address
// texts only when `numeric_only`. Fills up to `*count` addresses (IPv4
// mapped) and sets `*count` to the number the answer holds; NIETOO_SMALL
// when that is more than the room. `canonical` (may be null) receives the
// canonical name (NIEINTERN when it does not fit; 1025 bytes hold any).
// NIEHOST_UNKNOWN for 11001 and 11004 ("%s: '%s' not found") and for an
// answer without addresses, NIEINTERN otherwise.
int NiPGetHostByName3(const char* name, bool ipv4_only, bool numeric_only, NI_NODEADDR* addresses,
                      int* count, char* canonical, int canonical_length) noexcept;
// Reverse look-up through getnameinfo into `name` (`length` bytes):
// NIEHOST_UNKNOWN, NIETOO_SMALL ("NiPGetHostByAddr3: name '%s' too long
// (%d>=%d)") or NIEINTERN.
int NiPGetHostByAddr3(const NI_NODEADDR* address, char* name, int length) noexcept;
// The local host's name (gethostname): NIETOO_SMALL, or NIEINTERN ("%s:
// gethostnameU failed").
int NiPMyHostName(char* buffer, int length) noexcept;
// The local host's addresses: up to `*count` into `list`; `*count` receives
// how many were written.
int NiPGetNodeAddrList(NI_NODEADDR* list, int* count) noexcept;

// --- Library entry points ------------------------------------------------------

// Creates the library's cache object: implementation 0 or 1 NiHsL, 3 NiHsL6
// (NIEINTERN "%s: invalid implementation (%d)" otherwise), `entries` per
// table and the six timeouts; then starts the socket layer (a failure there
// destroys the object again). NIECALL ("%s: already initialized") when the
// object exists.
int NiIHSInit(int implementation, int entries, int host_valid, int host_name_unknown,
              int host_addr_unknown, int serv_valid, int serv_name_unknown,
              int serv_port_unknown) noexcept;
// Host name of `address` (null: the local host's own name) into `buffer`;
// service name of `port` (network order). Both create the cache object with
// the defaults on first use. Results as get_host_name / get_serv_name.
int NiIGetHostName(const NI_NODEADDR* address, char* buffer, int length, bool fully_qualified,
                   int mode) noexcept;
int NiIGetServName(std::uint16_t port, char* buffer, int length, int mode) noexcept;
// Reads the local host's name and addresses, once (NIECALL afterwards until
// the library end).
int NiILHInit() noexcept;
// Whether `address` belongs to this host: loopback, or in the local address
// list; without a list and with `try_bind`, whether a socket of the
// library's family binds to it.
bool NiILocalCheck(const NI_NODEADDR* address, bool try_bind) noexcept;

#endif  // PARCEL_NI_NI_HOSTCACHE_H_
