// config.json: the file layer of ws_config_load and ws_config_save.
#include <yyjson.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "config/ws_config.h"
#include "config/ws_config_internal.h"
#include "util/ws_buf.h"

namespace {

struct doc_deleter {
  void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
struct mut_doc_deleter {
  void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};
struct free_deleter {
  void operator()(char *p) const { free(p); }
};

// The first member with exactly this key decides; later duplicates are
// never consulted.
yyjson_val *first_member(yyjson_val *obj, const char *key) {
  if (obj == nullptr || !yyjson_is_obj(obj)) return nullptr;
  size_t key_len = strlen(key);
  yyjson_obj_iter it = yyjson_obj_iter_with(obj);
  yyjson_val *k;
  while ((k = yyjson_obj_iter_next(&it)) != nullptr) {
    if (yyjson_get_len(k) == key_len && memcmp(yyjson_get_str(k), key, key_len) == 0) {
      return yyjson_obj_iter_get_val(k);
    }
  }
  return nullptr;
}

const char *jstr(yyjson_val *obj, const char *key) {
  yyjson_val *v = first_member(obj, key);
  return yyjson_is_str(v) ? yyjson_get_str(v) : nullptr;
}

// Booleans as 0/1, integers by their low 32 bits, strings by atoi's
// reading; anything else (null, reals, containers, absent) is the fallback.
int jint(yyjson_val *obj, const char *key, int fallback) {
  yyjson_val *v = first_member(obj, key);
  if (v == nullptr) return fallback;
  if (yyjson_is_bool(v)) return yyjson_get_bool(v) ? 1 : 0;
  if (yyjson_is_uint(v)) return static_cast<int32_t>(static_cast<uint32_t>(yyjson_get_uint(v)));
  if (yyjson_is_sint(v)) return static_cast<int32_t>(static_cast<uint32_t>(yyjson_get_sint(v)));
  if (yyjson_is_str(v)) return ws_leading_int(yyjson_get_str(v));
  return fallback;
}

int clamp_count(int n) {
  if (n < 1) return 1;
  if (n > 20) return 20;
  return n;
}

// A string member replaces the field; an empty string empties it.
template <size_t N>
void take_text(yyjson_val *root, const char *key, char (&field)[N]) {
  const char *s = jstr(root, key);
  if (s != nullptr) ws_copy(field, N, s);
}

// Base URLs with a public default: an empty string keeps the default.
template <size_t N>
void take_base(yyjson_val *root, const char *key, char (&field)[N]) {
  const char *s = jstr(root, key);
  if (s != nullptr && s[0] != '\0') ws_copy(field, N, s);
}

void apply_root(ws_config *cfg, yyjson_val *root) {
  if (const char *s = jstr(root, "provider")) {
    ws_copy(cfg->provider, sizeof cfg->provider, s);
    if (cfg->provider[0] == '\0') ws_copy(cfg->provider, sizeof cfg->provider, "duckduckgo");
  }
  cfg->count = jint(root, "count", cfg->count);
  take_text(root, "region", cfg->region);
  take_text(root, "safe", cfg->safe);
  take_text(root, "language", cfg->language);
  take_text(root, "searxng_categories", cfg->searxng_categories);
  cfg->tavily_advanced = jint(root, "tavily_advanced", cfg->tavily_advanced);
  cfg->tavily_answer = jint(root, "tavily_answer", cfg->tavily_answer);
  take_text(root, "brave_key", cfg->brave_key);
  take_text(root, "tavily_key", cfg->tavily_key);
  take_text(root, "exa_key", cfg->exa_key);
  take_text(root, "pplx_key", cfg->pplx_key);
  take_base(root, "ddg_base", cfg->ddg_base);
  take_text(root, "searxng_base", cfg->searxng_base);
  take_base(root, "brave_base", cfg->brave_base);
  take_base(root, "tavily_base", cfg->tavily_base);
  take_base(root, "exa_base", cfg->exa_base);
  take_base(root, "pplx_base", cfg->pplx_base);
}

// Copies a field into the document. strnlen keeps the read inside the
// field even if a caller handed a record whose text is not terminated.
template <size_t N>
bool put_text(yyjson_mut_doc *doc, yyjson_mut_val *obj, const char *key, const char (&field)[N]) {
  return yyjson_mut_obj_add_strncpy(doc, obj, key, field, strnlen(field, N));
}

// The 18 members in file order; false when any one cannot be added, so a
// save never writes a file that lacks a setting.
bool build_members(yyjson_mut_doc *doc, yyjson_mut_val *obj, const ws_config *cfg) {
  return put_text(doc, obj, "provider", cfg->provider) &&
         yyjson_mut_obj_add_int(doc, obj, "count", cfg->count) &&
         put_text(doc, obj, "region", cfg->region) && put_text(doc, obj, "safe", cfg->safe) &&
         put_text(doc, obj, "language", cfg->language) &&
         put_text(doc, obj, "searxng_categories", cfg->searxng_categories) &&
         yyjson_mut_obj_add_int(doc, obj, "tavily_advanced", cfg->tavily_advanced != 0 ? 1 : 0) &&
         yyjson_mut_obj_add_int(doc, obj, "tavily_answer", cfg->tavily_answer != 0 ? 1 : 0) &&
         put_text(doc, obj, "brave_key", cfg->brave_key) &&
         put_text(doc, obj, "tavily_key", cfg->tavily_key) &&
         put_text(doc, obj, "exa_key", cfg->exa_key) &&
         put_text(doc, obj, "pplx_key", cfg->pplx_key) &&
         put_text(doc, obj, "ddg_base", cfg->ddg_base) &&
         put_text(doc, obj, "searxng_base", cfg->searxng_base) &&
         put_text(doc, obj, "brave_base", cfg->brave_base) &&
         put_text(doc, obj, "tavily_base", cfg->tavily_base) &&
         put_text(doc, obj, "exa_base", cfg->exa_base) &&
         put_text(doc, obj, "pplx_base", cfg->pplx_base);
}

// The record as config.json text (pretty, four spaces, no final newline),
// or NULL when it cannot be built or a text is not valid UTF-8.
char *serialise(const ws_config *cfg, size_t *len) {
  std::unique_ptr<yyjson_mut_doc, mut_doc_deleter> doc(yyjson_mut_doc_new(nullptr));
  if (!doc) return nullptr;
  yyjson_mut_val *root = yyjson_mut_obj(doc.get());
  if (root == nullptr) return nullptr;
  yyjson_mut_doc_set_root(doc.get(), root);
  if (!build_members(doc.get(), root, cfg)) return nullptr;
  return yyjson_mut_write_opts(doc.get(), YYJSON_WRITE_PRETTY, nullptr, len, nullptr);
}

// "<a><b>" into dst; false (dst emptied) when it does not fit whole, since a
// cut path would name some other file.
bool join_path(char *dst, size_t size, const char *a, const char *b) {
  int n = snprintf(dst, size, "%s%s", a, b);
  if (n < 0 || static_cast<size_t>(n) >= size) {
    dst[0] = '\0';
    return false;
  }
  return true;
}

void set_text(char *dst, size_t size, const char *text) {
  if (dst != nullptr && size > 0) ws_copy(dst, size, text);
}

// Applies one config.json text (len bytes; 0 for none) and clamps the
// count. 0, or -1 with the reason when the text is not strict JSON with an
// object at its top (nothing applied then).
int apply_text(ws_config *cfg, const char *text, size_t len, char *why, size_t why_size) {
  int rc = 0;
  if (text != nullptr && len > 0) {
    yyjson_read_err rerr;
    // Without YYJSON_READ_INSITU the reader never writes to the text.
    std::unique_ptr<yyjson_doc, doc_deleter> doc(
        yyjson_read_opts(const_cast<char *>(text), len, 0, nullptr, &rerr));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (yyjson_is_obj(root)) {
      apply_root(cfg, root);
    } else {
      rc = -1;
      if (why != nullptr && why_size > 0) {
        if (!doc) {
          snprintf(why, why_size, "not valid JSON at byte %zu: %s", rerr.pos,
                   rerr.msg != nullptr ? rerr.msg : "parse error");
        } else {
          snprintf(why, why_size, "its top level is not a JSON object");
        }
      }
    }
  }
  cfg->count = clamp_count(cfg->count);
  return rc;
}

}  // namespace

void ws_config_apply_json(ws_config *cfg, const char *text, size_t len) {
  if (cfg == nullptr) return;
  apply_text(cfg, text, len, nullptr, 0);
}

namespace {

// The configuration's paths; false when the folder cannot be had or a path
// does not fit.
struct config_paths {
  char dir[1024];
  char path[1200];
  char tmp[1300];
  char lock[1300];
};

bool resolve_paths(config_paths *p) {
  return ws_config_dir(p->dir, sizeof p->dir) == 0 &&
         join_path(p->path, sizeof p->path, p->dir, "/config.json") &&
         join_path(p->tmp, sizeof p->tmp, p->path, ".tmp") &&
         join_path(p->lock, sizeof p->lock, p->dir, "/.config.json.lock");
}

// The file layer over cfg. 0 when the file was applied or there is none
// (or it is empty); -1 with the reason when it exists but cannot be used,
// in which case cfg keeps what it had (the count clamp aside).
int read_layer(const char *path, ws_config *cfg, char *why, size_t why_size) {
  char *raw = nullptr;
  size_t len = 0;
  const int rc = ws_read_small_file(path, WS_CONFIG_MAX_FILE, &raw, &len, why, why_size);
  std::unique_ptr<char, free_deleter> text(raw);
  if (rc < 0) {
    cfg->count = clamp_count(cfg->count);
    return -1;
  }
  return apply_text(cfg, text.get(), rc == 0 ? len : 0, why, why_size);
}

}  // namespace

void ws_config_file_layer(ws_config *cfg) {
  config_paths p;
  if (!resolve_paths(&p)) return;
  read_layer(p.path, cfg, nullptr, 0);
}

int ws_config_path(char *dst, size_t size) {
  if (dst == nullptr || size == 0) return -1;
  dst[0] = '\0';
  char dir[1024];
  if (ws_config_dir(dir, sizeof dir) != 0) return -1;
  return join_path(dst, size, dir, "/config.json") ? 0 : -1;
}

int ws_config_save(const ws_config *cfg) {
  if (cfg == nullptr) return -1;
  config_paths p;
  if (!resolve_paths(&p)) return -1;
  // Serialise before any file is touched: a record the writer rejects
  // leaves the folder exactly as it was.
  size_t len = 0;
  std::unique_ptr<char, free_deleter> text(serialise(cfg, &len));
  if (!text) return -1;
  ws_file_lock lock(ws_file_lock_take(p.lock));
  if (lock.handle < 0) return -1;
  return ws_replace_file(p.tmp, p.path, text.get(), len);
}

int ws_config_update(ws_config_edit edit, void *ctx, ws_config *saved, char *err, size_t err_size) {
  if (err != nullptr && err_size > 0) err[0] = '\0';
  config_paths p;
  if (edit == nullptr || !resolve_paths(&p)) {
    set_text(err, err_size, "could not write config.json");
    return WS_CONFIG_UNWRITABLE;
  }
  // One lock from the read to the rename: a save that runs meanwhile
  // waits, then reads what this one wrote, so neither change is lost.
  ws_file_lock lock(ws_file_lock_take(p.lock));
  if (lock.handle < 0) {
    set_text(err, err_size, "could not write config.json");
    return WS_CONFIG_UNWRITABLE;
  }
  ws_config file;
  ws_config_defaults(&file);
  char why[256] = "";
  if (read_layer(p.path, &file, why, sizeof why) != 0) {
    // Writing now would put defaults over whatever the file holds.
    if (err != nullptr && err_size > 0) {
      snprintf(err, err_size, "config.json could not be read: %s; fix or remove it", why);
    }
    return WS_CONFIG_UNREADABLE;
  }
  const int verdict = edit(&file, ctx);
  if (verdict != 0) return verdict;
  size_t len = 0;
  std::unique_ptr<char, free_deleter> text(serialise(&file, &len));
  if (!text || ws_replace_file(p.tmp, p.path, text.get(), len) != 0) {
    set_text(err, err_size, "could not write config.json");
    return WS_CONFIG_UNWRITABLE;
  }
  if (saved != nullptr) *saved = file;
  return 0;
}
