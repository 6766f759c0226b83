// The handle table: create, close, the state setter, number checks and dumps.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "ni/ni_addr.h"
#include "ni/nii.h"
#include "platform/wall_clock.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

constexpr const char* kSource = "ni_handles.cpp";

// clang-format off
struct StateRow { unsigned char state; const char* name; };
constexpr StateRow kStates[] = {
  {NI_FREE, "NI_FREE"},             {NI_INITIAL_LIS, "NI_INITIAL_LIS"},
  {NI_INITIAL_CON, "NI_INITIAL_CON"}, {NI_LISTEN, "NI_LISTEN"},
  {NI_CONN_WAIT, "NI_CONN_WAIT"},   {NI_CONNECTED, "NI_CONNECTED"},
  {NI_ACCEPTED, "NI_ACCEPTED"},     {NI_DG_CONNECTED, "NI_DG_CONNECTED"},
  {NI_DG_UNCONNECTED, "NI_DG_UNCONNECTED"},
};
// clang-format on

bool IsInitialState(unsigned char state) {
  return state == NI_INITIAL_LIS || state == NI_INITIAL_CON;
}

// Closes one socket of a handle, repeating an interrupted close. Returns 0 or
// the translated failure; the descriptor is -1 afterwards either way.
int CloseSocket(HandleRecord* handle, NI_SOCKREC* record) {
  int rc = QEL_O_K;
  if (record->socket >= 0) {
    int si;
    do {
      si = SiClose(record);
    } while (si == SI_EINTR);
    if (si != SI_OK) {
      rc = NiIMapSiError(si, kSiCallClose, handle, record, record->error, nullptr, nullptr, 0,
                         "NiICloseHandle", kSource, __LINE__, true);
    }
  }
  record->socket = -1;
  return rc;
}

// "Www Mmm dd hh:mm:ss yyyy\n", the C library's asctime form, of local time.
void AscTime(std::int64_t seconds, char* out, std::size_t size) {
  static constexpr const char kDays[] = "SunMonTueWedThuFriSat";
  static constexpr const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  std::tm tm{};
  if (!platform::ToLocalTime(seconds, &tm) || tm.tm_wday < 0 || tm.tm_wday > 6 || tm.tm_mon < 0 ||
      tm.tm_mon > 11) {
    std::snprintf(out, size, "???\n");
    return;
  }
  std::snprintf(out, size, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", kDays + 3 * tm.tm_wday,
                kMonths + 3 * tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                1900 + tm.tm_year);
}

const char* FamilyText(int family) {
  switch (family) {
    case platform::kSocketFamilyIPv4: return "IPv4";
    case platform::kSocketFamilyIPv6: return "IPv6";
    case platform::kSocketFamilyLocal: return "LOCAL";
    default: return "INVALID";
  }
}

const char* TypeText(int type) {
  switch (type) {
    case platform::kSocketTypeStream: return "STREAM";
    case platform::kSocketTypeDatagram: return "DATAGRAM";
    default: return "INVALID";
  }
}

// address:port of a socket's bound name, or "-".
void LocalText(const HandleRecord* handle, const NI_SOCKREC& record, char* out, std::size_t size) {
  std::snprintf(out, size, "-");
  if (record.socket < 0) return;
  NI_SOCKREC copy = record;
  platform::SocketAddress address;
  if (SiGetSockName(&copy, &address) != SI_OK) return;
  NI_NODEADDR node;
  std::uint16_t port = 0;
  char path[platform::kLocalSocketPathSize];
  if (NiISolveSockAddr(handle, &copy, address, &node, &port, path, sizeof path) != QEL_O_K) {
    return;
  }
  if (record.family == platform::kSocketFamilyLocal) {
    std::snprintf(out, size, "%s", path);
  } else {
    FormatAddressPort(&node, port, out, size);
  }
}

}  // namespace

int HandleNumber(const HandleRecord* handle) noexcept {
  const NiLibrary& lib = Library();
  if (handle == nullptr || lib.table == nullptr) return -1;
  return static_cast<int>(handle - lib.table);
}

const char* StateName(unsigned char state) noexcept {
  for (const StateRow& row : kStates) {
    if (row.state == state) return row.name;
  }
  return nullptr;
}

void SetState(HandleRecord* handle, unsigned char state, const char* function) noexcept {
  handle->state = state;
  const char* name = StateName(state);
  PARCEL_TRC(HandleLevel(handle), DpTrc, "%s: state of hdl %d %s\n", function, HandleNumber(handle),
             name != nullptr ? name : "???");
}

int NiIHandle(int number, HandleRecord** out, const char* function) noexcept {
  NiLibrary& lib = Library();
  if (lib.table == nullptr || number < 0 || number >= lib.max_handles ||
      lib.table[number].state == NI_FREE) {
    *out = nullptr;
    return NiIError(NIEINVAL, kSource, __LINE__, false, "%s: invalid hdl %d", function, number);
  }
  *out = &lib.table[number];
  return QEL_O_K;
}

int FormatHandleDump(const HandleRecord* handle, char* out, std::size_t size) noexcept {
  const bool listening = IsListeningState(handle->state);
  char time_text[64];
  AscTime(handle->created, time_text, sizeof time_text);
  char socket_text[32];
  const NI_SOCKREC& first = listening ? handle->listen[0] : handle->sock;
  if (listening && handle->listen[1].socket >= 0) {
    std::snprintf(socket_text, sizeof socket_text, "%d, %d", handle->listen[0].socket,
                  handle->listen[1].socket);
  } else {
    std::snprintf(socket_text, sizeof socket_text, "%d", first.socket);
  }
  const char* state = StateName(handle->state);
  char type_text[32];
  std::snprintf(type_text, sizeof type_text, "%s %s", TypeText(first.type),
                FamilyText(first.family));
  char local1[160], local2[160] = "";
  LocalText(handle, first, local1, sizeof local1);
  if (listening && handle->listen[1].socket >= 0) {
    LocalText(handle, handle->listen[1], local2, sizeof local2);
  }
  char remote[160] = "-";
  if (handle->state == NI_CONNECTED || handle->state == NI_ACCEPTED ||
      handle->state == NI_DG_CONNECTED) {
    FormatAddressPort(&handle->peer, handle->peer_port, remote, sizeof remote);
  }
  const bool buffered = handle->extension != nullptr;
  const bool wlx = buffered && handle->extension_ops != nullptr &&
                   handle->extension_ops->has_security_context != nullptr &&
                   handle->extension_ops->has_security_context(handle);
  int length = std::snprintf(
      out, size,
      "\nHANDLE   = %-5d\nTIME     = %sSOCKET   = %s\nSTAT     = %s\nTYPE     = %s\n"
      "OUT      = %llu messages %llu bytes\nIN       = %llu messages %llu bytes\n"
      "LOCAL    = %s %s\nREMOTE   = %s\nOPTIONS  = %s%s%s\n",
      HandleNumber(handle), time_text, socket_text, state != nullptr ? state : "INVALID", type_text,
      static_cast<unsigned long long>(handle->messages_written),
      static_cast<unsigned long long>(handle->bytes_written),
      static_cast<unsigned long long>(handle->messages_read),
      static_cast<unsigned long long>(handle->bytes_read), local1, local2, remote,
      buffered ? "BUFFERED " : "", handle->trace ? "TRACE " : "", wlx ? "WLX" : "");
  if (length < 0 || static_cast<std::size_t>(length) >= size) return -1;
  return length;
}

}  // namespace parcel::ni

using parcel::ni::HandleLevel;
using parcel::ni::HandleNumber;
using parcel::ni::Library;
using parcel::ni::NiIError;
using parcel::ni::NiLibrary;

int NiICreateHandle(NiHdl** handle, bool listening) noexcept {
  constexpr const char* kFunction = "NiICreateHandle";
  NiLibrary& lib = Library();
  if (lib.init_count <= 0 || lib.table == nullptr) {
    if (int rc = NiInit3(); rc != QEL_O_K) return rc;
  }
  if (*handle != nullptr) {
    PARCEL_TRC(1, DpTrc, "%s: *ppHdl should be NULL\n", kFunction);
  }
  ThrLockEnter(&lib.hdl_lock);
  if (lib.free_count == 0) {
    ThrLockLeave(&lib.hdl_lock);
    return NiIError(NIEINVAL, parcel::ni::kSource, __LINE__, true, "%s: no more free handles (%d)",
                    kFunction, lib.max_handles);
  }
  NiHdl* record = &lib.table[lib.free_list[--lib.free_count]];
  std::memset(static_cast<void*>(record), 0, sizeof *record);
  record->state = listening ? NI_INITIAL_LIS : NI_INITIAL_CON;
  record->next = lib.used_head;
  if (lib.used_head != nullptr) lib.used_head->prev = record;
  lib.used_head = record;
  ThrLockLeave(&lib.hdl_lock);

  record->created = parcel::ni::NiNow();
  record->trace = lib.settings.trace_all ? 1 : 0;
  record->blocking = 1;
  record->read_header_left = 4;
  record->write_header_left = 0;
  for (NI_SOCKREC& socket : record->listen) socket.socket = -1;
  record->sock.socket = -1;
  record->peer = lib.any;
  *handle = record;
  PARCEL_TRC(HandleLevel(record), DpTrc, "%s: hdl %d state NI_INITIAL\n", kFunction,
             HandleNumber(record));
  return QEL_O_K;
}

int NiICloseHandle(NiHdl* handle, bool remove_local_file, bool lock_held) noexcept {
  constexpr const char* kFunction = "NiICloseHandle";
  NiLibrary& lib = Library();
  if (lib.table == nullptr) {
    return NiIError(NIEINVAL, parcel::ni::kSource, __LINE__, false, "%s: library not initialized",
                    kFunction);
  }
  const int number = HandleNumber(handle);
  const int level = HandleLevel(handle);
  if (handle->state == NI_CONN_WAIT) {
    PARCEL_TRC(level, DpTrc, "%s: called for hdl %d while waiting for connection\n", kFunction,
               number);
  }
  const bool listening = parcel::ni::IsListeningState(handle->state);
  if (parcel::ni::IsInitialState(handle->state)) {
    PARCEL_TRC(level, DpTrc, "%s: closing initial hdl %d\n", kFunction, number);
  } else if (listening) {
    PARCEL_TRC(level, DpTrc, "%s: shutdown and close hdl %d / sock %d - sock %d\n", kFunction,
               number, handle->listen[0].socket, handle->listen[1].socket);
  } else {
    PARCEL_TRC(level, DpTrc, "%s: shutdown and close hdl %d / sock %d\n", kFunction, number,
               handle->sock.socket);
  }

  int rc = QEL_O_K;
  if (handle->select_set != nullptr) parcel::ni::SelectSetDropHandle(handle);
  if (!listening) {
    if (handle->extension != nullptr && handle->extension_ops != nullptr &&
        handle->extension_ops->close != nullptr) {
      handle->extension_ops->close(handle);
    }
    rc = parcel::ni::CloseSocket(handle, &handle->sock);
  } else {
    rc = parcel::ni::CloseSocket(handle, &handle->listen[0]);
    NI_SOCKREC& second = handle->listen[1];
    if (remove_local_file && second.socket >= 0 &&
        second.family == parcel::platform::kSocketFamilyLocal) {
      parcel::platform::SocketAddress bound;
      if (SiGetSockName(&second, &bound) == SI_OK && bound.path[0] != '\0') {
        if (std::remove(bound.path) != 0 && errno != ENOENT) {
          PARCEL_TRC(level, DpTrc, "%s: remove '%s' failed for hdl %d\n", kFunction, bound.path,
                     number);
        }
      }
    }
    int second_rc = parcel::ni::CloseSocket(handle, &second);
    if (rc == QEL_O_K) rc = second_rc;
  }
  handle->read_data_left = 0;
  handle->read_header_left = 4;
  handle->mPendDataLenToWrite = 0;
  handle->write_header_left = 0;
  handle->extension = nullptr;
  handle->extension_ops = nullptr;

  if (!lock_held) ThrLockEnter(&lib.hdl_lock);
  if (handle->state != NI_FREE) {
    parcel::ni::SetState(handle, NI_FREE, kFunction);
    lib.free_list[lib.free_count++] = number;
    if (handle->prev != nullptr) handle->prev->next = handle->next;
    if (handle->next != nullptr) handle->next->prev = handle->prev;
    if (lib.used_head == handle) lib.used_head = handle->next;
    handle->next = handle->prev = nullptr;
  }
  if (!lock_held) ThrLockLeave(&lib.hdl_lock);
  return rc;
}

int NiIHdlDump(NiHdl* handle, char* buffer, std::size_t size) noexcept {
  char block[2048];
  int length = parcel::ni::FormatHandleDump(handle, block, sizeof block);
  if (length < 0) return NIEINTERN;
  if (buffer == nullptr) {
    PARCEL_TRC(HandleLevel(handle), DpTrcNoStamp, "%s", block);
    return QEL_O_K;
  }
  if (static_cast<std::size_t>(length) >= size) return NIETOO_SMALL;
  std::memcpy(buffer, block, static_cast<std::size_t>(length) + 1);
  return QEL_O_K;
}

void NiIWalkNitab() noexcept {
  NiLibrary& lib = Library();
  if (lib.table == nullptr) return;
  ThrLockEnter(&lib.hdl_lock);
  for (NiHdl* handle = lib.used_head; handle != nullptr; handle = handle->next) {
    if (handle->state == NI_FREE) {
      PARCEL_TRC(1, DpTrc, "%s: NI-chain destroyed\n", "NiIWalkNitab");
      break;
    }
    (void)NiIHdlDump(handle, nullptr, 0);
  }
  ThrLockLeave(&lib.hdl_lock);
}
