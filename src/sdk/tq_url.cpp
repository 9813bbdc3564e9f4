// URL parsing, percent-encoding and the SDK's error-text helper.
#include "sdk/tq_url.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr char kHostChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-";
constexpr size_t kMaxAuthority = 255;
constexpr size_t kMaxPortDigits = 7;

inline unsigned char fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

inline bool is_unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

// A byte that ends the authority: NUL, space, '#', '/', '?' or a control byte.
inline bool ends_authority(unsigned char c) {
  return c < 0x20 || c == ' ' || c == '#' || c == '/' || c == '?';
}

}  // namespace

size_t tq_utf8_cut(const char *s, size_t n) {
  if (s == nullptr || n == 0) return 0;
  const unsigned char *u = reinterpret_cast<const unsigned char *>(s);
  size_t i = n;
  while (i > 0 && n - i < 3 && (u[i - 1] & 0xC0) == 0x80) --i;
  if (i == 0) return n;
  const unsigned char lead = u[i - 1];
  size_t want;
  if (lead >= 0xF0 && lead <= 0xF7) {
    want = 4;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    want = 3;
  } else if (lead >= 0xC0 && lead <= 0xDF) {
    want = 2;
  } else {
    return n;
  }
  return n - (i - 1) < want ? i - 1 : n;
}

void tq_copy(char *dst, size_t size, const char *src) {
  if (dst == nullptr || size == 0) return;
  size_t n = src != nullptr ? strnlen(src, size) : 0;
  if (n >= size) n = tq_utf8_cut(src, size - 1);
  if (n > 0) memcpy(dst, src, n);
  dst[n] = '\0';
}

void set_err(char *err, size_t err_size, const char *fmt, ...) {
  if (err == nullptr || err_size == 0) return;
  va_list ap;
  va_start(ap, fmt);
  const int n = vsnprintf(err, err_size, fmt, ap);
  va_end(ap);
  if (n < 0) {
    err[0] = '\0';
  } else if (static_cast<size_t>(n) >= err_size) {
    err[tq_utf8_cut(err, err_size - 1)] = '\0';
  }
}

int tq_url_parse(const char *url, tq_url *out, char *err, size_t err_size) {
  memset(out, 0, sizeof *out);
  if (url == nullptr || url[0] == '\0') {
    set_err(err, err_size, "empty url");
    return -1;
  }

  static const struct {
    const char *prefix;
    int tls;
  } kSchemes[] = {{"https://", 1}, {"http://", 0}, {"wss://", 1}, {"ws://", 0}};
  const char *rest = nullptr;
  for (const auto &s : kSchemes) {
    const size_t n = strlen(s.prefix);
    if (strncmp(url, s.prefix, n) == 0) {
      rest = url + n;
      out->tls = s.tls;
      break;
    }
  }
  if (rest == nullptr) {
    set_err(err, err_size, "url must start with http(s):// or ws(s)://");
    return -1;
  }
  if (rest[0] == '[') {
    set_err(err, err_size, "IPv6 literals are not supported");
    return -1;
  }

  size_t auth_len = 0;
  while (!ends_authority(static_cast<unsigned char>(rest[auth_len]))) ++auth_len;
  if (auth_len == 0) {
    set_err(err, err_size, "url has no host");
    return -1;
  }
  if (auth_len > kMaxAuthority) {
    set_err(err, err_size, "host too long");
    return -1;
  }
  if (memchr(rest, '@', auth_len) != nullptr) {
    set_err(err, err_size, "userinfo in url is refused");
    return -1;
  }

  out->port = out->tls ? 443 : 80;
  size_t host_len = auth_len;
  const char *colon = static_cast<const char *>(memchr(rest, ':', auth_len));
  if (colon != nullptr) {
    host_len = static_cast<size_t>(colon - rest);
    const char *digits = colon + 1;
    const size_t ndigits = auth_len - host_len - 1;
    if (ndigits == 0 || ndigits > kMaxPortDigits) {
      set_err(err, err_size, "bad port");
      return -1;
    }
    long value = 0;
    for (size_t i = 0; i < ndigits; ++i) {
      if (digits[i] < '0' || digits[i] > '9') {
        set_err(err, err_size, "bad port");
        return -1;
      }
      value = value * 10 + (digits[i] - '0');
    }
    if (value < 1 || value > 65535) {
      set_err(err, err_size, "port out of range");
      return -1;
    }
    out->port = static_cast<int>(value);
  }
  // "http://:8080/" has an authority but no host; connecting to "" would
  // only fail later with a less helpful resolver message.
  if (host_len == 0) {
    set_err(err, err_size, "url has no host");
    return -1;
  }

  memcpy(out->host, rest, host_len);
  out->host[host_len] = '\0';
  if (strspn(out->host, kHostChars) != host_len) {
    set_err(err, err_size, "host contains forbidden characters");
    return -1;
  }

  memcpy(out->scheme, out->tls ? "https" : "http", out->tls ? 6 : 5);

  const char *target = rest + auth_len;
  if (*target == '/' || *target == '?') {
    const size_t path_len = strcspn(target, " #");
    // A cut target would silently ask the server for another resource.
    if (path_len >= sizeof out->path) {
      set_err(err, err_size, "url too long");
      return -1;
    }
    memcpy(out->path, target, path_len);
    out->path[path_len] = '\0';
  } else {
    out->path[0] = '/';
    out->path[1] = '\0';
  }
  return 0;
}

void tq_url_encode(const char *in, char *out, size_t out_size) {
  if (out == nullptr || out_size == 0) return;
  out[0] = '\0';
  if (in == nullptr) return;

  const unsigned char *u = reinterpret_cast<const unsigned char *>(in);
  size_t o = 0;
  size_t i = 0;
  for (; u[i] != '\0'; ++i) {
    if (is_unreserved(u[i])) {
      if (o + 2 > out_size) break;
      out[o++] = static_cast<char>(u[i]);
    } else {
      if (o + 4 > out_size) break;
      out[o++] = '%';
      out[o++] = kHexUpper[u[i] >> 4];
      out[o++] = kHexUpper[u[i] & 0x0F];
    }
  }
  if (u[i] != '\0') {
    // Stopped early: drop the escapes of a character whose last bytes did
    // not fit. Those bytes are all 0x80 and above, three output bytes each.
    const size_t keep = tq_utf8_cut(in, i);
    o -= 3 * (i - keep);
  }
  out[o] = '\0';
}

int tq_strcasecmp(const char *a, const char *b) {
  if (a == nullptr) a = "";
  if (b == nullptr) b = "";
  const unsigned char *ua = reinterpret_cast<const unsigned char *>(a);
  const unsigned char *ub = reinterpret_cast<const unsigned char *>(b);
  for (;; ++ua, ++ub) {
    const int ca = fold(*ua);
    const int cb = fold(*ub);
    if (ca != cb || ca == '\0') return ca - cb;
  }
}
