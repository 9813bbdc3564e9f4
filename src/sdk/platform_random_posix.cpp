// getrandom(2): no file descriptor to open or leak, no seeding to get wrong.
#include "sdk/platform_random.h"

#include <sys/random.h>

#include <cerrno>

int tq_platform_random(void *buf, size_t len) {
  unsigned char *p = static_cast<unsigned char *>(buf);
  size_t done = 0;
  while (done < len) {
    // Requests above 256 bytes may come back short; a signal may interrupt.
    ssize_t n = getrandom(p + done, len - done, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (n == 0) return -1;
    done += static_cast<size_t>(n);
  }
  return 0;
}
