// One JSON-RPC exchange of the MCP server, apart from the pipes, so that
// tests and fuzz targets can drive it line by line, and so that the reader
// can hand searches to worker threads while it answers everything else.
#pragma once

#include <cstddef>

#include "config/ws_config.h"
#include "util/ws_buf.h"

// The longest request line kept, in bytes; the buffer adds one for the NUL.
constexpr size_t WS_MCP_LINE_MAX = 1048575;

// Answers one request line (len bytes, without its newline; need not be
// NUL-terminated). The reply is appended to `reply` as one JSON line ending in
// a newline; nothing is appended for notifications, "{}" and empty input.
// A search runs here and blocks until it is done. 0, or -1 when the reply
// could not be assembled (then nothing is appended).
int mcp_handle_line(const ws_config *cfg, const char *line, size_t len, ws_buf *reply);

// --- the same exchange in steps, for the server loops ----------------------

// The arguments of one web_search call, copied out of its request.
struct mcp_search_args {
  char query[512];
  char provider[32];
  char country[16];
  char language[16];
  char freshness[16];
  int count;  // 0 when not given
};

// A web_search call taken out of its line: the request's id as compact JSON
// text (so the reply echoes it in its own type) and the arguments. For a
// cancellation, id holds the requestId it names. id is malloc'ed and owned
// by the record; mcp_call_free releases it.
struct mcp_call {
  char *id;
  size_t id_len;
  mcp_search_args args;
};
void mcp_call_free(mcp_call *call);

// What the reader does with a line.
enum mcp_step {
  MCP_STEP_ANSWERED,  // the reply (possibly none) is in the buffer
  MCP_STEP_SEARCH,    // a web_search call: run it with mcp_run_search
  MCP_STEP_CANCEL,    // notifications/cancelled naming the request in call.id
};

// A parsed request line; the document is freed by mcp_line_free.
struct mcp_line;
// Parses len bytes. NULL only when memory runs out (a line that is not JSON
// still yields a record, answered with the parse error).
mcp_line *mcp_line_parse(const char *line, size_t len);
void mcp_line_free(mcp_line *line);
// 1 when the line is a tools/call request: the settings are checked first.
int mcp_line_is_tools_call(const mcp_line *line);
// Answers the line into reply, or hands out the call it carries (call is
// zeroed first; on MCP_STEP_SEARCH and MCP_STEP_CANCEL the caller owns
// call->id). 0, or -1 when the reply could not be assembled.
int mcp_line_route(const ws_config *cfg, const mcp_line *line, ws_buf *reply, mcp_call *call,
                   mcp_step *step);
// Runs the search of a call and appends its one reply line. Blocks for the
// whole exchange. 0, or -1 when the reply could not be assembled.
int mcp_run_search(const ws_config *cfg, const mcp_call *call, ws_buf *reply);
