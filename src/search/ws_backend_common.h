// What the six backends share beyond the adapter: base-URL preparation, the
// key check, the exchange with its uniform failure handling, and the walk
// that maps a JSON result array onto records.
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <memory>

#include "config/ws_config.h"
#include "search/ws_http.h"
#include "search/ws_results.h"
#include "util/ws_buf.h"

constexpr int WS_TIMEOUT_GET_MS = 25000;   // DuckDuckGo, SearXNG, Brave
constexpr int WS_TIMEOUT_POST_MS = 30000;  // Tavily, Exa, Perplexity

using ws_doc_ptr = std::unique_ptr<yyjson_doc, ws_doc_deleter>;

// Copies base into out[out_size] (never splitting a UTF-8 sequence) and
// removes every trailing "/".
void ws_backend_base(char *out, size_t out_size, const char *base);

// The target of a JSON POST API: base without trailing "/", then "/search",
// which is left out when keep_search is set and the base already ends in
// "/search" (ignoring case). -1 when memory runs out.
int ws_backend_post_url(ws_buf *url, const char *base, bool keep_search);

// Appends src percent-encoded; -1 when the room for it cannot be had, so a
// value never goes missing from a request unnoticed.
int ws_backend_put_encoded(ws_buf *b, const char *src);

// A key is placed into a header line as it is, so a line break in it would
// forge further header lines. 0 when the key is usable; -1 with
// "<name> API key contains a control character" otherwise (the key itself
// never enters the message).
int ws_backend_key_ok(const char *name, const char *key, char *err, size_t err_size);

// The configured API keys: what no text from an upstream may carry on.
void ws_backend_secrets(const ws_config *cfg, ws_secrets *out);

// One exchange with the failure handling every backend shares, in order:
// the adapter's own text; the status into *status_out; a status of 400 or
// more (or no response) worded by upstream_error, with cfg's keys redacted. 0 leaves the response
// in resp (the caller frees it); -1 has freed it and written err.
int ws_backend_fetch(const ws_config *cfg, const char *name, const char *method, const char *url,
                     const char *headers, const void *body, size_t body_len, int timeout_ms,
                     ws_resp *resp, int *status_out, char *err, size_t err_size);

// ws_backend_fetch followed by parse_json; the response is released before
// returning on every path. 0 with the document in *doc, or -1.
int ws_backend_fetch_json(const ws_config *cfg, const char *name, const char *method,
                          const char *url, const char *headers, const void *body, size_t body_len,
                          int timeout_ms, int *status_out, ws_doc_ptr *doc, char *err,
                          size_t err_size);

// What sets one keyed JSON POST API apart from the others.
struct ws_post_api {
  const char *name;         // display name in messages
  const char *missing_key;  // the whole "needs an API key" message
  const char *auth_header;  // header line with one %s for the key, ending in CR LF
  bool keep_search;         // a base already ending in "/search" is the target
  // The request body for this query and count; NULL when out of memory.
  char *(*make_body)(const ws_config *cfg, const char *query, int count);
};

// The exchange of Tavily, Exa and Perplexity, in their shared order: the
// key (empty: its message, no request), the target, the body, the header
// block with the key, the request (the body is freed right after it), and
// the parse. 0 with the document in *doc, or -1 with err written.
int ws_backend_post_json(const ws_post_api *api, const ws_config *cfg, const char *key,
                         const char *base, const char *query, int count, int *status_out,
                         ws_doc_ptr *doc, char *err, size_t err_size);

// Member names of one service's result objects.
struct ws_result_keys {
  const char *title;
  const char *snippet;
  const char *published;
};

// Walks results in order and adds up to count records: an element without a
// non-empty string "url" (or that is not an object) is skipped and does not
// count. 0, or -1 with "out of memory" (records added so far stay).
int ws_backend_map(yyjson_val *results, int count, const ws_result_keys *keys, ws_results *list,
                   char *err, size_t err_size);

// Pushes one record and fills it; -1 with "out of memory" when no slot.
int ws_backend_add(ws_results *list, const char *title, const char *url, const char *snippet,
                   const char *published, char *err, size_t err_size);
