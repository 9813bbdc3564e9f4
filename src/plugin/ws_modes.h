// The modes that main() dispatches to.
#pragma once

#include "config/ws_config.h"

// Mode selection over the arguments and the environment; returns the exit status.
int ws_main(int argc, char **argv);
// "--schema": {"tools":<schema>} and a newline. 0, or 1 without output when out of memory.
int mode_schema(void);
// "--selftest": loads the configuration and prints its one-line summary.
int mode_selftest(void);
// The JSON-RPC server over stdin/stdout. 0 at end of input, 1 without its line buffer.
int mode_mcp(void);
// One CGI request; always returns 0.
int mode_cgi(const char *query_string, const char *method, ws_config *cfg);
