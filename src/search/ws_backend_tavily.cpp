// Tavily: a keyed JSON POST; the only backend that can deliver an answer text.

#include "config/ws_config.h"
#include "sdk/tq_url.h"
#include "search/ws_backend_common.h"
#include "search/ws_search.h"
#include "util/ws_buf.h"

namespace {

char *tavily_body(const ws_config *cfg, const char *query, int count) {
  return json_body(query, count, cfg->tavily_advanced, cfg->tavily_answer);
}

constexpr ws_post_api kApi = {
    "Tavily", "Tavily needs an API key. Set TAVILY_API_KEY, or save one on the plugin page.",
    "Authorization: Bearer %s\r\n", false, tavily_body};

}  // namespace

int search_tavily(const ws_config *cfg, const char *query, int count, ws_results *list,
                  int *status_out, char *err, size_t err_size) {
  ws_doc_ptr doc;
  if (ws_backend_post_json(&kApi, cfg, cfg->tavily_key, cfg->tavily_base, query, count, status_out,
                           &doc, err, err_size) != 0) {
    return -1;
  }
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  const char *answer = jstr(root, "answer");
  if (answer != nullptr && answer[0] != '\0' && ws_buf_puts(&list->answer, answer) != 0) {
    set_err(err, err_size, "out of memory");
    return -1;
  }
  yyjson_val *results = jarr(root, "results");
  if (results == nullptr) return 0;
  static constexpr ws_result_keys kKeys = {"title", "content", "published_date"};
  return ws_backend_map(results, count, &kKeys, list, err, err_size);
}
