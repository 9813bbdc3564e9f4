// Name resolution and address literals: getaddrinfo and inet_pton behave
// alike on POSIX and on Winsock, so both systems share this one source.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sdk/platform.h"
#include "sdk/platform_sockets.h"

int tq_plat_resolve(const char *host, int port, tq_plat_addrs **out) {
  *out = nullptr;
  tq_plat_sockets_start();
  char service[16];
  snprintf(service, sizeof service, "%d", port);

  addrinfo hints = {};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo *head = nullptr;
  if (getaddrinfo(host, service, &hints, &head) != 0) return -1;
  if (head == nullptr) return -1;

  auto *list = static_cast<tq_plat_addrs *>(malloc(sizeof(tq_plat_addrs)));
  if (list == nullptr) {
    freeaddrinfo(head);
    return -1;
  }
  list->head = head;
  list->count = 0;
  for (const addrinfo *ai = head; ai != nullptr; ai = ai->ai_next) list->count++;
  *out = list;
  return 0;
}

const addrinfo *tq_plat_candidate(const tq_plat_addrs *addrs, size_t i) {
  if (addrs == nullptr) return nullptr;
  const addrinfo *ai = addrs->head;
  for (size_t k = 0; k < i && ai != nullptr; k++) ai = ai->ai_next;
  return ai;
}

size_t tq_plat_addrs_count(const tq_plat_addrs *addrs) {
  return addrs ? addrs->count : 0;
}

int tq_plat_addrs_family(const tq_plat_addrs *addrs, size_t i) {
  const addrinfo *ai = tq_plat_candidate(addrs, i);
  return ai ? ai->ai_family : -1;
}

void tq_plat_addrs_free(tq_plat_addrs *addrs) {
  if (addrs == nullptr) return;
  if (addrs->head) freeaddrinfo(addrs->head);
  free(addrs);
}

size_t tq_plat_parse_ip(const char *text, unsigned char out[16]) {
  if (text == nullptr) return 0;
  tq_plat_sockets_start();
  if (inet_pton(AF_INET, text, out) == 1) return 4;
  if (inet_pton(AF_INET6, text, out) == 1) return 16;
  return 0;
}

size_t tq_plat_addrs_ip(const tq_plat_addrs *addrs, size_t i, unsigned char out[16]) {
  const addrinfo *ai = tq_plat_candidate(addrs, i);
  if (ai == nullptr) return 0;
  if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(sockaddr_in)) {
    const auto *sin = reinterpret_cast<const sockaddr_in *>(ai->ai_addr);
    memcpy(out, &sin->sin_addr, 4);
    return 4;
  }
  if (ai->ai_family == AF_INET6 && ai->ai_addrlen >= sizeof(sockaddr_in6)) {
    const auto *sin6 = reinterpret_cast<const sockaddr_in6 *>(ai->ai_addr);
    memcpy(out, &sin6->sin6_addr, 16);
    return 16;
  }
  return 0;
}
