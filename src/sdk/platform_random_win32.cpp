// BCryptGenRandom with the system's preferred generator: no provider handle
// to open or leak, no seeding to get wrong.
#include "sdk/platform_random.h"

#include <windows.h>
// bcrypt.h needs the types of windows.h.
#include <bcrypt.h>

#include <climits>

int tq_platform_random(void *buf, size_t len) {
  unsigned char *p = static_cast<unsigned char *>(buf);
  // One call takes a ULONG count; larger requests go in pieces.
  while (len > 0) {
    ULONG n = len > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(len);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, p, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return -1;
    p += n;
    len -= n;
  }
  return 0;
}
