// The documents that leave the process, shared by the MCP server and the CGI
// endpoint. Each returns a heap string the caller frees, or NULL when out of memory.
#pragma once

#include "config/ws_config.h"
#include "search/ws_results.h"
#include "util/ws_buf.h"

char *results_json(const ws_results *results);
char *providers_json(const ws_config *cfg);
// The MCP tool result around a document: the text as a JSON string in
// content, the text itself as structuredContent (only when it is a JSON
// object), then "isError":true when flagged.
char *mcp_envelope(const char *text, int is_error);
// The human-readable listing of a search.
char *results_text(const ws_results *results);
// {"ok":false,"error":<message>[,"status":N][,"provider":<id>]}; provider NULL omits it.
char *error_json(const char *message, long status, const char *provider);

// ws_json_str for text of outside origin (scraped pages, upstream error
// bodies, CGI parameters): every byte that is not part of a well-formed UTF-8
// sequence is written as U+FFFD, so a document never carries invalid UTF-8.
// Well-formed text comes out exactly as ws_json_str writes it. 0 or -1.
int json_str_utf8(ws_buf *b, const char *s);
