// Tavily: a keyed JSON POST; the only backend that can deliver an answer text.
#include <cstdlib>
#include <cstring>

#include "config/ws_config.h"
#include "sdk/tq_url.h"
#include "search/ws_backend_common.h"
#include "search/ws_search.h"
#include "util/ws_buf.h"

namespace {
constexpr char kName[] = "Tavily";
}  // namespace

int search_tavily(const ws_config *cfg, const char *query, int count, ws_results *list,
                  int *status_out, char *err, size_t err_size) {
  if (cfg->tavily_key[0] == '\0') {
    set_err(err, err_size,
            "Tavily needs an API key. Set TAVILY_API_KEY, or save one on the plugin page.");
    return -1;
  }
  if (ws_backend_key_ok(kName, cfg->tavily_key, err, err_size) != 0) return -1;

  ws_buf url, headers;
  ws_buf_init(&url);
  ws_buf_init(&headers);
  ws_buf_guard free_url(&url), free_headers(&headers);
  ws_heap_text body(json_body(query, count, cfg->tavily_advanced, cfg->tavily_answer));
  bool built = body.p != nullptr && ws_backend_post_url(&url, cfg->tavily_base, false) == 0 &&
               ws_buf_printf(&headers,
                             "Content-Type: application/json\r\nAccept: application/json\r\n"
                             "Authorization: Bearer %s\r\n",
                             cfg->tavily_key) == 0;
  if (!built) {
    set_err(err, err_size, "out of memory");
    return -1;
  }

  ws_doc_ptr doc;
  int rc = ws_backend_fetch_json(kName, "POST", url.data, headers.data, body.p, strlen(body.p),
                                 WS_TIMEOUT_POST_MS, status_out, &doc, err, err_size);
  free(body.release());
  if (rc != 0) return -1;

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
