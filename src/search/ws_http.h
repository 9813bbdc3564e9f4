// The upstream adapter: one HTTP exchange per call, and the routines the
// backends share to read answers and word failures uniformly.
#pragma once

#include <yyjson.h>

#include <cstddef>

#include "util/ws_redact.h"

struct ws_resp {
  int ok;
  char error[512];
  int status;
  char *body;  // owned, NUL-terminated; never NULL after success
  size_t body_len;
};

// Tells the network client that the process is a CGI program, once, before
// the first exchange: the environment then also holds the client's request
// headers, and the "Proxy:" header (HTTP_PROXY) must never pick the proxy.
void ws_http_cgi_mode(void);
int ws_http_do(const char *method, const char *url, const char *headers, const void *body,
               size_t body_len, int timeout_ms, ws_resp *resp);
void ws_resp_free(ws_resp *resp);
// From now on ws_http_do keeps good connections and TLS sessions for the
// next exchange with the same service (for a process that searches many
// times); until then every exchange has a connection of its own.
void ws_http_keep_connections(void);
// Closes every kept connection properly and forgets the kept sessions;
// exchanges after it have a connection of their own again.
void ws_http_close_kept(void);
int parse_json(const ws_resp *resp, yyjson_doc **doc_out, const char *name, char *err,
               size_t err_size);
// First member with exactly this key; a value of the wrong type counts as absent.
const char *jstr(yyjson_val *object, const char *key);
yyjson_val *jarr(yyjson_val *object, const char *key);
void upstream_error(const ws_resp *resp, const char *name, char *err, size_t err_size);
// upstream_error with every secret replaced by "[redacted]" in the service's
// text, also one that the detail's bound cut short. NULL secrets: none.
void upstream_error_redacted(const ws_resp *resp, const char *name, const ws_secrets *secrets,
                             char *err, size_t err_size);
// Compact JSON body for Tavily and Perplexity; caller frees; NULL when out of memory.
char *json_body(const char *query, int max_results, int advanced, int include_answer);

// Frees a response body when the scope ends.
struct ws_resp_guard {
  ws_resp *r;
  explicit ws_resp_guard(ws_resp *resp) : r(resp) {}
  ws_resp_guard(const ws_resp_guard &) = delete;
  ws_resp_guard &operator=(const ws_resp_guard &) = delete;
  ~ws_resp_guard() { ws_resp_free(r); }
};

// Owns a yyjson document.
struct ws_doc_deleter {
  void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
