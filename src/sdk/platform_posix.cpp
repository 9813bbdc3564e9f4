// POSIX implementation of the platform layer: BSD sockets, poll and the
// monotonic clock.
#include <fcntl.h>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "sdk/platform.h"

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

struct tq_plat_addrs {
  addrinfo *head;
  size_t count;
};

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

// --- name resolution --------------------------------------------------------

int tq_plat_resolve(const char *host, int port, tq_plat_addrs **out) {
  *out = nullptr;
  char service[16];
  snprintf(service, sizeof service, "%d", port);

  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *head = nullptr;
  if (getaddrinfo(host, service, &hints, &head) != 0) return -1;
  if (head == nullptr) return -1;

  auto *list = static_cast<tq_plat_addrs *>(malloc(sizeof(tq_plat_addrs)));
  if (list == nullptr) {
    freeaddrinfo(head);
    return -1;
  }
  list->head = head;
  list->count = 0;
  for (const addrinfo *ai = head; ai != nullptr; ai = ai->ai_next) list->count++;
  *out = list;
  return 0;
}

static const addrinfo *candidate(const tq_plat_addrs *addrs, size_t i) {
  const addrinfo *ai = addrs->head;
  for (size_t k = 0; k < i && ai != nullptr; k++) ai = ai->ai_next;
  return ai;
}

size_t tq_plat_addrs_count(const tq_plat_addrs *addrs) {
  return addrs ? addrs->count : 0;
}

int tq_plat_addrs_family(const tq_plat_addrs *addrs, size_t i) {
  const addrinfo *ai = candidate(addrs, i);
  return ai ? ai->ai_family : -1;
}

void tq_plat_addrs_free(tq_plat_addrs *addrs) {
  if (addrs == nullptr) return;
  if (addrs->head) freeaddrinfo(addrs->head);
  free(addrs);
}

// --- sockets ----------------------------------------------------------------

tq_socket tq_plat_socket_for(const tq_plat_addrs *addrs, size_t i) {
  const addrinfo *ai = candidate(addrs, i);
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
  const addrinfo *ai = candidate(addrs, i);
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

    pollfd p = {};
    p.fd = sock;
    p.events = kind == TQ_PLAT_READABLE ? POLLIN : POLLOUT;
    int r = poll(&p, 1, static_cast<int>(left));
    if (r > 0) return 1;
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
