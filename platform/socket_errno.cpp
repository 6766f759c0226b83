// The one translation of errno values into Windows Sockets numbers, and
// what else of the socket service is the same on both sides. Portable,
// so the same table is compiled, and testable, on every platform; on mingw
// the C library lacks a few socket errno names, and those rows drop out.
#include <cerrno>

#include "platform/socket.h"

namespace parcel::platform {
namespace {

struct ErrnoRow {
  int errno_value;
  int wsa;
};

// Several names share one value on some systems (EAGAIN and EWOULDBLOCK,
// ENOTSUP and EOPNOTSUPP on Linux), so this is a table searched in order and
// not a switch, whose duplicate labels would not compile there.
constexpr ErrnoRow kErrnoRows[] = {
    {EINTR, kWsaEINTR},
    {EBADF, kWsaENOTSOCK},
    {ENOTSOCK, kWsaENOTSOCK},
    {EACCES, kWsaEACCES},
    {EPERM, kWsaEACCES},
    {EFAULT, kWsaEFAULT},
    {EINVAL, kWsaEINVAL},
    {EMFILE, kWsaEMFILE},
    {ENFILE, kWsaEMFILE},
    {EWOULDBLOCK, kWsaEWOULDBLOCK},
    {EAGAIN, kWsaEWOULDBLOCK},
    // A non-blocking connect under way: Windows says "would block" for it.
    {EINPROGRESS, kWsaEWOULDBLOCK},
    {EALREADY, kWsaEALREADY},
    {EDESTADDRREQ, kWsaEDESTADDRREQ},
    {EMSGSIZE, kWsaEMSGSIZE},
    {EPROTOTYPE, kWsaEPROTOTYPE},
    {ENOPROTOOPT, kWsaENOPROTOOPT},
    {EPROTONOSUPPORT, kWsaEPROTONOSUPPORT},
#ifdef ESOCKTNOSUPPORT
    {ESOCKTNOSUPPORT, kWsaESOCKTNOSUPPORT},
#endif
    {EOPNOTSUPP, kWsaEOPNOTSUPP},
    {ENOTSUP, kWsaEOPNOTSUPP},
#ifdef EPFNOSUPPORT
    {EPFNOSUPPORT, kWsaEPFNOSUPPORT},
#endif
    {EAFNOSUPPORT, kWsaEAFNOSUPPORT},
    {EADDRINUSE, kWsaEADDRINUSE},
    {EADDRNOTAVAIL, kWsaEADDRNOTAVAIL},
    {ENETDOWN, kWsaENETDOWN},
    {ENETUNREACH, kWsaENETUNREACH},
    {ENETRESET, kWsaENETRESET},
    {ECONNABORTED, kWsaECONNABORTED},
    {ECONNRESET, kWsaECONNRESET},
    // Sending on a connection the peer has reset or closed: Windows reports
    // the reset itself.
    {EPIPE, kWsaECONNRESET},
    {ENOBUFS, kWsaENOBUFS},
    {ENOMEM, kWsaENOBUFS},
    {EISCONN, kWsaEISCONN},
    {ENOTCONN, kWsaENOTCONN},
#ifdef ESHUTDOWN
    {ESHUTDOWN, kWsaESHUTDOWN},
#endif
#ifdef ETOOMANYREFS
    {ETOOMANYREFS, kWsaETOOMANYREFS},
#endif
    {ETIMEDOUT, kWsaETIMEDOUT},
    {ECONNREFUSED, kWsaECONNREFUSED},
    {ELOOP, kWsaELOOP},
    {ENAMETOOLONG, kWsaENAMETOOLONG},
#ifdef EHOSTDOWN
    {EHOSTDOWN, kWsaEHOSTDOWN},
#endif
    {EHOSTUNREACH, kWsaEHOSTUNREACH},
};

}  // namespace

int SocketErrorFromErrno(int errno_value) noexcept {
  for (const ErrnoRow& row : kErrnoRows) {
    if (row.errno_value == errno_value) return row.wsa;
  }
  return errno_value;
}

int SocketWaitOne(SocketHandle socket, short events, int timeout_ms) noexcept {
  PollEntry entry{socket, events, 0};
  int ready = 0;
  if (int rc = SocketPoll(&entry, 1, timeout_ms, &ready); rc != 0) return rc;
  return ready > 0 ? 0 : kWsaETIMEDOUT;
}

}  // namespace parcel::platform
