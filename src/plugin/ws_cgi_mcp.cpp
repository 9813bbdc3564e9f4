// MCP over HTTP at the CGI endpoint. Each request stands alone: no session id
// is issued and no event stream is offered, so any process behind any web
// server can answer any request, and a reply is always one JSON object.
#include "plugin/ws_cgi_mcp.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include "plugin/ws_cgi.h"
#include "plugin/ws_mcp.h"
#include "util/ws_buf.h"

const char *const WS_MCP_HTTP_VERSIONS[2] = {"2025-06-18", "2025-03-26"};

namespace {

const char ACCEPTED[] =
    "Status: 202 Accepted\r\n"
    "Cache-Control: no-store\r\n"
    "\r\n";

// The transport's own refusals carry a JSON-RPC error object without an id,
// which is what an MCP client reads out of a failed POST.
const char BAD_REQUEST[] = "Status: 400 Bad Request\r\n";
const char NOT_ALLOWED[] = "Status: 405 Method Not Allowed\r\nAllow: POST\r\n";
const char NOT_ACCEPTABLE[] = "Status: 406 Not Acceptable\r\n";
const char TOO_LARGE[] = "Status: 413 Content Too Large\r\n";

// The stdio server's words for a message that is not JSON; a POST without a
// body has no message either.
const char PARSE_ERROR[] = "Parse error: not valid JSON";

bool is_space(char c) {
  return c == ' ' || c == '\t';
}

// [*s, *e) without white space at either end.
void trim(const char **s, const char **e) {
  while (*s < *e && is_space(**s)) (*s)++;
  while (*e > *s && is_space((*e)[-1])) (*e)--;
}

bool range_is(const char *s, const char *e, const char *want) {
  const size_t n = strlen(want);
  if (static_cast<size_t>(e - s) != n) return false;
  for (size_t i = 0; i < n; i++) {
    char c = s[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != want[i]) return false;
  }
  return true;
}

// The q parameter of one range's parameters [s, e): false only for a zero
// weight ("0", "0.", "0.000"); anything else, a missing q included, admits.
bool weight_admits(const char *s, const char *e) {
  while (s < e) {
    const char *semi = static_cast<const char *>(memchr(s, ';', static_cast<size_t>(e - s)));
    const char *end = semi ? semi : e;
    const char *ps = s;
    const char *pe = end;
    trim(&ps, &pe);
    if (pe - ps >= 2 && (ps[0] == 'q' || ps[0] == 'Q') && ps[1] == '=') {
      const char *v = ps + 2;
      if (v == pe) return true;
      for (const char *p = v; p < pe; p++) {
        if (*p != '0' && *p != '.') return true;
      }
      return false;
    }
    s = semi ? semi + 1 : e;
  }
  return true;
}

// Writes the pieces as one block; when memory for that is short, one after
// another, so that the status still reaches the client.
void write_pieces(std::initializer_list<std::string_view> pieces) {
  ws_buf b;
  ws_buf_init(&b);
  ws_buf_guard guard(&b);
  int failed = 0;
  for (std::string_view p : pieces) failed |= ws_buf_add(&b, p.data(), p.size());
  if (failed == 0) {
    cgi_write(b.data, b.len);
    return;
  }
  for (std::string_view p : pieces) cgi_write(p.data(), p.size());
}

// A status line, the JSON header block and a JSON-RPC error with id null.
// The messages are the program's own constants and need no escaping.
void rpc_refusal(const char *status, const char *code, const char *message) {
  write_pieces({status, WS_CGI_JSON_HEADER, "{\"jsonrpc\":\"2.0\",\"id\":null,\"error\":{\"code\":",
                code, ",\"message\":\"", message, "\"}}\n"});
}

// The CGI's own refusal with the bearer challenge that HTTP clients expect
// beside a 401, so that an MCP client can tell its user to set a token.
void refuse_password(void) {
  const std::string_view text(WS_CGI_UNAUTHORIZED);
  const size_t status_end = text.find("\r\n") + 2;
  write_pieces(
      {text.substr(0, status_end), "WWW-Authenticate: Bearer\r\n", text.substr(status_end)});
}

// A JSON-RPC response (no method, a result or an error) sent by the client:
// this server never asks anything, so it is taken note of and dropped.
bool is_response(yyjson_val *obj) {
  if (cgi_obj_first(obj, "id") == nullptr || cgi_obj_first(obj, "method") != nullptr) return false;
  return cgi_obj_first(obj, "result") != nullptr || cgi_obj_first(obj, "error") != nullptr;
}

void answer_message(const ws_cgi_body &body, const ws_config *cfg) {
  if (body.text == nullptr || body.text[0] == '\0') {
    rpc_refusal(BAD_REQUEST, "-32700", PARSE_ERROR);
    return;
  }
  if (body.obj != nullptr && is_response(body.obj)) {
    cgi_write(ACCEPTED, strlen(ACCEPTED));
    return;
  }
  ws_buf reply;
  ws_buf_init(&reply);
  ws_buf_guard guard(&reply);
  // The body is the CGI's: its text up to the first NUL byte is the message.
  if (mcp_handle_line(cfg, body.text, strlen(body.text), &reply) != 0) {
    rpc_refusal("Status: 500 Internal Server Error\r\n", "-32603", "Internal error: out of memory");
    return;
  }
  if (reply.len == 0) {  // a notification, or an empty object
    cgi_write(ACCEPTED, strlen(ACCEPTED));
    return;
  }
  // What is no JSON object at all (a batch included) was never a request;
  // the handler's error for it goes out with a failing status.
  write_pieces({body.obj == nullptr ? BAD_REQUEST : "", WS_CGI_JSON_HEADER,
                std::string_view(reply.data, reply.len)});
}

}  // namespace

int cgi_is_mcp(const char *query, const char *path_info) {
  if (path_info != nullptr && strcmp(path_info, "/mcp") == 0) return 1;
  char action[8];
  return query != nullptr && get_query_val(query, "action", action, sizeof action) &&
         strcmp(action, "mcp") == 0;
}

int ws_accept_json(const char *accept) {
  if (accept == nullptr) return 1;
  const char *s = accept;
  const char *const end = accept + strlen(accept);
  int best = 0;  // rank of the most specific match so far: 3 exact, 2 type, 1 any
  bool admits = false;
  bool any_range = false;
  while (s < end) {
    const char *comma = static_cast<const char *>(memchr(s, ',', static_cast<size_t>(end - s)));
    const char *item_end = comma ? comma : end;
    const char *semi = static_cast<const char *>(memchr(s, ';', static_cast<size_t>(item_end - s)));
    const char *ts = s;
    const char *te = semi ? semi : item_end;
    trim(&ts, &te);
    if (ts < te) any_range = true;
    int rank = 0;
    if (range_is(ts, te, "application/json")) {
      rank = 3;
    } else if (range_is(ts, te, "application/*")) {
      rank = 2;
    } else if (range_is(ts, te, "*/*")) {
      rank = 1;
    }
    if (rank > 0) {
      const bool w = semi ? weight_admits(semi + 1, item_end) : true;
      if (rank > best) {
        best = rank;
        admits = w;
      } else if (rank == best) {
        admits = admits || w;
      }
    }
    s = comma ? comma + 1 : end;
  }
  if (!any_range) return 1;  // an empty header asks for nothing in particular
  return admits ? 1 : 0;
}

int ws_mcp_version_ok(const char *version) {
  if (version == nullptr) return 1;
  for (const char *v : WS_MCP_HTTP_VERSIONS) {
    if (strcmp(version, v) == 0) return 1;
  }
  return 0;
}

void cgi_action_mcp(const char *query, const char *method, const ws_config *cfg) {
  // A page of another site must not reach a node on the user's own network
  // through a name it controls: checked before anything else.
  if (!require_same_site()) return;
  if (!ws_node_auth_ok(getenv("BOT_PASSWORD"), getenv("HTTP_X_BOT_PASSWORD"),
                       getenv("HTTP_AUTHORIZATION"), query)) {
    refuse_password();
    return;
  }
  if (method == nullptr || !ws_ieq(method, "POST")) {
    rpc_refusal(NOT_ALLOWED, "-32000",
                "Method not allowed: send one JSON-RPC message with POST (no event stream, no "
                "sessions)");
    return;
  }
  if (!ws_mcp_version_ok(getenv("HTTP_MCP_PROTOCOL_VERSION"))) {
    rpc_refusal(BAD_REQUEST, "-32000",
                "Bad Request: unsupported MCP-Protocol-Version; this server speaks 2025-06-18 "
                "(2025-03-26 is accepted too)");
    return;
  }
  if (!ws_accept_json(getenv("HTTP_ACCEPT"))) {
    rpc_refusal(NOT_ACCEPTABLE, "-32000",
                "Not Acceptable: replies are application/json, which the Accept header excludes");
    return;
  }
  const char *length = getenv("CONTENT_LENGTH");
  if (length != nullptr && cgi_atol(length) > WS_CGI_BODY_MAX) {
    rpc_refusal(TOO_LARGE, "-32600", "Request too large: a message may hold at most 1048576 bytes");
    return;
  }
  ws_cgi_body body;
  cgi_read_body(&body);
  answer_message(body, cfg);
}
