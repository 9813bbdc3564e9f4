// Windows twin of the tests' socket calls, on Winsock 2.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <vector>

#include "support/test_sockets.h"

namespace ws_test {

namespace {

sockaddr_in loopback_address(int port) {
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<u_short>(port));
  return a;
}

SOCKET as_socket(tq_socket sock) {
  return static_cast<SOCKET>(sock);
}

bool set_nonblocking(SOCKET s) {
  u_long on = 1;
  return ioctlsocket(s, FIONBIO, &on) == 0;
}

// Blocking until set_nonblocking, so that sock_pair can connect in one call.
SOCKET new_stream_socket() {
  if (!sockets_start()) return INVALID_SOCKET;
  return WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                    WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

}  // namespace

const int SOCK_ERR_CONNRESET = WSAECONNRESET;
const int SOCK_ERR_CONNREFUSED = WSAECONNREFUSED;
const int SOCK_ERR_NETUNREACH = WSAENETUNREACH;
// Winsock has no broken pipe: a send after the connection ended is aborted.
const int SOCK_ERR_PIPE = WSAECONNABORTED;

bool sockets_start() {
  // Never shut down: the process ends instead.
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

tq_socket sock_bind_loopback(int *port) {
  SOCKET s = new_stream_socket();
  if (s == INVALID_SOCKET) return TQ_NO_SOCKET;
  sockaddr_in a = loopback_address(0);
  int len = sizeof a;
  if (!set_nonblocking(s) || bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
      getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
    closesocket(s);
    return TQ_NO_SOCKET;
  }
  *port = ntohs(a.sin_port);
  return static_cast<tq_socket>(s);
}

bool sock_listen(tq_socket sock, int backlog) {
  return listen(as_socket(sock), backlog) == 0;
}

tq_socket sock_accept(tq_socket listener) {
  SOCKET s = accept(as_socket(listener), nullptr, nullptr);
  if (s == INVALID_SOCKET) return TQ_NO_SOCKET;
  // An accepted socket takes over the listener's blocking mode, but say it.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  if (!set_nonblocking(s)) {
    closesocket(s);
    return TQ_NO_SOCKET;
  }
  return static_cast<tq_socket>(s);
}

tq_socket sock_connect_loopback(int port) {
  SOCKET s = new_stream_socket();
  if (s == INVALID_SOCKET) return TQ_NO_SOCKET;
  sockaddr_in a = loopback_address(port);
  if (!set_nonblocking(s) || (connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 &&
                              WSAGetLastError() != WSAEWOULDBLOCK)) {
    closesocket(s);
    return TQ_NO_SOCKET;
  }
  return static_cast<tq_socket>(s);
}

// Winsock has no socket pairs: a listener on loopback takes exactly one
// connection, the client's own, and goes away.
bool sock_pair(tq_socket out[2]) {
  int port = 0;
  const tq_socket listener = sock_bind_loopback(&port);
  if (listener == TQ_NO_SOCKET) return false;
  SOCKET client = new_stream_socket();
  SOCKET server = INVALID_SOCKET;
  sockaddr_in a = loopback_address(port);
  if (client != INVALID_SOCKET && sock_listen(listener, 1) &&
      connect(client, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
    // The listener is non-blocking; the connect above has completed, so the
    // connection is queued unless somebody else's came first.
    sockaddr_in mine = {};
    sockaddr_in peer = {};
    int mine_len = sizeof mine;
    int peer_len = sizeof peer;
    server = accept(as_socket(listener), reinterpret_cast<sockaddr *>(&peer), &peer_len);
    if (server != INVALID_SOCKET &&
        (getsockname(client, reinterpret_cast<sockaddr *>(&mine), &mine_len) != 0 ||
         mine.sin_port != peer.sin_port || !set_nonblocking(server) || !set_nonblocking(client))) {
      closesocket(server);
      server = INVALID_SOCKET;
    }
  }
  closesocket(as_socket(listener));
  if (server == INVALID_SOCKET) {
    if (client != INVALID_SOCKET) closesocket(client);
    return false;
  }
  SetHandleInformation(reinterpret_cast<HANDLE>(server), HANDLE_FLAG_INHERIT, 0);
  out[0] = static_cast<tq_socket>(client);
  out[1] = static_cast<tq_socket>(server);
  return true;
}

void sock_shutdown_send(tq_socket sock) {
  shutdown(as_socket(sock), SD_SEND);
}

void sock_close_reset(tq_socket sock) {
  linger lg = {1, 0};
  setsockopt(as_socket(sock), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&lg),
             sizeof lg);
  closesocket(as_socket(sock));
}

bool sock_is_open(tq_socket sock) {
  int type = 0;
  int len = sizeof type;
  return getsockopt(as_socket(sock), SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type), &len) ==
         0;
}

bool sock_recv_sees_reset() {
  static const bool sees = [] {
    tq_socket p[2];
    if (!sock_pair(p)) return true;  // cannot tell: let the tests run and say
    sock_close_reset(p[1]);
    sock_waiter w = {p[0], SOCK_IN, false};
    char byte;
    const bool failed = sock_wait(&w, 1, 2000) == 1 && recv(as_socket(p[0]), &byte, 1, 0) < 0;
    closesocket(as_socket(p[0]));
    return failed;
  }();
  return sees;
}

int sock_wait(sock_waiter *w, size_t n, int timeout_ms) {
  // WSAPoll takes only real sockets: the ignored entries are left out.
  std::vector<WSAPOLLFD> p;
  std::vector<size_t> from;
  for (size_t i = 0; i < n; i++) {
    w[i].ready = false;
    if (w[i].sock == TQ_NO_SOCKET) continue;
    WSAPOLLFD e = {};
    e.fd = as_socket(w[i].sock);
    e.events = static_cast<short>(((w[i].events & SOCK_IN) ? POLLRDNORM : 0) |
                                  ((w[i].events & SOCK_OUT) ? POLLWRNORM : 0));
    p.push_back(e);
    from.push_back(i);
  }
  if (p.empty()) {
    // WSAPoll refuses an empty set; a pause is what the caller asked for.
    if (timeout_ms < 0) return -1;
    Sleep(static_cast<DWORD>(timeout_ms));
    return 0;
  }
  for (;;) {
    int r = WSAPoll(p.data(), static_cast<ULONG>(p.size()), timeout_ms);
    if (r == SOCKET_ERROR && WSAGetLastError() == WSAEINTR) continue;
    if (r == SOCKET_ERROR) return -1;
    for (size_t k = 0; k < p.size(); k++) w[from[k]].ready = p[k].revents != 0;
    return r;
  }
}

}  // namespace ws_test
