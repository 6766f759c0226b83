// Address and port texts, socket addresses.
#include "ni/ni_addr.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/resolver.h"
#include "runtime/trace.h"

namespace parcel::ni {
namespace {

constexpr const char* kSource = "ni_addr.cpp";

std::atomic<bool> g_byte_order_told{false};

void TellByteOrder(const char* function) {
  if (g_byte_order_told.exchange(true)) return;
  const std::uint32_t probe = 0x01020304;
  unsigned char first;
  std::memcpy(&first, &probe, 1);
  if (first == 0x04) {
    PARCEL_TRC(2, DpTrc,
               "%s: CPU byte order: little endian, reverse network, low val .. high val\n",
               function);
  } else if (first == 0x01) {
    PARCEL_TRC(2, DpTrc, "%s: CPU byte order: big endian, network, high val..low val\n", function);
  } else {
    PARCEL_TRC(2, DpTrc, "%s: CPU byte order: ???? (%d)\n", function, first);
  }
}

}  // namespace

bool IsIPv4Mapped(const NI_NODEADDR& address) noexcept {
  static constexpr unsigned char kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  return std::memcmp(address.addr, kPrefix, sizeof kPrefix) == 0;
}

NI_NODEADDR MappedAddress(unsigned char a, unsigned char b, unsigned char c,
                          unsigned char d) noexcept {
  NI_NODEADDR address{};
  address.addr[10] = address.addr[11] = 0xFF;
  address.addr[12] = a;
  address.addr[13] = b;
  address.addr[14] = c;
  address.addr[15] = d;
  return address;
}

void FormatAddressPort(const NI_NODEADDR* address, std::uint16_t port, char* out,
                       std::size_t size) noexcept {
  char text[NI_NODEADDR_STR_LEN];
  if (NiAddrToStr(address, text, sizeof text, true) != QEL_O_K)
    std::snprintf(text, sizeof text, "?");
  std::snprintf(out, size, "%s:%u", text, PortNumber(port));
}

void LocalSocketPath(std::uint16_t port, char* out, std::size_t size) noexcept {
  NiLibrary& lib = Library();
  ThrLockEnter(&lib.param_lock);
  const char* pattern =
      lib.local_path_template[0] != '\0' ? lib.local_path_template : "/tmp/.qelstream%d";
  // The template holds exactly one %d, set by the library start.
  std::snprintf(out, size, pattern, static_cast<int>(PortNumber(port)));
  ThrLockLeave(&lib.param_lock);
}

}  // namespace parcel::ni

using parcel::ni::IsIPv4Mapped;
using parcel::ni::kSource;

int NiAddrToStr(const NI_NODEADDR* address, char* buffer, int length, bool short_form) noexcept {
  constexpr const char* kFunction = "NiAddrToStr";
  if (buffer == nullptr) {
    return parcel::ni::NiIError(NIEINVAL, kSource, __LINE__, false,
                                "%s: parameter invalid (pNodeAddrStr == NULL)", kFunction);
  }
  if (!parcel::ni::Library().ipv6) short_form = true;
  const bool mapped = address == nullptr || IsIPv4Mapped(*address);
  const bool needs_short_buffer = mapped && short_form;
  if (needs_short_buffer && length < NI_IPv4ADDR_STR_LEN) {
    return parcel::ni::NiIError(NIEINVAL, kSource, __LINE__, false,
                                "%s: parameter invalid (bufferLen < NI_IPv4ADDR_STR_LEN)",
                                kFunction);
  }
  if (!needs_short_buffer && length < NI_NODEADDR_STR_LEN) {
    return parcel::ni::NiIError(NIEINVAL, kSource, __LINE__, false,
                                "%s: parameter invalid (bufferLen < NI_NODEADDR_STR_LEN)",
                                kFunction);
  }
  const std::size_t size = static_cast<std::size_t>(length);
  if (address == nullptr) {
    std::snprintf(buffer, size, "%s", short_form ? "0.0.0.0" : "::");
    return QEL_O_K;
  }
  const unsigned char* a = address->addr;
  if (mapped) {
    std::snprintf(buffer, size, short_form ? "%d.%d.%d.%d" : "::ffff:%d.%d.%d.%d", a[12], a[13],
                  a[14], a[15]);
    return QEL_O_K;
  }
  if (parcel::platform::AddressToNumericText(a, buffer, size) == 0) return QEL_O_K;
  std::snprintf(buffer, size, "%x:%x:%x:%x:%x:%x:%x:%x", a[0] << 8 | a[1], a[2] << 8 | a[3],
                a[4] << 8 | a[5], a[6] << 8 | a[7], a[8] << 8 | a[9], a[10] << 8 | a[11],
                a[12] << 8 | a[13], a[14] << 8 | a[15]);
  return QEL_O_K;
}

const char* NiAddrToStrStatic(const NI_NODEADDR* address, bool short_form) noexcept {
  parcel::ni::ThreadGlobals* globals = NiIGetThrGlob();
  if (globals == nullptr ||
      NiAddrToStr(address, globals->addr_text, sizeof globals->addr_text, short_form) != QEL_O_K) {
    PARCEL_TRC(1, DpTrc, "%s: NiIGetThrGlob failed\n", "NiAddrToStrStatic");
    return "*** ERROR ***";
  }
  return globals->addr_text;
}

int NiSrvToStr2(std::uint16_t port, char* buffer, int length) noexcept {
  if (buffer == nullptr) {
    return parcel::ni::NiIError(NIEINVAL, kSource, __LINE__, false,
                                "%s: parameter invalid (pServNoStr == NULL)", "NiSrvToStr2");
  }
  if (length < NI_SERVNO_STR_LEN) {
    return parcel::ni::NiIError(NIEINVAL, kSource, __LINE__, false,
                                "%s: parameter invalid (bufferLen < NI_SERVNO_STR_LEN)",
                                "NiSrvToStr2");
  }
  std::snprintf(buffer, static_cast<std::size_t>(length), "%u", parcel::ni::PortNumber(port));
  return QEL_O_K;
}

int NiSrvToStrL2(std::uint16_t port, char* buffer, int length) noexcept {
  if (buffer == nullptr) {
    return parcel::ni::NiIError(NIEINVAL, kSource, __LINE__, false,
                                "%s: parameter invalid (pServNoStr == NULL)", "NiSrvToStrL2");
  }
  if (length < NI_SERVNO_STR_L_LEN) {
    return parcel::ni::NiIError(NIEINVAL, kSource, __LINE__, false,
                                "%s: parameter invalid (bufferLen < NI_SERVNO_STR_L_LEN)",
                                "NiSrvToStrL2");
  }
  unsigned char bytes[2];
  std::memcpy(bytes, &port, 2);
  std::snprintf(buffer, static_cast<std::size_t>(length), "%2.2X.%2.2X/%4.4u", bytes[0], bytes[1],
                parcel::ni::PortNumber(port));
  return QEL_O_K;
}

int NiIMakeSockAddr(const NiHdl* handle, const NI_SOCKREC* record, const NI_NODEADDR* address,
                    std::uint16_t port, parcel::platform::SocketAddress* out,
                    int* out_length) noexcept {
  constexpr const char* kFunction = "NiIMakeSockAddr";
  namespace platform = parcel::platform;
  parcel::ni::TellByteOrder(kFunction);
  const int number = parcel::ni::HandleNumber(handle);
  const NI_NODEADDR none{};
  const NI_NODEADDR& node = address != nullptr ? *address : none;
  *out = platform::SocketAddress{};
  out->family = record->family;
  switch (record->family) {
    case platform::kSocketFamilyIPv4:
      if (!IsIPv4Mapped(node)) {
        char text[NI_NODEADDR_STR_LEN];
        (void)NiAddrToStr(&node, text, sizeof text, false);
        PARCEL_TRC(1, DpTrc,
                   "%s: IPv6 address '%s' not supported by hdl %d with AF_INET sock %d "
                   "(probably IPv6 not enabled (%d))\n",
                   kFunction, text, number, record->socket, parcel::ni::Library().ipv6 ? 1 : 0);
        return parcel::ni::NiIRecord(NIEINVAL, kSource, __LINE__,
                                     "%s: socket does not support IPv6", kFunction);
      }
      std::memcpy(out->address, node.addr + 12, 4);
      out->port = port;
      *out_length = 4;
      return QEL_O_K;
    case platform::kSocketFamilyIPv6: {
      if (IsIPv4Mapped(node) && std::memcmp(node.addr + 12, "\0\0\0\0", 4) == 0) {
        PARCEL_TRC(1, DpTrc,
                   "%s: probably requested address 0.0.0.0 can't be assign to IPv6 socket "
                   "(hdl %d / sock %d; USES_IPv6=%d)\n",
                   kFunction, number, record->socket, parcel::ni::Library().ipv6 ? 1 : 0);
      }
      std::memcpy(out->address, node.addr, 16);
      out->port = port;
      *out_length = 16;
      return QEL_O_K;
    }
    case platform::kSocketFamilyLocal:
      parcel::ni::LocalSocketPath(port, out->path, sizeof out->path);
      *out_length = static_cast<int>(platform::kLocalSocketPathSize);
      return QEL_O_K;
    default:
      PARCEL_TRC(1, DpTrc, "%s: invalid family %d for hdl %d / sock %d\n", kFunction,
                 record->family, number, record->socket);
      return parcel::ni::NiIRecord(NIEINVAL, kSource, __LINE__, "%s: invalid family %d", kFunction,
                                   record->family);
  }
}

int NiISolveSockAddr(const NiHdl* handle, NI_SOCKREC* record,
                     const parcel::platform::SocketAddress& address, NI_NODEADDR* out,
                     std::uint16_t* port, char* path, std::size_t path_size) noexcept {
  constexpr const char* kFunction = "NiISolveSockAddr";
  namespace platform = parcel::platform;
  switch (address.family) {
    case platform::kSocketFamilyIPv4:
      *out = parcel::ni::MappedAddress(address.address[0], address.address[1], address.address[2],
                                       address.address[3]);
      *port = address.port;
      return QEL_O_K;
    case platform::kSocketFamilyIPv6:
      std::memcpy(out->addr, address.address, 16);
      *port = address.port;
      return QEL_O_K;
    case platform::kSocketFamilyLocal: {
      *out = parcel::ni::Library().loopback;
      *port = 0;
      if (path == nullptr || path_size == 0) return QEL_O_K;
      const char* source = address.path;
      platform::SocketAddress bound;
      if (source[0] == '\0' && record != nullptr && record->socket >= 0 &&
          SiGetSockName(record, &bound) == SI_OK) {
        source = bound.path;
      }
      std::snprintf(path, path_size, "%s", source);
      return QEL_O_K;
    }
    default:
      PARCEL_TRC(1, DpTrc, "%s: invalid family %d for hdl %d / sock %d\n", kFunction,
                 address.family, parcel::ni::HandleNumber(handle),
                 record != nullptr ? record->socket : -1);
      return parcel::ni::NiIRecord(NIEINVAL, kSource, __LINE__, "%s: invalid family %d", kFunction,
                                   address.family);
  }
}
