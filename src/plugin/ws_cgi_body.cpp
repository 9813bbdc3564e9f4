// The request body: its announced length, the bytes from standard input and
// the JSON object they may hold.
#include <cstdlib>
#include <cstring>

#include "plugin/ws_cgi.h"
#include "sdk/platform.h"
#include "sdk/platform_stdin.h"

ws_cgi_body::~ws_cgi_body() {
  if (doc) yyjson_doc_free(doc);
  free(text);
}

long cgi_body_length(const char *content_length) {
  if (!content_length || !*content_length) return 0;
  const long n = cgi_atol(content_length);
  if (n <= 0 || n > WS_CGI_BODY_MAX) return 0;
  return n;
}

void cgi_read_body(ws_cgi_body *body) {
  cgi_read_body_within(body, WS_CGI_BODY_DEADLINE_MS);
}

void cgi_read_body_within(ws_cgi_body *body, int timeout_ms) {
  const long want = cgi_body_length(getenv("CONTENT_LENGTH"));
  if (want == 0) return;
  // One deadline for the whole body: a client that sends a byte now and
  // then cannot keep the process any longer than one that sends nothing.
  const int64_t deadline = tq_platform_now_ms() + timeout_ms;
  const size_t n = static_cast<size_t>(want);
  char *text = static_cast<char *>(malloc(n + 1));
  if (!text) return;
  size_t got = 0;
  while (got < n) {
    const ptrdiff_t r = tq_plat_stdin_read(text + got, n - got, deadline);
    if (r == 0) break;
    if (r < 0) {
      // Late or broken: the request goes on as one without a body.
      free(text);
      return;
    }
    got += static_cast<size_t>(r);
  }
  text[got] = '\0';
  body->text = text;
  // Strict JSON over the text up to its first NUL byte.
  yyjson_read_err err;
  body->doc = yyjson_read_opts(text, strlen(text), 0, nullptr, &err);
  if (!body->doc) return;
  yyjson_val *root = yyjson_doc_get_root(body->doc);
  if (yyjson_is_obj(root)) body->obj = root;
}
