// The few socket calls the tests' own servers and peers make, over either
// system's sockets (POSIX descriptors or Winsock handles), so that one test
// source serves both. Sending, receiving, closing and the last error are the
// SDK's own (tq_plat_send, tq_plat_recv, tq_plat_close,
// tq_platform_last_error); everything here adds what only a server or a test
// needs. Every socket made here is non-blocking and not inherited by child
// processes; all addresses are 127.0.0.1.
#pragma once

#include <cstddef>

#include "sdk/platform.h"

namespace ws_test {

// Socket errors as the SDK's diagnostics print them: errno values on POSIX,
// Winsock's codes on Windows.
extern const int SOCK_ERR_CONNRESET;
extern const int SOCK_ERR_CONNREFUSED;
extern const int SOCK_ERR_NETUNREACH;
// A send on a connection the peer has ended (EPIPE on POSIX).
extern const int SOCK_ERR_PIPE;

// Starts the system's sockets once per process (Winsock); false when they
// cannot be used. Every function below calls it itself.
bool sockets_start();

// A TCP socket bound to 127.0.0.1 on a kernel-chosen port (*port), not yet
// listening, or TQ_NO_SOCKET.
tq_socket sock_bind_loopback(int *port);
bool sock_listen(tq_socket sock, int backlog);
// The next pending connection, or TQ_NO_SOCKET when there is none yet.
tq_socket sock_accept(tq_socket listener);
// Starts a connect to 127.0.0.1:port; TQ_NO_SOCKET when it failed up front.
tq_socket sock_connect_loopback(int port);
// A connected pair of stream sockets (a socket pair, or two ends of a
// loopback TCP connection where the system has no socket pairs).
bool sock_pair(tq_socket out[2]);

// Sends FIN after everything queued; the socket stays open for reading.
void sock_shutdown_send(tq_socket sock);
// Abortive close (SO_LINGER 0): the peer sees a connection reset.
void sock_close_reset(tq_socket sock);
// True while sock names an open socket.
bool sock_is_open(tq_socket sock);

// Whether a recv on a connection the peer reset fails, as it does on Linux
// and Windows. Wine reports such a connection as closed in order (recv
// gives 0), so tests of the reset path skip there. Found out once, on a
// socket pair.
bool sock_recv_sees_reset();

enum sock_events : short { SOCK_IN = 1, SOCK_OUT = 2 };
struct sock_waiter {
  tq_socket sock;  // TQ_NO_SOCKET: ignored
  short events;    // SOCK_IN, SOCK_OUT or both
  bool ready;      // set: one of events, an error or a hang-up happened
};
// Waits until one of n sockets is ready or timeout_ms passes (-1: no limit).
// The number ready, 0 on a time-out, -1 on failure; interrupted waits are
// resumed.
int sock_wait(sock_waiter *w, size_t n, int timeout_ms);

}  // namespace ws_test
