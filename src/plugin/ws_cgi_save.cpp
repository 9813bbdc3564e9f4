// The save action: the request's settings applied to a copy of the loaded
// configuration, validated as a whole, then written to config.json.
#include <cstring>

#include "plugin/ws_cgi.h"
#include "search/ws_registry.h"

namespace {

const char ERR_SAFE[] = "safe must be strict, moderate or off";
const char ERR_BASE[] = "a base URL must start with http:// or https://";
const char ERR_KEY[] = "an API key must not contain control characters";

// Control bytes and DEL. In a key or base URL they would end up inside the
// request line or a header of the upstream request.
int has_control(const char *s) {
  for (; *s; s++) {
    const unsigned char c = static_cast<unsigned char>(*s);
    if (c < 0x20 || c == 0x7f) return 1;
  }
  return 0;
}

int valid_base(const char *s) {
  if (!ws_iprefix(s, "http://") && !ws_iprefix(s, "https://")) return 0;
  // The space is refused too: no URL the backends build may contain one.
  return !has_control(s) && !strchr(s, ' ');
}

void apply_flag(const char *query, yyjson_val *body, const char *name, int *field) {
  char text[32];
  if (field_str(query, body, name, text, sizeof text)) *field = cgi_atoi(text) != 0 ? 1 : 0;
}

struct key_row {
  const char *name;
  const char *clear;
  char *field;
  size_t size;
};

struct base_row {
  const char *name;
  char *field;
  size_t size;
  const char *fallback;  // the default endpoint an empty value restores; "" empties
};

}  // namespace

int cgi_save_apply(ws_config *cfg, const char *query, yyjson_val *body, const char **err) {
  char text[512];

  if (field_str(query, body, "provider", text, sizeof cfg->provider)) {
    ws_copy(cfg->provider, sizeof cfg->provider, text);
  }
  if (!ws_provider_known(cfg->provider)) ws_copy(cfg->provider, sizeof cfg->provider, "duckduckgo");

  if (field_str(query, body, "count", text, 32)) {
    int n = cgi_atoi(text);
    cfg->count = n < 1 ? 1 : (n > 20 ? 20 : n);
  }
  if (field_str(query, body, "region", text, sizeof cfg->region)) {
    ws_copy(cfg->region, sizeof cfg->region, text);
  }
  if (field_str(query, body, "safe", text, sizeof text) && text[0]) {
    if (!ws_ieq(text, "strict") && !ws_ieq(text, "moderate") && !ws_ieq(text, "off")) {
      *err = ERR_SAFE;
      return 400;
    }
    ws_copy(cfg->safe, sizeof cfg->safe, text);
  }
  if (field_str(query, body, "language", text, sizeof cfg->language)) {
    ws_copy(cfg->language, sizeof cfg->language, text);
  }
  if (field_str(query, body, "searxng_categories", text, sizeof cfg->searxng_categories)) {
    ws_copy(cfg->searxng_categories, sizeof cfg->searxng_categories, text);
  }
  apply_flag(query, body, "tavily_advanced", &cfg->tavily_advanced);
  apply_flag(query, body, "tavily_answer", &cfg->tavily_answer);

  const key_row keys[] = {
      {"brave_key", "clear_brave_key", cfg->brave_key, sizeof cfg->brave_key},
      {"tavily_key", "clear_tavily_key", cfg->tavily_key, sizeof cfg->tavily_key},
      {"exa_key", "clear_exa_key", cfg->exa_key, sizeof cfg->exa_key},
      {"pplx_key", "clear_pplx_key", cfg->pplx_key, sizeof cfg->pplx_key},
  };
  for (const key_row &k : keys) {
    if (field_str(query, body, k.clear, text, 32) && cgi_atoi(text) != 0) k.field[0] = '\0';
    if (field_str(query, body, k.name, text, k.size) && text[0]) {
      if (has_control(text)) {
        *err = ERR_KEY;
        return 400;
      }
      ws_copy(k.field, k.size, text);
    }
  }

  const base_row bases[] = {
      {"ddg_base", cfg->ddg_base, sizeof cfg->ddg_base, WS_DEFAULT_DDG_BASE},
      {"searxng_base", cfg->searxng_base, sizeof cfg->searxng_base, ""},
      {"brave_base", cfg->brave_base, sizeof cfg->brave_base, WS_DEFAULT_BRAVE_BASE},
      {"tavily_base", cfg->tavily_base, sizeof cfg->tavily_base, WS_DEFAULT_TAVILY_BASE},
      {"exa_base", cfg->exa_base, sizeof cfg->exa_base, WS_DEFAULT_EXA_BASE},
      {"pplx_base", cfg->pplx_base, sizeof cfg->pplx_base, WS_DEFAULT_PPLX_BASE},
  };
  for (const base_row &b : bases) {
    if (!field_str(query, body, b.name, text, b.size)) continue;
    if (!text[0]) {
      ws_copy(b.field, b.size, b.fallback);
      continue;
    }
    if (!valid_base(text)) {
      *err = ERR_BASE;
      return 400;
    }
    ws_copy(b.field, b.size, text);
  }
  return 0;
}

void cgi_action_save(const char *query, yyjson_val *body, const ws_config *loaded) {
  ws_config next = *loaded;
  const char *err = nullptr;
  if (cgi_save_apply(&next, query, body, &err) != 0) {
    json_err(400, err);
    return;
  }
  if (ws_config_save(&next) != 0) {
    json_err(500, "could not write config.json");
    return;
  }
  api_config(&next);
}
