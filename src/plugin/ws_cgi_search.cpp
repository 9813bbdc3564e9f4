// The search action: one test search through the same dispatcher the MCP
// tool uses, answered with the results or the error document.
#include <cstring>

#include "plugin/ws_cgi.h"
#include "plugin/ws_render.h"
#include "search/ws_search.h"

void cgi_action_search(const char *query, yyjson_val *body, const ws_config *cfg) {
  char q[512];
  if (!field_str(query, body, "q", q, sizeof q) && !field_str(query, body, "query", q, sizeof q)) {
    json_err(400, "q is required");
    return;
  }
  char provider[32], country[16], language[16], freshness[16], count_text[16];
  field_str(query, body, "provider", provider, sizeof provider);
  field_str(query, body, "country", country, sizeof country);
  field_str(query, body, "language", language, sizeof language);
  field_str(query, body, "freshness", freshness, sizeof freshness);
  field_str(query, body, "count", count_text, sizeof count_text);
  const int count = cgi_atoi(count_text);

  ws_results list;
  ws_results_init(&list);
  ws_results_guard list_guard(&list);
  int status = 0;
  char err[512];
  err[0] = '\0';
  const int rc = ws_search(cfg, provider, q, count, country, language, freshness, nullptr, &list,
                           &status, err, sizeof err);
  if (rc == 0) {
    ws_heap_text doc(results_json(&list));
    json_raw(doc.p);
    return;
  }
  // A failed search is an answer, not a failed request: status 200, ok false.
  const char *named = provider[0] ? provider : ws_provider_active(cfg);
  ws_heap_text doc(error_json(err, status, named));
  json_raw(doc.p ? doc.p : "{\"ok\":false,\"error\":\"out of memory\"}");
}
