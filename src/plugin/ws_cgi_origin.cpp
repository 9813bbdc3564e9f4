// Whether the browser says a request comes from another site. Browsers send
// Sec-Fetch-Site on every request and Origin on cross-origin ones (and on
// same-origin POSTs); scripts, curl and MCP hosts send neither, so they are
// never refused by these rules.
#include <cstdlib>
#include <cstring>

#include "plugin/ws_cgi.h"

namespace {

// Splits "host", "host:port", "[v6]" or "[v6]:port" (n bytes) into the host
// (brackets kept, so "[::1]" and "::1" never meet) and the port. A missing
// port is default_port. 0 on success, -1 when the text is not of that shape.
int split_authority(const char *s, size_t n, const char **host, size_t *host_len,
                    long default_port, long *port) {
  if (n == 0) return -1;
  size_t end = 0;
  if (s[0] == '[') {
    const char *close = static_cast<const char *>(memchr(s, ']', n));
    if (!close) return -1;
    end = static_cast<size_t>(close - s) + 1;
  } else {
    const char *colon = static_cast<const char *>(memchr(s, ':', n));
    end = colon ? static_cast<size_t>(colon - s) : n;
  }
  if (end == 0) return -1;
  *host = s;
  *host_len = end;
  if (end == n) {
    *port = default_port;
    return 0;
  }
  if (s[end] != ':' || end + 1 == n || n - end - 1 > 5) return -1;
  long p = 0;
  for (size_t i = end + 1; i < n; i++) {
    if (s[i] < '0' || s[i] > '9') return -1;
    p = p * 10 + (s[i] - '0');
  }
  if (p < 1 || p > 65535) return -1;
  *port = p;
  return 0;
}

}  // namespace

int ws_cgi_foreign_origin(const char *origin, const char *host) {
  if (!origin) return 0;
  if (!host) return 1;
  long default_port = 0;
  const char *rest = nullptr;
  if (strncmp(origin, "http://", 7) == 0) {
    default_port = 80;
    rest = origin + 7;
  } else if (strncmp(origin, "https://", 8) == 0) {
    default_port = 443;
    rest = origin + 8;
  } else {
    return 1;  // "null" (sandboxed frames, file pages) or another scheme
  }
  const char *o_host = nullptr;
  const char *h_host = nullptr;
  size_t o_len = 0;
  size_t h_len = 0;
  long o_port = 0;
  long h_port = 0;
  // Host carries no scheme; it names the same default port as the origin's.
  if (split_authority(rest, strlen(rest), &o_host, &o_len, default_port, &o_port) != 0 ||
      split_authority(host, strlen(host), &h_host, &h_len, default_port, &h_port) != 0) {
    return 1;
  }
  if (o_len != h_len || o_port != h_port) return 1;
  for (size_t i = 0; i < o_len; i++) {
    char a = o_host[i];
    char b = h_host[i];
    if (a >= 'A' && a <= 'Z') a = static_cast<char>(a - 'A' + 'a');
    if (b >= 'A' && b <= 'Z') b = static_cast<char>(b - 'A' + 'a');
    if (a != b) return 1;
  }
  return 0;
}

int ws_cgi_cross_site(const char *sec_fetch_site, const char *origin, const char *host) {
  if (sec_fetch_site) {
    return strcmp(sec_fetch_site, "same-origin") != 0 && strcmp(sec_fetch_site, "none") != 0;
  }
  return ws_cgi_foreign_origin(origin, host);
}

int require_same_site(void) {
  if (!ws_cgi_cross_site(getenv("HTTP_SEC_FETCH_SITE"), getenv("HTTP_ORIGIN"),
                         getenv("HTTP_HOST"))) {
    return 1;
  }
  json_err(403, "cross-site request refused");
  return 0;
}
