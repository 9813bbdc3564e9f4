// The search dispatcher and the readiness questions asked of the registry.
#include "search/ws_search.h"

#include <cstring>

#include "sdk/tq_conn.h"
#include "sdk/tq_url.h"
#include "util/ws_buf.h"

namespace {

constexpr char kFallback[] = "duckduckgo";

bool present(const char *field) {
  return field[0] != '\0';
}

// The readiness table; -1 when id names no backend.
int readiness(const ws_config *cfg, const char *id, bool want_ready) {
  if (cfg == nullptr || id == nullptr) return 0;
  if (ws_ieq(id, "duckduckgo")) return want_ready ? 1 : 0;
  if (ws_ieq(id, "searxng")) return want_ready && present(cfg->searxng_base) ? 1 : 0;
  if (ws_ieq(id, "brave")) return present(cfg->brave_key) ? 1 : 0;
  if (ws_ieq(id, "tavily")) return present(cfg->tavily_key) ? 1 : 0;
  if (ws_ieq(id, "exa")) return present(cfg->exa_key) ? 1 : 0;
  if (ws_ieq(id, "perplexity")) return present(cfg->pplx_key) ? 1 : 0;
  return 0;
}

int clamp_request(int count, const ws_config *cfg) {
  if (count > 0) return count > 20 ? 20 : count;
  int n = cfg->count > 20 ? 20 : cfg->count;
  return n > 0 ? n : 5;
}

const char *or_default(const char *given, const char *configured) {
  return (given != nullptr && given[0] != '\0') ? given : configured;
}

}  // namespace

const char *ws_provider_active(const ws_config *cfg) {
  if (cfg != nullptr && ws_provider_known(cfg->provider)) return cfg->provider;
  return kFallback;
}

int ws_provider_has_key(const ws_config *cfg, const char *id) {
  return readiness(cfg, id, false);
}

int ws_provider_ready(const ws_config *cfg, const char *id) {
  return readiness(cfg, id, true);
}

int ws_search(const ws_config *cfg, const char *provider, const char *query, int count,
              const char *country, const char *language, const char *freshness, const char *safe,
              ws_results *list, int *status_out, char *err, size_t err_size) {
  if (status_out != nullptr) *status_out = 0;
  if (err != nullptr && err_size > 0) err[0] = '\0';
  // Both callers always pass a loaded record and a prepared list; anything
  // else is a request that cannot be served.
  if (cfg == nullptr || list == nullptr) {
    set_err(err, err_size, "no configuration or results list");
    return -2;
  }
  const char *chosen =
      (provider != nullptr && provider[0] != '\0') ? provider : ws_provider_active(cfg);
  safe = or_default(safe, cfg->safe);
  language = or_default(language, cfg->language);

  if (query == nullptr || query[0] == '\0') {
    set_err(err, err_size, "query is required");
    return -2;
  }
  if (!ws_provider_known(chosen)) {
    set_err(
        err, err_size,
        "unknown provider \"%s\" (choose duckduckgo, searxng, brave, tavily, exa or perplexity)",
        chosen);
    return -2;
  }
  int n = clamp_request(count, cfg);
  ws_copy(list->provider, sizeof list->provider, chosen);
  ws_copy(list->query, sizeof list->query, query);
  list->count = 0;

  int64_t start = tq_now_ms();
  int rc;
  if (ws_ieq(chosen, "duckduckgo")) {
    rc = search_duckduckgo(cfg, query, n, cfg->region, safe, list, status_out, err, err_size);
  } else if (ws_ieq(chosen, "searxng")) {
    rc = search_searxng(cfg, query, n, language, safe, list, status_out, err, err_size);
  } else if (ws_ieq(chosen, "brave")) {
    rc = search_brave(cfg, query, n, country, language, freshness, list, status_out, err, err_size);
  } else if (ws_ieq(chosen, "tavily")) {
    rc = search_tavily(cfg, query, n, list, status_out, err, err_size);
  } else if (ws_ieq(chosen, "exa")) {
    rc = search_exa(cfg, query, n, list, status_out, err, err_size);
  } else {
    rc = search_perplexity(cfg, query, n, list, status_out, err, err_size);
  }
  list->took_ms = tq_now_ms() - start;
  return rc;
}
