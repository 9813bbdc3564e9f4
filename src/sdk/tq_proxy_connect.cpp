// Opening a connection through a proxy: reaching the proxy within the
// connect budget, then the HTTP CONNECT or SOCKS5 handshake over the
// connection's own send and refill primitives, so that the same waits and
// deadlines apply as on the direct path.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sdk/platform.h"
#include "sdk/tq_proxy.h"
#include "sdk/tq_url.h"

namespace {

constexpr int kDefaultConnectBudgetMs = 10000;
// When reaching the proxy used up the budget, its answer still gets this long.
constexpr int64_t kHandshakeFloorMs = 1000;
constexpr size_t kReplyHeadMax = 8192;  // a CONNECT answer's head, blank line included
constexpr size_t kConnectRequestSize = 2048;

constexpr unsigned char kSocksVersion = 5;
constexpr unsigned char kSocksNoAuth = 0x00;
constexpr unsigned char kSocksUserPass = 0x02;
constexpr unsigned char kSocksNoAcceptable = 0xFF;
constexpr unsigned char kSocksUserPassVersion = 1;
constexpr unsigned char kSocksConnect = 1;
constexpr unsigned char kSocksIPv4 = 1;
constexpr unsigned char kSocksDomain = 3;
constexpr unsigned char kSocksIPv6 = 4;

bool verbose(void) {
  return getenv("TQ_VERBOSE") != nullptr;
}

void wipe(void *p, size_t n) {
  volatile unsigned char *v = static_cast<volatile unsigned char *>(p);
  for (size_t i = 0; i < n; i++) v[i] = 0;
}

// Wipes a buffer that held a secret when the scope ends, on every path.
struct wipe_guard {
  void *p;
  size_t n;
  wipe_guard(void *ptr, size_t len) : p(ptr), n(len) {}
  wipe_guard(const wipe_guard &) = delete;
  wipe_guard &operator=(const wipe_guard &) = delete;
  ~wipe_guard() { wipe(p, n); }
};

int ms_until(int64_t deadline_ms) {
  const int64_t left = deadline_ms - tq_now_ms();
  if (left < 1) return 1;
  return left > 0x7fffffff ? 0x7fffffff : static_cast<int>(left);
}

// Base64 of in[0..n) into out[out_size]; false when it does not fit.
bool base64(const unsigned char *in, size_t n, char *out, size_t out_size) {
  static const char kTable[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if ((n + 2) / 3 * 4 + 1 > out_size) return false;
  size_t o = 0;
  for (size_t i = 0; i < n; i += 3) {
    const unsigned b0 = in[i];
    const unsigned b1 = i + 1 < n ? in[i + 1] : 0;
    const unsigned b2 = i + 2 < n ? in[i + 2] : 0;
    out[o++] = kTable[b0 >> 2];
    out[o++] = kTable[((b0 & 3) << 4) | (b1 >> 4)];
    out[o++] = i + 1 < n ? kTable[((b1 & 15) << 2) | (b2 >> 6)] : '=';
    out[o++] = i + 2 < n ? kTable[b2 & 63] : '=';
  }
  out[o] = '\0';
  return true;
}

// "Basic <base64 of user:password>" into out, or "" without credentials.
bool basic_auth(const tq_proxy *p, char *out, size_t out_size) {
  out[0] = '\0';
  if (!p->has_auth) return true;
  unsigned char pair[sizeof p->user + sizeof p->password];
  wipe_guard pair_wipe(pair, sizeof pair);
  const size_t ulen = strlen(p->user);
  const size_t plen = strlen(p->password);
  memcpy(pair, p->user, ulen);
  pair[ulen] = ':';
  memcpy(pair + ulen + 1, p->password, plen);
  if (out_size < 7) return false;
  memcpy(out, "Basic ", 6);
  return base64(pair, ulen + 1 + plen, out + 6, out_size - 6);
}

// Exactly n bytes from the proxy into out: 1, 0 when it closed first, -1 on
// an error or at the deadline.
int read_exact(tq_conn *conn, unsigned char *out, size_t n, int64_t deadline_ms) {
  size_t got = 0;
  while (got < n) {
    if (conn->rpos >= conn->rlen) {
      const int r = tq_fill(conn, deadline_ms);
      if (r != 1) return r;
    }
    const size_t take = conn->rlen - conn->rpos < n - got ? conn->rlen - conn->rpos : n - got;
    memcpy(out + got, conn->rbuf + conn->rpos, take);
    conn->rpos += take;
    got += take;
  }
  return 1;
}

void report_read(int r, const tq_proxy *p, int64_t deadline_ms, char *err, size_t err_size) {
  if (r == 0) {
    set_err(err, err_size, "proxy %s closed the connection during the handshake", p->where);
  } else if (tq_now_ms() >= deadline_ms) {
    set_err(err, err_size, "proxy %s did not answer in time", p->where);
  } else {
    set_err(err, err_size, "reading from proxy %s failed", p->where);
  }
}

// The proxy's reply must end where its handshake ends: bytes after it would
// belong to the target and be lost under the TLS engine.
int sent_early(const tq_proxy *p, char *err, size_t err_size) {
  set_err(err, err_size, "proxy %s sent data before the tunnel was used", p->where);
  return -1;
}

int expect_drained(tq_conn *conn, const tq_proxy *p, char *err, size_t err_size) {
  const bool extra = conn->rpos < conn->rlen;
  conn->rpos = 0;
  conn->rlen = 0;
  return extra ? sent_early(p, err, err_size) : 0;
}

const char *socks_reply_text(int rep) {
  switch (rep) {
    case 1:
      return "general failure";
    case 2:
      return "connection not allowed by ruleset";
    case 3:
      return "network unreachable";
    case 4:
      return "host unreachable";
    case 5:
      return "connection refused";
    case 6:
      return "TTL expired";
    case 7:
      return "command not supported";
    case 8:
      return "address type not supported";
    default:
      return "unknown error";
  }
}

// Connects conn->sock to the proxy itself.
int reach_proxy(tq_conn *conn, const tq_proxy *p, int64_t deadline_ms, char *err, size_t err_size) {
  char why[256] = "";
  conn->sock = tq_connect_timeout(p->host, p->port, ms_until(deadline_ms), why, sizeof why);
  if (conn->sock != TQ_NO_SOCKET) return 0;
  set_err(err, err_size, "cannot reach proxy %s (%s)", p->where, why);
  return -1;
}

void drop_socket(tq_conn *conn) {
  tq_plat_close(conn->sock);
  conn->sock = TQ_NO_SOCKET;
  conn->rpos = 0;
  conn->rlen = 0;
}

// socks5: the target's name resolved here; each address in turn, with a new
// proxy connection each, until one is reached.
int socks5_local(tq_conn *conn, const tq_proxy *p, int64_t deadline_ms, int64_t handshake_end,
                 char *err, size_t err_size) {
  tq_plat_addrs *addrs = nullptr;
  if (tq_plat_resolve(conn->host, conn->port, &addrs) != 0) {
    set_err(err, err_size, "dns failure for %s", conn->host);
    return -1;
  }
  tq_plat_addrs_guard addrs_guard(addrs);
  const size_t count = tq_plat_addrs_count(addrs);
  int r = -1;
  set_err(err, err_size, "dns failure for %s", conn->host);
  for (size_t i = 0; i < count; i++) {
    unsigned char addr[16];
    const size_t len = tq_plat_addrs_ip(addrs, i, addr);
    if (len == 0) continue;
    if (i > 0 && tq_now_ms() >= deadline_ms) break;
    if (reach_proxy(conn, p, deadline_ms, err, err_size) != 0) return -1;
    r = tq_proxy_socks5(conn, p, nullptr, addr, len, conn->port, handshake_end, err, err_size);
    if (r == 0) return 0;
    drop_socket(conn);
    if (r != -2) return -1;
  }
  return -1;
}

}  // namespace

int tq_proxy_reply_head(const char *buf, size_t len, int *status, size_t *head_len) {
  // The status line: "HTTP/1.x nnn", then anything up to its LF.
  static const char kPrefix[] = "HTTP/1.";
  const size_t check = len < 12 ? len : 12;
  for (size_t i = 0; i < check; i++) {
    const char c = buf[i];
    bool ok;
    if (i < 7) {
      ok = c == kPrefix[i];
    } else if (i == 8) {
      ok = c == ' ';
    } else {
      ok = c >= '0' && c <= '9';
    }
    if (!ok) return -1;
  }
  if (len < 12) return 0;
  if (len > 12 && buf[12] != ' ' && buf[12] != '\r' && buf[12] != '\n') return -1;

  // The head ends at an empty line (CR LF or a bare LF before it).
  for (size_t i = 0; i < len; i++) {
    if (buf[i] != '\n') continue;
    size_t j = i + 1;
    if (j < len && buf[j] == '\r') j++;
    if (j < len && buf[j] == '\n') {
      *status = (buf[9] - '0') * 100 + (buf[10] - '0') * 10 + (buf[11] - '0');
      *head_len = j + 1;
      return 1;
    }
  }
  return 0;
}

int tq_proxy_http_tunnel(tq_conn *conn, const tq_proxy *p, const char *host, int port,
                         int64_t deadline_ms, char *err, size_t err_size) {
  char auth[sizeof conn->proxy_auth];
  wipe_guard auth_wipe(auth, sizeof auth);
  char request[kConnectRequestSize];
  wipe_guard request_wipe(request, sizeof request);
  if (!basic_auth(p, auth, sizeof auth)) {
    set_err(err, err_size, "proxy credentials too long");
    return -1;
  }
  const int n = snprintf(request, sizeof request,
                         "CONNECT %s:%d HTTP/1.1\r\nHost: %s:%d\r\n%s%s%s"
                         "User-Agent: tq-connector-sdk/1.0\r\n\r\n",
                         host, port, host, port, auth[0] ? "Proxy-Authorization: " : "", auth,
                         auth[0] ? "\r\n" : "");
  if (n < 0 || static_cast<size_t>(n) >= sizeof request) {
    set_err(err, err_size, "request too large");
    return -1;
  }
  conn->rpos = 0;
  conn->rlen = 0;
  if (tq_send_all(conn, request, static_cast<size_t>(n), ms_until(deadline_ms), err, err_size) !=
      0) {
    return -1;
  }

  char head[kReplyHeadMax];
  size_t have = 0;
  int status = 0;
  size_t head_len = 0;
  for (;;) {
    if (conn->rpos >= conn->rlen) {
      const int r = tq_fill(conn, deadline_ms);
      if (r != 1) {
        report_read(r, p, deadline_ms, err, err_size);
        return -1;
      }
    }
    const size_t room = sizeof head - have;
    const size_t avail = conn->rlen - conn->rpos;
    const size_t take = avail < room ? avail : room;
    memcpy(head + have, conn->rbuf + conn->rpos, take);
    conn->rpos += take;
    have += take;
    const int r = tq_proxy_reply_head(head, have, &status, &head_len);
    if (r < 0) {
      set_err(err, err_size, "bad answer from proxy %s", p->where);
      return -1;
    }
    if (r == 1) break;
    if (have == sizeof head) {
      set_err(err, err_size, "answer from proxy %s too large", p->where);
      return -1;
    }
  }

  // Whatever follows a refusal (its page) is never read as the target's answer.
  if (status == 407) {
    set_err(err, err_size, "proxy authentication required");
    return -1;
  }
  if (status < 200 || status > 299) {
    set_err(err, err_size, "proxy refused the tunnel: HTTP %d", status);
    return -1;
  }
  const bool surplus = head_len < have || conn->rpos < conn->rlen;
  conn->rpos = 0;
  conn->rlen = 0;
  if (surplus) return sent_early(p, err, err_size);
  return 0;
}

int tq_proxy_socks5(tq_conn *conn, const tq_proxy *p, const char *name, const unsigned char *addr,
                    size_t addr_len, int port, int64_t deadline_ms, char *err, size_t err_size) {
  conn->rpos = 0;
  conn->rlen = 0;
  const int send_ms = ms_until(deadline_ms);

  // Greeting: the methods offered. With credentials both "none" and
  // user/password, as curl does, so that a proxy that wants no login still
  // serves a client configured with one.
  const unsigned char hello_plain[3] = {kSocksVersion, 1, kSocksNoAuth};
  const unsigned char hello_auth[4] = {kSocksVersion, 2, kSocksNoAuth, kSocksUserPass};
  const int sent = p->has_auth
                       ? tq_send_all(conn, hello_auth, sizeof hello_auth, send_ms, err, err_size)
                       : tq_send_all(conn, hello_plain, sizeof hello_plain, send_ms, err, err_size);
  if (sent != 0) return -1;
  unsigned char choice[2];
  int r = read_exact(conn, choice, sizeof choice, deadline_ms);
  if (r != 1) {
    report_read(r, p, deadline_ms, err, err_size);
    return -1;
  }
  if (choice[0] == kSocksVersion && choice[1] == kSocksNoAcceptable) {
    if (p->has_auth) {
      set_err(err, err_size, "proxy %s accepts no authentication method this client offers",
              p->where);
    } else {
      set_err(err, err_size, "proxy authentication required");
    }
    return -1;
  }
  const bool login = choice[1] == kSocksUserPass;
  if (choice[0] != kSocksVersion || (choice[1] != kSocksNoAuth && !(login && p->has_auth))) {
    set_err(err, err_size, "bad answer from proxy %s", p->where);
    return -1;
  }

  if (login) {
    // RFC 1929: version 1, the user name and the password, each 0..255 bytes.
    unsigned char msg[3 + sizeof p->user + sizeof p->password];
    wipe_guard msg_wipe(msg, sizeof msg);
    const size_t ulen = strlen(p->user);
    const size_t plen = strlen(p->password);
    size_t m = 0;
    msg[m++] = kSocksUserPassVersion;
    msg[m++] = static_cast<unsigned char>(ulen);
    memcpy(msg + m, p->user, ulen);
    m += ulen;
    msg[m++] = static_cast<unsigned char>(plen);
    memcpy(msg + m, p->password, plen);
    m += plen;
    if (tq_send_all(conn, msg, m, ms_until(deadline_ms), err, err_size) != 0) return -1;
    unsigned char verdict[2];
    r = read_exact(conn, verdict, sizeof verdict, deadline_ms);
    if (r != 1) {
      report_read(r, p, deadline_ms, err, err_size);
      return -1;
    }
    if (verdict[0] != kSocksUserPassVersion) {
      set_err(err, err_size, "bad answer from proxy %s", p->where);
      return -1;
    }
    if (verdict[1] != 0) {
      set_err(err, err_size, "proxy authentication failed");
      return -1;
    }
  }

  // The request: CONNECT to a name (the proxy resolves it) or an address.
  unsigned char req[6 + 1 + 255];
  size_t q = 0;
  req[q++] = kSocksVersion;
  req[q++] = kSocksConnect;
  req[q++] = 0;
  if (name != nullptr) {
    const size_t nlen = strlen(name);
    if (nlen == 0 || nlen > 255) {
      set_err(err, err_size, "host name too long for a socks5 proxy");
      return -1;
    }
    req[q++] = kSocksDomain;
    req[q++] = static_cast<unsigned char>(nlen);
    memcpy(req + q, name, nlen);
    q += nlen;
  } else if (addr != nullptr && (addr_len == 4 || addr_len == 16)) {
    req[q++] = addr_len == 4 ? kSocksIPv4 : kSocksIPv6;
    memcpy(req + q, addr, addr_len);
    q += addr_len;
  } else {
    set_err(err, err_size, "no address for the socks5 proxy");
    return -1;
  }
  req[q++] = static_cast<unsigned char>((port >> 8) & 0xFF);
  req[q++] = static_cast<unsigned char>(port & 0xFF);
  if (tq_send_all(conn, req, q, ms_until(deadline_ms), err, err_size) != 0) return -1;

  // The reply: version, code, reserved, address type, then the bound
  // address and port, whose length the type gives.
  unsigned char head[4];
  r = read_exact(conn, head, sizeof head, deadline_ms);
  if (r != 1) {
    report_read(r, p, deadline_ms, err, err_size);
    return -1;
  }
  if (head[0] != kSocksVersion) {
    set_err(err, err_size, "bad answer from proxy %s", p->where);
    return -1;
  }
  if (head[1] != 0) {
    set_err(err, err_size, "socks5 proxy %s could not connect: %s (reply %d)", p->where,
            socks_reply_text(head[1]), head[1]);
    return -2;
  }
  size_t rest = 0;
  if (head[3] == kSocksIPv4) {
    rest = 4 + 2;
  } else if (head[3] == kSocksIPv6) {
    rest = 16 + 2;
  } else if (head[3] == kSocksDomain) {
    unsigned char name_len = 0;
    r = read_exact(conn, &name_len, 1, deadline_ms);
    if (r != 1) {
      report_read(r, p, deadline_ms, err, err_size);
      return -1;
    }
    rest = static_cast<size_t>(name_len) + 2;
  } else {
    set_err(err, err_size, "bad answer from proxy %s", p->where);
    return -1;
  }
  unsigned char tail[255 + 2];
  r = read_exact(conn, tail, rest, deadline_ms);
  if (r != 1) {
    report_read(r, p, deadline_ms, err, err_size);
    return -1;
  }
  return expect_drained(conn, p, err, err_size);
}

int tq_conn_dial(tq_conn *conn, int timeout_ms, int tunnel_plain, char *err, size_t err_size) {
  const int64_t start = tq_now_ms();
  const int64_t deadline = start + (timeout_ms > 0 ? timeout_ms : kDefaultConnectBudgetMs);
  conn->sock = TQ_NO_SOCKET;

  tq_proxy p;
  wipe_guard proxy_wipe(&p, sizeof p);
  const int chosen = tq_proxy_for(conn->tls, conn->host, conn->port, &p, err, err_size);
  if (chosen < 0) return -1;
  if (chosen == 0) {
    conn->sock = tq_connect_timeout(conn->host, conn->port, timeout_ms, err, err_size);
    return conn->sock == TQ_NO_SOCKET ? -1 : 0;
  }

  static const char *const kKinds[] = {"none", "http", "socks5", "socks5h"};
  const bool forward = p.kind == TQ_PROXY_HTTP && !conn->tls && !tunnel_plain;
  if (verbose()) {
    (void)fprintf(stderr, "tq_http_tls: proxy %s (%s, from %s) %s %s:%d\n", p.where, kKinds[p.kind],
                  p.source, forward ? "forwards to" : "tunnels to", conn->host, conn->port);
  }

  // The handshake waits until the connect deadline, but never less than a
  // moment after reaching the proxy.
  auto handshake_end = [&]() {
    const int64_t floor = tq_now_ms() + kHandshakeFloorMs;
    return deadline > floor ? deadline : floor;
  };

  int r = 0;
  if (p.kind == TQ_PROXY_SOCKS5) {
    r = socks5_local(conn, &p, deadline, handshake_end(), err, err_size);
    if (r != 0) drop_socket(conn);
    return r;
  }
  if (reach_proxy(conn, &p, deadline, err, err_size) != 0) return -1;
  if (forward) {
    if (!basic_auth(&p, conn->proxy_auth, sizeof conn->proxy_auth)) {
      drop_socket(conn);
      set_err(err, err_size, "proxy credentials too long");
      return -1;
    }
    conn->proxy_forward = 1;
    return 0;
  }
  if (p.kind == TQ_PROXY_HTTP) {
    r = tq_proxy_http_tunnel(conn, &p, conn->host, conn->port, handshake_end(), err, err_size);
  } else {
    r = tq_proxy_socks5(conn, &p, conn->host, nullptr, 0, conn->port, handshake_end(), err,
                        err_size);
  }
  if (r != 0) {
    drop_socket(conn);
    return -1;
  }
  return 0;
}
