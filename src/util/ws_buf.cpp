// Growable byte buffer, JSON string literal and the small string helpers.
#include "util/ws_buf.h"

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// First block of every buffer; most texts of the program fit in it.
constexpr size_t kFirstCap = 256;
// Past this capacity doubling would waste too much; grow to the exact need.
constexpr size_t kDoubleLimit = static_cast<size_t>(1) << 30;

// ASCII fold only: the program never changes the C locale, and a header name
// or provider id must not compare differently under another one.
inline unsigned char fold(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// Bytes that ws_json_str copies unchanged: everything from 0x20 up except
// the quote and the backslash.
struct json_plain_table {
  bool plain[256];
  constexpr json_plain_table() : plain() {
    for (int c = 0x20; c < 256; ++c) plain[c] = c != '"' && c != '\\';
  }
  constexpr bool operator[](unsigned char c) const { return plain[c]; }
};
constexpr json_plain_table kJsonPlain;

}  // namespace

void ws_buf_init(ws_buf *b) {
  b->data = nullptr;
  b->len = 0;
  b->cap = 0;
}

size_t ws_buf_grow_cap(size_t cap, size_t need) {
  if (cap == 0) cap = kFirstCap;
  while (cap < need && cap <= kDoubleLimit) cap *= 2;
  return cap < need ? need : cap;
}

int ws_buf_need(ws_buf *b, size_t n) {
  if (n > SIZE_MAX - 1 || b->len > SIZE_MAX - 1 - n) return -1;
  const size_t need = b->len + n + 1;
  if (b->cap >= need) return 0;

  const size_t cap = ws_buf_grow_cap(b->cap, need);
  char *p = static_cast<char *>(realloc(b->data, cap));
  if (p == nullptr) return -1;
  b->data = p;
  b->cap = cap;
  return 0;
}

int ws_buf_add(ws_buf *b, const void *src, size_t n) {
  if (src == nullptr) n = 0;
  if (ws_buf_need(b, n) != 0) return -1;
  if (n != 0) memcpy(b->data + b->len, src, n);
  b->len += n;
  b->data[b->len] = '\0';
  return 0;
}

int ws_buf_puts(ws_buf *b, const char *s) {
  return ws_buf_add(b, s, s != nullptr ? strlen(s) : 0);
}

int ws_buf_putc(ws_buf *b, int c) {
  const char ch = static_cast<char>(static_cast<unsigned char>(c));
  return ws_buf_add(b, &ch, 1);
}

int ws_buf_printf(ws_buf *b, const char *fmt, ...) {
  va_list ap;
  va_list measure;
  va_start(ap, fmt);
  va_copy(measure, ap);
  const int want = vsnprintf(nullptr, 0, fmt, measure);
  va_end(measure);
  if (want < 0 || ws_buf_need(b, static_cast<size_t>(want)) != 0) {
    va_end(ap);
    return -1;
  }
  const int wrote = vsnprintf(b->data + b->len, b->cap - b->len, fmt, ap);
  va_end(ap);
  if (wrote != want) {
    // The two passes disagreed (a changing argument): keep the old text.
    b->data[b->len] = '\0';
    return -1;
  }
  b->len += static_cast<size_t>(want);
  return 0;
}

const char *ws_buf_str(const ws_buf *b) {
  return b->data != nullptr ? b->data : "";
}

void ws_buf_free(ws_buf *b) {
  free(b->data);
  ws_buf_init(b);
}

int ws_json_str(ws_buf *b, const char *s) {
  if (ws_buf_putc(b, '"') != 0) return -1;
  if (s != nullptr) {
    const char *run = s;  // start of bytes that pass unchanged
    const char *p = s;
    for (;; ++p) {
      // One table look-up per byte in the common case; the NUL that ends
      // the text is not plain, so the scan stops there too.
      while (kJsonPlain[static_cast<unsigned char>(*p)]) ++p;
      const unsigned char c = static_cast<unsigned char>(*p);
      if (c == '\0') break;
      if (ws_buf_add(b, run, static_cast<size_t>(p - run)) != 0) return -1;
      run = p + 1;
      int rc;
      switch (c) {
        case '"':
          rc = ws_buf_add(b, "\\\"", 2);
          break;
        case '\\':
          rc = ws_buf_add(b, "\\\\", 2);
          break;
        case '\n':
          rc = ws_buf_add(b, "\\n", 2);
          break;
        case '\r':
          rc = ws_buf_add(b, "\\r", 2);
          break;
        case '\t':
          rc = ws_buf_add(b, "\\t", 2);
          break;
        default: {
          // Other bytes below 0x20: \u00XX in lower-case hex, written by
          // hand (formatting it cost more than the rest of the string).
          static constexpr char kHex[] = "0123456789abcdef";
          const char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0x0F]};
          rc = ws_buf_add(b, esc, sizeof esc);
          break;
        }
      }
      if (rc != 0) return -1;
    }
    if (ws_buf_add(b, run, static_cast<size_t>(p - run)) != 0) return -1;
  }
  return ws_buf_putc(b, '"');
}

size_t ws_utf8_cut(const char *s, size_t n) {
  if (s == nullptr || n == 0) return 0;
  const unsigned char *u = reinterpret_cast<const unsigned char *>(s);
  // Step back over at most three continuation bytes to the lead byte.
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
    return n;  // ASCII, or bytes that are no UTF-8 at all: nothing to keep whole
  }
  const size_t have = n - (i - 1);
  return have < want ? i - 1 : n;
}

void ws_copy(char *dst, size_t size, const char *src) {
  if (dst == nullptr || size == 0) return;
  if (src == nullptr) {
    dst[0] = '\0';
    return;
  }
  size_t n = strnlen(src, size);
  if (n >= size) n = ws_utf8_cut(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

int ws_ieq(const char *a, const char *b) {
  if (a == nullptr || b == nullptr) return 0;
  for (;; ++a, ++b) {
    const unsigned char ca = static_cast<unsigned char>(*a);
    const unsigned char cb = static_cast<unsigned char>(*b);
    if (ca == '\0') return cb == '\0' ? 1 : 0;
    if (cb == '\0' || fold(ca) != fold(cb)) return 0;
  }
}

int ws_iprefix(const char *text, const char *prefix) {
  if (text == nullptr || prefix == nullptr) return 0;
  for (;; ++text, ++prefix) {
    const unsigned char cp = static_cast<unsigned char>(*prefix);
    const unsigned char ct = static_cast<unsigned char>(*text);
    if (cp == '\0') return 1;
    if (ct == '\0' || fold(ct) != fold(cp)) return 0;
  }
}

const char *ws_memmem(const char *hay, size_t hay_len, const char *needle) {
  if (hay == nullptr || needle == nullptr) return nullptr;
  const size_t n = strlen(needle);
  if (n == 0 || n > hay_len) return nullptr;
  const size_t last = hay_len - n;
  for (size_t i = 0; i <= last; ++i) {
    if (hay[i] == needle[0] && memcmp(hay + i, needle, n) == 0) return hay + i;
  }
  return nullptr;
}

ws_heap_text::~ws_heap_text() {
  free(p);
}
