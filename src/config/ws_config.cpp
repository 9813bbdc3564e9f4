// Defaults and the environment layer of the settings record.
#include "config/ws_config.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "config/ws_config_internal.h"
#include "search/ws_registry.h"
#include "util/ws_buf.h"

const char WS_DEFAULT_DDG_BASE[] = "https://html.duckduckgo.com";
const char WS_DEFAULT_BRAVE_BASE[] = "https://api.search.brave.com";
const char WS_DEFAULT_TAVILY_BASE[] = "https://api.tavily.com";
const char WS_DEFAULT_EXA_BASE[] = "https://api.exa.ai";
const char WS_DEFAULT_PPLX_BASE[] = "https://api.perplexity.ai";

namespace {

int clamp_count(int n) {
  if (n < 1) return 1;
  if (n > 20) return 20;
  return n;
}

// Rows that replace a text field: set (even to "") replaces, unset keeps.
template <size_t N>
void env_text(const char *name, char (&field)[N]) {
  const char *v = getenv(name);
  if (v != nullptr) ws_copy(field, N, v);
}

// Rows that only act on a non-empty value.
const char *env_nonempty(const char *name) {
  const char *v = getenv(name);
  return (v != nullptr && v[0] != '\0') ? v : nullptr;
}

// "<mock>/<suffix>" into a base field, cut as the whole text would be: a
// mock base that does not fit is cut without splitting a UTF-8 sequence and
// gets no suffix; otherwise the (ASCII) suffix is cut to what is left.
template <size_t N>
void mock_base(char (&field)[N], const char *mock, const char *suffix) {
  size_t used = strlen(mock);
  if (used > N - 1) {
    used = ws_utf8_cut(mock, N - 1);
    memcpy(field, mock, used);
    field[used] = '\0';
    return;
  }
  memcpy(field, mock, used);
  size_t more = strlen(suffix);
  if (more > N - 1 - used) more = N - 1 - used;
  memcpy(field + used, suffix, more);
  field[used + more] = '\0';
}

}  // namespace

void ws_config_defaults(ws_config *cfg) {
  if (cfg == nullptr) return;
  memset(cfg, 0, sizeof *cfg);
  ws_copy(cfg->provider, sizeof cfg->provider, "duckduckgo");
  cfg->count = 5;
  ws_copy(cfg->safe, sizeof cfg->safe, "moderate");
  ws_copy(cfg->searxng_categories, sizeof cfg->searxng_categories, "general");
  ws_copy(cfg->ddg_base, sizeof cfg->ddg_base, WS_DEFAULT_DDG_BASE);
  ws_copy(cfg->brave_base, sizeof cfg->brave_base, WS_DEFAULT_BRAVE_BASE);
  ws_copy(cfg->tavily_base, sizeof cfg->tavily_base, WS_DEFAULT_TAVILY_BASE);
  ws_copy(cfg->exa_base, sizeof cfg->exa_base, WS_DEFAULT_EXA_BASE);
  ws_copy(cfg->pplx_base, sizeof cfg->pplx_base, WS_DEFAULT_PPLX_BASE);
}

namespace {

// The rows run in this order; where two rows set one field, the later wins.
void environment_layer(ws_config *cfg) {
  env_text("WEBSEARCH_PROVIDER", cfg->provider);
  if (const char *v = env_nonempty("WEBSEARCH_COUNT")) cfg->count = clamp_count(ws_leading_int(v));
  env_text("WEBSEARCH_REGION", cfg->region);
  env_text("WEBSEARCH_SAFE", cfg->safe);
  env_text("WEBSEARCH_LANGUAGE", cfg->language);
  env_text("WEBSEARCH_SEARXNG_CATEGORIES", cfg->searxng_categories);
  if (const char *v = env_nonempty("WEBSEARCH_TAVILY_ADVANCED")) {
    cfg->tavily_advanced = ws_leading_int(v) != 0 ? 1 : 0;
  }
  if (const char *v = env_nonempty("WEBSEARCH_TAVILY_ANSWER")) {
    cfg->tavily_answer = ws_leading_int(v) != 0 ? 1 : 0;
  }
  env_text("BRAVE_API_KEY", cfg->brave_key);
  env_text("TAVILY_API_KEY", cfg->tavily_key);
  env_text("EXA_API_KEY", cfg->exa_key);
  env_text("PERPLEXITY_API_KEY", cfg->pplx_key);
  env_text("WEBSEARCH_BRAVE_KEY", cfg->brave_key);
  env_text("WEBSEARCH_TAVILY_KEY", cfg->tavily_key);
  env_text("WEBSEARCH_EXA_KEY", cfg->exa_key);
  env_text("WEBSEARCH_PPLX_KEY", cfg->pplx_key);
  env_text("WEBSEARCH_DDG_BASE", cfg->ddg_base);
  env_text("WEBSEARCH_SEARXNG_BASE", cfg->searxng_base);
  env_text("SEARXNG_URL", cfg->searxng_base);
  env_text("WEBSEARCH_BRAVE_BASE", cfg->brave_base);
  env_text("WEBSEARCH_TAVILY_BASE", cfg->tavily_base);
  env_text("WEBSEARCH_EXA_BASE", cfg->exa_base);
  env_text("WEBSEARCH_PPLX_BASE", cfg->pplx_base);
  // One test server for every backend, one path each.
  if (const char *m = env_nonempty("WEBSEARCH_MOCK_BASE")) {
    mock_base(cfg->ddg_base, m, "/duckduckgo");
    mock_base(cfg->brave_base, m, "/brave");
    mock_base(cfg->tavily_base, m, "/tavily");
    mock_base(cfg->exa_base, m, "/exa");
    mock_base(cfg->pplx_base, m, "/perplexity");
    mock_base(cfg->searxng_base, m, "/searxng");
  }
}

}  // namespace

int ws_leading_int(const char *s) {
  if (s == nullptr) return 0;
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) s++;
  bool negative = false;
  if (*s == '+' || *s == '-') {
    negative = *s == '-';
    s++;
  }
  // Accumulate towards the sign so INT_MIN is reachable without overflow.
  long long v = 0;
  for (; *s >= '0' && *s <= '9'; s++) {
    int digit = *s - '0';
    v = v * 10 + (negative ? -digit : digit);
    if (v > INT_MAX) return INT_MAX;
    if (v < INT_MIN) return INT_MIN;
  }
  return static_cast<int>(v);
}

void ws_config_env_apply(ws_config *cfg) {
  if (cfg == nullptr) return;
  environment_layer(cfg);
  if (!ws_provider_known(cfg->provider)) {
    ws_copy(cfg->provider, sizeof cfg->provider, "duckduckgo");
  }
}

int ws_config_key_from_env(const char *provider_id) {
  struct row {
    const char *id;
    const char *plain;
    const char *own;
  };
  static constexpr row kRows[] = {
      {"brave", "BRAVE_API_KEY", "WEBSEARCH_BRAVE_KEY"},
      {"tavily", "TAVILY_API_KEY", "WEBSEARCH_TAVILY_KEY"},
      {"exa", "EXA_API_KEY", "WEBSEARCH_EXA_KEY"},
      {"perplexity", "PERPLEXITY_API_KEY", "WEBSEARCH_PPLX_KEY"},
  };
  for (const row &r : kRows) {
    if (ws_ieq(provider_id, r.id)) return getenv(r.plain) != nullptr || getenv(r.own) != nullptr;
  }
  return 0;
}

void ws_config_load(ws_config *cfg) {
  if (cfg == nullptr) return;
  ws_config_defaults(cfg);
  ws_config_file_layer(cfg);
  ws_config_env_apply(cfg);
}
