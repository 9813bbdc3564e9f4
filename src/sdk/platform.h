// The only place that knows the operating system's sockets, clock and
// process start-up. Everything above it speaks in these terms, so a Windows
// twin of platform_posix.cpp can be added without touching the rest.
#pragma once

#include <cstddef>
#include <cstdint>

using tq_socket = int;
constexpr tq_socket TQ_NO_SOCKET = -1;

// Process start-up for the executable: SIGPIPE ignored (a peer that closes
// must never kill the process). POSIX streams never translate newlines, so
// there is no binary-mode switch to make.
void tq_platform_startup(void);

// Monotonic clock in milliseconds.
int64_t tq_platform_now_ms(void);

// Last socket error of this thread (errno on POSIX), for diagnostics.
int tq_platform_last_error(void);
