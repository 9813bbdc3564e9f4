// Any upstream answer body, read the way the backends read it: the strict
// JSON reading, the walk that maps a result array onto records, the result
// and error documents built from them, and the failure message worded from
// an error body. Every record field stays terminated inside its capacity,
// never more records than asked for, and every document that leaves the
// process is strict JSON (so valid UTF-8) whatever bytes came in.
#include <yyjson.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "plugin/ws_render.h"
#include "search/ws_backend_common.h"
#include "search/ws_http.h"
#include "search/ws_results.h"
#include "utf8_check.h"

namespace {

template <size_t N>
void check_text(const char (&field)[N]) {
  FUZZ_CHECK(strnlen(field, N) < N);
}

void check_json_document(const char *text) {
  FUZZ_CHECK(text != nullptr);
  yyjson_doc *doc = yyjson_read(text, strlen(text), 0);
  FUZZ_CHECK(doc != nullptr);
  FUZZ_CHECK(yyjson_is_obj(yyjson_doc_get_root(doc)));
  yyjson_doc_free(doc);
}

// The member names of the services' result objects.
constexpr ws_result_keys kKeySets[] = {
    {"title", "content", "publishedDate"},  // SearXNG
    {"title", "description", "age"},        // Brave
    {"title", "snippet", "date"},           // others
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  // The first byte picks the count asked for and the member names.
  const int count = data[0] % 22;  // 0 and 21 are outside what the dispatcher sends
  const ws_result_keys *keys = &kKeySets[(data[0] / 22) % 3];

  ws_resp resp;
  memset(&resp, 0, sizeof resp);
  resp.ok = 1;
  resp.status = 200 + data[0];
  resp.body = static_cast<char *>(malloc(size));
  if (resp.body == nullptr) return 0;
  memcpy(resp.body, data + 1, size - 1);
  resp.body[size - 1] = '\0';
  resp.body_len = size - 1;
  ws_resp_guard release(&resp);

  // The failure wording: always "<name> returned HTTP <status>" first.
  char err[512];
  memset(err, 'x', sizeof err);
  upstream_error(&resp, "Brave", err, sizeof err);
  check_text(err);
  FUZZ_CHECK(strncmp(err, "Brave returned HTTP ", 20) == 0);
  FUZZ_CHECK(fuzz::utf8_whole(err, strlen(err)) || !fuzz::utf8_whole(resp.body, resp.body_len));
  ws_heap_text err_doc(error_json(err, resp.status, "brave"));
  check_json_document(err_doc.p);

  // A key the service may quote back never survives the redacted wording.
  static const char kKey[] = "SECRETKEY123";
  const ws_secrets secrets = {{kKey, nullptr, nullptr, nullptr}, 1};
  char redacted[512];
  upstream_error_redacted(&resp, "Brave", &secrets, redacted, sizeof redacted);
  check_text(redacted);
  FUZZ_CHECK(strstr(redacted, kKey) == nullptr);

  yyjson_doc *parsed = nullptr;
  char msg[512] = "";
  if (parse_json(&resp, &parsed, "Brave", msg, sizeof msg) != 0) {
    FUZZ_CHECK(parsed == nullptr && msg[0] != '\0');
    return 0;
  }
  ws_doc_ptr doc(parsed);
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  yyjson_val *results = jarr(root, "results");
  if (results == nullptr) results = root;  // a bare array is walked too

  ws_results list;
  ws_results_init(&list);
  ws_results_guard free_list(&list);
  ws_copy(list.query, sizeof list.query, "fuzz");
  ws_copy(list.provider, sizeof list.provider, "brave");
  if (const char *answer = jstr(root, "answer")) ws_buf_puts(&list.answer, answer);
  FUZZ_CHECK(ws_backend_map(results, count, keys, &list, msg, sizeof msg) == 0);
  FUZZ_CHECK(list.count >= 0 && list.count <= (count > 0 ? count : 0));
  for (int i = 0; i < list.count; ++i) {
    const ws_result &r = list.items[i];
    check_text(r.title);
    check_text(r.url);
    check_text(r.snippet);
    check_text(r.published);
    check_text(r.site);
    FUZZ_CHECK(r.url[0] != '\0');
    // The site is the host part of the link, so it is always inside it.
    FUZZ_CHECK(r.site[0] == '\0' || strstr(r.url, r.site) != nullptr);
  }

  ws_heap_text json(results_json(&list));
  check_json_document(json.p);
  ws_heap_text text(results_text(&list));
  FUZZ_CHECK(text.p != nullptr);
  ws_heap_text env(mcp_envelope(json.p, 0));
  check_json_document(env.p);
  return 0;
}
