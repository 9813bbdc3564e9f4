// The parts of the folder rules that are the same on every system; the
// rules themselves and the file primitives live in the per-system twins.
#include <cstdio>
#include <cstring>

#include "config/ws_config.h"
#include "config/ws_config_internal.h"

int ws_make_folder(char *dst, size_t size, const char *base, const char *rest) {
  char area[WS_CONFIG_MAX_PATH];
  int n = snprintf(area, sizeof area, "%s%s", base, rest);
  if (n < 0 || static_cast<size_t>(n) >= sizeof area || static_cast<size_t>(n) >= size) {
    dst[0] = '\0';
    return -1;
  }
  memcpy(dst, area, static_cast<size_t>(n) + 1);
  if (ws_mkdir_p(dst) == 0) return 0;
  dst[0] = '\0';
  return -1;
}

int ws_config_dir(char *dst, size_t size) {
  return ws_config_dir_at("/workspace", dst, size);
}
