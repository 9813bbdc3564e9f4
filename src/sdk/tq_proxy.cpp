// Proxy selection: the proxy variables, the proxy URL and the no_proxy list.
#include "sdk/tq_proxy.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sdk/platform.h"
#include "sdk/tq_url.h"

namespace {

constexpr int kDefaultProxyPort = 1080;
constexpr size_t kNoProxyEntryMax = 300;  // longer entries cannot match a 255-byte host

// Set once by the CGI entry, read at every connection.
int g_cgi_mode = 0;

const char *env_lookup(const char *name, void * /*ctx*/) {
  return getenv(name);
}

bool host_char(char c) {
  // Underscores are wrong in DNS names but common in the names of proxies on
  // company networks, and the resolver takes them.
  return isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-' || c == '_';
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent-decodes s[0..n) into out[out_size]. False when the result does not
// fit or holds a NUL; a "%" without two hex digits stays as it is.
bool percent_decode(const char *s, size_t n, char *out, size_t out_size) {
  size_t o = 0;
  for (size_t i = 0; i < n; i++) {
    char c = s[i];
    if (c == '%' && i + 2 < n && hex_digit(s[i + 1]) >= 0 && hex_digit(s[i + 2]) >= 0) {
      c = static_cast<char>(hex_digit(s[i + 1]) * 16 + hex_digit(s[i + 2]));
      i += 2;
    }
    if (c == '\0' || o + 1 >= out_size) return false;
    out[o++] = c;
  }
  out[o] = '\0';
  return true;
}

// A decimal port of 1..5 digits in s[0..n), 1..65535; -1 otherwise.
int parse_port(const char *s, size_t n) {
  if (n == 0 || n > 5) return -1;
  int v = 0;
  for (size_t i = 0; i < n; i++) {
    if (s[i] < '0' || s[i] > '9') return -1;
    v = v * 10 + (s[i] - '0');
  }
  return v >= 1 && v <= 65535 ? v : -1;
}

// ASCII case-insensitive equality of a[0..n) and b[0..n).
bool ieq_n(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; i++) {
    if (tolower(static_cast<unsigned char>(a[i])) != tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

bool scheme_is(const char *s, size_t n, const char *name) {
  return strlen(name) == n && ieq_n(s, name, n);
}

// host matches the name entry[0..n) (leading and trailing dots already gone):
// the same name or a subdomain of it.
bool domain_matches(const char *host, size_t host_len, const char *name, size_t n) {
  if (host_len == n) return ieq_n(host, name, n);
  return host_len > n && host[host_len - n - 1] == '.' && ieq_n(host + host_len - n, name, n);
}

// One no_proxy entry e[0..n) against host:port.
bool entry_matches(const char *e, size_t n, const char *host, int port) {
  if (n == 1 && e[0] == '*') return true;
  if (n == 0 || n > kNoProxyEntryMax) return false;

  char name[kNoProxyEntryMax + 1];
  const char *port_text = nullptr;
  size_t port_len = 0;
  size_t name_len = 0;
  const char *colon = static_cast<const char *>(memchr(e, ':', n));
  if (e[0] == '[') {
    const char *close = static_cast<const char *>(memchr(e, ']', n));
    if (close == nullptr) return false;
    name_len = static_cast<size_t>(close - e - 1);
    memcpy(name, e + 1, name_len);
    size_t rest = n - static_cast<size_t>(close + 1 - e);
    if (rest > 0) {
      if (close[1] != ':') return false;
      port_text = close + 2;
      port_len = rest - 1;
    }
  } else if (colon != nullptr &&
             memchr(colon + 1, ':', n - static_cast<size_t>(colon + 1 - e)) == nullptr) {
    name_len = static_cast<size_t>(colon - e);
    memcpy(name, e, name_len);
    port_text = colon + 1;
    port_len = n - name_len - 1;
  } else {
    name_len = n;  // a name, or with two colons or more an IPv6 literal without a port
    memcpy(name, e, n);
  }
  name[name_len] = '\0';
  if (port_text != nullptr && parse_port(port_text, port_len) != port) return false;

  unsigned char want[16];
  unsigned char have[16];
  const size_t want_len = tq_plat_parse_ip(name, want);
  char bare[256];
  size_t host_len = strlen(host);
  if (host_len >= 2 && host[0] == '[' && host[host_len - 1] == ']') {
    host_len -= 2;
    memcpy(bare, host + 1, host_len < sizeof bare ? host_len : sizeof bare - 1);
  } else {
    memcpy(bare, host, host_len < sizeof bare ? host_len : sizeof bare - 1);
  }
  host_len = host_len < sizeof bare ? host_len : sizeof bare - 1;
  bare[host_len] = '\0';
  const size_t have_len = tq_plat_parse_ip(bare, have);
  // Addresses match only addresses, and only exactly: "0.1" is no suffix of
  // "10.0.0.1" the way "example.com" is one of "www.example.com".
  if (want_len != 0 || have_len != 0) {
    return want_len == have_len && memcmp(want, have, want_len) == 0;
  }

  const char *nm = name;
  while (*nm == '.') nm++;
  size_t nm_len = strlen(nm);
  while (nm_len > 0 && nm[nm_len - 1] == '.') nm_len--;
  while (host_len > 0 && bare[host_len - 1] == '.') host_len--;
  if (nm_len == 0) return false;
  return domain_matches(bare, host_len, nm, nm_len);
}

}  // namespace

void tq_proxy_wipe(tq_proxy *p) {
  if (p == nullptr) return;
  volatile char *v = reinterpret_cast<volatile char *>(p);
  for (size_t i = 0; i < sizeof *p; i++) v[i] = 0;
}

void tq_proxy_set_cgi(int on) {
  g_cgi_mode = on ? 1 : 0;
}

int tq_proxy_parse(const char *name, const char *text, tq_proxy *out, char *err, size_t err_size) {
  memset(out, 0, sizeof *out);
  if (name == nullptr) name = "";
  if (strlen(name) < sizeof out->source) memcpy(out->source, name, strlen(name) + 1);
  if (text == nullptr || text[0] == '\0') {
    set_err(err, err_size, "bad proxy address in %s: empty", name);
    return -1;
  }

  const char *rest = text;
  out->kind = TQ_PROXY_HTTP;  // curl's reading of a bare host[:port]
  if (const char *sep = strstr(text, "://")) {
    const size_t n = static_cast<size_t>(sep - text);
    if (scheme_is(text, n, "http")) {
      out->kind = TQ_PROXY_HTTP;
    } else if (scheme_is(text, n, "socks5")) {
      out->kind = TQ_PROXY_SOCKS5;
    } else if (scheme_is(text, n, "socks5h")) {
      out->kind = TQ_PROXY_SOCKS5H;
    } else if (scheme_is(text, n, "https")) {
      memset(out, 0, sizeof *out);
      set_err(err, err_size, "https proxies are not supported; use http:// or socks5h://");
      return -1;
    } else {
      memset(out, 0, sizeof *out);
      set_err(err, err_size, "unsupported proxy scheme in %s; use http://, socks5:// or socks5h://",
              name);
      return -1;
    }
    rest = sep + 3;
  }

  // The last "@" ends the user information, so that an unescaped "@" or "/"
  // in a password still parses as the user meant it.
  const char *at = strrchr(rest, '@');
  const char *hostpart = rest;
  if (at != nullptr) {
    const char *colon =
        static_cast<const char *>(memchr(rest, ':', static_cast<size_t>(at - rest)));
    const char *user_end = colon ? colon : at;
    bool ok =
        percent_decode(rest, static_cast<size_t>(user_end - rest), out->user, sizeof out->user);
    if (ok && colon != nullptr) {
      ok = percent_decode(colon + 1, static_cast<size_t>(at - colon - 1), out->password,
                          sizeof out->password);
    }
    if (!ok) {
      tq_proxy_wipe(out);
      set_err(err, err_size, "bad proxy address in %s: user name or password too long", name);
      return -1;
    }
    out->has_auth = 1;
    hostpart = at + 1;
  }

  const char *slash = strchr(hostpart, '/');
  const size_t auth_len = slash ? static_cast<size_t>(slash - hostpart) : strlen(hostpart);
  const char *why = nullptr;
  if (slash != nullptr && slash[1] != '\0') why = "a proxy address has no path";

  const char *h = hostpart;
  size_t h_len = auth_len;
  const char *port_text = nullptr;
  size_t port_len = 0;
  if (why == nullptr && h_len > 0 && h[0] == '[') {
    const char *close = static_cast<const char *>(memchr(h, ']', h_len));
    if (close == nullptr) {
      why = "unclosed bracket";
    } else {
      const size_t after = auth_len - static_cast<size_t>(close + 1 - hostpart);
      if (after > 0 && close[1] != ':') why = "bad port";
      if (after > 0) {
        port_text = close + 2;
        port_len = after - 1;
      }
      h = hostpart + 1;
      h_len = static_cast<size_t>(close - h);
    }
  } else if (why == nullptr) {
    if (const char *colon = static_cast<const char *>(memchr(h, ':', h_len))) {
      port_text = colon + 1;
      port_len = auth_len - static_cast<size_t>(port_text - hostpart);
      h_len = static_cast<size_t>(colon - h);
    }
  }
  if (why == nullptr && h_len == 0) why = "no host";
  if (why == nullptr && h_len >= sizeof out->host) why = "host too long";
  if (why == nullptr) {
    memcpy(out->host, h, h_len);
    out->host[h_len] = '\0';
    unsigned char addr[16];
    if (hostpart[0] == '[') {
      if (tq_plat_parse_ip(out->host, addr) != 16) why = "bad IPv6 address";
    } else {
      for (size_t i = 0; i < h_len && why == nullptr; i++) {
        if (!host_char(out->host[i])) why = "host contains forbidden characters";
      }
    }
  }
  out->port = kDefaultProxyPort;
  if (why == nullptr && port_text != nullptr) {
    out->port = parse_port(port_text, port_len);
    if (out->port < 0) why = "bad port";
  }
  if (why != nullptr) {
    tq_proxy_wipe(out);
    set_err(err, err_size, "bad proxy address in %s: %s", name, why);
    return -1;
  }
  const bool v6 = strchr(out->host, ':') != nullptr;
  // Always fits: at most 255 bytes of host, two brackets and ":65535".
  (void)snprintf(out->where, sizeof out->where, "%s%s%s:%d", v6 ? "[" : "", out->host,
                 v6 ? "]" : "", out->port);
  return 0;
}

int tq_no_proxy_match(const char *list, const char *host, int port) {
  if (list == nullptr || host == nullptr) return 0;
  const char *p = list;
  while (*p != '\0') {
    while (*p == ',' || *p == ' ' || *p == '\t') p++;
    const char *start = p;
    while (*p != '\0' && *p != ',' && *p != ' ' && *p != '\t') p++;
    if (p > start && entry_matches(start, static_cast<size_t>(p - start), host, port)) return 1;
  }
  return 0;
}

int tq_proxy_select(tq_env_lookup get, void *ctx, int cgi, int tls, const char *host, int port,
                    tq_proxy *out, char *err, size_t err_size) {
  memset(out, 0, sizeof *out);
  static const char *const kPlain[] = {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"};
  static const char *const kSecure[] = {"https_proxy", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"};
  const char *const *names = tls ? kSecure : kPlain;

  const char *name = nullptr;
  const char *value = nullptr;
  for (size_t i = 0; i < 4; i++) {
    // A CGI request's "Proxy:" header arrives as HTTP_PROXY; a client must
    // never choose where this program's requests go. Where names ignore
    // case, http_proxy is that same variable.
    if (cgi && (strcmp(names[i], "HTTP_PROXY") == 0 ||
                (TQ_ENV_NAMES_IGNORE_CASE && strcmp(names[i], "http_proxy") == 0))) {
      continue;
    }
    value = get(names[i], ctx);
    if (value != nullptr) {
      name = names[i];
      break;
    }
  }
  if (value == nullptr || value[0] == '\0') return 0;

  const char *no_proxy = get("no_proxy", ctx);
  if (no_proxy == nullptr) no_proxy = get("NO_PROXY", ctx);
  if (tq_no_proxy_match(no_proxy, host, port)) return 0;

  return tq_proxy_parse(name, value, out, err, err_size) == 0 ? 1 : -1;
}

int tq_proxy_for(int tls, const char *host, int port, tq_proxy *out, char *err, size_t err_size) {
  return tq_proxy_select(env_lookup, nullptr, g_cgi_mode, tls, host, port, out, err, err_size);
}
