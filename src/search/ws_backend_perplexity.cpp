// Perplexity's search API: a keyed JSON POST returning ranked sources.
#include <cstdlib>
#include <cstring>

#include "config/ws_config.h"
#include "sdk/tq_url.h"
#include "search/ws_backend_common.h"
#include "search/ws_search.h"
#include "util/ws_buf.h"

namespace {
constexpr char kName[] = "Perplexity";
}  // namespace

int search_perplexity(const ws_config *cfg, const char *query, int count, ws_results *list,
                      int *status_out, char *err, size_t err_size) {
  if (cfg->pplx_key[0] == '\0') {
    set_err(err, err_size,
            "Perplexity needs an API key. Set PERPLEXITY_API_KEY, or save one on the plugin "
            "page.");
    return -1;
  }
  if (ws_backend_key_ok(kName, cfg->pplx_key, err, err_size) != 0) return -1;

  ws_buf url, headers;
  ws_buf_init(&url);
  ws_buf_init(&headers);
  ws_buf_guard free_url(&url), free_headers(&headers);
  ws_heap_text body(json_body(query, count, 0, 0));
  bool built = body.p != nullptr && ws_backend_post_url(&url, cfg->pplx_base, true) == 0 &&
               ws_buf_printf(&headers,
                             "Content-Type: application/json\r\nAccept: application/json\r\n"
                             "Authorization: Bearer %s\r\n",
                             cfg->pplx_key) == 0;
  if (!built) {
    set_err(err, err_size, "out of memory");
    return -1;
  }

  ws_doc_ptr doc;
  int rc = ws_backend_fetch_json(kName, "POST", url.data, headers.data, body.p, strlen(body.p),
                                 WS_TIMEOUT_POST_MS, status_out, &doc, err, err_size);
  free(body.release());
  if (rc != 0) return -1;

  yyjson_val *results = jarr(yyjson_doc_get_root(doc.get()), "results");
  if (results == nullptr) return 0;
  static constexpr ws_result_keys kKeys = {"title", "snippet", "date"};
  return ws_backend_map(results, count, &kKeys, list, err, err_size);
}
