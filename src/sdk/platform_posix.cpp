// POSIX implementation of the platform layer: BSD sockets, poll and the
// monotonic clock.
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sdk/platform.h"
#include "sdk/platform_sockets.h"

namespace {

// Longest single poll; a longer deadline is reported as not ready after it.
constexpr int64_t kMaxWaitMs = 30000;

#ifdef __GLIBC__
// Free heap kept at the top rather than returned, and the size from which a
// block gets its own mapping (glibc's default, now fixed).
constexpr int kKeepHeapBytes = 1 << 20;
constexpr int kOwnMapBytes = 128 * 1024;
#endif

}  // namespace

// An eventfd: readable while signalled, so poll watches it beside the socket.
struct tq_plat_wake {
  int fd;
};

namespace {

// The handle this thread's waits consult. Per thread, because a wait has no
// other way to learn which exchange it serves, and the connection record
// stays as it is.
thread_local tq_plat_wake *t_wake = nullptr;

}  // namespace

void tq_plat_sockets_start(void) {}

void tq_platform_startup(void) {
  struct sigaction sa = {};
  sa.sa_handler = SIG_IGN;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGPIPE, &sa, nullptr);
#ifdef __GLIBC__
  // Every search frees a few hundred KiB at the top of the heap. By default
  // glibc hands that back to the kernel each time, and the next search takes
  // it again, page faults included: that cost three times the whole MCP
  // session's own work. Up to 1 MiB of free heap is kept for the next
  // request instead; blocks of 128 KiB and more (bodies, the MCP line) still
  // come from mmap and go straight back, so memory stays flat.
  mallopt(M_TRIM_THRESHOLD, kKeepHeapBytes);
  mallopt(M_MMAP_THRESHOLD, kOwnMapBytes);
#endif
}

int64_t tq_platform_now_ms(void) {
  struct timespec ts = {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + static_cast<int64_t>(ts.tv_nsec / 1000000);
}

int tq_platform_last_error(void) {
  return errno;
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
  // One write of less than PIPE_BUF bytes: never split, never interleaved.
  ssize_t w;
  do {
    w = write(2, line, len);
  } while (w < 0 && errno == EINTR);
}

// --- sockets ----------------------------------------------------------------

tq_socket tq_plat_socket_for(const tq_plat_addrs *addrs, size_t i) {
  const addrinfo *ai = tq_plat_candidate(addrs, i);
  if (ai == nullptr) return TQ_NO_SOCKET;
  int fd = socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC, ai->ai_protocol);
  if (fd < 0) return TQ_NO_SOCKET;
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
    int saved = errno;
    close(fd);
    errno = saved;
    return TQ_NO_SOCKET;
  }
  // A TLS handshake ends with small records written one after the other,
  // and the request follows them: with Nagle's algorithm each waited for
  // the peer's delayed acknowledgement, 40 ms a time on a resumed session.
  // Every piece the SDK writes is already whole, so nothing is gained by
  // holding one back. A socket that refuses the option still works.
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

int tq_plat_connect_start(tq_socket sock, const tq_plat_addrs *addrs, size_t i) {
  const addrinfo *ai = tq_plat_candidate(addrs, i);
  if (ai == nullptr) {
    errno = EINVAL;
    return -1;
  }
  if (connect(sock, ai->ai_addr, ai->ai_addrlen) == 0) return 0;
  return errno == EINPROGRESS ? 0 : -1;
}

int tq_plat_socket_error(tq_socket sock, int *so_error) {
  int value = 0;
  socklen_t len = sizeof value;
  if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &value, &len) != 0) return -1;
  *so_error = value;
  return 0;
}

int tq_plat_wait(tq_socket sock, tq_plat_wait_kind kind, int64_t deadline_ms) {
  for (;;) {
    int64_t left = deadline_ms - tq_platform_now_ms();
    if (left <= 0) return 0;
    if (left > kMaxWaitMs) left = kMaxWaitMs;

    pollfd p[2] = {};
    p[0].fd = sock;
    p[0].events = kind == TQ_PLAT_READABLE ? POLLIN : POLLOUT;
    nfds_t n = 1;
    if (t_wake != nullptr) {
      p[1].fd = t_wake->fd;
      p[1].events = POLLIN;
      n = 2;
    }
    int r = poll(p, n, static_cast<int>(left));
    if (r > 0) return n == 2 && p[1].revents != 0 ? 0 : 1;
    if (r == 0) return 0;
    if (errno != EINTR) return 0;
  }
}

ptrdiff_t tq_plat_send(tq_socket sock, const void *data, size_t len) {
  return send(sock, data, len, MSG_NOSIGNAL);
}

ptrdiff_t tq_plat_recv(tq_socket sock, void *buf, size_t len) {
  return recv(sock, buf, len, 0);
}

bool tq_plat_error_is_transient(int error) {
  return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

void tq_plat_close(tq_socket sock) {
  if (sock != TQ_NO_SOCKET) close(sock);
}

// --- wake-up handles --------------------------------------------------------

tq_plat_wake *tq_plat_wake_new(void) {
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return nullptr;
  auto *wake = static_cast<tq_plat_wake *>(malloc(sizeof(tq_plat_wake)));
  if (wake == nullptr) {
    close(fd);
    return nullptr;
  }
  wake->fd = fd;
  return wake;
}

void tq_plat_wake_free(tq_plat_wake *wake) {
  if (wake == nullptr) return;
  close(wake->fd);
  free(wake);
}

void tq_plat_wake_signal(tq_plat_wake *wake) {
  if (wake == nullptr) return;
  const uint64_t one = 1;
  // The counter only saturates after 2^64 - 2 signals; a failed write
  // (EAGAIN then) leaves it signalled all the same.
  ssize_t w;
  do {
    w = write(wake->fd, &one, sizeof one);
  } while (w < 0 && errno == EINTR);
}

void tq_plat_wake_clear(tq_plat_wake *wake) {
  if (wake == nullptr) return;
  uint64_t count = 0;
  ssize_t r;
  do {
    r = read(wake->fd, &count, sizeof count);  // non-blocking: EAGAIN when not signalled
  } while (r < 0 && errno == EINTR);
}

void tq_plat_wake_adopt(tq_plat_wake *wake) {
  t_wake = wake;
}
