// Whether config.json changed since it was read: lets a long-running server
// pick up settings saved by the page without a restart.
#include "config/ws_config.h"
#include "config/ws_config_internal.h"

void ws_config_stamp_now(ws_config_stamp *out) {
  if (out == nullptr) return;
  *out = {};
  char path[1200];
  if (ws_config_path(path, sizeof path) != 0) return;
  (void)ws_file_stamp(path, out);  // a missing file stamps as absent
}

int ws_config_stamp_equal(const ws_config_stamp *a, const ws_config_stamp *b) {
  if (a == nullptr || b == nullptr) return 0;
  if (a->present != b->present) return 0;
  if (!a->present) return 1;
  return a->dev == b->dev && a->ino == b->ino && a->size == b->size && a->mtime_ns == b->mtime_ns;
}
