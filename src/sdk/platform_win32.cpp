// Windows implementation of the platform layer: Winsock 2, select and a
// monotonic millisecond clock.
#include <fcntl.h>
#include <io.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sdk/platform.h"
#include "sdk/platform_sockets.h"

namespace {

// Longest single select; a longer deadline is reported as not ready after it.
constexpr int64_t kMaxWaitMs = 30000;

SOCKET as_socket(tq_socket sock) {
  return static_cast<SOCKET>(sock);
}

int clamp_int(size_t len) {
  return len > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(len);
}

}  // namespace

// Winsock must be started before the first resolver or socket call. A
// function-local static starts it exactly once, also when several threads
// reach it together; it is never shut down (the process ends instead).
void tq_plat_sockets_start(void) {
  static const bool started = [] {
    WSADATA data;
    // The result is not examined: a failed start-up shows as failing
    // resolver and socket calls, which report it.
    WSAStartup(MAKEWORD(2, 2), &data);
    return true;
  }();
  (void)started;
}

// select waits on sockets only, so a wake-up handle is one: a UDP socket on
// loopback connected to itself, readable while a datagram it sent to itself
// is queued.
struct tq_plat_wake {
  SOCKET sock;
};

namespace {

// The handle this thread's waits consult. Per thread, because a wait has no
// other way to learn which exchange it serves, and the connection record
// stays as it is.
thread_local tq_plat_wake *t_wake = nullptr;

}  // namespace

void tq_platform_startup(void) {
  // Without this the C run-time turns every "\n" written into "\r\n" and
  // drops carriage returns and stops at a 0x1A byte when reading. Standard
  // error too: its diagnostic lines end in a bare newline like the others.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stdin), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

int64_t tq_platform_now_ms(void) {
  // The performance counter never jumps with the wall clock; split the
  // division so that ticks * 1000 cannot overflow.
  static const int64_t freq = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<int64_t>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  const int64_t t = now.QuadPart;
  return (t / freq) * 1000 + (t % freq) * 1000 / freq;
}

int tq_platform_last_error(void) {
  return WSAGetLastError();
}

void tq_platform_diag(const char *fmt, ...) {
  char line[1024];
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n);
  if (len >= sizeof line) {
    len = sizeof line - 1;
    line[len - 1] = '\n';
  }
  // Whatever stdio still holds for standard error goes first, so the order
  // of lines stays the order they were written in.
  fflush(stderr);
  // One write call per line: the C run-time locks the descriptor for it, so
  // lines of threads running at once never interleave.
  (void)_write(2, line, static_cast<unsigned>(len));
}

// --- sockets ----------------------------------------------------------------

tq_socket tq_plat_socket_for(const tq_plat_addrs *addrs, size_t i) {
  const addrinfo *ai = tq_plat_candidate(addrs, i);
  if (ai == nullptr) return TQ_NO_SOCKET;
  tq_plat_sockets_start();
  // Not inherited by child processes, as SOCK_CLOEXEC on POSIX.
  SOCKET s = WSASocketW(ai->ai_family, ai->ai_socktype, ai->ai_protocol, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return TQ_NO_SOCKET;
  u_long on = 1;
  if (ioctlsocket(s, FIONBIO, &on) != 0) {
    int saved = WSAGetLastError();
    closesocket(s);
    WSASetLastError(saved);
    return TQ_NO_SOCKET;
  }
  // Small TLS records and the request follow one another; with Nagle's
  // algorithm each would wait for the peer's delayed acknowledgement. A
  // socket that refuses the option still works.
  const BOOL one = TRUE;
  setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
  return static_cast<tq_socket>(s);
}

int tq_plat_connect_start(tq_socket sock, const tq_plat_addrs *addrs, size_t i) {
  const addrinfo *ai = tq_plat_candidate(addrs, i);
  if (ai == nullptr) {
    WSASetLastError(WSAEINVAL);
    return -1;
  }
  if (connect(as_socket(sock), ai->ai_addr, static_cast<int>(ai->ai_addrlen)) == 0) return 0;
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
}

int tq_plat_socket_error(tq_socket sock, int *so_error) {
  int value = 0;
  int len = sizeof value;
  if (getsockopt(as_socket(sock), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&value), &len) !=
      0) {
    return -1;
  }
  *so_error = value;
  return 0;
}

int tq_plat_wait(tq_socket sock, tq_plat_wait_kind kind, int64_t deadline_ms) {
  const SOCKET s = as_socket(sock);
  for (;;) {
    int64_t left = deadline_ms - tq_platform_now_ms();
    if (left <= 0) return 0;
    if (left > kMaxWaitMs) left = kMaxWaitMs;

    fd_set readable;
    fd_set writable;
    fd_set failed;
    FD_ZERO(&readable);
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(s, kind == TQ_PLAT_READABLE ? &readable : &writable);
    // A non-blocking connect that fails is reported in the exception set,
    // never as writable; it counts as ready so that SO_ERROR tells why.
    FD_SET(s, &failed);
    const tq_plat_wake *wake = t_wake;
    if (wake != nullptr) FD_SET(wake->sock, &readable);
    timeval tv;
    tv.tv_sec = static_cast<long>(left / 1000);
    tv.tv_usec = static_cast<long>((left % 1000) * 1000);
    int r = select(0, &readable, kind == TQ_PLAT_WRITABLE ? &writable : nullptr, &failed, &tv);
    if (r > 0) return wake != nullptr && FD_ISSET(wake->sock, &readable) ? 0 : 1;
    if (r == 0) return 0;
    if (WSAGetLastError() != WSAEINTR) return 0;
  }
}

ptrdiff_t tq_plat_send(tq_socket sock, const void *data, size_t len) {
  int n = send(as_socket(sock), static_cast<const char *>(data), clamp_int(len), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

ptrdiff_t tq_plat_recv(tq_socket sock, void *buf, size_t len) {
  int n = recv(as_socket(sock), static_cast<char *>(buf), clamp_int(len), 0);
  return n == SOCKET_ERROR ? -1 : n;
}

bool tq_plat_error_is_transient(int error) {
  return error == WSAEWOULDBLOCK || error == WSAEINTR;
}

void tq_plat_close(tq_socket sock) {
  if (sock != TQ_NO_SOCKET) closesocket(as_socket(sock));
}

// --- wake-up handles --------------------------------------------------------

tq_plat_wake *tq_plat_wake_new(void) {
  tq_plat_sockets_start();
  SOCKET s = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT);
  if (s == INVALID_SOCKET) return nullptr;
  sockaddr_in self = {};
  self.sin_family = AF_INET;
  self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int self_len = sizeof self;
  u_long on = 1;
  // Bound to a port of its own and connected to it: only its own datagrams
  // arrive, and never block the signalling thread.
  const bool ok = bind(s, reinterpret_cast<sockaddr *>(&self), sizeof self) == 0 &&
                  getsockname(s, reinterpret_cast<sockaddr *>(&self), &self_len) == 0 &&
                  connect(s, reinterpret_cast<sockaddr *>(&self), self_len) == 0 &&
                  ioctlsocket(s, FIONBIO, &on) == 0;
  auto *wake = ok ? static_cast<tq_plat_wake *>(malloc(sizeof(tq_plat_wake))) : nullptr;
  if (wake == nullptr) {
    closesocket(s);
    return nullptr;
  }
  wake->sock = s;
  return wake;
}

void tq_plat_wake_free(tq_plat_wake *wake) {
  if (wake == nullptr) return;
  closesocket(wake->sock);
  free(wake);
}

void tq_plat_wake_signal(tq_plat_wake *wake) {
  if (wake == nullptr) return;
  // A full queue refuses the datagram (WSAEWOULDBLOCK) but is itself the
  // signal, so the result does not matter.
  const char one = 1;
  (void)send(wake->sock, &one, 1, 0);
}

void tq_plat_wake_clear(tq_plat_wake *wake) {
  if (wake == nullptr) return;
  // Every queued datagram, until the socket reports none (WSAEWOULDBLOCK).
  char byte;
  while (recv(wake->sock, &byte, 1, 0) != SOCKET_ERROR) {
  }
}

void tq_plat_wake_adopt(tq_plat_wake *wake) {
  t_wake = wake;
}
