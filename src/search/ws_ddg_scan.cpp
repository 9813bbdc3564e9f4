// Scanning DuckDuckGo's HTML results page.
#include "search/ws_ddg_scan.h"

#include <cstring>

#include "sdk/tq_url.h"
#include "util/ws_buf.h"
#include "util/ws_text.h"

namespace {

constexpr char kTitleClass[] = "result__a";
constexpr char kSnippetClass[] = "result__snippet";
// The snippet anchor's href is never used; it only needs somewhere to go.
constexpr size_t kScratchHref = 1024;
// A protocol-relative link keeps at most this much of its href after "https:".
constexpr size_t kSchemelessMax = 2030;

constexpr const char *kChallengeMarkers[] = {"anomaly-modal", "challenge-form", "g-recaptcha"};

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// Offset of needle in html[from, to), or `to` when it is not there.
size_t find(const char *html, size_t from, size_t to, const char *needle) {
  if (from >= to) return to;
  const char *hit = ws_memmem(html + from, to - from, needle);
  return hit != nullptr ? static_cast<size_t>(hit - html) : to;
}

size_t find_byte(const char *html, size_t from, size_t to, char c) {
  if (from >= to) return to;
  const void *hit = memchr(html + from, c, to - from);
  return hit != nullptr ? static_cast<size_t>(static_cast<const char *>(hit) - html) : to;
}

// An attribute "name=" inside the tag html[ts, te), where the name starts
// after white space, a quote or "/", so "data-class=" is not "class=".
// Returns the offset just after the "=", or 0 when there is none.
size_t find_attr(const char *html, size_t ts, size_t te, const char *name_eq) {
  size_t from = ts;
  while (true) {
    size_t at = find(html, from, te, name_eq);
    if (at == te) return 0;
    char before = html[at - 1];  // at > ts: the tag starts with "<a"
    if (is_space(before) || before == '"' || before == '\'' || before == '/') {
      return at + strlen(name_eq);
    }
    from = at + 1;
  }
}

// The value starting at v inside the tag html[.., te): quoted by " or ' up to
// the same quote, otherwise up to the next double quote. `closed` tells
// whether that closing byte lies inside the tag; when it does not, the value
// runs to the end of the tag, ">" included.
void attr_value(const char *html, size_t v, size_t te, size_t *vs, size_t *ve, bool *closed) {
  char quote = '"';
  *vs = v;
  if (v < te && (html[v] == '"' || html[v] == '\'')) {
    quote = html[v];
    *vs = v + 1;
  }
  *ve = find_byte(html, *vs, te, quote);
  *closed = *ve < te;
}

// "</a" that really closes an anchor: followed by ">", white space, or the
// end of the data (a page cut off right there).
size_t find_close(const char *html, size_t from, size_t to) {
  while (true) {
    size_t at = find(html, from, to, "</a");
    if (at == to) return to;
    size_t next = at + 3;
    if (next == to || html[next] == '>' || is_space(html[next])) return at;
    from = at + 1;
  }
}

// Copies at most max bytes of src[0, n) into out (room for max + 1),
// never ending inside a UTF-8 sequence.
void copy_cut(char *out, const char *src, size_t n, size_t max) {
  size_t k = n;
  if (k > max) k = ws_utf8_cut(src, max);
  memcpy(out, src, k);
  out[k] = '\0';
}

}  // namespace

int ws_ddg_find_anchor(const char *html, size_t html_len, size_t start, const char *class_name,
                       char *href_out, size_t href_cap, ws_ddg_anchor *out) {
  if (href_out != nullptr && href_cap > 0) href_out[0] = '\0';
  if (html == nullptr || class_name == nullptr) return 0;
  size_t pos = start;
  while (pos < html_len && html_len - pos > 2) {
    size_t ts = find(html, pos, html_len, "<a");
    if (ts == html_len) return 0;
    size_t gt = find_byte(html, ts + 2, html_len, '>');
    if (gt == html_len) return 0;
    size_t te = gt + 1;  // the tag is html[ts, te), ">" included
    pos = te;
    char after_name = html[ts + 2];
    if (!is_space(after_name) && after_name != '>' && after_name != '/') continue;

    size_t cv = find_attr(html, ts, te, "class=");
    if (cv == 0) continue;
    size_t vs, ve;
    bool closed;
    attr_value(html, cv, te, &vs, &ve, &closed);
    if (ws_memmem(html + vs, ve - vs, class_name) == nullptr) continue;

    size_t hv = find_attr(html, ts, te, "href=");
    if (hv != 0 && href_out != nullptr && href_cap > 0) {
      attr_value(html, hv, te, &vs, &ve, &closed);
      if (closed) copy_cut(href_out, html + vs, ve - vs, href_cap - 1);
    }

    size_t close = find_close(html, te, html_len);
    if (close == html_len) {
      if (href_out != nullptr && href_cap > 0) href_out[0] = '\0';
      return 0;
    }
    if (out != nullptr) {
      out->tag_start = ts;
      out->inner = te;
      out->inner_len = close - te;
    }
    return 1;
  }
  return 0;
}

int next_anchor(const char *html, size_t html_len, size_t start, const char *class_name,
                char *href_out, size_t href_cap, const char **inner_out, size_t *inner_len_out) {
  ws_ddg_anchor a;
  if (!ws_ddg_find_anchor(html, html_len, start, class_name, href_out, href_cap, &a)) return 0;
  if (inner_out != nullptr) *inner_out = html + a.inner;
  if (inner_len_out != nullptr) *inner_len_out = a.inner_len;
  return 1;
}

void ws_ddg_link(const char *href, char *out, size_t out_size) {
  if (out == nullptr || out_size == 0) return;
  out[0] = '\0';
  if (href == nullptr) return;
  // Attribute values carry HTML entities: "&amp;" in a link is "&".
  char decoded[WS_DDG_HREF_CAP];
  ws_html_unescape(decoded, sizeof decoded, href);
  if (decoded[0] != '/') {
    ws_copy(out, out_size, decoded);
    return;
  }
  // A redirect, local ("/l/?uddg=") or protocol-relative
  // ("//duckduckgo.com/l/?uddg="): the target is the uddg parameter.
  if (const char *u = strstr(decoded, "uddg=")) {
    u += 5;
    char raw[WS_DDG_LINK_CAP];
    copy_cut(raw, u, strcspn(u, "&"), sizeof raw - 1);
    char target[WS_DDG_LINK_CAP];
    ws_url_decode(target, sizeof target, raw);
    ws_copy(out, out_size, target);
    return;
  }
  if (decoded[1] == '/') {
    char link[WS_DDG_LINK_CAP];
    memcpy(link, "https:", 6);
    copy_cut(link + 6, decoded, strlen(decoded), kSchemelessMax);
    ws_copy(out, out_size, link);
    return;
  }
  ws_copy(out, out_size, decoded);
}

int ws_ddg_challenge(const char *html, size_t html_len) {
  if (html == nullptr) return 0;
  // The whole page is searched: a stray NUL byte must not hide a marker.
  for (const char *marker : kChallengeMarkers) {
    if (ws_memmem(html, html_len, marker) != nullptr) return 1;
  }
  return 0;
}

int ws_ddg_scan(const char *html, size_t html_len, int count, ws_results *list, char *err,
                size_t err_size) {
  if (html == nullptr || count <= 0) return 0;
  int added = 0;
  char href[WS_DDG_HREF_CAP];
  ws_ddg_anchor title_at;
  int have = ws_ddg_find_anchor(html, html_len, 0, kTitleClass, href, sizeof href, &title_at);
  while (have) {
    // The scan goes on right after "</a" of the title anchor.
    const size_t position = title_at.inner + title_at.inner_len + 3;
    char title[WS_DDG_TITLE_MAX + 1];
    copy_cut(title, html + title_at.inner, title_at.inner_len, WS_DDG_TITLE_MAX);
    char link[WS_DDG_LINK_CAP];
    ws_ddg_link(href, link, sizeof link);

    // A result's snippet lies between its title anchor and the next one;
    // a result without one must not borrow a later result's snippet.
    char next_href[WS_DDG_HREF_CAP];
    ws_ddg_anchor next_at;
    int have_next = ws_ddg_find_anchor(html, html_len, position, kTitleClass, next_href,
                                       sizeof next_href, &next_at);
    const size_t limit = have_next ? next_at.tag_start : html_len;
    char scratch[kScratchHref];
    ws_ddg_anchor snippet_at;
    char snippet[WS_DDG_SNIPPET_MAX + 1] = "";
    if (ws_ddg_find_anchor(html, limit, position, kSnippetClass, scratch, sizeof scratch,
                           &snippet_at)) {
      copy_cut(snippet, html + snippet_at.inner, snippet_at.inner_len, WS_DDG_SNIPPET_MAX);
    }

    if (link[0] != '\0' || title[0] != '\0') {
      ws_result *r = ws_results_push(list);
      if (r == nullptr) {
        set_err(err, err_size, "out of memory");
        return -1;
      }
      fill_result(r, title, link, snippet, "");
      if (++added >= count) return added;
    }
    if (!have_next) break;
    title_at = next_at;
    memcpy(href, next_href, sizeof href);
  }
  return added;
}

int ws_ddg_page(const char *html, size_t html_len, int count, ws_results *list, char *err,
                size_t err_size) {
  int added = ws_ddg_scan(html, html_len, count, list, err, err_size);
  if (added < 0) return -1;
  if (added == 0 && ws_ddg_challenge(html, html_len)) {
    set_err(err, err_size,
            "DuckDuckGo returned a bot-detection challenge instead of results. Retry later, or "
            "configure a keyed provider (Brave, Tavily, Exa, Perplexity) or your own SearXNG "
            "base URL.");
    return -1;
  }
  return 0;
}
