// Keeping connections between exchanges, for a process that makes many
// requests (the MCP server): an answer that ended exactly at its framed end
// leaves its connection in a small pool, and the next request to the same
// origin takes it instead of connecting and shaking hands again. Off by
// default: then every exchange gets a connection of its own that says
// "Connection: close", and nothing is kept.
//
// Thread-safe: one lock guards the pool; a connection belongs to exactly one
// exchange from tq_pool_request to tq_pool_release and is never shared.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/tq_conn.h"
#include "sdk/tq_url.h"

// Idle connections kept per origin and in all, and how long one stays idle
// at most (a server's shorter "Keep-Alive: timeout=" wins).
constexpr size_t TQ_POOL_PER_ORIGIN = 2;
constexpr size_t TQ_POOL_TOTAL = 8;
constexpr int64_t TQ_POOL_IDLE_MS = 60000;

// What a kept connection must match to serve a request.
struct tq_pool_key {
  int tls;
  char host[256];
  int port;
  char trust[96];   // tq_tls_trust_digest for TLS; "" for plain connections
  char proxy[512];  // the proxy the connection goes through; "" when direct
};

// Turns reuse on for the rest of the process (or until tq_pool_shutdown):
// requests say "Connection: keep-alive", good connections are kept, and TLS
// sessions are kept and offered (tq_tls_session_cache).
void tq_pool_enable(void);
int tq_pool_enabled(void);
// Turns reuse off and closes every kept connection, TLS ones with their
// close_notify; wipes the kept TLS sessions. For the end of the MCP server.
void tq_pool_shutdown(void);

// Opens a connection for url, or takes a kept one, and sends one request on
// it (tq_http_request with no bearer token), reading the answer's head.
// When a kept connection turns out to have been closed by the server before
// any byte of the answer arrived, the request goes once more on a new
// connection; nothing else is retried. 0 with *out owned by the caller until
// tq_pool_release; -1 when no connection could be opened, -2 when the
// request failed; both with a message and nothing held.
int tq_pool_request(const tq_url *url, const char *method, const char *extra_headers,
                    const void *body, size_t body_len, int connect_ms, int request_ms,
                    tq_conn **out, char *err, size_t err_size);
// Ends the caller's use of a connection from tq_pool_request. done_cleanly
// says that the caller read the whole answer without error (never true for a
// failed, timed-out or cancelled exchange); only then, and when the answer
// left the connection reusable (tq_http_reusable), is it kept. Otherwise it
// is closed. NULL is ignored.
void tq_pool_release(tq_conn *conn, int done_cleanly);

// Idle connections kept right now for url's origin, or in all for NULL.
size_t tq_pool_idle(const tq_url *url);

// Releases the connection when the scope ends; `clean` is the done_cleanly
// flag, false until the caller has read the whole answer.
struct tq_pool_lease {
  tq_conn *c;
  bool clean = false;
  explicit tq_pool_lease(tq_conn *conn) : c(conn) {}
  tq_pool_lease(const tq_pool_lease &) = delete;
  tq_pool_lease &operator=(const tq_pool_lease &) = delete;
  ~tq_pool_lease() { tq_pool_release(c, clean ? 1 : 0); }
};
