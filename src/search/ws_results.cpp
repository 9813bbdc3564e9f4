// The results list of one search and the one routine that fills a record.
#include "search/ws_results.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "util/ws_text.h"

namespace {

// Title and snippet pass through the HTML converter in this scratch area
// before they are cut to their fields.
constexpr size_t kScratch = 4096;

// The host part of a link: after an optional http:// or https://, up to
// the first '/', '?' or '#'. A port or a user-info part stays in it.
void derive_site(char *site, size_t size, const char *url) {
  site[0] = '\0';
  if (url[0] == '\0') return;
  const char *p = url;
  if (ws_iprefix(p, "https://")) {
    p += 8;
  } else if (ws_iprefix(p, "http://")) {
    p += 7;
  }
  size_t n = strcspn(p, "/?#");
  if (n == 0) return;
  if (n > size - 1) n = ws_utf8_cut(p, size - 1);
  memcpy(site, p, n);
  site[n] = '\0';
}

}  // namespace

void ws_results_init(ws_results *list) {
  if (list == nullptr) return;
  memset(list, 0, sizeof *list);
  ws_buf_init(&list->answer);
}

ws_result *ws_results_push(ws_results *list) {
  if (list == nullptr) return nullptr;
  if (list->count == list->capacity) {
    if (list->capacity > INT_MAX / 2) return nullptr;
    int grown = list->capacity == 0 ? 8 : list->capacity * 2;
    if (static_cast<size_t>(grown) > SIZE_MAX / sizeof(ws_result)) return nullptr;
    void *p = realloc(list->items, static_cast<size_t>(grown) * sizeof(ws_result));
    if (p == nullptr) return nullptr;
    list->items = static_cast<ws_result *>(p);
    list->capacity = grown;
  }
  ws_result *slot = &list->items[list->count];
  memset(slot, 0, sizeof *slot);
  list->count++;
  return slot;
}

void ws_results_free(ws_results *list) {
  if (list == nullptr) return;
  free(list->items);
  list->items = nullptr;
  list->count = 0;
  list->capacity = 0;
  ws_buf_free(&list->answer);
}

void fill_result(ws_result *r, const char *title, const char *url, const char *snippet,
                 const char *published) {
  if (r == nullptr) return;
  char scratch[kScratch];
  ws_html_text(scratch, sizeof scratch, title ? title : "");
  ws_copy(r->title, sizeof r->title, scratch);
  ws_copy(r->url, sizeof r->url, url ? url : "");
  ws_html_text(scratch, sizeof scratch, snippet ? snippet : "");
  ws_copy(r->snippet, sizeof r->snippet, scratch);
  ws_copy(r->published, sizeof r->published, published ? published : "");
  derive_site(r->site, sizeof r->site, r->url);
}
