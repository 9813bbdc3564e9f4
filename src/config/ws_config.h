// The settings record: built-in defaults, then config.json, then the
// environment. Flat and copyable; holds API keys in plain text.
#pragma once

#include <cstddef>

struct ws_config {
  char provider[32];
  int count;
  char region[24];
  char safe[16];
  char language[16];
  char searxng_categories[128];
  int tavily_advanced;
  int tavily_answer;
  char brave_key[256];
  char tavily_key[256];
  char exa_key[256];
  char pplx_key[256];
  char ddg_base[512];
  char searxng_base[512];
  char brave_base[512];
  char tavily_base[512];
  char exa_base[512];
  char pplx_base[512];
};

// Public endpoints used when nothing else is configured.
extern const char WS_DEFAULT_DDG_BASE[];
extern const char WS_DEFAULT_BRAVE_BASE[];
extern const char WS_DEFAULT_TAVILY_BASE[];
extern const char WS_DEFAULT_EXA_BASE[];
extern const char WS_DEFAULT_PPLX_BASE[];

// The built-in layer alone: zeroes the record and sets the defaults.
void ws_config_defaults(ws_config *cfg);
// Fills the whole record; never fails.
void ws_config_load(ws_config *cfg);
// The file layer on its own: applies the members of one config.json text to
// cfg. A text that is not strict JSON with an object root changes nothing
// but the count clamp (1..20), which always applies.
void ws_config_apply_json(ws_config *cfg, const char *text, size_t len);
// Writes config.json atomically (mode 0600, through config.json.tmp under a
// lock). 0 when the file was replaced, -1 otherwise (old file untouched).
int ws_config_save(const ws_config *cfg);

// A change of the file layer, run by ws_config_update under its lock. file
// holds the defaults and config.json as they are now, never an environment
// value. 0 has the record written back; any other value leaves the file
// alone and is handed back to the caller as it is (so it must not be one
// of the two failures below).
using ws_config_edit = int (*)(ws_config *file, void *ctx);
constexpr int WS_CONFIG_UNREADABLE = -1;
constexpr int WS_CONFIG_UNWRITABLE = -2;
// Load, change and write config.json under one lock, so parallel saves of
// different fields all survive. 0 with the written record in *saved (may
// be NULL); the edit's own non-zero value; WS_CONFIG_UNREADABLE when the
// file exists but cannot be read, is over 1 MiB or is not a JSON object
// (err: "config.json could not be read: <cause>; fix or remove it"; the
// file is left as it is); WS_CONFIG_UNWRITABLE ("could not write
// config.json") when the folder, lock or write fails.
int ws_config_update(ws_config_edit edit, void *ctx, ws_config *saved, char *err, size_t err_size);

// The environment layer and the provider check of ws_config_load, over a
// record that holds the layers below it.
void ws_config_env_apply(ws_config *cfg);
// 1 when an environment variable supplies the key of this keyed provider
// id (brave, tavily, exa, perplexity; case ignored), even an empty one.
int ws_config_key_from_env(const char *provider_id);

// Resolves (and creates) the configuration folder. 0 or -1.
int ws_config_dir(char *dst, size_t size);
int ws_config_path(char *dst, size_t size);

// What tells one config.json from another: a save replaces the file (a new
// inode), an edit in place changes its size or modification time. Compared
// whole; two stamps of a missing file are equal.
struct ws_config_stamp {
  int present;  // 0 when no file could be examined
  unsigned long long dev;
  unsigned long long ino;
  long long size;
  long long mtime_ns;
};

// The stamp of the config.json that ws_config_load would read now. Take it
// before loading: a change that lands between the two then shows at the
// next comparison instead of being missed.
void ws_config_stamp_now(ws_config_stamp *out);
// 1 when both stamps describe the same file state.
int ws_config_stamp_equal(const ws_config_stamp *a, const ws_config_stamp *b);
