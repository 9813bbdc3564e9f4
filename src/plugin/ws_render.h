// The documents that leave the process, shared by the MCP server and the CGI
// endpoint. Each returns a heap string the caller frees, or NULL when out of memory.
#pragma once

#include "config/ws_config.h"
#include "search/ws_results.h"

char *results_json(const ws_results *results);
char *providers_json(const ws_config *cfg);
// {"content":[{"type":"text","text":<text as JSON string>}],"structuredContent":<text>[,"isError":true]}
char *mcp_envelope(const char *text, int is_error);
// The human-readable listing of a search.
char *results_text(const ws_results *results);
// {"ok":false,"error":<message>[,"status":N][,"provider":<id>]}; provider NULL omits it.
char *error_json(const char *message, long status, const char *provider);
