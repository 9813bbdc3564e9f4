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

bool ascii_ieq(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; i++) {
    char x = a[i];
    char y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// Whether the white-space separated class list html[vs, ve) holds token.
bool has_class(const char *html, size_t vs, size_t ve, const char *token) {
  const size_t n = strlen(token);
  size_t i = vs;
  while (i < ve) {
    while (i < ve && is_space(html[i])) i++;
    size_t j = i;
    while (j < ve && !is_space(html[j])) j++;
    if (j - i == n && memcmp(html + i, token, n) == 0) return true;
    i = j;
  }
  return false;
}

// Whether the result block that holds a title anchor is a sponsored one.
// The block is the last "<div" in html[from, to) whose class list holds
// "result"; DuckDuckGo marks ads with "result--ad" in that list.
bool block_is_ad(const char *html, size_t from, size_t to) {
  bool ad = false;
  size_t pos = from;
  while (pos < to) {
    const size_t ts = find(html, pos, to, "<div");
    if (ts == to) break;
    pos = ts + 4;
    if (pos < to && !is_space(html[pos]) && html[pos] != '>') continue;
    const size_t gt = find_byte(html, pos, to, '>');
    if (gt == to) break;
    const size_t te = gt + 1;
    pos = te;
    const size_t cv = find_attr(html, ts, te, "class=");
    if (cv == 0) continue;
    size_t vs, ve;
    bool closed;
    attr_value(html, cv, te, &vs, &ve, &closed);
    if (has_class(html, vs, ve, "result")) ad = has_class(html, vs, ve, "result--ad");
  }
  return ad;
}

// Whether link (absolute with http or https, or protocol-relative) goes to
// one of hosts (NULL-terminated list; a leading "." also takes subdomains)
// with a path that is `path` itself, followed by a query, a fragment or
// nothing. Host letters are compared without regard to case.
bool link_goes_to(const char *link, const char *const *hosts, const char *path) {
  const char *h = link;
  if (ws_iprefix(h, "https://")) {
    h += 8;
  } else if (ws_iprefix(h, "http://")) {
    h += 7;
  } else if (h[0] == '/' && h[1] == '/') {
    h += 2;
  } else {
    return false;
  }
  const size_t host_len = strcspn(h, ":/?#");
  const char *p = h + host_len;
  if (*p == ':') p += strspn(p + 1, "0123456789") + 1;
  const size_t path_len = strlen(path);
  if (strncmp(p, path, path_len) != 0) return false;
  const char after = p[path_len];
  if (after != '\0' && after != '?' && after != '#') return false;
  for (size_t i = 0; hosts[i] != nullptr; i++) {
    const char *want = hosts[i];
    if (want[0] == '.') {
      const size_t n = strlen(want + 1);
      if (host_len == n && ascii_ieq(h, want + 1, n)) return true;
      if (host_len > n + 1 && ascii_ieq(h + host_len - n - 1, want, n + 1)) return true;
    } else if (strlen(want) == host_len && ascii_ieq(h, want, host_len)) {
      return true;
    }
  }
  return false;
}

constexpr const char *kAdHosts[] = {".duckduckgo.com", nullptr};
constexpr const char *kGoogleHosts[] = {"google.com", "www.google.com", nullptr};

// A page without hits carries one pseudo-result titled "EOF" that links to
// a Google search for the query; it is no result.
bool is_no_hit_marker(const char *title_html, const char *link) {
  if (!link_goes_to(link, kGoogleHosts, "/search")) return false;
  char text[8];
  ws_html_text(text, sizeof text, title_html);
  return strcmp(text, "EOF") == 0;
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
  size_t block_from = 0;  // where the current result's block may start
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

    // Sponsored entries and the no-hit marker are no results and do not
    // count towards `count`.
    const bool skip = block_is_ad(html, block_from, title_at.tag_start) ||
                      link_goes_to(link, kAdHosts, "/y.js") || is_no_hit_marker(title, link);
    block_from = position;
    if (!skip && (link[0] != '\0' || title[0] != '\0')) {
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
