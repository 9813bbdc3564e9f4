// Arbitrary bytes as a proxy's whole answer to the SDK's handshake: the
// CONNECT answer head and the SOCKS5 replies must never be read out of
// bounds, must end on every input (at the latest at the deadline), must
// leave the receive buffer empty, and no message may show the password.
//
// Input: one control byte, then the answer. The low two bits of the control
// byte pick the handshake: 0 CONNECT, 1 CONNECT with credentials, 2 SOCKS5
// to a name, 3 SOCKS5 with credentials to an IPv6 address.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sdk/tq_proxy.h"

#include "canned_peer.h"

namespace {

constexpr char kPassword[] = "fuzz-secret-pw";

void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "fuzz_proxy_answer: %s\n", what);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const int mode = data[0] & 3;
  data++;
  size--;
  fuzz::canned_peer peer;
  if (!peer.open(data, size, 443)) return 0;
  tq_conn &c = peer.conn;
  tq_conn_guard guard(&c);

  tq_proxy p;
  memset(&p, 0, sizeof p);
  snprintf(p.host, sizeof p.host, "proxy.test");
  p.port = 1080;
  snprintf(p.where, sizeof p.where, "proxy.test:1080");
  if (mode == 1 || mode == 3) {
    p.has_auth = 1;
    snprintf(p.user, sizeof p.user, "fuzz-user");
    snprintf(p.password, sizeof p.password, "%s", kPassword);
  }

  char err[512];
  memset(err, 'E', sizeof err);
  err[0] = '\0';
  const int64_t deadline = tq_now_ms() + 1000;
  int rc;
  if (mode < 2) {
    p.kind = TQ_PROXY_HTTP;
    rc = tq_proxy_http_tunnel(&c, &p, c.host, c.port, deadline, err, sizeof err);
  } else {
    p.kind = mode == 2 ? TQ_PROXY_SOCKS5H : TQ_PROXY_SOCKS5;
    static const unsigned char kV6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    rc = mode == 2 ? tq_proxy_socks5(&c, &p, c.host, nullptr, 0, c.port, deadline, err, sizeof err)
                   : tq_proxy_socks5(&c, &p, nullptr, kV6, 16, c.port, deadline, err, sizeof err);
  }
  check(rc == 0 || rc == -1 || rc == -2, "unknown result");
  check(memchr(err, '\0', sizeof err) != nullptr, "message not terminated");
  check((rc == 0) == (err[0] == '\0'), "message and result disagree");
  check(strstr(err, kPassword) == nullptr, "password in the message");
  if (rc == 0) check(c.rpos == 0 && c.rlen == 0, "receive buffer not empty after the handshake");
  return 0;
}
