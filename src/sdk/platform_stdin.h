// Standard input with a deadline, for a request body that a client may
// announce and never send. Beside platform.h; a Windows twin replaces the
// POSIX file alone.
#pragma once

#include <cstddef>
#include <cstdint>

// Reads up to len bytes of standard input, waiting no later than
// deadline_ms on the tq_platform_now_ms clock. The byte count (> 0); 0 at
// the end of input; -1 when the deadline passed first or reading failed.
// Interrupted waits and reads are resumed.
ptrdiff_t tq_plat_stdin_read(void *buf, size_t len, int64_t deadline_ms);
