// Whether a client's TCP has taken every byte written to a connection: the
// host keeps an archive only when the answer that carries its token arrived.
#ifndef PARCEL_HOST_SERVE_TCP_DELIVERY_H_
#define PARCEL_HOST_SERVE_TCP_DELIVERY_H_

#include "platform/socket.h"

namespace parcel::host {

enum class Delivery {
  kPending,    // bytes are still unsent or unacknowledged
  kDelivered,  // the peer acknowledged everything written
  kFailed,     // the connection was reset or failed; what was unacknowledged is lost
};

// Looks at the socket's send queue and connection state without waiting.
Delivery CheckDelivery(platform::SocketHandle socket);

}  // namespace parcel::host

#endif  // PARCEL_HOST_SERVE_TCP_DELIVERY_H_
