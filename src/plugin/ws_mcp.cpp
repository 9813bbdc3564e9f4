// The MCP server: JSON-RPC 2.0, one message per line on standard input, one
// reply line per request on standard output.
//
// Standard output is the protocol channel: nothing but complete reply lines
// may ever reach it, each written in one piece and flushed at once so that
// the host sees it the moment it is complete.
#include "plugin/ws_mcp.h"

#include <yyjson.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "plugin/ws_meta.h"
#include "plugin/ws_modes.h"
#include "plugin/ws_render.h"
#include "search/ws_http.h"
#include "search/ws_search.h"

namespace {

using doc_ptr = std::unique_ptr<yyjson_doc, ws_doc_deleter>;

struct free_deleter {
  void operator()(void *p) const { free(p); }
};

const char PROTOCOL_VERSION[] = "2025-06-18";

// The first member with exactly this key; later duplicates are never looked at.
yyjson_val *member(yyjson_val *obj, const char *key) {
  return yyjson_obj_getn(obj, key, strlen(key));
}

// Length-aware, so a string with an embedded NUL never passes for a shorter name.
bool str_is(yyjson_val *v, const char *name) {
  return yyjson_equals_strn(v, name, strlen(name));
}

// The id exactly as the client wrote it, in its own JSON type; "null" when
// there is none or it cannot be written.
int put_id(ws_buf *out, yyjson_val *id) {
  if (id == nullptr) return ws_buf_puts(out, "null");
  size_t n = 0;
  std::unique_ptr<char, free_deleter> text(yyjson_val_write_opts(id, 0, nullptr, &n, nullptr));
  if (!text) return ws_buf_puts(out, "null");
  return ws_buf_add(out, text.get(), n);
}

int send_result(ws_buf *out, yyjson_val *id, const char *result) {
  int failed = 0;
  failed |= ws_buf_puts(out, "{\"jsonrpc\":\"2.0\",\"id\":");
  failed |= put_id(out, id);
  failed |= ws_buf_puts(out, ",\"result\":");
  failed |= ws_buf_puts(out, result != nullptr ? result : "{}");
  failed |= ws_buf_puts(out, "}\n");
  return failed ? -1 : 0;
}

int send_error(ws_buf *out, yyjson_val *id, int code, const char *message) {
  int failed = 0;
  failed |= ws_buf_puts(out, "{\"jsonrpc\":\"2.0\",\"id\":");
  failed |= put_id(out, id);
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

int call_web_search(const ws_config *cfg, yyjson_val *args, yyjson_val *id, ws_buf *out) {
  char query[512] = "";
  char provider[32] = "";
  char country[16] = "";
  char language[16] = "";
  char freshness[16] = "";
  int count = 0;
  if (args != nullptr) {
    take_text(query, sizeof query, member(args, "query"));
    take_text(provider, sizeof provider, member(args, "provider"));
    take_text(country, sizeof country, member(args, "country"));
    take_text(language, sizeof language, member(args, "language"));
    take_text(freshness, sizeof freshness, member(args, "freshness"));
    count = take_count(member(args, "count"));
  }

  ws_results list;
  ws_results_init(&list);
  ws_results_guard list_guard(&list);
  int status = 0;
  char err[512] = "";
  int rc;
  if (query[0] == '\0') {
    ws_copy(err, sizeof err, "query is required");
    rc = -2;
  } else {
    rc = ws_search(cfg, provider, query, count, country, language, freshness, nullptr, &list,
                   &status, err, sizeof err);
  }

  if (rc != 0) {
    ws_heap_text doc(error_json(err, status, nullptr));
    ws_heap_text env(mcp_envelope(doc.p, 1));
    return send_result(out, id, env.p != nullptr ? env.p : "{\"content\":[],\"isError\":true}");
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
  return send_result(out, id, ws_buf_str(&res));
}

int answer_tools_call(const ws_config *cfg, yyjson_val *root, yyjson_val *id, ws_buf *out) {
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
  if (str_is(name, "web_search")) return call_web_search(cfg, args, id, out);
  return send_error(out, id, -32602, "unknown tool");
}

int answer(const ws_config *cfg, const char *line, size_t len, ws_buf *out) {
  // No reader flags: strict JSON over exactly the bytes of the line. The
  // reader does not write into its input without the in-situ flag.
  doc_ptr doc(yyjson_read_opts(const_cast<char *>(line), len, 0, nullptr, nullptr));
  if (!doc) return send_error(out, nullptr, -32700, "Parse error: not valid JSON");
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  if (!yyjson_is_obj(root)) {
    return send_error(out, nullptr, -32600, "Invalid request: expected an object");
  }
  if (yyjson_obj_size(root) == 0) return 0;

  yyjson_val *method = member(root, "method");
  if (!yyjson_is_str(method)) method = nullptr;
  yyjson_val *id = member(root, "id");
  if (id == nullptr) return 0;  // a notification: never answered
  if (method == nullptr) return send_error(out, id, -32600, "Invalid request: missing method");

  if (str_is(method, "initialize")) return answer_initialize(cfg, id, out);
  if (str_is(method, "ping")) return send_result(out, id, "{}");
  if (str_is(method, "tools/list")) return answer_tools_list(id, out);
  if (str_is(method, "tools/call")) return answer_tools_call(cfg, root, id, out);
  if (str_is(method, "resources/list")) return send_result(out, id, "{\"resources\":[]}");
  if (str_is(method, "resources/templates/list")) {
    return send_result(out, id, "{\"resourceTemplates\":[]}");
  }
  if (str_is(method, "prompts/list")) return send_result(out, id, "{\"prompts\":[]}");
  return send_error(out, id, -32601, "Method not found");
}

// Answers one line and writes the reply in one piece, flushed.
void serve_line(const ws_config *cfg, const char *line, size_t len) {
  ws_buf reply;
  ws_buf_init(&reply);
  ws_buf_guard guard(&reply);
  if (mcp_handle_line(cfg, line, len, &reply) != 0 || reply.len == 0) return;
  fwrite(reply.data, 1, reply.len, stdout);
  fflush(stdout);
}

}  // namespace

int mcp_handle_line(const ws_config *cfg, const char *line, size_t len, ws_buf *reply) {
  if (line == nullptr || len == 0) return 0;
  ws_buf out;
  ws_buf_init(&out);
  ws_buf_guard guard(&out);
  // Assembled apart and appended whole, so a failure leaves no half line.
  if (answer(cfg, line, len, &out) != 0) return -1;
  if (out.len == 0) return 0;
  return ws_buf_add(reply, out.data, out.len);
}

int mode_mcp(void) {
  std::unique_ptr<char, free_deleter> buffer(static_cast<char *>(malloc(WS_MCP_LINE_MAX + 1)));
  if (!buffer) return 1;
  ws_config cfg;
  ws_config_load(&cfg);
  // One session makes many requests to the same few services: connections
  // and TLS sessions are kept between them, and closed properly at the end.
  ws_http_keep_connections();

  // stdio reads the pipe in blocks and hands out what has arrived, so a
  // request is answered as soon as its newline is in; the next one is not
  // looked at before the reply has been flushed.
  char *line = buffer.get();
  size_t len = 0;
  for (;;) {
    const int c = getc(stdin);
    if (c == EOF) {
      if (len > 0) serve_line(&cfg, line, len);
      break;
    }
    if (c == '\n') {
      if (len > 0) serve_line(&cfg, line, len);
      len = 0;
      continue;
    }
    // Past the bound the rest of the line is dropped; the kept prefix is
    // answered like any other line when its newline arrives.
    if (len < WS_MCP_LINE_MAX) line[len++] = static_cast<char>(c);
  }
  ws_http_close_kept();
  return 0;
}
