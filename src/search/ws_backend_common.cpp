// Shared steps of the six backends.
#include "search/ws_backend_common.h"

#include <cstdlib>
#include <cstring>

#include "sdk/tq_url.h"
#include "util/ws_text.h"

void ws_backend_base(char *out, size_t out_size, const char *base) {
  if (out == nullptr || out_size == 0) return;
  ws_copy(out, out_size, base != nullptr ? base : "");
  size_t n = strlen(out);
  while (n > 0 && out[n - 1] == '/') out[--n] = '\0';
}

int ws_backend_post_url(ws_buf *url, const char *base, bool keep_search) {
  char trimmed[512];
  ws_backend_base(trimmed, sizeof trimmed, base);
  const size_t n = strlen(trimmed);
  if (keep_search && n > 6 && ws_ieq(trimmed + n - 7, "/search")) {
    return ws_buf_puts(url, trimmed);
  }
  return ws_buf_printf(url, "%s/search", trimmed);
}

int ws_backend_put_encoded(ws_buf *b, const char *src) {
  if (src == nullptr || src[0] == '\0') return 0;
  const size_t n = strlen(src);
  // Every byte becomes at most three; with that room reserved the encoder
  // cannot drop anything.
  if (n > (static_cast<size_t>(-1) - 1) / 3) return -1;
  if (ws_buf_need(b, 3 * n) != 0) return -1;
  ws_url_encode(src, b);
  return 0;
}

int ws_backend_key_ok(const char *name, const char *key, char *err, size_t err_size) {
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(key); *p != '\0'; ++p) {
    if (*p < 0x20 || *p == 0x7F) {
      set_err(err, err_size, "%s API key contains a control character", name);
      return -1;
    }
  }
  return 0;
}

void ws_backend_secrets(const ws_config *cfg, ws_secrets *out) {
  out->n = 0;
  if (cfg == nullptr) return;
  out->s[out->n++] = cfg->brave_key;
  out->s[out->n++] = cfg->tavily_key;
  out->s[out->n++] = cfg->exa_key;
  out->s[out->n++] = cfg->pplx_key;
}

int ws_backend_fetch(const ws_config *cfg, const char *name, const char *method, const char *url,
                     const char *headers, const void *body, size_t body_len, int timeout_ms,
                     ws_resp *resp, int *status_out, char *err, size_t err_size) {
  if (ws_http_do(method, url, headers, body, body_len, timeout_ms, resp) != 0) {
    set_err(err, err_size, "%s", resp->error);
    ws_resp_free(resp);
    return -1;
  }
  if (status_out != nullptr) *status_out = resp->status;
  if (!resp->ok || resp->status >= 400) {
    ws_secrets keys;
    ws_backend_secrets(cfg, &keys);
    upstream_error_redacted(resp, name, &keys, err, err_size);
    ws_resp_free(resp);
    return -1;
  }
  return 0;
}

int ws_backend_fetch_json(const ws_config *cfg, const char *name, const char *method,
                          const char *url, const char *headers, const void *body, size_t body_len,
                          int timeout_ms, int *status_out, ws_doc_ptr *doc, char *err,
                          size_t err_size) {
  ws_resp resp;
  if (ws_backend_fetch(cfg, name, method, url, headers, body, body_len, timeout_ms, &resp,
                       status_out, err, err_size) != 0) {
    return -1;
  }
  // The reader copies the body, so the response can go right after parsing.
  ws_resp_guard release(&resp);
  yyjson_doc *parsed = nullptr;
  if (parse_json(&resp, &parsed, name, err, err_size) != 0) return -1;
  doc->reset(parsed);
  return 0;
}

int ws_backend_post_json(const ws_post_api *api, const ws_config *cfg, const char *key,
                         const char *base, const char *query, int count, int *status_out,
                         ws_doc_ptr *doc, char *err, size_t err_size) {
  if (key[0] == '\0') {
    set_err(err, err_size, "%s", api->missing_key);
    return -1;
  }
  if (ws_backend_key_ok(api->name, key, err, err_size) != 0) return -1;

  ws_buf url, headers;
  ws_buf_init(&url);
  ws_buf_init(&headers);
  ws_buf_guard free_url(&url), free_headers(&headers);
  if (ws_backend_post_url(&url, base, api->keep_search) != 0) {
    set_err(err, err_size, "out of memory");
    return -1;
  }
  ws_heap_text body(api->make_body(cfg, query, count));
  if (body.p == nullptr ||
      ws_buf_puts(&headers, "Content-Type: application/json\r\nAccept: application/json\r\n") !=
          0 ||
      ws_buf_printf(&headers, api->auth_header, key) != 0) {
    set_err(err, err_size, "out of memory");
    return -1;
  }
  int rc =
      ws_backend_fetch_json(cfg, api->name, "POST", url.data, headers.data, body.p, strlen(body.p),
                            WS_TIMEOUT_POST_MS, status_out, doc, err, err_size);
  free(body.release());
  return rc;
}

int ws_backend_add(ws_results *list, const char *title, const char *url, const char *snippet,
                   const char *published, char *err, size_t err_size) {
  ws_result *r = ws_results_push(list);
  if (r == nullptr) {
    set_err(err, err_size, "out of memory");
    return -1;
  }
  fill_result(r, title, url, snippet, published);
  return 0;
}

int ws_backend_map(yyjson_val *results, int count, const ws_result_keys *keys, ws_results *list,
                   char *err, size_t err_size) {
  int added = 0;
  size_t idx, max;
  yyjson_val *el;
  yyjson_arr_foreach(results, idx, max, el) {
    if (added >= count) break;
    const char *url = jstr(el, "url");
    if (url == nullptr || url[0] == '\0') continue;
    if (ws_backend_add(list, jstr(el, keys->title), url, jstr(el, keys->snippet),
                       jstr(el, keys->published), err, err_size) != 0) {
      return -1;
    }
    ++added;
  }
  return 0;
}
