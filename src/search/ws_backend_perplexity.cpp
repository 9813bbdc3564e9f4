// Perplexity's search API: a keyed JSON POST returning ranked sources.

#include "config/ws_config.h"
#include "sdk/tq_url.h"
#include "search/ws_backend_common.h"
#include "search/ws_search.h"
#include "util/ws_buf.h"

namespace {

char *perplexity_body(const ws_config *, const char *query, int count) {
  return json_body(query, count, 0, 0);
}

constexpr ws_post_api kApi = {
    "Perplexity",
    "Perplexity needs an API key. Set PERPLEXITY_API_KEY, or save one on the plugin page.",
    "Authorization: Bearer %s\r\n", true, perplexity_body};

}  // namespace

int search_perplexity(const ws_config *cfg, const char *query, int count, ws_results *list,
                      int *status_out, char *err, size_t err_size) {
  ws_doc_ptr doc;
  if (ws_backend_post_json(&kApi, cfg, cfg->pplx_key, cfg->pplx_base, query, count, status_out,
                           &doc, err, err_size) != 0) {
    return -1;
  }
  yyjson_val *results = jarr(yyjson_doc_get_root(doc.get()), "results");
  if (results == nullptr) return 0;
  static constexpr ws_result_keys kKeys = {"title", "snippet", "date"};
  return ws_backend_map(results, count, &kKeys, list, err, err_size);
}
