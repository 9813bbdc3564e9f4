// SearXNG: a self-hosted metasearch instance asked for its JSON output.
// Needs a base URL, no key.
#include <cstring>

#include "config/ws_config.h"
#include "sdk/tq_url.h"
#include "search/ws_backend_common.h"
#include "search/ws_search.h"
#include "util/ws_buf.h"

namespace {

constexpr char kName[] = "SearXNG";
// Longer URLs are cut here; the URL parser then refuses the overlong target.
constexpr size_t kUrlMax = 1599;

// SearXNG's "safesearch": 2 strict, 0 off, 1 for any other level.
const char *safe_code(const char *safe) {
  if (ws_ieq(safe, "strict")) return "2";
  if (ws_ieq(safe, "off")) return "0";
  return "1";
}

bool present(const char *s) {
  return s != nullptr && s[0] != '\0';
}

}  // namespace

int search_searxng(const ws_config *cfg, const char *query, int count, const char *language,
                   const char *safe, ws_results *list, int *status_out, char *err,
                   size_t err_size) {
  if (cfg->searxng_base[0] == '\0') {
    set_err(err, err_size,
            "SearXNG needs a base URL (a self-hosted instance). Set WEBSEARCH_SEARXNG_BASE, or "
            "set it on the plugin page.");
    return -1;
  }
  char base[512];
  ws_backend_base(base, sizeof base, cfg->searxng_base);

  ws_buf url;
  ws_buf_init(&url);
  ws_buf_guard free_url(&url);
  bool built = ws_buf_printf(&url, "%s/search?q=", base) == 0 &&
               ws_backend_put_encoded(&url, query) == 0 && ws_buf_puts(&url, "&format=json") == 0;
  if (built && present(cfg->searxng_categories)) {
    built = ws_buf_puts(&url, "&categories=") == 0 &&
            ws_backend_put_encoded(&url, cfg->searxng_categories) == 0;
  }
  if (built && present(language)) {
    built = ws_buf_puts(&url, "&language=") == 0 && ws_backend_put_encoded(&url, language) == 0;
  }
  if (built && present(safe)) {
    built = ws_buf_printf(&url, "&safesearch=%s", safe_code(safe)) == 0;
  }
  if (!built) {
    set_err(err, err_size, "out of memory");
    return -1;
  }
  if (url.len > kUrlMax) {
    url.len = kUrlMax;
    url.data[kUrlMax] = '\0';
  }

  ws_doc_ptr doc;
  if (ws_backend_fetch_json(cfg, kName, "GET", url.data, "Accept: application/json\r\n", nullptr, 0,
                            WS_TIMEOUT_GET_MS, status_out, &doc, err, err_size) != 0) {
    return -1;
  }
  yyjson_val *results = jarr(yyjson_doc_get_root(doc.get()), "results");
  if (results == nullptr) {
    set_err(err, err_size,
            "SearXNG answered without a results array - check that this instance allows "
            "?format=json (settings.yml: search.formats)");
    return -1;
  }
  static constexpr ws_result_keys kKeys = {"title", "content", "publishedDate"};
  return ws_backend_map(results, count, &kKeys, list, err, err_size);
}
