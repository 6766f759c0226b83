// Socket layer start and stop, socket creation, binding, closing, and the
// lists of connecting and broken sockets.
#include "ni/si.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/coding.h"
#include "platform/system_info.h"
#include "runtime/thr.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

using platform::SocketAddress;
using platform::SocketHandle;

const SiSystem kPlatformSystem = {
    &platform::SocketStartup,     &platform::SocketCleanup,     &platform::SocketOpen,
    &platform::SocketClose,       &platform::SocketBind,        &platform::SocketLocalAddress,
    &platform::SocketPeerAddress, &platform::FindQosProviders,  &platform::SocketListen,
    &platform::SocketAccept,      &platform::SocketConnect,     &platform::SocketConnectResult,
    &platform::SocketShutdown,    &platform::SocketSetBlocking, &platform::SocketSend,
    &platform::SocketSendV,       &platform::SocketReceive,     &platform::SocketPendingBytes,
    &platform::SocketSetOption,   &platform::SocketGetOption,   &platform::SocketPoll,
};

const SiSystem* g_system = &kPlatformSystem;

// Process-wide state of the socket layer.
bool g_started = false;
runtime::ThrLock g_lock;

struct SortedList {
  int sockets[kSiListCapacity];
  std::size_t size;
};
SortedList g_in_progress;
SortedList g_broken;

QosState g_qos;

SortedList& ListOf(SiList list) { return list == SiList::kInProgress ? g_in_progress : g_broken; }

// Windows Sockets version 2.0, or 1.1 where 2.0 is not supported.
int StartWinsock() {
  int error = g_system->startup(2, 0);
  if (error == platform::kWsaVERNOTSUPPORTED) error = g_system->startup(1, 1);
  return error;
}

void CopyText(char* out, std::size_t size, const char* text) {
  std::snprintf(out, size, "%s", text != nullptr ? text : "");
}

// The once-per-process quality-of-service set-up. Returns 0 or the error
// number of the failed start of the socket interface.
int QosSetUp() {
  g_qos.application[0] = '\0';
  g_qos.policy_locator[0] = '\0';
  g_qos.identity_length = 0;
  int error = g_system->startup(2, 0);
  if (error != 0) error = g_system->startup(1, 1);
  if (error != 0) return error;

  g_qos.have_tcp = g_qos.have_udp = false;
  if (g_system->find_qos_providers(&g_qos.tcp, &g_qos.have_tcp, &g_qos.udp, &g_qos.have_udp) != 0) {
    g_qos.have_tcp = g_qos.have_udp = false;
  }
  if (!g_qos.have_tcp) {
    g_qos.have_udp = false;
    g_qos.done = true;
    return 0;
  }
  if (std::getenv("QOSENABLE") == nullptr || !platform::IsNtFamilyAtLeast(5)) {
    g_qos.have_tcp = g_qos.have_udp = false;
  }
  if (g_qos.have_tcp && g_qos.have_udp) {
    const char* application = std::getenv(kQosApplicationVariable);
    CopyText(g_qos.application, sizeof g_qos.application,
             application != nullptr ? application : "parcel");
    if (const char* locator = std::getenv("QOSPOLICYLOCATOR"); locator != nullptr) {
      CopyText(g_qos.policy_locator, sizeof g_qos.policy_locator, locator);
    } else {
      char executable[128];
      std::size_t length = platform::ExecutableFileName(executable, sizeof executable);
      std::snprintf(g_qos.policy_locator, sizeof g_qos.policy_locator, "GUID=PARCEL,VER=7000%s%s",
                    length > 0 ? ",SAPP=" : "", length > 0 ? executable : "");
    }
    g_qos.identity_length = BuildQosIdentity(g_qos.policy_locator, g_qos.application,
                                             g_qos.identity, sizeof g_qos.identity);
  }
  g_qos.done = true;
  return 0;
}

// Maps the error of a failed socket() / WSASocketA.
int MapSocketError(int error) {
  switch (error) {
    case platform::kWsaEINTR: return SI_EINTR;
    case platform::kWsaEMFILE: return SI_EMFILE;
    case platform::kWsaEPROTOTYPE:
    case platform::kWsaEPROTONOSUPPORT:
    case platform::kWsaESOCKTNOSUPPORT:
    case platform::kWsaEAFNOSUPPORT: return SI_EINVAL;
    case platform::kWsaENOBUFS: return SI_EMEMORY;
    default: return SI_ESYSCALL;
  }
}

int MapBindError(int error) {
  switch (error) {
    case platform::kWsaEINTR: return SI_EINTR;
    case platform::kWsaEACCES:
    case platform::kWsaEADDRINUSE: return SI_EPORT_INUSE;
    case platform::kWsaEINVAL: return SI_EINVAL;
    case platform::kWsaENOTSOCK: return SI_EINVAL_SOCK;
    case platform::kWsaEADDRNOTAVAIL: return SI_EADDR_NAVAIL;
    default: return SI_ESYSCALL;
  }
}

int MapNameError(int error) {
  switch (error) {
    case platform::kWsaEINTR: return SI_EINTR;
    case platform::kWsaENOTSOCK: return SI_EINVAL_SOCK;
    case platform::kWsaEINVAL:
    case platform::kWsaENOTCONN: return SI_EINVAL;
    default: return SI_ESYSCALL;
  }
}

}  // namespace

const SiSystem& SiPlatformSystem() noexcept { return kPlatformSystem; }

const SiSystem* SiSetSystem(const SiSystem* system) noexcept {
  const SiSystem* before = g_system;
  g_system = system != nullptr ? system : &kPlatformSystem;
  return before;
}

const SiSystem& SiCurrentSystem() noexcept { return *g_system; }

bool SiIsStarted() noexcept { return g_started; }

bool SiListInsert(SiList which, int socket) noexcept {
  SortedList& list = ListOf(which);
  int* end = list.sockets + list.size;
  int* at = std::lower_bound(list.sockets, end, socket);
  if (at != end && *at == socket) return true;
  if (list.size == kSiListCapacity) return false;
  std::memmove(at + 1, at, static_cast<std::size_t>(end - at) * sizeof(int));
  *at = socket;
  ++list.size;
  return true;
}

bool SiListRemove(SiList which, int socket) noexcept {
  SortedList& list = ListOf(which);
  int* end = list.sockets + list.size;
  int* at = std::lower_bound(list.sockets, end, socket);
  if (at == end || *at != socket) return false;
  std::memmove(at, at + 1, static_cast<std::size_t>(end - at - 1) * sizeof(int));
  --list.size;
  return true;
}

bool SiListContains(SiList which, int socket) noexcept {
  const SortedList& list = ListOf(which);
  return std::binary_search(list.sockets, list.sockets + list.size, socket);
}

std::size_t SiListSize(SiList which) noexcept { return ListOf(which).size; }

void SiLockLists() noexcept {
  if (g_started) ThrLockEnter(&g_lock);
}

void SiUnlockLists() noexcept {
  if (g_started) ThrLockLeave(&g_lock);
}

const QosState& SiQosState() noexcept { return g_qos; }

void SiResetQos() noexcept { g_qos = QosState{}; }

std::size_t BuildQosIdentity(const char* policy_locator, const char* application,
                             unsigned char* out, std::size_t size) noexcept {
  // Object header (type, length), the number of policy elements, then one
  // element: its length and type, and two attributes, each a length (network
  // order), a type, a subtype and the text with its NUL, padded to 4 bytes.
  constexpr std::size_t kObjectHeader = 8, kCount = 4, kPolicyHeader = 4, kAttrHeader = 4;
  constexpr unsigned kObjectType = 1001, kPolicyTypeAppId = 3;
  const char* texts[2] = {policy_locator != nullptr ? policy_locator : "",
                          application != nullptr ? application : ""};
  const unsigned char attr_types[2] = {1, 2};  // policy locator, credential
  std::size_t attr_lengths[2], padded[2];
  for (int i = 0; i < 2; ++i) {
    attr_lengths[i] = kAttrHeader + std::strlen(texts[i]) + 1;
    padded[i] = (attr_lengths[i] + 3) & ~std::size_t{3};
  }
  const std::size_t policy_length = kPolicyHeader + padded[0] + padded[1];
  const std::size_t total = kObjectHeader + kCount + policy_length;
  if (total > size || attr_lengths[0] > 0xFFFF || attr_lengths[1] > 0xFFFF) return 0;
  std::memset(out, 0, total);
  platform::EncodeFixed32(out, static_cast<std::uint32_t>(kObjectType));
  platform::EncodeFixed32(out + 4, static_cast<std::uint32_t>(total));
  platform::EncodeFixed32(out + 8, static_cast<std::uint32_t>(1));
  unsigned char* policy = out + kObjectHeader + kCount;
  platform::EncodeFixed16(policy, static_cast<std::uint16_t>(policy_length));
  platform::EncodeBigEndian16(policy + 2, static_cast<std::uint16_t>(kPolicyTypeAppId));
  unsigned char* attr = policy + kPolicyHeader;
  for (int i = 0; i < 2; ++i) {
    platform::EncodeBigEndian16(attr, static_cast<std::uint16_t>(attr_lengths[i]));
    attr[2] = attr_types[i];
    attr[3] = 1;  // ASCII subtype
    std::memcpy(attr + kAttrHeader, texts[i], attr_lengths[i] - kAttrHeader);
    attr += padded[i];
  }
  return total;
}

}  // namespace parcel::ni

using parcel::ni::g_broken;
using parcel::ni::g_in_progress;
using parcel::ni::g_lock;
using parcel::ni::g_qos;
using parcel::ni::g_started;
using parcel::ni::g_system;

int SiInit(int* system_error) noexcept {
  if (g_started) return SI_OK;
  g_started = true;
  ThrLockInit(&g_lock, "SI section");
  g_in_progress.size = 0;
  g_broken.size = 0;
  int error = g_qos.done ? parcel::ni::StartWinsock() : parcel::ni::QosSetUp();
  if (error != 0) {
    g_started = false;
    ThrLockDelete(&g_lock);
    if (system_error != nullptr) *system_error = error;
    return SI_ESYSCALL;
  }
  return SI_OK;
}

int SiExit(int* system_error) noexcept {
  if (!g_started) return SI_OK;
  g_started = false;
  ThrLockDelete(&g_lock);
  int error = g_system->cleanup();
  if (error != 0) {
    if (system_error != nullptr) *system_error = error;
    return SI_ESYSCALL;
  }
  return SI_OK;
}

int SiSocket(int family, int type, int protocol, NI_SOCKREC* record) noexcept {
  using parcel::platform::SocketHandle;
  const parcel::platform::ProtocolEntry* provider =
      type == parcel::platform::kSocketTypeStream && g_qos.have_tcp ? &g_qos.tcp : nullptr;
  SocketHandle handle = parcel::platform::kInvalidSocket;
  int error = g_system->open(family, type, protocol, provider, &handle);
  if (error != 0) {
    record->error = error;
    return parcel::ni::MapSocketError(error);
  }
  if (static_cast<std::uintmax_t>(handle) > static_cast<std::uintmax_t>(INT32_MAX)) {
    PARCEL_TRC(1, DpTrc, "SiSocket: socket number too big (%p)\n",
               reinterpret_cast<void*>(static_cast<std::uintptr_t>(handle)));
    (void)g_system->close(handle);
    record->error = parcel::ni::kSiErrInternal;
    return SI_EINTERN;
  }
  record->socket = static_cast<int>(handle);
  record->family = family;
  record->type = type;
  record->error = 0;
  return SI_OK;
}

int SiBind(NI_SOCKREC* record, const unsigned char* address, int length,
           const std::uint16_t* port) noexcept {
  parcel::platform::SocketAddress socket_address;
  int wanted;
  switch (record->family) {
    case parcel::platform::kSocketFamilyIPv4: wanted = 4; break;
    case parcel::platform::kSocketFamilyIPv6: wanted = 16; break;
    default: record->error = parcel::ni::kSiErrFamily; return SI_EINVAL_FAMI;
  }
  if (address != nullptr && length != wanted) {
    record->error = parcel::ni::kSiErrInternal;
    return SI_EINTERN;
  }
  socket_address.family = record->family;
  socket_address.port = port != nullptr ? *port : 0;
  if (address != nullptr) std::memcpy(socket_address.address, address, wanted);
  return SiBind2(record, socket_address);
}

int SiBind2(NI_SOCKREC* record, const parcel::platform::SocketAddress& address) noexcept {
  int error = g_system->bind(parcel::ni::SiHandleOf(*record), address);
  if (error == 0) return SI_OK;
  record->error = error;
  return parcel::ni::MapBindError(error);
}

int SiGetSockName(NI_SOCKREC* record, parcel::platform::SocketAddress* out) noexcept {
  int error = g_system->local_address(parcel::ni::SiHandleOf(*record), out);
  if (error == 0) return SI_OK;
  record->error = error;
  return parcel::ni::MapNameError(error);
}

int SiGetPeerName(NI_SOCKREC* record, parcel::platform::SocketAddress* out) noexcept {
  int error = g_system->peer_address(parcel::ni::SiHandleOf(*record), out);
  if (error == 0) return SI_OK;
  record->error = error;
  return parcel::ni::MapNameError(error);
}

int SiClose(NI_SOCKREC* record) noexcept {
  parcel::ni::SiLockLists();
  parcel::ni::SiListRemove(parcel::ni::SiList::kInProgress, record->socket);
  parcel::ni::SiListRemove(parcel::ni::SiList::kBroken, record->socket);
  parcel::ni::SiUnlockLists();
  int error = g_system->close(parcel::ni::SiHandleOf(*record));
  if (error == 0) return SI_OK;
  record->error = error;
  switch (error) {
    case parcel::platform::kWsaEINTR: return SI_EINTR;
    case parcel::platform::kWsaENOTSOCK: return SI_EINVAL_SOCK;
    default: return SI_ESYSCALL;
  }
}
