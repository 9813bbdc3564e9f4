// plugin_websearch: a thin entry over the core library.
#include "plugin/ws_modes.h"
#include "sdk/platform.h"

int main(int argc, char **argv) {
  tq_platform_startup();
  return ws_main(argc, argv);
}
