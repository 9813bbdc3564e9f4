// Quick loading of plain PEM bundles. A system bundle is nothing but
// "-----BEGIN X-----" / base64 lines / "-----END X-----" blocks, and
// BearSSL's general PEM decoder spends most of the first handshake's time
// on it. Such text is split and decoded here; text of any other shape is
// handed to tq_add_pem_mem whole, so the result never depends on the path.
#include <cstring>

#include "sdk/tq_tls.h"
#include "sdk/tq_tls_internal.h"

namespace {

struct line_view {
  const char *p;
  size_t n;
};

// The next line of text[*pos..len), without its "\n" and one "\r" before it.
bool next_line(const char *text, size_t len, size_t *pos, line_view *out) {
  if (*pos >= len) return false;
  const char *start = text + *pos;
  const void *nl = memchr(start, '\n', len - *pos);
  size_t n = nl ? static_cast<size_t>(static_cast<const char *>(nl) - start) : len - *pos;
  *pos += nl ? n + 1 : n;
  if (n > 0 && start[n - 1] == '\r') n--;
  *out = {start, n};
  return true;
}

bool has_prefix(line_view l, const char *prefix) {
  const size_t k = strlen(prefix);
  return l.n >= k && memcmp(l.p, prefix, k) == 0;
}

constexpr char kDashes[] = "-----";
constexpr size_t kDashLen = 5;
constexpr size_t kMaxLabel = 64;

// The label of a "-----<word> <label>-----" line, or an empty view.
line_view label_of(line_view l, const char *word) {
  const size_t k = strlen(word);
  if (l.n < k + kDashLen || !has_prefix(l, word)) return {nullptr, 0};
  if (memcmp(l.p + l.n - kDashLen, kDashes, kDashLen) != 0) return {nullptr, 0};
  return {l.p + k, l.n - k - kDashLen};
}

int b64_value(unsigned char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Decoder of one object's base64, into a buffer of the largest size an
// anchor may have; larger objects are only counted.
struct object_decoder {
  unsigned char der[TQ_MAX_ANCHOR_DER];
  size_t len = 0;
  bool oversize = false;
  uint32_t acc = 0;
  int bits = 0;
  size_t symbols = 0;
  int pad = 0;

  // false when the line holds anything but base64 in canonical form.
  bool push(line_view l) {
    for (size_t i = 0; i < l.n; i++) {
      const auto c = static_cast<unsigned char>(l.p[i]);
      symbols++;
      if (c == '=') {
        if (++pad > 2) return false;
        continue;
      }
      const int v = b64_value(c);
      if (v < 0 || pad > 0) return false;
      acc = ((acc << 6) | static_cast<uint32_t>(v)) & 0xFFFFFFu;
      bits += 6;
      if (bits >= 8) {
        bits -= 8;
        if (len < sizeof der) {
          der[len++] = static_cast<unsigned char>(acc >> bits);
        } else {
          oversize = true;
        }
      }
    }
    return true;
  }

  // false unless the object ended on a whole quantum with zero spare bits.
  bool finish() const {
    if (symbols % 4 != 0) return false;
    if (bits != pad * 2) return false;
    return (acc & ((1u << bits) - 1)) == 0;
  }
};

// One walk over the text. With add false it only answers whether the text
// is plain PEM; with add true it adds every object and counts the anchors.
bool walk(const char *text, size_t len, bool add, int *added) {
  size_t pos = 0;
  line_view l;
  while (next_line(text, len, &pos, &l)) {
    if (l.n == 0) continue;
    const line_view label = label_of(l, "-----BEGIN ");
    if (!label.p || label.n == 0 || label.n > kMaxLabel) return false;  // not plain
    object_decoder obj;
    bool ended = false;
    while (next_line(text, len, &pos, &l)) {
      if (l.n == 0) return false;  // blank lines inside an object: not plain
      if (has_prefix(l, kDashes)) {
        const line_view end = label_of(l, "-----END ");
        if (!end.p || end.n != label.n || memcmp(end.p, label.p, label.n) != 0) return false;
        ended = true;
        break;
      }
      // BearSSL's decoder refuses a quantum split across two lines, so a
      // line of any other length is not plain here either.
      if (l.n % 4 != 0 || !obj.push(l)) return false;
    }
    if (!ended || !obj.finish()) return false;
    if (add && !obj.oversize) *added += tq_anchor_add_der(obj.der, obj.len);
  }
  return true;
}

}  // namespace

int tq_add_pem_bundle(const char *data, size_t len) {
  if (!data || len == 0) return -1;
  int added = 0;
  if (!walk(data, len, false, &added)) return tq_add_pem_mem(data, len);
  walk(data, len, true, &added);
  return added > 0 ? added : -1;
}
