// Delivery checks on Linux. SIOCOUTQ counts the bytes written and not yet
// acknowledged (the FIN counts as one). It drops to 0 once the peer has
// acknowledged everything, whatever happened to the connection afterwards;
// a reset ends the connection (TCP_CLOSE) and leaves the count where it was,
// so bytes still counted then are lost. A connection that closed in good
// order is TCP_CLOSE as well, with nothing counted.
#include "host/serve/tcp_delivery.h"

#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

namespace parcel::host {

Delivery CheckDelivery(platform::SocketHandle socket) {
  int queued = 0;
  if (::ioctl(socket, SIOCOUTQ, &queued) != 0) return Delivery::kFailed;
  if (queued == 0) return Delivery::kDelivered;
  tcp_info info{};
  socklen_t info_size = sizeof info;
  if (::getsockopt(socket, IPPROTO_TCP, TCP_INFO, &info, &info_size) != 0 ||
      info.tcpi_state == TCP_CLOSE) {
    return Delivery::kFailed;
  }
  return Delivery::kPending;
}

}  // namespace parcel::host
