// Percent-decoding of query values and percent-encoding of parameters.
#include <cstring>

#include "util/ws_text.h"

namespace {

constexpr char kHexUpper[] = "0123456789ABCDEF";

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

inline bool is_unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

}  // namespace

void ws_url_decode(char *out, size_t size, const char *src) {
  if (out == nullptr || size == 0) return;
  out[0] = '\0';
  if (src == nullptr) return;

  const unsigned char *p = reinterpret_cast<const unsigned char *>(src);
  size_t o = 0;
  while (*p != '\0' && o + 1 < size) {
    if (*p == '%') {
      const int hi = hex_value(p[1]);
      const int lo = hi >= 0 ? hex_value(p[2]) : -1;
      if (lo >= 0) {
        out[o++] = static_cast<char>(hi * 16 + lo);
        p += 3;
        continue;
      }
      out[o++] = '%';
    } else if (*p == '+') {
      out[o++] = ' ';
    } else {
      out[o++] = static_cast<char>(*p);
    }
    ++p;
  }
  // A cut that falls inside a decoded multi-byte character drops all of it.
  if (*p != '\0') o = ws_utf8_cut(out, o);
  out[o] = '\0';
}

void ws_url_encode(const char *src, ws_buf *b) {
  if (src == nullptr || src[0] == '\0') return;
  // One reservation for the worst case; if that fails, each piece still
  // tries on its own and only what cannot be stored goes missing.
  const size_t n = strlen(src);
  if (n <= (static_cast<size_t>(-1) - 1) / 3) (void)ws_buf_need(b, 3 * n);
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(src); *p != '\0'; ++p) {
    if (is_unreserved(*p)) {
      (void)ws_buf_putc(b, *p);
    } else {
      const char esc[3] = {'%', kHexUpper[*p >> 4], kHexUpper[*p & 0x0F]};
      (void)ws_buf_add(b, esc, sizeof esc);
    }
  }
}
