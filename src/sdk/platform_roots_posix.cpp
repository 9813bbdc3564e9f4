// POSIX keeps no root store apart from its bundle files, which the anchor
// loader reads by path.
#include "sdk/platform_roots.h"

#include <cstdlib>

void tq_platform_store_roots(tq_root_sink, void *) {}

FILE *tq_platform_open_named_file(const char *name, bool *named) {
  const char *path = getenv(name);
  *named = path != nullptr && path[0] != '\0';
  return *named ? fopen(path, "rb") : nullptr;
}
