// The CGI endpoint: one web request per process, the node-password check,
// the JSON API (providers, config, info, search, save) and the settings page.
//
// Everything here writes to standard output and reads the request body from
// standard input; nothing ends the process, so every path returns to main
// and leaves with status 0 after its resources are released.
#pragma once

#include <cstddef>

#include <yyjson.h>

#include "config/ws_config.h"
#include "util/ws_buf.h"

// A body larger than this is not read at all; the request is handled as if
// it had none.
constexpr long WS_CGI_BODY_MAX = 1048576;
// A raw query value is cut to this many bytes before it is decoded.
constexpr size_t WS_CGI_RAW_VALUE_MAX = 2047;
// The decoded `pwd` credential may hold at most this many bytes; a longer
// one is refused rather than cut, so a cut can never turn into a match.
constexpr size_t WS_CGI_PWD_MAX = 255;

// --- request parameters ---------------------------------------------------

// Finds `name=` at the start of the query or right after an "&" (exact,
// case-sensitive, on the raw text; the first match wins), cuts the raw value
// to WS_CGI_RAW_VALUE_MAX bytes and URL-decodes it into out. 1 when found
// (also with an empty value), else 0. out is emptied first in every case.
int get_query_val(const char *query, const char *name, char *out, size_t size);

// Reads parameter `name`: the first member of the body object with exactly
// that key wins when it is a string (copied, cut to size - 1), true/false
// ("1"/"0") or an integer (decimal, saturated to the 32-bit range). Anything
// else (no body, no member, null, real, array, object) falls back to the
// query string. out is emptied first; 1 when found, else 0.
int field_str(const char *query, yyjson_val *body, const char *name, char *out, size_t size);

// The raw (undecoded, uncut) value of the first `name=` parameter: 1 with
// *value/*len set, else 0. The lookup rules are get_query_val's.
int cgi_query_raw(const char *query, const char *name, const char **value, size_t *len);
// The value of the first member of obj whose key is exactly key, or NULL
// (also when obj is NULL or not an object). Later duplicates never count.
yyjson_val *cgi_obj_first(yyjson_val *obj, const char *key);

// atoi rules (leading white space, one sign, decimal digits up to the first
// other byte, no digits gives 0) without atoi's undefined overflow: the value
// saturates at the bounds of the result type.
int cgi_atoi(const char *text);
long cgi_atol(const char *text);

// --- node password ----------------------------------------------------------

// Equality of two byte strings whose running time depends only on the
// secret's length, never on where the bytes differ.
int ws_secret_eq(const char *secret, size_t secret_len, const char *given, size_t given_len);

// The decision of the password check, free of the environment: 1 when no
// password is set, or when the X-Bot-Password header, the Authorization
// header (optionally "Bearer " plus spaces) or the query's `pwd` equals it
// exactly. Any argument but password may be NULL (absent).
int ws_node_auth_ok(const char *password, const char *x_bot_password, const char *authorization,
                    const char *query);

// The check itself, on BOT_PASSWORD, HTTP_X_BOT_PASSWORD and
// HTTP_AUTHORIZATION: 1 when the request may go on; 0 after the 401 refusal
// has been written, in which case the caller ends the request at once.
int require_node_auth(const char *query);

// --- cross-site requests -----------------------------------------------------

// 1 when an Origin header is present and its host and port differ from the
// Host header's (host compared without regard to ASCII case; a missing port
// is the origin scheme's default); also when Origin is not an http(s) origin
// ("null"), when Host is absent, or when either cannot be read. 0 when
// origin is NULL.
int ws_cgi_foreign_origin(const char *origin, const char *host);
// The browser's own word on where a request comes from: with Sec-Fetch-Site
// present, 1 unless it is "same-origin" or "none"; without it, the Origin
// rule above. NULL arguments are absent headers.
int ws_cgi_cross_site(const char *sec_fetch_site, const char *origin, const char *host);
// The check on HTTP_SEC_FETCH_SITE, HTTP_ORIGIN and HTTP_HOST: 1 when the
// request may go on; 0 after the 403 refusal has been written.
int require_same_site(void);

// --- request body -------------------------------------------------------------

// The request body and, when it is a JSON object, its parsed document.
struct ws_cgi_body {
  char *text = nullptr;       // NUL-terminated bytes that arrived, or NULL
  yyjson_doc *doc = nullptr;  // parsed document, or NULL
  yyjson_val *obj = nullptr;  // root when it is an object, else NULL
  ws_cgi_body() = default;
  ws_cgi_body(const ws_cgi_body &) = delete;
  ws_cgi_body &operator=(const ws_cgi_body &) = delete;
  ~ws_cgi_body();
};

// The body length that CONTENT_LENGTH announces, or 0 for "no body" (absent,
// empty, not positive or above WS_CGI_BODY_MAX).
long cgi_body_length(const char *content_length);
// A body must have arrived whole within this many milliseconds of the start
// of reading; a client that stalls gets the answer for an absent body.
constexpr int WS_CGI_BODY_DEADLINE_MS = 30000;
// Reads cgi_body_length(CONTENT_LENGTH) bytes from standard input (fewer if
// the input ends first) and parses them strictly, all within
// WS_CGI_BODY_DEADLINE_MS. Failures and a missed deadline leave no body.
void cgi_read_body(ws_cgi_body *body);
// cgi_read_body with its own time limit.
void cgi_read_body_within(ws_cgi_body *body, int timeout_ms);

// --- responses ---------------------------------------------------------------

// Exact header blocks, every line ended by CR LF, the block by an empty line.
extern const char WS_CGI_JSON_HEADER[];
extern const char WS_CGI_PAGE_HEADER[];
extern const char WS_CGI_UNAUTHORIZED[];

// Writes n bytes to standard output and flushes.
void cgi_write(const char *data, size_t n);
void json_header(void);
// JSON header block, the text ({"ok":true} for NULL), a newline; flushed.
void json_raw(const char *text);
// Status line for 400/403/404/415 (any other code: 500), JSON header block and
// {"ok":false,"error":<message>} with a newline, in one write.
void json_err(int code, const char *message);
// The providers document of cfg through json_raw.
void api_config(const ws_config *cfg);

// The settings page: the stored template with byte 1 replaced by the first
// theme block and byte 2 by the second. Appends to out; 0 or -1 (no memory).
int ws_page_render(ws_buf *out);
// Page header block and the page, in one write.
void cgi_write_page(void);

// --- actions ---------------------------------------------------------------

void cgi_action_info(const ws_config *cfg);
void cgi_action_search(const char *query, yyjson_val *body, const ws_config *cfg);

// Applies the save parameters to cfg in their fixed order: base URLs go
// through the searches' URL parser, and a keyed backend's base may move to
// another origin only with its key in the same request (the environment
// counts for the keys and bases in force). 0 when all were acceptable;
// otherwise 400 with the refusal in err, cfg then half-changed (callers
// work on a copy and drop it).
int cgi_save_apply(ws_config *cfg, const char *query, yyjson_val *body, char *err, size_t err_size);
// 1 when CONTENT_TYPE names JSON ("application/json", any letter case,
// optionally followed by parameters); NULL is 0.
int cgi_content_is_json(const char *content_type);
// The save action: the request applied to config.json as it is on disk
// (never an environment value), under the file's lock; the answer is the
// providers document of the result with the environment over it.
void cgi_action_save(const char *query, yyjson_val *body);
