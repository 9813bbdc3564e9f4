// Unpredictable bytes from the operating system, for WebSocket keys and
// frame masks (RFC 6455 wants masks a peer cannot guess, which rand() is not).
#pragma once

#include <cstddef>

// Fills buf[0..len) from the kernel's random source. 0 on success; -1 when
// the source cannot deliver (buf is then left in an unspecified state).
// Needs no seeding and may block only before the kernel's pool is first
// initialised, early in boot.
int tq_platform_random(void *buf, size_t len);
