// The search dispatcher and the readiness questions asked of the registry.
#include "search/ws_search.h"

#include <cstring>

#include "sdk/tq_conn.h"
#include "sdk/tq_url.h"
#include "search/ws_backend_common.h"
#include "util/ws_buf.h"
#include "util/ws_redact.h"

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

// A field at (or within a secret's reach of) its bound may have been cut
// there, taking the tail of a key with it.
template <size_t N>
void redact_field(char (&field)[N], const ws_secrets *keys) {
  ws_redact(field, N, keys, strnlen(field, N) + WS_REDACT_MIN >= N);
}

// The last word on what an upstream sent: every configured key out of the
// message and every result, whichever way the backend got them there.
void redact_outcome(const ws_config *cfg, ws_results *list, char *err, size_t err_size) {
  ws_secrets keys;
  ws_backend_secrets(cfg, &keys);
  if (err != nullptr && err_size > 0) {
    ws_redact(err, err_size, &keys, strnlen(err, err_size) + 1 >= err_size);
  }
  for (int i = 0; i < list->count; i++) {
    ws_result &r = list->items[i];
    redact_field(r.title, &keys);
    redact_field(r.url, &keys);
    redact_field(r.snippet, &keys);
    redact_field(r.published, &keys);
    redact_field(r.site, &keys);
  }
  ws_buf &answer = list->answer;
  if (answer.data != nullptr && answer.len > 0) {
    // The answer is uncut: room for every replacement, whole keys only.
    if (ws_buf_need(&answer, (answer.len / WS_REDACT_MIN + 1) * sizeof WS_REDACTED) != 0) {
      ws_redact(answer.data, answer.len + 1, &keys, 0);
    } else {
      ws_redact(answer.data, answer.cap, &keys, 0);
    }
    answer.len = strlen(answer.data);
  }
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
  redact_outcome(cfg, list, err, err_size);
  return rc;
}
