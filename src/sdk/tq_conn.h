// Connections with time-outs: the connection record of the connector SDK,
// the millisecond clock, deadline-bounded waits, sending and refilling.
#pragma once

#include <bearssl.h>

#include <cstddef>
#include <cstdint>

#include "sdk/platform.h"
#include "sdk/tq_url.h"

struct tq_conn {
  tq_socket sock;  // connected socket, TQ_NO_SOCKET when there is none
  int tls;
  char host[256];  // also the TLS server name
  int port;
  br_ssl_client_context *ssl;          // owned
  void *x509;                          // owned: minimal validator or its lenient wrapper
  br_x509_trust_anchor *anchors;       // owned: this connection's copy of the table
  br_x509_knownkey_context *knownkey;  // owned: pinned re-handshake
  size_t anchor_count;
  unsigned char *iobuf;  // owned: BearSSL record buffer (BR_SSL_BUFSIZE_BIDI)
  br_sslio_context sslio;
  int tls_ready;
  int64_t deadline_ms;  // used by tq_low_read and tq_low_write
  char peer_pin[65];
  int trusted;
  int pin_ok;
  unsigned char rbuf[16384];
  size_t rpos;
  size_t rlen;
  int body_mode;    // 0 until close, 1 Content-Length, 2 chunked
  int chunk_state;  // 0 size line, 1 data, 2 after data, 3 trailer
  uint64_t remaining;
  int status;
  uint64_t body_bytes;  // raw bytes after the head, limit 4 MiB
  int eof;
  // A plain target behind an HTTP proxy: the socket leads to the proxy, and
  // requests name the target in absolute form.
  int proxy_forward;
  char proxy_auth[704];  // "Basic ..." for that proxy, or empty; a secret, wiped at close
  // Connection reuse (the MCP server only; see tq_pool.h). The first three
  // stay 0 on a connection that carries one exchange; the rest describe the
  // current answer and are reset with its head.
  int keep_alive;      // the request asks the server to keep the connection
  int reused;          // taken from the pool: an earlier exchange ran on it
  int resumed;         // the TLS handshake resumed a kept session
  int answer_started;  // a byte of the current answer arrived
  int http11;          // the answer's status line says HTTP/1.1
  int server_close;    // the answer carries "Connection: close"
  int keep_alive_s;    // the answer's "Keep-Alive: timeout=" in seconds, 0 without
  int framed_end;      // a chunked body ended with its last chunk and an empty trailer
  int stray_bytes;     // bytes arrived past the framed end of the body
};

// Monotonic milliseconds: deadlines and durations never jump with the wall clock.
int64_t tq_now_ms(void);
// Resolves host and connects to each candidate in turn (1500..3000 ms each).
// Returns a connected non-blocking socket, or TQ_NO_SOCKET with a message.
tq_socket tq_connect_timeout(const char *host, int port, int timeout_ms, char *err,
                             size_t err_size);
int tq_wait_readable(tq_socket sock, int64_t deadline_ms);
int tq_wait_writable(tq_socket sock, int64_t deadline_ms);
// BearSSL's low-level callbacks; ctx is the tq_conn. >0 bytes, or -1.
int tq_low_read(void *ctx, unsigned char *buf, size_t len);
int tq_low_write(void *ctx, const unsigned char *buf, size_t len);
int tq_send_all(tq_conn *conn, const void *data, size_t len, int timeout_ms, char *err,
                size_t err_size);
// 1 new data in rbuf, 0 clean end of stream, -1 error or time-out.
int tq_fill(tq_conn *conn, int64_t deadline_ms);
// 0 with an open connection; -1 with a message and nothing left open.
int tq_conn_open(tq_conn *conn, const tq_url *url, int timeout_ms, char *err, size_t err_size);
// As tq_conn_open, but a plain target behind an HTTP proxy is reached
// through a CONNECT tunnel rather than by forwarded requests: a WebSocket
// needs a stream of its own to the server, which a forwarding proxy does not
// give.
int tq_conn_open_tunnel(tq_conn *conn, const tq_url *url, int timeout_ms, char *err,
                        size_t err_size);
// Safe on a record that open left closed, and more than once.
void tq_conn_close(tq_conn *conn);

// Closes the connection when the scope ends, on every path.
struct tq_conn_guard {
  tq_conn *c;
  explicit tq_conn_guard(tq_conn *conn) : c(conn) {}
  tq_conn_guard(const tq_conn_guard &) = delete;
  tq_conn_guard &operator=(const tq_conn_guard &) = delete;
  ~tq_conn_guard() {
    if (c) tq_conn_close(c);
  }
};
