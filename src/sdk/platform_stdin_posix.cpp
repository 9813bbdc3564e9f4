// POSIX standard input with a deadline: poll, then one read.
#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include "sdk/platform.h"
#include "sdk/platform_stdin.h"

ptrdiff_t tq_plat_stdin_read(void *buf, size_t len, int64_t deadline_ms) {
  if (len == 0) return 0;
  for (;;) {
    const int64_t left = deadline_ms - tq_platform_now_ms();
    if (left <= 0) return -1;
    pollfd p = {};
    p.fd = STDIN_FILENO;
    p.events = POLLIN;
    const int r = poll(&p, 1, left > 30000 ? 30000 : static_cast<int>(left));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) continue;  // the loop head decides whether time is up
    // Readable, at its end, or in error: read says which.
    const ssize_t n = read(STDIN_FILENO, buf, len);
    if (n >= 0) return n;
    if (errno == EINTR || errno == EAGAIN) continue;
    return -1;
  }
}
