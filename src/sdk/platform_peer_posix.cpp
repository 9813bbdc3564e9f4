// POSIX probe of an idle connection: a poll that does not wait and a peek
// that takes nothing off the socket.
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "sdk/platform_peer.h"

tq_plat_peer_state tq_plat_peer_probe(tq_socket sock) {
  if (sock == TQ_NO_SOCKET) return TQ_PLAT_PEER_CLOSED;
  pollfd p = {};
  p.fd = sock;
  p.events = POLLIN;
  int r = 0;
  do {
    r = poll(&p, 1, 0);
  } while (r < 0 && errno == EINTR);
  if (r == 0) return TQ_PLAT_PEER_QUIET;
  if (r < 0 || (p.revents & POLLNVAL)) return TQ_PLAT_PEER_CLOSED;
  unsigned char byte = 0;
  ssize_t n = 0;
  do {
    n = recv(sock, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n > 0) return TQ_PLAT_PEER_SENT;
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return TQ_PLAT_PEER_QUIET;
  return TQ_PLAT_PEER_CLOSED;  // 0: the peer's FIN; an error: a reset
}
