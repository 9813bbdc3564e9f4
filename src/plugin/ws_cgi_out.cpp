// What the CGI endpoint writes: header blocks, JSON answers and the page.
#include <cstdio>
#include <cstring>

#include "plugin/ws_cgi.h"
#include "plugin/ws_render.h"
#include "search/ws_registry.h"
#include "search/ws_search.h"

// Generated at build time from src/plugin/page/: the page with its style
// sheet and script inlined and the two theme blocks replaced by the bytes
// 1 and 2, and the theme blocks themselves.
extern const char WS_PAGE_TEMPLATE[];
extern const unsigned long WS_PAGE_TEMPLATE_LEN;
extern const char WS_PAGE_THEME_HEAD_HTML[];
extern const unsigned long WS_PAGE_THEME_HEAD_HTML_LEN;
extern const char WS_PAGE_THEME_TAIL_HTML[];
extern const unsigned long WS_PAGE_THEME_TAIL_HTML_LEN;

const char WS_CGI_JSON_HEADER[] =
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n";

const char WS_CGI_PAGE_HEADER[] =
    "Content-Type: text/html; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "X-Frame-Options: SAMEORIGIN\r\n"
    "Content-Security-Policy: default-src 'none'; script-src 'unsafe-inline'; style-src "
    "'unsafe-inline'; img-src 'self' data:; connect-src 'self'; form-action 'none'; base-uri "
    "'none'\r\n"
    "\r\n";

const char WS_CGI_UNAUTHORIZED[] =
    "Status: 401 Unauthorized\r\n"
    "Content-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n"
    "\r\n"
    "{\"ok\":false,\"error\":\"invalid node password\"}\n";

void cgi_write(const char *data, size_t n) {
  size_t done = 0;
  while (done < n) {
    const size_t w = fwrite(data + done, 1, n - done, stdout);
    if (w == 0) break;  // the server went away; nothing more can be said
    done += w;
  }
  fflush(stdout);
}

void json_header(void) {
  cgi_write(WS_CGI_JSON_HEADER, strlen(WS_CGI_JSON_HEADER));
}

void json_raw(const char *text) {
  if (!text) text = "{\"ok\":true}";
  ws_buf b;
  ws_buf_init(&b);
  ws_buf_guard guard(&b);
  if (ws_buf_puts(&b, WS_CGI_JSON_HEADER) == 0 && ws_buf_puts(&b, text) == 0 &&
      ws_buf_putc(&b, '\n') == 0) {
    cgi_write(b.data, b.len);
    return;
  }
  // Out of memory: the same bytes, in pieces.
  json_header();
  cgi_write(text, strlen(text));
  cgi_write("\n", 1);
}

namespace {

const char *status_line(int code) {
  if (code == 400) return "Status: 400 Bad Request\r\n";
  if (code == 403) return "Status: 403 Forbidden\r\n";
  if (code == 404) return "Status: 404 Not Found\r\n";
  if (code == 415) return "Status: 415 Unsupported Media Type\r\n";
  return "Status: 500 Internal Server Error\r\n";
}

}  // namespace

void json_err(int code, const char *message) {
  ws_buf b;
  ws_buf_init(&b);
  ws_buf_guard guard(&b);
  if (ws_buf_puts(&b, status_line(code)) == 0 && ws_buf_puts(&b, WS_CGI_JSON_HEADER) == 0 &&
      ws_buf_puts(&b, "{\"ok\":false,\"error\":") == 0 && ws_json_str(&b, message) == 0 &&
      ws_buf_puts(&b, "}\n") == 0) {
    cgi_write(b.data, b.len);
    return;
  }
  // Out of memory: the status still has to reach the client. The messages
  // are the program's own constants and need no escaping.
  const char *line = status_line(code);
  cgi_write(line, strlen(line));
  json_header();
  const char *head = "{\"ok\":false,\"error\":\"";
  cgi_write(head, strlen(head));
  cgi_write(message, strlen(message));
  cgi_write("\"}\n", 3);
}

void api_config(const ws_config *cfg) {
  ws_heap_text doc(providers_json(cfg));
  const size_t n = doc.p != nullptr ? strlen(doc.p) : 0;
  if (n < 2 || doc.p[n - 1] != '}') {
    json_raw(doc.p);
    return;
  }
  // Which keys the environment supplies: the page says so, since "Clear
  // all keys" cannot remove them and they are never written to the file.
  ws_buf b;
  ws_buf_init(&b);
  ws_buf_guard guard(&b);
  int rc = ws_buf_add(&b, doc.p, n - 1);
  rc |= ws_buf_puts(&b, ",\"env_keys\":[");
  const char *sep = "";
  for (int i = 0; i < WS_PROVIDER_COUNT; i++) {
    const char *id = WS_PROVIDERS[i].id;
    if (!ws_provider_has_key(cfg, id) || !ws_config_key_from_env(id)) continue;
    rc |= ws_buf_printf(&b, "%s\"%s\"", sep, id);
    sep = ",";
  }
  rc |= ws_buf_puts(&b, "]}");
  json_raw(rc == 0 ? b.data : doc.p);
}

namespace {

// Hands the template to sink piece by piece: runs of ordinary bytes as they
// are, and a theme block in place of each marker byte. Stops at the first
// piece the sink refuses.
template <typename Sink>
int walk_template(Sink &&sink) {
  unsigned long i = 0;
  while (i < WS_PAGE_TEMPLATE_LEN) {
    const char c = WS_PAGE_TEMPLATE[i];
    int rc;
    if (c == '\x01') {
      rc = sink(WS_PAGE_THEME_HEAD_HTML, WS_PAGE_THEME_HEAD_HTML_LEN);
      i++;
    } else if (c == '\x02') {
      rc = sink(WS_PAGE_THEME_TAIL_HTML, WS_PAGE_THEME_TAIL_HTML_LEN);
      i++;
    } else {
      unsigned long j = i;
      while (j < WS_PAGE_TEMPLATE_LEN && WS_PAGE_TEMPLATE[j] != '\x01' &&
             WS_PAGE_TEMPLATE[j] != '\x02') {
        j++;
      }
      rc = sink(WS_PAGE_TEMPLATE + i, j - i);
      i = j;
    }
    if (rc != 0) return -1;
  }
  return 0;
}

}  // namespace

int ws_page_render(ws_buf *out) {
  return walk_template([out](const char *p, size_t n) { return ws_buf_add(out, p, n); });
}

void cgi_write_page(void) {
  ws_buf b;
  ws_buf_init(&b);
  ws_buf_guard guard(&b);
  if (ws_buf_puts(&b, WS_CGI_PAGE_HEADER) == 0 && ws_page_render(&b) == 0) {
    cgi_write(b.data, b.len);
    return;
  }
  // Out of memory: the same bytes, streamed piece by piece.
  cgi_write(WS_CGI_PAGE_HEADER, strlen(WS_CGI_PAGE_HEADER));
  walk_template([](const char *p, size_t n) {
    cgi_write(p, n);
    return 0;
  });
}
