// The save action: the request's settings applied to config.json as it is
// on disk, validated as a whole, then written back under the file's lock.
#include <cstdio>
#include <cstring>

#include "plugin/ws_cgi.h"
#include "search/ws_base_url.h"
#include "search/ws_registry.h"

namespace {

const char ERR_SAFE[] = "safe must be strict, moderate or off";
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

// A keyed backend: the name in messages, its parameters and its fields in
// the record before and after the request.
struct keyed_row {
  const char *label;
  const char *base_param;
  const char *key_param;
  const char *base_before;
  const char *key_after;
  const char *fallback;
};

int refuse(char *err, size_t err_size, const char *text) {
  if (err != nullptr && err_size > 0) ws_copy(err, err_size, text);
  return 400;
}

// A stored key goes wherever its base URL points, so the base may move to
// another origin only when the request itself brings the key for it. The
// default endpoint and the present origin stay open; a backend left
// without a key has nothing to follow the base.
int key_follows_base(const ws_config *before, const ws_config *after, const char *query,
                     yyjson_val *body, char *err, size_t err_size) {
  const keyed_row rows[] = {
      {"Brave", "brave_base", "brave_key", before->brave_base, after->brave_key,
       WS_DEFAULT_BRAVE_BASE},
      {"Tavily", "tavily_base", "tavily_key", before->tavily_base, after->tavily_key,
       WS_DEFAULT_TAVILY_BASE},
      {"Exa", "exa_base", "exa_key", before->exa_base, after->exa_key, WS_DEFAULT_EXA_BASE},
      {"Perplexity", "pplx_base", "pplx_key", before->pplx_base, after->pplx_key,
       WS_DEFAULT_PPLX_BASE},
  };
  char base[512];
  char key[256];
  for (const keyed_row &r : rows) {
    if (!field_str(query, body, r.base_param, base, sizeof base) || base[0] == '\0') continue;
    if (ws_base_url_same_origin(base, r.fallback) || ws_base_url_same_origin(base, r.base_before) ||
        r.key_after[0] == '\0') {
      continue;
    }
    if (field_str(query, body, r.key_param, key, sizeof key) && key[0] != '\0') continue;
    if (err != nullptr && err_size > 0) {
      snprintf(err, err_size,
               "moving the %s base URL to another host needs the %s key in the same request",
               r.label, r.label);
    }
    return 400;
  }
  return 0;
}

int apply_fields(ws_config *cfg, const char *query, yyjson_val *body, char *err, size_t err_size) {
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
      return refuse(err, err_size, ERR_SAFE);
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
        return refuse(err, err_size, ERR_KEY);
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
    if (ws_base_url_check(text, err, err_size) != 0) return 400;
    ws_copy(b.field, b.size, text);
  }
  return 0;
}

}  // namespace

int cgi_save_apply(ws_config *cfg, const char *query, yyjson_val *body, char *err,
                   size_t err_size) {
  // What the searches use now and will use after this save: the record
  // with the environment over it.
  ws_config before = *cfg;
  ws_config_env_apply(&before);
  const int rc = apply_fields(cfg, query, body, err, err_size);
  if (rc != 0) return rc;
  ws_config after = *cfg;
  ws_config_env_apply(&after);
  return key_follows_base(&before, &after, query, body, err, err_size);
}

namespace {

struct save_request {
  const char *query;
  yyjson_val *body;
  char err[256];
};

int edit_file_layer(ws_config *file, void *ctx) {
  auto *req = static_cast<save_request *>(ctx);
  return cgi_save_apply(file, req->query, req->body, req->err, sizeof req->err);
}

}  // namespace

void cgi_action_save(const char *query, yyjson_val *body) {
  save_request req = {query, body, ""};
  ws_config saved;
  char failure[512] = "";
  const int rc = ws_config_update(edit_file_layer, &req, &saved, failure, sizeof failure);
  if (rc == 400) {
    json_err(400, req.err);
    return;
  }
  if (rc != 0) {
    json_err(500, failure[0] ? failure : "could not write config.json");
    return;
  }
  // The answer is what the searches will now use: the file as written with
  // the environment over it.
  ws_config_env_apply(&saved);
  api_config(&saved);
}
