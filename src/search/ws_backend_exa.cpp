// Exa: a keyed JSON POST; snippets come from the first highlight.
#include <memory>

#include "config/ws_config.h"
#include "sdk/tq_url.h"
#include "search/ws_backend_common.h"
#include "search/ws_search.h"
#include "util/ws_buf.h"

namespace {

struct mut_doc_deleter {
  void operator()(yyjson_mut_doc *d) const { yyjson_mut_doc_free(d); }
};

// {"query":...,"numResults":n,"contents":{"highlights":true}}, compact; NULL
// when out of memory. The caller frees it.
char *exa_body(const ws_config *, const char *query, int count) {
  std::unique_ptr<yyjson_mut_doc, mut_doc_deleter> doc(yyjson_mut_doc_new(nullptr));
  if (!doc) return nullptr;
  yyjson_mut_val *root = yyjson_mut_obj(doc.get());
  yyjson_mut_val *contents = yyjson_mut_obj(doc.get());
  if (root == nullptr || contents == nullptr) return nullptr;
  yyjson_mut_doc_set_root(doc.get(), root);
  if (!yyjson_mut_obj_add_strcpy(doc.get(), root, "query", query != nullptr ? query : "") ||
      !yyjson_mut_obj_add_int(doc.get(), root, "numResults", count) ||
      !yyjson_mut_obj_add_bool(doc.get(), contents, "highlights", true) ||
      !yyjson_mut_obj_add_val(doc.get(), root, "contents", contents)) {
    return nullptr;
  }
  return yyjson_mut_write_opts(doc.get(), 0, nullptr, nullptr, nullptr);
}

// The first highlight when it is a string (even ""), otherwise "text".
const char *exa_snippet(yyjson_val *el) {
  yyjson_val *first = yyjson_arr_get_first(jarr(el, "highlights"));
  if (yyjson_is_str(first)) return yyjson_get_str(first);
  return jstr(el, "text");
}

constexpr ws_post_api kApi = {
    "Exa", "Exa needs an API key. Set EXA_API_KEY, or save one on the plugin page.",
    "x-api-key: %s\r\n", true, exa_body};

}  // namespace

int search_exa(const ws_config *cfg, const char *query, int count, ws_results *list,
               int *status_out, char *err, size_t err_size) {
  ws_doc_ptr doc;
  if (ws_backend_post_json(&kApi, cfg, cfg->exa_key, cfg->exa_base, query, count, status_out, &doc,
                           err, err_size) != 0) {
    return -1;
  }

  yyjson_val *results = jarr(yyjson_doc_get_root(doc.get()), "results");
  if (results == nullptr) return 0;
  int added = 0;
  size_t idx, max;
  yyjson_val *el;
  yyjson_arr_foreach(results, idx, max, el) {
    if (added >= count) break;
    const char *link = jstr(el, "url");
    if (link == nullptr || link[0] == '\0') continue;
    if (ws_backend_add(list, jstr(el, "title"), link, exa_snippet(el), jstr(el, "publishedDate"),
                       err, err_size) != 0) {
      return -1;
    }
    ++added;
  }
  return 0;
}
