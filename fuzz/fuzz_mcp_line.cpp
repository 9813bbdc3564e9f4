// Any request line: the reply is nothing or exactly one JSON line.
#include <yyjson.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "config/ws_config.h"
#include "plugin/ws_mcp.h"
#include "util/ws_buf.h"

namespace {

ws_config g_cfg;
char g_dir[] = "/tmp/ws-fuzz-mcp-XXXXXX";

void remove_dir() {
  remove(g_dir);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // Every backend points at a closed loopback port and no key is set, so a
  // search fails at once and nothing ever leaves the machine.
  setenv("WEBSEARCH_MOCK_BASE", "http://127.0.0.1:1", 1);
  for (const char *name : {"BRAVE_API_KEY", "TAVILY_API_KEY", "EXA_API_KEY", "PERPLEXITY_API_KEY",
                           "WEBSEARCH_BRAVE_KEY", "WEBSEARCH_TAVILY_KEY", "WEBSEARCH_EXA_KEY",
                           "WEBSEARCH_PPLX_KEY", "TQ_VERBOSE", "TQ_DEBUG"}) {
    unsetenv(name);
  }
  if (mkdtemp(g_dir) != nullptr) {
    setenv("SWEBSEARCH_CONFIG_DIR", g_dir, 1);
    atexit(remove_dir);
  }
  ws_config_load(&g_cfg);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size > WS_MCP_LINE_MAX) return 0;
  ws_buf reply;
  ws_buf_init(&reply);
  ws_buf_guard guard(&reply);
  if (mcp_handle_line(&g_cfg, reinterpret_cast<const char *>(data), size, &reply) != 0) return 0;
  if (reply.len == 0) return 0;
  if (reply.data[reply.len - 1] != '\n' || memchr(reply.data, '\n', reply.len - 1) != nullptr) {
    abort();
  }
  yyjson_doc *doc = yyjson_read(reply.data, reply.len - 1, 0);
  if (doc == nullptr || !yyjson_is_obj(yyjson_doc_get_root(doc))) abort();
  yyjson_doc_free(doc);
  return 0;
}
