// MCP over HTTP (the Streamable HTTP transport, stateless, JSON replies only)
// at the CGI endpoint: every POST carries one JSON-RPC message and is answered
// by the stdio server's own line handler, so both transports say the same.
#pragma once

#include "config/ws_config.h"

// The protocol versions whose MCP-Protocol-Version header is accepted; the
// first is the one this server speaks.
extern const char *const WS_MCP_HTTP_VERSIONS[2];

// 1 when the request is for the MCP endpoint: PATH_INFO exactly "/mcp", or an
// `action` query parameter equal to "mcp". NULL arguments are absent.
int cgi_is_mcp(const char *query, const char *path_info);

// 1 when an Accept header admits application/json: absent or empty, or a
// list whose most specific range matching application/json (exact, then
// "application/*", then "*/*"; type and subtype without regard to ASCII case)
// has a q value above zero. A list naming no such range gives 0.
int ws_accept_json(const char *accept);

// 1 when an MCP-Protocol-Version header is absent (NULL) or names one of
// WS_MCP_HTTP_VERSIONS exactly; 0 otherwise, the empty text included.
int ws_mcp_version_ok(const char *version);

// One request at the MCP endpoint, from the CGI variables and standard input:
// the Origin and node-password checks, then the method, protocol version,
// Accept and body rules, then the message itself. Writes the whole response.
void cgi_action_mcp(const char *query, const char *method, const ws_config *cfg);
