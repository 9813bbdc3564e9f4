// Windows probe of an idle connection: a select that does not wait and a
// peek that takes nothing off the socket (the socket is non-blocking).
#include <winsock2.h>

#include "sdk/platform_peer.h"

tq_plat_peer_state tq_plat_peer_probe(tq_socket sock) {
  if (sock == TQ_NO_SOCKET) return TQ_PLAT_PEER_CLOSED;
  const auto s = static_cast<SOCKET>(sock);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(s, &readable);
  timeval now = {0, 0};
  const int r = select(0, &readable, nullptr, nullptr, &now);
  if (r == 0) return TQ_PLAT_PEER_QUIET;
  if (r < 0) return TQ_PLAT_PEER_CLOSED;
  char byte = 0;
  const int n = recv(s, &byte, 1, MSG_PEEK);
  if (n > 0) return TQ_PLAT_PEER_SENT;
  if (n == SOCKET_ERROR && WSAGetLastError() == WSAEWOULDBLOCK) return TQ_PLAT_PEER_QUIET;
  return TQ_PLAT_PEER_CLOSED;  // 0: the peer's FIN; an error: a reset
}
