// Mode selection: one process, one job. A switch on the command line beats
// the environment; without one the host's variables decide, and a plain
// start is one CGI request.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/ws_config.h"
#include "plugin/ws_meta.h"
#include "plugin/ws_modes.h"
#include "search/ws_http.h"
#include "search/ws_search.h"
#include "util/ws_buf.h"

namespace {

enum class mode { none, meta, mcp, schema, help, version, selftest };

// Whole-argument, case-sensitive matches, tried in this order.
mode switch_of(const char *arg) {
  static const struct {
    const char *text;
    mode m;
  } kSwitches[] = {
      {"--meta", mode::meta},         {"--mcp", mode::mcp}, {"--schema", mode::schema},
      {"--help", mode::help},         {"-h", mode::help},   {"--version", mode::version},
      {"--selftest", mode::selftest},
  };
  for (const auto &s : kSwitches) {
    if (strcmp(arg, s.text) == 0) return s.m;
  }
  return mode::none;
}

int run_switch(mode m) {
  switch (m) {
    case mode::meta:
      return mode_meta();
    case mode::mcp:
      return mode_mcp();
    case mode::schema:
      return mode_schema();
    case mode::help:
      print_help();
      return 0;
    case mode::version:
      printf("%s\n", WS_VERSION);
      return 0;
    case mode::selftest:
      return mode_selftest();
    case mode::none:
      break;
  }
  return 0;
}

inline bool non_empty(const char *s) {
  return s != nullptr && s[0] != '\0';
}

}  // namespace

int mode_schema(void) {
  ws_buf b;
  ws_buf_init(&b);
  ws_buf_guard guard(&b);
  if (ws_buf_printf(&b, "{\"tools\":%s}\n", WS_TOOL_SCHEMA) != 0) return 1;
  fwrite(b.data, 1, b.len, stdout);
  fflush(stdout);
  return 0;
}

int mode_selftest(void) {
  ws_config cfg;
  ws_config_load(&cfg);
  printf("provider=%s count=%d searxng=%s brave_key=%d\n", ws_provider_active(&cfg), cfg.count,
         cfg.searxng_base[0] != '\0' ? cfg.searxng_base : "(unset)",
         cfg.brave_key[0] != '\0' ? 1 : 0);
  fflush(stdout);
  return 0;
}

int ws_main(int argc, char **argv) {
  const char *query = getenv("QUERY_STRING");
  const char *method = getenv("REQUEST_METHOD");
  const char *meta = getenv("TQ_PLUGIN_META");
  const char *help = getenv("PLUGIN_HELP");

  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr) continue;
    const mode m = switch_of(argv[i]);
    if (m != mode::none) return run_switch(m);
  }

  if (non_empty(meta)) {
    if (!non_empty(query)) return mode_meta();
    if (non_empty(help)) {
      print_help();
      return 0;
    }
  } else if (non_empty(help)) {
    print_help();
    return 0;
  }
  if (query == nullptr) query = "";
  if (method == nullptr) method = "GET";

  // The MCP server loads its own settings; only the CGI request needs ours.
  if (getenv("TQ_PLUGIN_MCP") != nullptr) return mode_mcp();

  // From here on the environment also carries the client's request headers:
  // its "Proxy:" header must not become this program's proxy.
  ws_http_cgi_mode();
  ws_config cfg;
  ws_config_load(&cfg);
  return mode_cgi(query, method, &cfg);
}
