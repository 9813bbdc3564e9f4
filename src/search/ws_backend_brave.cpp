// Brave Search API: a keyed JSON GET; results under "web"."results".
#include <cstring>

#include "config/ws_config.h"
#include "sdk/tq_url.h"
#include "search/ws_backend_common.h"
#include "search/ws_search.h"
#include "util/ws_buf.h"

namespace {

constexpr char kName[] = "Brave";
// Longer URLs are cut here; the URL parser then refuses the overlong target.
constexpr size_t kUrlMax = 1999;

bool present(const char *s) {
  return s != nullptr && s[0] != '\0';
}

// The value of the root's first "web" member when that is an object.
yyjson_val *web_object(yyjson_val *root) {
  if (!yyjson_is_obj(root)) return nullptr;
  yyjson_obj_iter it = yyjson_obj_iter_with(root);
  yyjson_val *key;
  while ((key = yyjson_obj_iter_next(&it)) != nullptr) {
    if (yyjson_equals_str(key, "web")) {
      yyjson_val *web = yyjson_obj_iter_get_val(key);
      return yyjson_is_obj(web) ? web : nullptr;
    }
  }
  return nullptr;
}

}  // namespace

int search_brave(const ws_config *cfg, const char *query, int count, const char *country,
                 const char *language, const char *freshness, ws_results *list, int *status_out,
                 char *err, size_t err_size) {
  if (cfg->brave_key[0] == '\0') {
    set_err(err, err_size,
            "Brave needs an API key. Set BRAVE_API_KEY, or save one on the plugin page.");
    return -1;
  }
  if (ws_backend_key_ok(kName, cfg->brave_key, err, err_size) != 0) return -1;
  char base[512];
  ws_backend_base(base, sizeof base, cfg->brave_base);

  ws_buf url, headers;
  ws_buf_init(&url);
  ws_buf_init(&headers);
  ws_buf_guard free_url(&url), free_headers(&headers);
  bool built = ws_buf_printf(&url, "%s/res/v1/web/search?q=", base) == 0 &&
               ws_backend_put_encoded(&url, query) == 0 &&
               ws_buf_printf(&url, "&count=%d", count) == 0;
  if (built && present(country)) {
    built = ws_buf_puts(&url, "&country=") == 0 && ws_backend_put_encoded(&url, country) == 0;
  }
  if (built && present(language)) {
    built = ws_buf_puts(&url, "&search_lang=") == 0 && ws_backend_put_encoded(&url, language) == 0;
  }
  if (built && present(freshness)) {
    built = ws_buf_puts(&url, "&freshness=") == 0 && ws_backend_put_encoded(&url, freshness) == 0;
  }
  built = built && ws_buf_printf(&headers,
                                 "Accept: application/json\r\nAccept-Encoding: identity\r\n"
                                 "X-Subscription-Token: %s\r\n",
                                 cfg->brave_key) == 0;
  if (!built) {
    set_err(err, err_size, "out of memory");
    return -1;
  }
  if (url.len > kUrlMax) {
    url.len = kUrlMax;
    url.data[kUrlMax] = '\0';
  }

  ws_doc_ptr doc;
  if (ws_backend_fetch_json(cfg, kName, "GET", url.data, headers.data, nullptr, 0,
                            WS_TIMEOUT_GET_MS, status_out, &doc, err, err_size) != 0) {
    return -1;
  }
  // No "web" object or no result array in it: a search without results.
  yyjson_val *results = jarr(web_object(yyjson_doc_get_root(doc.get())), "results");
  if (results == nullptr) return 0;
  static constexpr ws_result_keys kKeys = {"title", "description", "age"};
  return ws_backend_map(results, count, &kKeys, list, err, err_size);
}
