// The MCP server's exchange: one JSON-RPC 2.0 request line in, at most one
// reply line out. The loops that read standard input and write the replies
// live in ws_mcp_serve.cpp.
#include "plugin/ws_mcp.h"

#include <yyjson.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "plugin/ws_meta.h"
#include "plugin/ws_modes.h"
#include "plugin/ws_render.h"
#include "search/ws_http.h"
#include "search/ws_search.h"

namespace {

using doc_ptr = std::unique_ptr<yyjson_doc, ws_doc_deleter>;

const char PROTOCOL_VERSION[] = "2025-06-18";

// The first member with exactly this key; later duplicates are never looked at.
yyjson_val *member(yyjson_val *obj, const char *key) {
  return yyjson_obj_getn(obj, key, strlen(key));
}

// Length-aware, so a string with an embedded NUL never passes for a shorter name.
bool str_is(yyjson_val *v, const char *name) {
  return yyjson_equals_strn(v, name, strlen(name));
}

// The id exactly as the client wrote it, in its own JSON type, as compact
// text; "null" when there is none or it cannot be written.
struct id_text {
  char *p = nullptr;  // malloc'ed by yyjson, or NULL for "null"
  size_t n = 0;
  explicit id_text(yyjson_val *id) {
    if (id != nullptr) p = yyjson_val_write_opts(id, 0, nullptr, &n, nullptr);
  }
  id_text(const id_text &) = delete;
  id_text &operator=(const id_text &) = delete;
  ~id_text() { free(p); }
  // Hands the text to the caller (NULL when there is none).
  char *release() {
    char *q = p;
    p = nullptr;
    return q;
  }
};

int put_id(ws_buf *out, const char *id, size_t id_len) {
  if (id == nullptr) return ws_buf_puts(out, "null");
  return ws_buf_add(out, id, id_len);
}

int send_result(ws_buf *out, const char *id, size_t id_len, const char *result) {
  int failed = 0;
  failed |= ws_buf_puts(out, "{\"jsonrpc\":\"2.0\",\"id\":");
  failed |= put_id(out, id, id_len);
  failed |= ws_buf_puts(out, ",\"result\":");
  failed |= ws_buf_puts(out, result != nullptr ? result : "{}");
  failed |= ws_buf_puts(out, "}\n");
  return failed ? -1 : 0;
}

int send_result(ws_buf *out, yyjson_val *id, const char *result) {
  id_text t(id);
  return send_result(out, t.p, t.n, result);
}

int send_error(ws_buf *out, yyjson_val *id, int code, const char *message) {
  id_text t(id);
  int failed = 0;
  failed |= ws_buf_puts(out, "{\"jsonrpc\":\"2.0\",\"id\":");
  failed |= put_id(out, t.p, t.n);
  failed |= ws_buf_printf(out, ",\"error\":{\"code\":%d,\"message\":", code);
  failed |= ws_json_str(out, message);
  failed |= ws_buf_puts(out, "}}\n");
  return failed ? -1 : 0;
}

int answer_initialize(const ws_config *cfg, yyjson_val *id, ws_buf *out) {
  ws_buf text;
  ws_buf_init(&text);
  ws_buf_guard text_guard(&text);
  int failed = ws_buf_printf(
      &text,
      "Web search across six backends: duckduckgo (no key), searxng (self-hosted), brave, "
      "tavily, exa and perplexity (API key). The default provider on this node is %s. "
      "web_search returns ranked title/url/snippet results; web_search_providers reports "
      "which backends are configured. A key is never returned, only has_key.",
      ws_provider_active(cfg));

  ws_buf res;
  ws_buf_init(&res);
  ws_buf_guard res_guard(&res);
  failed |= ws_buf_puts(&res, "{\"protocolVersion\":");
  failed |= ws_json_str(&res, PROTOCOL_VERSION);
  failed |= ws_buf_puts(&res,
                        ",\"capabilities\":{\"tools\":{\"listChanged\":false}},"
                        "\"serverInfo\":{\"name\":\"websearch-server\",\"version\":");
  failed |= ws_json_str(&res, WS_VERSION);
  failed |= ws_buf_puts(&res, "},\"instructions\":");
  // Escaped like every other string: a provider id is a plain word today,
  // and the reply must stay valid JSON whatever the record holds.
  failed |= json_str_utf8(&res, ws_buf_str(&text));
  failed |= ws_buf_putc(&res, '}');
  if (failed) return -1;
  return send_result(out, id, ws_buf_str(&res));
}

int answer_tools_list(yyjson_val *id, ws_buf *out) {
  ws_buf res;
  ws_buf_init(&res);
  ws_buf_guard res_guard(&res);
  int failed = 0;
  failed |= ws_buf_puts(&res, "{\"tools\":");
  failed |= ws_buf_puts(&res, WS_TOOL_SCHEMA);
  failed |= ws_buf_putc(&res, '}');
  return send_result(out, id, failed ? "{\"tools\":[]}" : ws_buf_str(&res));
}

// A string argument into its fixed field; any other type leaves it empty.
void take_text(char *dst, size_t size, yyjson_val *v) {
  if (yyjson_is_str(v)) ws_copy(dst, size, yyjson_get_str(v));
}

// count: an integer number, or a string read for its leading decimal digits
// the way atoi does. Values beyond the int range saturate instead of
// wrapping, so 3000000000 still asks for the most results, never a default.
int take_count(yyjson_val *v) {
  if (yyjson_is_uint(v)) {
    const uint64_t n = yyjson_get_uint(v);
    return n > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
  }
  if (yyjson_is_sint(v)) {
    const int64_t n = yyjson_get_sint(v);
    if (n > INT_MAX) return INT_MAX;
    if (n < INT_MIN) return INT_MIN;
    return static_cast<int>(n);
  }
  if (yyjson_is_str(v)) {
    const long n = strtol(yyjson_get_str(v), nullptr, 10);
    if (n > INT_MAX) return INT_MAX;
    if (n < INT_MIN) return INT_MIN;
    return static_cast<int>(n);
  }
  return 0;
}

void take_args(yyjson_val *args, mcp_search_args *a) {
  *a = {};
  if (args == nullptr) return;
  take_text(a->query, sizeof a->query, member(args, "query"));
  take_text(a->provider, sizeof a->provider, member(args, "provider"));
  take_text(a->country, sizeof a->country, member(args, "country"));
  take_text(a->language, sizeof a->language, member(args, "language"));
  take_text(a->freshness, sizeof a->freshness, member(args, "freshness"));
  a->count = take_count(member(args, "count"));
}

int search_reply(const ws_config *cfg, const mcp_search_args *a, const char *id, size_t id_len,
                 ws_buf *out) {
  ws_results list;
  ws_results_init(&list);
  ws_results_guard list_guard(&list);
  int status = 0;
  char err[512] = "";
  int rc;
  if (a->query[0] == '\0') {
    ws_copy(err, sizeof err, "query is required");
    rc = -2;
  } else {
    rc = ws_search(cfg, a->provider, a->query, a->count, a->country, a->language, a->freshness,
                   nullptr, &list, &status, err, sizeof err);
  }

  if (rc != 0) {
    ws_heap_text doc(error_json(err, status, nullptr));
    ws_heap_text env(mcp_envelope(doc.p, 1));
    return send_result(out, id, id_len,
                       env.p != nullptr ? env.p : "{\"content\":[],\"isError\":true}");
  }

  ws_heap_text text(results_text(&list));
  ws_heap_text doc(results_json(&list));
  ws_buf res;
  ws_buf_init(&res);
  ws_buf_guard res_guard(&res);
  int failed = 0;
  failed |= ws_buf_puts(&res, "{\"content\":[{\"type\":\"text\",\"text\":");
  failed |= json_str_utf8(&res, text.p != nullptr ? text.p : "");
  failed |= ws_buf_puts(&res, "}],\"structuredContent\":");
  failed |= ws_buf_puts(&res, doc.p != nullptr ? doc.p : "{}");
  failed |= ws_buf_putc(&res, '}');
  if (failed) return -1;
  return send_result(out, id, id_len, ws_buf_str(&res));
}

// A web_search call is either handed out in *call (the reader queues it)
// or, with call NULL, run here.
int answer_tools_call(const ws_config *cfg, yyjson_val *root, yyjson_val *id, ws_buf *out,
                      mcp_call *call, mcp_step *step) {
  yyjson_val *params = member(root, "params");
  if (!yyjson_is_obj(params)) return send_error(out, id, -32602, "tools/call needs params.name");
  yyjson_val *name = member(params, "name");
  yyjson_val *args = member(params, "arguments");
  if (!yyjson_is_obj(args)) args = nullptr;
  if (!yyjson_is_str(name)) return send_error(out, id, -32602, "tools/call needs params.name");

  if (str_is(name, "web_search_providers")) {
    ws_heap_text doc(providers_json(cfg));
    ws_heap_text env(mcp_envelope(doc.p, 0));
    return send_result(out, id, env.p != nullptr ? env.p : "{\"content\":[]}");
  }
  if (str_is(name, "web_search")) {
    mcp_search_args a;
    take_args(args, &a);
    id_text t(id);
    // A call without a query fails before any network request, so it is
    // answered here like every other immediate reply. So is a call whose id
    // could not be copied (memory ran out): it is answered with id null, as
    // the one-step exchange answers it.
    if (call == nullptr || a.query[0] == '\0' || t.p == nullptr) {
      return search_reply(cfg, &a, t.p, t.n, out);
    }
    call->id_len = t.n;
    call->id = t.release();
    call->args = a;
    *step = MCP_STEP_SEARCH;
    return 0;
  }
  return send_error(out, id, -32602, "unknown tool");
}

// A cancellation names the request in params.requestId; without one there
// is nothing to cancel.
int take_cancel(yyjson_val *root, mcp_call *call, mcp_step *step) {
  yyjson_val *params = member(root, "params");
  if (!yyjson_is_obj(params)) return 0;
  yyjson_val *target = member(params, "requestId");
  if (target == nullptr) return 0;
  id_text t(target);
  if (t.p == nullptr) return 0;
  call->id_len = t.n;
  call->id = t.release();
  *step = MCP_STEP_CANCEL;
  return 0;
}

}  // namespace

struct mcp_line {
  doc_ptr doc;  // NULL when the line is not JSON
};

mcp_line *mcp_line_parse(const char *line, size_t len) {
  auto *l = new (std::nothrow) mcp_line;
  if (l == nullptr) return nullptr;
  // No reader flags: strict JSON over exactly the bytes of the line. The
  // reader does not write into its input without the in-situ flag.
  if (line != nullptr && len > 0) {
    l->doc.reset(yyjson_read_opts(const_cast<char *>(line), len, 0, nullptr, nullptr));
  }
  return l;
}

void mcp_line_free(mcp_line *line) {
  delete line;
}

int mcp_line_is_tools_call(const mcp_line *line) {
  if (line == nullptr || !line->doc) return 0;
  yyjson_val *root = yyjson_doc_get_root(line->doc.get());
  if (!yyjson_is_obj(root) || member(root, "id") == nullptr) return 0;
  yyjson_val *method = member(root, "method");
  return yyjson_is_str(method) && str_is(method, "tools/call") ? 1 : 0;
}

int mcp_line_route(const ws_config *cfg, const mcp_line *line, ws_buf *reply, mcp_call *call,
                   mcp_step *step) {
  *step = MCP_STEP_ANSWERED;
  if (call != nullptr) *call = {};
  if (line == nullptr) return -1;
  ws_buf out;
  ws_buf_init(&out);
  ws_buf_guard guard(&out);
  // Assembled apart and appended whole, so a failure leaves no half line.
  if (!line->doc) {
    if (send_error(&out, nullptr, -32700, "Parse error: not valid JSON") != 0) return -1;
    return ws_buf_add(reply, out.data, out.len);
  }
  yyjson_val *root = yyjson_doc_get_root(line->doc.get());
  if (!yyjson_is_obj(root)) {
    if (send_error(&out, nullptr, -32600, "Invalid request: expected an object") != 0) return -1;
    return ws_buf_add(reply, out.data, out.len);
  }
  if (yyjson_obj_size(root) == 0) return 0;

  yyjson_val *method = member(root, "method");
  if (!yyjson_is_str(method)) method = nullptr;
  yyjson_val *id = member(root, "id");
  if (id == nullptr) {
    // A notification: never answered. Only a cancellation asks the reader
    // to do something.
    if (call != nullptr && method != nullptr && str_is(method, "notifications/cancelled")) {
      return take_cancel(root, call, step);
    }
    return 0;
  }
  int rc;
  if (method == nullptr) {
    rc = send_error(&out, id, -32600, "Invalid request: missing method");
  } else if (str_is(method, "initialize")) {
    rc = answer_initialize(cfg, id, &out);
  } else if (str_is(method, "ping")) {
    rc = send_result(&out, id, "{}");
  } else if (str_is(method, "tools/list")) {
    rc = answer_tools_list(id, &out);
  } else if (str_is(method, "tools/call")) {
    rc = answer_tools_call(cfg, root, id, &out, call, step);
  } else if (str_is(method, "resources/list")) {
    rc = send_result(&out, id, "{\"resources\":[]}");
  } else if (str_is(method, "resources/templates/list")) {
    rc = send_result(&out, id, "{\"resourceTemplates\":[]}");
  } else if (str_is(method, "prompts/list")) {
    rc = send_result(&out, id, "{\"prompts\":[]}");
  } else {
    rc = send_error(&out, id, -32601, "Method not found");
  }
  if (rc != 0) return -1;
  if (out.len == 0) return 0;
  return ws_buf_add(reply, out.data, out.len);
}

int mcp_run_search(const ws_config *cfg, const mcp_call *call, ws_buf *reply) {
  if (call == nullptr) return -1;
  ws_buf out;
  ws_buf_init(&out);
  ws_buf_guard guard(&out);
  if (search_reply(cfg, &call->args, call->id, call->id_len, &out) != 0) return -1;
  return ws_buf_add(reply, out.data, out.len);
}

void mcp_call_free(mcp_call *call) {
  if (call == nullptr) return;
  free(call->id);
  call->id = nullptr;
  call->id_len = 0;
}

int mcp_handle_line(const ws_config *cfg, const char *line, size_t len, ws_buf *reply) {
  if (line == nullptr || len == 0) return 0;
  std::unique_ptr<mcp_line, void (*)(mcp_line *)> parsed(mcp_line_parse(line, len), mcp_line_free);
  if (!parsed) return -1;
  mcp_step step;
  // No call record: a search runs here, and a cancellation is a plain
  // notification, since nothing else is ever running.
  return mcp_line_route(cfg, parsed.get(), reply, nullptr, &step);
}
