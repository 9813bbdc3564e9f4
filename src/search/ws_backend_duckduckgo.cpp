// DuckDuckGo: the query posted as a form to the HTML-only front end, the
// results scraped from the page it returns. Needs no key.
#include <cstring>

#include "config/ws_config.h"
#include "sdk/tq_url.h"
#include "search/ws_backend_common.h"
#include "search/ws_ddg_scan.h"
#include "search/ws_search.h"
#include "util/ws_buf.h"

namespace {

constexpr char kName[] = "DuckDuckGo";
constexpr char kHeaders[] =
    "Content-Type: application/x-www-form-urlencoded\r\n"
    "Accept: text/html\r\n"
    "User-Agent: TORVALEBOT-websearch/1.0.3 (+https://torvale.bot/plugins/websearch)\r\n";

// DuckDuckGo's "kp": 1 strict, -2 off, -1 moderate (also for anything else).
const char *safe_code(const char *safe) {
  if (ws_ieq(safe, "strict")) return "1";
  if (ws_ieq(safe, "off")) return "-2";
  return "-1";
}

}  // namespace

int search_duckduckgo(const ws_config *cfg, const char *query, int count, const char *region,
                      const char *safe, ws_results *list, int *status_out, char *err,
                      size_t err_size) {
  char base[512];
  ws_backend_base(base, sizeof base,
                  cfg->ddg_base[0] != '\0' ? cfg->ddg_base : WS_DEFAULT_DDG_BASE);

  ws_buf url, body;
  ws_buf_init(&url);
  ws_buf_init(&body);
  ws_buf_guard free_url(&url), free_body(&body);
  // The form body is not cut: a shortened query would be searched silently.
  bool built = ws_buf_printf(&url, "%s/html/", base) == 0 && ws_buf_puts(&body, "q=") == 0 &&
               ws_backend_put_encoded(&body, query) == 0;
  if (built && region != nullptr && region[0] != '\0') {
    built = ws_buf_puts(&body, "&kl=") == 0 && ws_backend_put_encoded(&body, region) == 0;
  }
  built = built && ws_buf_printf(&body, "&kp=%s", safe_code(safe)) == 0;
  if (!built) {
    set_err(err, err_size, "out of memory");
    return -1;
  }

  ws_resp resp;
  if (ws_backend_fetch(cfg, kName, "POST", url.data, kHeaders, body.data, body.len,
                       WS_TIMEOUT_GET_MS, &resp, status_out, err, err_size) != 0) {
    return -1;
  }
  ws_resp_guard release(&resp);
  if (resp.body_len == 0) {
    set_err(err, err_size, "DuckDuckGo returned an empty page");
    return -1;
  }
  return ws_ddg_page(resp.body, resp.body_len, count, list, err, err_size);
}
