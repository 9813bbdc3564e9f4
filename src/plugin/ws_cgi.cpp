// One CGI request: the dispatch between the settings page and the JSON
// actions, and the info action.
#include <cstdlib>
#include <cstring>

#include "plugin/ws_cgi.h"
#include "plugin/ws_cgi_mcp.h"
#include "plugin/ws_meta.h"
#include "plugin/ws_modes.h"
#include "search/ws_registry.h"
#include "search/ws_search.h"

namespace {

// The body's `action` when it is a non-empty string (cut to fit), else 0.
int body_action(const ws_cgi_body &body, char *action, size_t size) {
  yyjson_val *v = cgi_obj_first(body.obj, "action");
  if (!yyjson_is_str(v) || yyjson_get_len(v) == 0) return 0;
  ws_copy(action, size, yyjson_get_str(v));
  return 1;
}

void dispatch(const char *action, const char *query, yyjson_val *body, ws_config *cfg) {
  if (strcmp(action, "providers") == 0 || strcmp(action, "config") == 0) {
    api_config(cfg);
  } else if (strcmp(action, "save") == 0) {
    // A browser form may post text/plain to any site without asking; only
    // a script of the page itself can send JSON. A save in the query string
    // alone (no body) stays open to scripts.
    const char *length = getenv("CONTENT_LENGTH");
    if (length != nullptr && cgi_atol(length) > 0 && !cgi_content_is_json(getenv("CONTENT_TYPE"))) {
      json_err(415, "save takes a JSON body (Content-Type: application/json)");
      return;
    }
    cgi_action_save(query, body);
  } else if (strcmp(action, "search") == 0) {
    cgi_action_search(query, body, cfg);
  } else if (strcmp(action, "info") == 0) {
    cgi_action_info(cfg);
  } else if (action[0] == '\0') {
    json_err(400, "action is required");
  } else {
    json_err(404, "unknown action");
  }
}

}  // namespace

void cgi_action_info(const ws_config *cfg) {
  ws_buf b;
  ws_buf_init(&b);
  ws_buf_guard guard(&b);
  int rc = ws_buf_printf(&b,
                         "{\"ok\":true,\"id\":\"plugin_websearch\",\"version\":\"%s\",\"kind\":"
                         "\"mcp\",\"providers\":[",
                         WS_VERSION);
  for (int i = 0; i < WS_PROVIDER_COUNT && rc == 0; i++) {
    rc = ws_buf_printf(&b, "%s\"%s\"", i ? "," : "", WS_PROVIDERS[i].id);
  }
  if (rc == 0) rc = ws_buf_puts(&b, "],\"active\":");
  if (rc == 0) rc = ws_json_str(&b, ws_provider_active(cfg));
  if (rc == 0) rc = ws_buf_puts(&b, "}");
  json_raw(rc == 0 ? b.data : nullptr);
}

int cgi_content_is_json(const char *content_type) {
  if (content_type == nullptr) return 0;
  while (*content_type == ' ' || *content_type == '\t') content_type++;
  if (!ws_iprefix(content_type, "application/json")) return 0;
  const char next = content_type[16];
  return next == '\0' || next == ';' || next == ' ' || next == '\t';
}

int mode_cgi(const char *query_string, const char *method, ws_config *cfg) {
  const char *query = query_string ? query_string : "";
  if (cgi_is_mcp(query, getenv("PATH_INFO"))) {
    cgi_action_mcp(query, method, cfg);
    return 0;
  }
  char action[64];
  ws_cgi_body body;
  if (get_query_val(query, "action", action, sizeof action)) {
    if (!require_node_auth(query) || !require_same_site()) return 0;
    cgi_read_body(&body);
  } else if (strstr(query, "format=json")) {
    if (!require_node_auth(query) || !require_same_site()) return 0;
    cgi_read_body(&body);
    if (!body_action(body, action, sizeof action)) {
      api_config(cfg);
      return 0;
    }
  } else if (method && ws_ieq(method, "POST")) {
    if (!require_node_auth(query) || !require_same_site()) return 0;
    cgi_read_body(&body);
    if (!body_action(body, action, sizeof action)) {
      json_err(400, "action is required");
      return 0;
    }
  } else {
    if (!require_node_auth(query)) return 0;
    cgi_write_page();
    return 0;
  }
  dispatch(action, query, body.obj, cfg);
  return 0;
}
