// Connections with time-outs: resolve-and-connect over every candidate,
// deadline-bounded waits, whole-buffer sends, receive-buffer refills (plain
// or through the TLS engine) and closing.
#include "sdk/tq_conn.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sdk/tq_proxy.h"
#include "sdk/tq_tls.h"
#include "sdk/tq_url.h"

namespace {

constexpr int kDefaultConnectBudgetMs = 10000;
constexpr int kDefaultIoTimeoutMs = 15000;
constexpr int64_t kCandidateMinWaitMs = 1500;
constexpr int64_t kCandidateMaxWaitMs = 3000;
constexpr int64_t kTlsCloseMs = 500;

bool verbose(void) {
  return getenv("TQ_VERBOSE") != nullptr;
}

int64_t deadline_after(int timeout_ms, int default_ms) {
  return tq_now_ms() + (timeout_ms > 0 ? timeout_ms : default_ms);
}

// BearSSL takes int-sized transfers; never ask the kernel for more.
size_t clamp_io_len(size_t len) {
  return len > static_cast<size_t>(INT_MAX) ? INT_MAX : len;
}

}  // namespace

int64_t tq_now_ms(void) {
  return tq_platform_now_ms();
}

tq_socket tq_connect_timeout(const char *host, int port, int timeout_ms, char *err,
                             size_t err_size) {
  const int64_t start = tq_now_ms();
  const int64_t deadline = start + (timeout_ms > 0 ? timeout_ms : kDefaultConnectBudgetMs);

  tq_plat_addrs *addrs = nullptr;
  if (host == nullptr || tq_plat_resolve(host, port, &addrs) != 0) {
    set_err(err, err_size, "dns failure for %s", host ? host : "");
    return TQ_NO_SOCKET;
  }
  tq_plat_addrs_guard addrs_guard(addrs);

  const size_t count = tq_plat_addrs_count(addrs);
  for (size_t i = 0; i < count; i++) {
    const int64_t cand_start = tq_now_ms();
    const int family = tq_plat_addrs_family(addrs, i);
    const int left_after = static_cast<int>(count - i - 1);

    tq_socket sock = tq_plat_socket_for(addrs, i);
    if (sock == TQ_NO_SOCKET) continue;

    if (tq_plat_connect_start(sock, addrs, i) != 0) {
      if (verbose()) {
        tq_platform_diag(
            "tq_http_tls: connect %s:%d family %d failed up front (wsa %d), %d candidate(s) "
            "left\n",
            host, port, family, tq_platform_last_error(), left_after);
      }
      tq_plat_close(sock);
      continue;
    }

    int64_t wait = deadline - cand_start;
    if (wait < kCandidateMinWaitMs) wait = kCandidateMinWaitMs;
    if (wait > kCandidateMaxWaitMs) wait = kCandidateMaxWaitMs;

    if (tq_wait_writable(sock, cand_start + wait)) {
      int so_error = 0;
      if (tq_plat_socket_error(sock, &so_error) != 0) {
        so_error = tq_platform_last_error();
      } else if (so_error == 0) {
        return sock;  // the guard frees the address list
      }
      if (verbose()) {
        tq_platform_diag(
            "tq_http_tls: connect %s:%d family %d refused (so_error %d), %d candidate(s) left\n",
            host, port, family, so_error, left_after);
      }
    } else if (verbose()) {
      tq_platform_diag(
          "tq_http_tls: connect %s:%d family %d timed out after %lld ms (%d candidate(s) "
          "tried)\n",
          host, port, family, static_cast<long long>(wait), static_cast<int>(i + 1));
    }
    tq_plat_close(sock);
  }

  set_err(err, err_size, "connect to %s:%d failed", host, port);
  return TQ_NO_SOCKET;
}

int tq_wait_readable(tq_socket sock, int64_t deadline_ms) {
  if (sock == TQ_NO_SOCKET) return 0;
  return tq_plat_wait(sock, TQ_PLAT_READABLE, deadline_ms);
}

int tq_wait_writable(tq_socket sock, int64_t deadline_ms) {
  if (sock == TQ_NO_SOCKET) return 0;
  return tq_plat_wait(sock, TQ_PLAT_WRITABLE, deadline_ms);
}

int tq_low_read(void *ctx, unsigned char *buf, size_t len) {
  auto *conn = static_cast<tq_conn *>(ctx);
  if (conn->sock == TQ_NO_SOCKET || !tq_wait_readable(conn->sock, conn->deadline_ms)) return -1;
  ptrdiff_t n = tq_plat_recv(conn->sock, buf, clamp_io_len(len));
  return n > 0 ? static_cast<int>(n) : -1;
}

int tq_low_write(void *ctx, const unsigned char *buf, size_t len) {
  auto *conn = static_cast<tq_conn *>(ctx);
  if (conn->sock == TQ_NO_SOCKET || !tq_wait_writable(conn->sock, conn->deadline_ms)) return -1;
  ptrdiff_t n = tq_plat_send(conn->sock, buf, clamp_io_len(len));
  return n > 0 ? static_cast<int>(n) : -1;
}

static int engine_error(const tq_conn *conn) {
  return conn->ssl ? br_ssl_engine_last_error(&conn->ssl->eng) : 0;
}

int tq_send_all(tq_conn *conn, const void *data, size_t len, int timeout_ms, char *err,
                size_t err_size) {
  conn->deadline_ms = deadline_after(timeout_ms, kDefaultIoTimeoutMs);

  if (conn->tls && conn->tls_ready) {
    if (len != 0 && br_sslio_write_all(&conn->sslio, data, len) != 0) {
      set_err(err, err_size, "TLS send failed (code %d)", engine_error(conn));
      return -1;
    }
    if (br_sslio_flush(&conn->sslio) != 0) {
      set_err(err, err_size, "TLS flush failed (code %d)", engine_error(conn));
      return -1;
    }
    return 0;
  }

  if (len == 0) return 0;
  const auto *p = static_cast<const unsigned char *>(data);
  size_t sent = 0;
  while (sent < len) {
    if (conn->sock == TQ_NO_SOCKET || !tq_wait_writable(conn->sock, conn->deadline_ms)) {
      set_err(err, err_size, "send timeout");
      return -1;
    }
    ptrdiff_t n = tq_plat_send(conn->sock, p + sent, len - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    // A reset or closed peer keeps the socket "writable" forever; retrying
    // would spin until the deadline and then blame a time-out.
    int e = tq_platform_last_error();
    if (n < 0 && !tq_plat_error_is_transient(e)) {
      set_err(err, err_size, "send failed (errno %d)", e);
      return -1;
    }
  }
  return 0;
}

int tq_fill(tq_conn *conn, int64_t deadline_ms) {
  if (conn->tls && conn->tls_ready) {
    conn->deadline_ms = deadline_ms;
    int n = br_sslio_read(&conn->sslio, conn->rbuf, sizeof conn->rbuf);
    if (n > 0) {
      conn->rpos = 0;
      conn->rlen = static_cast<size_t>(n);
      return 1;
    }
    if (conn->ssl && (br_ssl_engine_current_state(&conn->ssl->eng) & BR_SSL_CLOSED)) {
      return engine_error(conn) == 0 ? 0 : -1;
    }
    return -1;
  }

  if (conn->sock == TQ_NO_SOCKET || !tq_wait_readable(conn->sock, deadline_ms)) return -1;
  ptrdiff_t n = tq_plat_recv(conn->sock, conn->rbuf, sizeof conn->rbuf);
  if (n > 0) {
    conn->rpos = 0;
    conn->rlen = static_cast<size_t>(n);
    return 1;
  }
  return n == 0 ? 0 : -1;
}

static int conn_open(tq_conn *conn, const tq_url *url, int timeout_ms, int tunnel_plain, char *err,
                     size_t err_size) {
  memset(conn, 0, sizeof *conn);
  conn->sock = TQ_NO_SOCKET;
  tq_copy(conn->host, sizeof conn->host, url->host);
  conn->port = url->port;
  conn->tls = url->tls;

  // Straight to the target or through the proxy the environment names.
  if (tq_conn_dial(conn, timeout_ms, tunnel_plain, err, err_size) != 0) return -1;

  if (!conn->tls) {
    conn->deadline_ms = deadline_after(timeout_ms, kDefaultIoTimeoutMs);
    return 0;
  }
  if (tq_tls_handshake(conn, timeout_ms, err, err_size) != 0) {
    // Whatever the handshake left behind (socket, engine memory) goes now:
    // a failed open owns nothing.
    tq_conn_close(conn);
    return -1;
  }
  return 0;
}

int tq_conn_open(tq_conn *conn, const tq_url *url, int timeout_ms, char *err, size_t err_size) {
  return conn_open(conn, url, timeout_ms, 0, err, err_size);
}

int tq_conn_open_tunnel(tq_conn *conn, const tq_url *url, int timeout_ms, char *err,
                        size_t err_size) {
  return conn_open(conn, url, timeout_ms, 1, err, err_size);
}

void tq_conn_close(tq_conn *conn) {
  if (conn->tls && conn->tls_ready && conn->ssl) {
    br_ssl_engine_close(&conn->ssl->eng);
    const int64_t until = tq_now_ms() + kTlsCloseMs;
    conn->deadline_ms = until;  // bounds every socket wait of the flushes below
    while ((br_ssl_engine_current_state(&conn->ssl->eng) & BR_SSL_SENDREC) && tq_now_ms() < until) {
      if (br_sslio_flush(&conn->sslio) != 0) break;
    }
  }

  if (conn->sock != TQ_NO_SOCKET) {
    tq_plat_close(conn->sock);
    conn->sock = TQ_NO_SOCKET;
  }

  free(conn->ssl);
  conn->ssl = nullptr;
  free(conn->x509);
  conn->x509 = nullptr;
  free(conn->knownkey);
  conn->knownkey = nullptr;
  free(conn->iobuf);
  conn->iobuf = nullptr;
  free(conn->anchors);
  conn->anchors = nullptr;
  conn->anchor_count = 0;
  conn->tls_ready = 0;
  volatile char *auth = conn->proxy_auth;
  for (size_t i = 0; i < sizeof conn->proxy_auth; i++) auth[i] = 0;
}
