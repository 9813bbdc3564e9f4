// What the platform layer's own files share about sockets: the system's
// socket headers, the resolved address list behind tq_plat_addrs, and
// Winsock's start-up. Nothing above the platform layer includes it.
#pragma once

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

#include <cstddef>

#include "sdk/platform.h"

struct tq_plat_addrs {
  addrinfo *head;  // getaddrinfo's list, freed with freeaddrinfo
  size_t count;
};

// Candidate i of the list, or NULL past its end.
const addrinfo *tq_plat_candidate(const tq_plat_addrs *addrs, size_t i);

// Starts the system's sockets before the first resolver or socket call:
// Winsock once per process on Windows, nothing on POSIX.
void tq_plat_sockets_start(void);
