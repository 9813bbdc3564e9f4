// The upstream adapter: one HTTP exchange per call, and the routines every
// backend shares to read answers and word failures the same way.
#include "search/ws_http.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include "sdk/tq_conn.h"
#include "sdk/tq_http.h"
#include "sdk/tq_proxy.h"
#include "sdk/tq_pool.h"
#include "sdk/tq_url.h"
#include "util/ws_buf.h"
#include "util/ws_redact.h"
#include "util/ws_text.h"

namespace {

constexpr int kConnectDefaultMs = 15000;
constexpr int kRequestDefaultMs = 20000;
// A non-JSON error body contributes at most this much raw text.
constexpr size_t kRawDetail = 300;

struct mut_doc_deleter {
  void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};

yyjson_val *first_member(yyjson_val *obj, const char *key) {
  if (obj == nullptr || key == nullptr || !yyjson_is_obj(obj)) return nullptr;
  size_t key_len = strlen(key);
  yyjson_obj_iter it = yyjson_obj_iter_with(obj);
  yyjson_val *k;
  while ((k = yyjson_obj_iter_next(&it)) != nullptr) {
    if (yyjson_get_len(k) == key_len && memcmp(yyjson_get_str(k), key, key_len) == 0) {
      return yyjson_obj_iter_get_val(k);
    }
  }
  return nullptr;
}

yyjson_doc *read_strict(const char *text, size_t len) {
  // Without YYJSON_READ_INSITU the reader never writes to the text.
  return yyjson_read_opts(const_cast<char *>(text), len, 0, nullptr, nullptr);
}

// The service's own explanation in a JSON error body, or NULL.
const char *json_detail(yyjson_val *root) {
  if (const char *s = jstr(root, "message")) return s;
  if (const char *s = jstr(root, "error")) return s;
  if (const char *s = jstr(root, "detail")) return s;
  yyjson_val *error = first_member(root, "error");
  return yyjson_is_obj(error) ? jstr(error, "message") : nullptr;
}

}  // namespace

void ws_http_cgi_mode(void) {
  tq_proxy_set_cgi(1);
}

int ws_http_do(const char *method, const char *url, const char *headers, const void *body,
               size_t body_len, int timeout_ms, ws_resp *resp) {
  if (resp == nullptr) return -1;
  memset(resp, 0, sizeof *resp);
  if (url == nullptr || url[0] == '\0') {
    ws_copy(resp->error, sizeof resp->error, "no URL configured for this provider");
    return -1;
  }
  char msg[512] = "";
  tq_url parsed;
  if (tq_url_parse(url, &parsed, msg, sizeof msg) != 0) {
    ws_copy(resp->error, sizeof resp->error, msg[0] ? msg : "unsupported URL");
    return -1;
  }
  // In the MCP server the connection may be a kept one, and may be kept
  // again afterwards; everywhere else it carries this one exchange.
  const int connect_ms = timeout_ms > 0 ? timeout_ms : kConnectDefaultMs;
  const int request_ms = timeout_ms > 0 ? timeout_ms : kRequestDefaultMs;
  const bool send_body = body != nullptr && body_len != 0;
  tq_conn *conn = nullptr;
  msg[0] = '\0';
  const int rc =
      tq_pool_request(&parsed, method ? method : "GET", headers, send_body ? body : nullptr,
                      send_body ? body_len : 0, connect_ms, request_ms, &conn, msg, sizeof msg);
  if (rc != 0) {
    ws_copy(resp->error, sizeof resp->error,
            msg[0]     ? msg
            : rc == -1 ? "cannot connect"
                       : "request failed");
    return -1;
  }
  tq_pool_lease lease(conn);
  resp->status = conn->status;
  char *data = nullptr;
  size_t data_len = 0;
  if (tq_read_all(conn, &data, &data_len, request_ms) == 1) {
    lease.clean = true;  // read to its framed end, or to the server's close
  } else {
    if (data != nullptr) {
      free(data);
      ws_copy(resp->error, sizeof resp->error, "cannot read the response body");
      return -1;
    }
    // A body that cannot be read reaches the backend as an empty one, with
    // the real status, and is reported there as an empty response.
    data_len = 0;
  }
  if (data == nullptr) {
    data = static_cast<char *>(malloc(1));
    if (data == nullptr) {
      ws_copy(resp->error, sizeof resp->error, "out of memory");
      return -1;
    }
    data[0] = '\0';
    data_len = 0;
  }
  resp->body = data;
  resp->body_len = data_len;
  resp->ok = 1;
  return 0;
}

void ws_http_keep_connections(void) {
  tq_pool_enable();
}

void ws_http_close_kept(void) {
  tq_pool_shutdown();
}

void ws_resp_free(ws_resp *resp) {
  if (resp == nullptr) return;
  free(resp->body);
  resp->body = nullptr;
  resp->body_len = 0;
}

int parse_json(const ws_resp *resp, yyjson_doc **doc_out, const char *name, char *err,
               size_t err_size) {
  if (doc_out != nullptr) *doc_out = nullptr;
  if (name == nullptr) name = "";
  if (resp == nullptr || resp->body == nullptr || resp->body_len == 0) {
    set_err(err, err_size, "%s returned an empty response", name);
    return -1;
  }
  yyjson_doc *doc = read_strict(resp->body, resp->body_len);
  if (doc == nullptr) {
    set_err(err, err_size, "%s returned a body that is not JSON", name);
    return -1;
  }
  if (doc_out == nullptr) {
    yyjson_doc_free(doc);
    return 0;
  }
  *doc_out = doc;
  return 0;
}

const char *jstr(yyjson_val *object, const char *key) {
  yyjson_val *v = first_member(object, key);
  return yyjson_is_str(v) ? yyjson_get_str(v) : nullptr;
}

yyjson_val *jarr(yyjson_val *object, const char *key) {
  yyjson_val *v = first_member(object, key);
  return yyjson_is_arr(v) ? v : nullptr;
}

void upstream_error(const ws_resp *resp, const char *name, char *err, size_t err_size) {
  upstream_error_redacted(resp, name, nullptr, err, err_size);
}

void upstream_error_redacted(const ws_resp *resp, const char *name, const ws_secrets *secrets,
                             char *err, size_t err_size) {
  if (name == nullptr) name = "";
  long status = resp != nullptr ? resp->status : 0;
  char detail[320] = "";
  const char *body = resp != nullptr ? resp->body : nullptr;
  size_t body_len = body != nullptr ? resp->body_len : 0;
  if (body_len > 0) {
    std::unique_ptr<yyjson_doc, ws_doc_deleter> doc(read_strict(body, body_len));
    if (doc) {
      const char *s = json_detail(yyjson_doc_get_root(doc.get()));
      if (s != nullptr) {
        ws_copy(detail, sizeof detail, s);
        // Redacted after the cut, so a key that the cut shortened counts too.
        ws_redact(detail, sizeof detail, secrets, strlen(s) >= sizeof detail);
      }
    }
    if (detail[0] == '\0') {
      // The start of the page as plain text; the cut never splits a
      // UTF-8 sequence, so the converter sees only whole characters.
      char head[kRawDetail + 1];
      size_t n = body_len < kRawDetail ? body_len : ws_utf8_cut(body, kRawDetail);
      memcpy(head, body, n);
      head[n] = '\0';
      char text[321];
      ws_html_text(text, sizeof text, head);
      ws_copy(detail, sizeof detail, text);
      // Entities may spell a key that the raw bytes do not.
      ws_redact(detail, sizeof detail, secrets, n < body_len || strlen(text) >= sizeof detail);
    }
  }
  set_err(err, err_size, "%s returned HTTP %ld%s%s", name, status, detail[0] ? ": " : "", detail);
}

char *json_body(const char *query, int max_results, int advanced, int include_answer) {
  std::unique_ptr<yyjson_mut_doc, mut_doc_deleter> doc(yyjson_mut_doc_new(nullptr));
  if (!doc) return nullptr;
  yyjson_mut_val *root = yyjson_mut_obj(doc.get());
  if (root == nullptr) return nullptr;
  yyjson_mut_doc_set_root(doc.get(), root);
  if (query != nullptr && !yyjson_mut_obj_add_strcpy(doc.get(), root, "query", query)) {
    return nullptr;
  }
  if (!yyjson_mut_obj_add_int(doc.get(), root, "max_results", max_results)) return nullptr;
  if (advanced && !yyjson_mut_obj_add_str(doc.get(), root, "search_depth", "advanced")) {
    return nullptr;
  }
  if (include_answer && !yyjson_mut_obj_add_true(doc.get(), root, "include_answer")) {
    return nullptr;
  }
  return yyjson_mut_write_opts(doc.get(), 0, nullptr, nullptr, nullptr);
}
