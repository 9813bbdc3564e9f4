// Proxies for the connector SDK: which proxy a connection goes through, read
// from the standard proxy variables with curl's conventions, and the
// handshakes that open a stream to the target through it.
//
// Where the proxy comes from (the first variable that is set decides; a
// variable set to the empty text means "no proxy" and ends the search):
//   http:// and ws://    http_proxy, HTTP_PROXY, all_proxy, ALL_PROXY
//   https:// and wss://  https_proxy, HTTPS_PROXY, all_proxy, ALL_PROXY
// In CGI mode HTTP_PROXY is never read: there it holds the "Proxy:" header
// of the client's request (the "httpoxy" attack), not a setting. The CGI
// entry says so once, with tq_proxy_set_cgi, before its first connection.
//
// The proxy URL: [scheme://][user[:password]@]host[:port][/]
//   http://    (also without a scheme) an HTTP proxy: plain http targets are
//              sent to it in absolute form, everything else (https, ws, wss)
//              goes through a CONNECT tunnel
//   socks5://  SOCKS5, the target's name resolved here
//   socks5h:// SOCKS5, the proxy resolves the target's name
// Without a port, 1080. The user name and password are percent-decoded and
// used for Basic authentication (HTTP) or RFC 1929 (SOCKS5); they appear in
// no diagnostic and no error text. https:// proxies (TLS to the proxy) and
// other schemes are refused with a message.
//
// no_proxy (or NO_PROXY when no_proxy is unset): targets that connect
// directly. A list separated by commas or blanks; "*" matches every host; a
// name matches itself and its subdomains, case-insensitively, with or
// without a leading dot; an IP literal matches that address exactly (IPv6
// with or without brackets); ":port" after an entry limits it to that port.
// Loopback hosts are not exempt unless the list names them. Names are never
// resolved for the match: "localhost" does not match "127.0.0.1".
#pragma once

#include <cstddef>
#include <cstdint>

#include "sdk/tq_conn.h"

enum tq_proxy_kind {
  TQ_PROXY_NONE = 0,
  TQ_PROXY_HTTP = 1,
  TQ_PROXY_SOCKS5 = 2,
  TQ_PROXY_SOCKS5H = 3
};

struct tq_proxy {
  int kind;            // tq_proxy_kind
  char host[256];      // name or address literal, IPv6 without brackets
  int port;            // 1..65535
  int has_auth;        // a user name (and perhaps a password) was given
  char user[256];      // percent-decoded; a secret like the password
  char password[256];  // percent-decoded
  char source[16];     // the variable it came from, for diagnostics
  char where[300];     // "host:port" ("[v6]:port") for messages
};

// Clears a record's secrets so that they do not linger in memory.
void tq_proxy_wipe(tq_proxy *p);

// Declares whether the process runs as a CGI program (HTTP_PROXY is then a
// request header and never read). Off until called.
void tq_proxy_set_cgi(int on);

// Parses one proxy URL taken from variable name (named in messages; the
// value never is, it may hold a password). 0 with *out filled; -1 with a
// message.
int tq_proxy_parse(const char *name, const char *text, tq_proxy *out, char *err, size_t err_size);

// 1 when the no_proxy list exempts host:port, else 0.
int tq_no_proxy_match(const char *list, const char *host, int port);

// Reads one variable; NULL when it is not set.
using tq_env_lookup = const char *(*)(const char *name, void *ctx);

// The proxy for a target (tls: an https:// or wss:// target), with the
// variables read through get. 1 with *out filled; 0 for a direct
// connection; -1 with a message when the variable that applies is malformed.
int tq_proxy_select(tq_env_lookup get, void *ctx, int cgi, int tls, const char *host, int port,
                    tq_proxy *out, char *err, size_t err_size);

// tq_proxy_select over the process environment and the CGI flag.
int tq_proxy_for(int tls, const char *host, int port, tq_proxy *out, char *err, size_t err_size);

// Opens conn->sock to conn->host:conn->port (conn->tls says which scheme)
// as the proxy settings say: directly, through a CONNECT tunnel, through
// SOCKS5, or (plain targets behind an HTTP proxy, unless tunnel_plain) to the
// proxy itself with conn->proxy_forward set and conn->proxy_auth filled. The
// connect budget (timeout_ms, 10000 when 0 or less) covers reaching the
// proxy and its handshake. 0 on success; -1 with a message and no socket.
int tq_conn_dial(tq_conn *conn, int timeout_ms, int tunnel_plain, char *err, size_t err_size);

// --- the handshakes, on a conn whose socket is connected to the proxy --------
// Every wait ends at deadline_ms. Bytes go through tq_send_all and tq_fill;
// the receive buffer is empty again afterwards.

// The head of a proxy's answer to CONNECT in buf[0..len): 1 when it is
// complete, with *status and *head_len (the bytes up to and including the
// blank line); 0 when more bytes are needed; -1 when the status line is not
// "HTTP/1.x nnn".
int tq_proxy_reply_head(const char *buf, size_t len, int *status, size_t *head_len);

// CONNECT host:port through an HTTP proxy. 0 when the proxy answered 2xx.
int tq_proxy_http_tunnel(tq_conn *conn, const tq_proxy *p, const char *host, int port,
                         int64_t deadline_ms, char *err, size_t err_size);

// A SOCKS5 CONNECT to name:port (name given: socks5h) or to the address
// addr[0..addr_len) (4 or 16 bytes). 0 when the proxy granted it; -1 with a
// message; -2 with a message when the proxy could not reach the target (the
// next address of the same name may do better).
int tq_proxy_socks5(tq_conn *conn, const tq_proxy *p, const char *name, const unsigned char *addr,
                    size_t addr_len, int port, int64_t deadline_ms, char *err, size_t err_size);
