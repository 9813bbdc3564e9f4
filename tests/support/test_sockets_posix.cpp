// POSIX twin of the tests' socket calls.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "support/test_sockets.h"

namespace ws_test {

namespace {

sockaddr_in loopback_address(int port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

}  // namespace

const int SOCK_ERR_CONNRESET = ECONNRESET;
const int SOCK_ERR_CONNREFUSED = ECONNREFUSED;
const int SOCK_ERR_NETUNREACH = ENETUNREACH;
const int SOCK_ERR_PIPE = EPIPE;

bool sockets_start() {
  return true;
}

tq_socket sock_bind_loopback(int *port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return TQ_NO_SOCKET;
  sockaddr_in a = loopback_address(0);
  socklen_t len = sizeof a;
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    close(fd);
    return TQ_NO_SOCKET;
  }
  *port = ntohs(a.sin_port);
  return fd;
}

bool sock_listen(tq_socket sock, int backlog) {
  return listen(sock, backlog) == 0;
}

tq_socket sock_accept(tq_socket listener) {
  int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  return fd < 0 ? TQ_NO_SOCKET : fd;
}

tq_socket sock_connect_loopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return TQ_NO_SOCKET;
  sockaddr_in a = loopback_address(port);
  if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
    close(fd);
    return TQ_NO_SOCKET;
  }
  return fd;
}

bool sock_pair(tq_socket out[2]) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) return false;
  out[0] = fds[0];
  out[1] = fds[1];
  return true;
}

void sock_shutdown_send(tq_socket sock) {
  shutdown(sock, SHUT_WR);
}

void sock_close_reset(tq_socket sock) {
  linger lg = {1, 0};
  setsockopt(sock, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  close(sock);
}

bool sock_is_open(tq_socket sock) {
  int type = 0;
  socklen_t len = sizeof type;
  return getsockopt(sock, SOL_SOCKET, SO_TYPE, &type, &len) == 0;
}

bool sock_recv_sees_reset() {
  return true;  // every POSIX system's recv fails with ECONNRESET
}

int sock_wait(sock_waiter *w, size_t n, int timeout_ms) {
  std::vector<pollfd> p(n);
  for (size_t i = 0; i < n; i++) {
    p[i].fd = w[i].sock;  // a negative descriptor is ignored by poll
    p[i].events = static_cast<short>(((w[i].events & SOCK_IN) ? POLLIN : 0) |
                                     ((w[i].events & SOCK_OUT) ? POLLOUT : 0));
  }
  for (;;) {
    int r = poll(p.data(), static_cast<nfds_t>(n), timeout_ms);
    if (r < 0 && errno == EINTR) continue;
    for (size_t i = 0; i < n; i++) w[i].ready = r > 0 && p[i].revents != 0;
    return r;
  }
}

}  // namespace ws_test
