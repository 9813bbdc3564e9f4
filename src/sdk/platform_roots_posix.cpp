// POSIX keeps no root store apart from its bundle files, which the anchor
// loader reads by path.
#include "sdk/platform_roots.h"

void tq_platform_store_roots(tq_root_sink, void *) {}
