// One JSON-RPC exchange of the MCP server, apart from the pipes, so that
// tests and fuzz targets can drive it line by line.
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
