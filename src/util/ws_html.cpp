// HTML fragments to plain text: tag removal, entity decoding, white space.
#include <cstring>

#include "util/ws_text.h"

namespace {

struct named_entity {
  const char *name;
  const char *text;
};

// Replacements are plain ASCII on purpose: titles and snippets end up in
// JSON and in terminals that may not render typographic punctuation.
constexpr named_entity kEntities[] = {
    {"amp", "&"},   {"lt", "<"},     {"gt", ">"},     {"quot", "\""},    {"apos", "'"},
    {"nbsp", " "},  {"ndash", "-"},  {"mdash", "--"}, {"hellip", "..."}, {"lsquo", "'"},
    {"rsquo", "'"}, {"ldquo", "\""}, {"rdquo", "\""},
};

// Longest entity name looked at; anything longer is ordinary text.
constexpr size_t kMaxName = 11;
constexpr unsigned long kMaxCodePoint = 0x10FFFF;

inline bool is_space(unsigned char c) {
  return c == 0x20 || (c >= 0x09 && c <= 0x0D);
}

inline unsigned char lower(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

int digit_value(unsigned char c, unsigned base) {
  if (c >= '0' && c <= '9') return c - '0';
  if (base == 16 && c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

size_t utf8_encode(unsigned long cp, char out[4]) {
  if (cp <= 0x7F) {
    out[0] = static_cast<char>(cp);
    return 1;
  }
  if (cp <= 0x7FF) {
    out[0] = static_cast<char>(0xC0 | (cp >> 6));
    out[1] = static_cast<char>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp <= 0xFFFF) {
    out[0] = static_cast<char>(0xE0 | (cp >> 12));
    out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (cp >> 18));
  out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (cp & 0x3F));
  return 4;
}

// The replacement for the lower-cased entity name (without "&" and ";"),
// written to rep; 0 when the name is no entity and stays ordinary text.
size_t entity_text(const char *name, size_t len, char rep[4]) {
  for (const named_entity &e : kEntities) {
    if (strlen(e.name) == len && memcmp(e.name, name, len) == 0) {
      const size_t n = strlen(e.text);
      memcpy(rep, e.text, n);
      return n;
    }
  }
  if (name[0] != '#') return 0;
  unsigned base = 10;
  size_t i = 1;
  if (i < len && name[i] == 'x') {
    base = 16;
    ++i;
  }
  if (i == len) return 0;
  unsigned long value = 0;
  for (; i < len; ++i) {
    const int d = digit_value(static_cast<unsigned char>(name[i]), base);
    if (d < 0) return 0;
    value = value * base + static_cast<unsigned long>(d);
    if (value > kMaxCodePoint) return 0;
  }
  if (value == 0) return 0;
  return utf8_encode(value, rep);
}

// Appends src[0..n) to the temporary text. When the block cannot grow the
// bytes are offered one at a time, so whatever still fits is kept.
void keep(ws_buf *b, const char *src, size_t n) {
  if (ws_buf_add(b, src, n) == 0) return;
  for (size_t i = 0; i < n; ++i) (void)ws_buf_putc(b, src[i]);
}

// Elements that format a run of text without breaking it: their tags are
// dropped without a space, so "<b>Cytoscape</b>.js" reads "Cytoscape.js".
constexpr const char *kInlineElements[] = {
    "a",    "abbr",   "b",   "bdi", "bdo",  "cite", "code", "data", "dfn",
    "em",   "font",   "i",   "kbd", "mark", "q",    "s",    "samp", "small",
    "span", "strong", "sub", "sup", "time", "u",    "var",  "wbr",
};
// Longest name in kInlineElements.
constexpr size_t kInlineNameMax = 6;

// Whether the tag at p ("<" or "</" and a name) opens or closes an inline
// element: the name, in any letter case, must end at white space, "/", ">"
// or the end of the text, so "<br>" and "<bdx>" are not "<b>".
bool inline_tag(const char *p) {
  size_t i = 1;
  if (p[i] == '/') ++i;
  char name[kInlineNameMax + 1];
  size_t n = 0;
  while ((p[i] >= 'a' && p[i] <= 'z') || (p[i] >= 'A' && p[i] <= 'Z')) {
    if (n == kInlineNameMax) return false;
    name[n++] = static_cast<char>(lower(static_cast<unsigned char>(p[i])));
    ++i;
  }
  if (n == 0) return false;
  const unsigned char end = static_cast<unsigned char>(p[i]);
  if (end != '\0' && end != '>' && end != '/' && !is_space(end)) return false;
  for (const char *e : kInlineElements) {
    if (strlen(e) == n && memcmp(e, name, n) == 0) return true;
  }
  return false;
}

// Skips a script or style block that starts at p ("<script..."). Returns
// where scanning goes on: after the closing tag, or the end of the text.
const char *skip_block(const char *p, const char *end_marker) {
  const char *close = strstr(p, end_marker);
  if (close == nullptr) return p + strlen(p);
  const char *gt = strchr(close + strlen(end_marker), '>');
  return gt != nullptr ? gt + 1 : close + strlen(close);
}

}  // namespace

void ws_html_unescape(char *out, size_t size, const char *src) {
  if (out == nullptr || size == 0) return;
  out[0] = '\0';
  if (src == nullptr || size == 1) return;

  size_t o = 0;
  const char *p = src;
  bool cut = false;
  while (*p != '\0') {
    if (o + 1 >= size) {
      cut = true;
      break;
    }
    if (*p != '&') {
      out[o++] = *p++;
      continue;
    }
    // The name may be at most kMaxName bytes, so the semicolon that ends it
    // lies within kMaxName + 1 bytes; looking further changes nothing.
    const char *semi = nullptr;
    for (size_t k = 1; k <= kMaxName + 1 && p[k] != '\0'; ++k) {
      if (p[k] == ';') {
        semi = p + k;
        break;
      }
    }
    const size_t name_len = semi != nullptr ? static_cast<size_t>(semi - p - 1) : 0;
    char rep[4];
    size_t rep_len = 0;
    if (name_len >= 1 && name_len <= kMaxName) {
      char name[kMaxName];
      for (size_t k = 0; k < name_len; ++k) {
        name[k] = static_cast<char>(lower(static_cast<unsigned char>(p[1 + k])));
      }
      rep_len = entity_text(name, name_len, rep);
    }
    if (rep_len == 0) {
      out[o++] = *p++;
      continue;
    }
    if (o + rep_len + 1 > size) {
      cut = true;
      break;
    }
    memcpy(out + o, rep, rep_len);
    o += rep_len;
    p = semi + 1;
  }
  if (cut) o = ws_utf8_cut(out, o);
  out[o] = '\0';
}

void ws_collapse(char *s) {
  if (s == nullptr) return;
  size_t w = 0;
  bool gap = false;  // white space seen since the last kept byte
  for (size_t r = 0; s[r] != '\0'; ++r) {
    const unsigned char c = static_cast<unsigned char>(s[r]);
    if (is_space(c)) {
      gap = true;
      continue;
    }
    if (gap && w > 0) s[w++] = ' ';
    gap = false;
    s[w++] = static_cast<char>(c);
  }
  s[w] = '\0';
}

void ws_html_text(char *out, size_t size, const char *html) {
  if (out == nullptr || size == 0) return;
  out[0] = '\0';
  if (html == nullptr) return;

  ws_buf text;
  ws_buf_init(&text);
  ws_buf_guard guard(&text);

  const char *p = html;
  while (*p != '\0') {
    if (*p != '<') {
      const char *lt = strchr(p, '<');
      const size_t run = lt != nullptr ? static_cast<size_t>(lt - p) : strlen(p);
      keep(&text, p, run);
      p += run;
      continue;
    }
    if (ws_iprefix(p, "<script")) {
      p = skip_block(p, "</script");
      keep(&text, " ", 1);
    } else if (ws_iprefix(p, "<style")) {
      p = skip_block(p, "</style");
      keep(&text, " ", 1);
    } else {
      const char *gt = strchr(p + 1, '>');
      if (gt == nullptr) break;  // unterminated tag: the rest is dropped
      const bool joins = inline_tag(p);
      p = gt + 1;
      if (!joins) keep(&text, " ", 1);
    }
  }

  ws_html_unescape(out, size, ws_buf_str(&text));
  ws_collapse(out);
}
