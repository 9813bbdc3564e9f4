// One search's results: fixed-size records in one growable array.
#pragma once

#include <cstdint>

#include "util/ws_buf.h"

struct ws_result {
  char title[512];
  char url[1024];
  char snippet[2048];
  char published[64];
  char site[128];
};

struct ws_results {
  char query[512];
  char provider[32];
  int64_t took_ms;
  ws_result *items;  // owned; NULL until the first push
  int count;
  int capacity;
  ws_buf answer;  // only Tavily writes it
};

void ws_results_init(ws_results *list);
// New all-zero slot at index count (capacity 8, 16, 32, ...), or NULL.
ws_result *ws_results_push(ws_results *list);
void ws_results_free(ws_results *list);
// Title and snippet through ws_html_text; url and published verbatim; site derived.
void fill_result(ws_result *r, const char *title, const char *url, const char *snippet,
                 const char *published);

// Frees a results list when the scope ends.
struct ws_results_guard {
  ws_results *l;
  explicit ws_results_guard(ws_results *list) : l(list) {}
  ws_results_guard(const ws_results_guard &) = delete;
  ws_results_guard &operator=(const ws_results_guard &) = delete;
  ~ws_results_guard() { ws_results_free(l); }
};
