// The program's self-description: version, discovery record, tool schema
// and help text. The schema is one constant so that --schema and tools/list
// can never drift apart.
#include "plugin/ws_meta.h"

#include <cstdio>
#include <cstring>

const char WS_VERSION[] = "1.0.3";

// Compact on purpose: it is sent verbatim inside every tools/list answer.
const char WS_TOOL_SCHEMA[] =
    R"json([{"name":"web_search","description":"Search the web and return ranked results )json"
    R"json((title, url, snippet, published date, site). The provider is chosen by the user's )json"
    R"json(configuration unless one is named: duckduckgo needs no key, searxng needs a )json"
    R"json(self-hosted base URL, and brave/tavily/exa/perplexity need an API key saved on the )json"
    R"json(plugin page or in the environment. Use this for anything current (news, releases, )json"
    R"json(prices, documentation that may have moved); for reading one specific page in full )json"
    R"json(use a URL-fetch tool instead.","inputSchema":{"type":"object","properties":{)json"
    R"json("query":{"type":"string","description":"The search query."},)json"
    R"json("provider":{"type":"string","enum":["duckduckgo","searxng","brave","tavily","exa",)json"
    R"json("perplexity"],"description":"Which backend to use. Omit to use the configured )json"
    R"json(default."},)json"
    R"json("count":{"type":"integer","minimum":1,"maximum":20,"description":"How many )json"
    R"json(results to return (default 5)."},)json"
    R"json("country":{"type":"string","description":"Two-letter country code for )json"
    R"json(region-specific results (Brave only), e.g. NZ, US, ALL."},)json"
    R"json("language":{"type":"string","description":"ISO 639-1 language code, e.g. en, de, )json"
    R"json(fr."},)json"
    R"json("freshness":{"type":"string","enum":["day","week","month","year"],)json"
    R"json("description":"Only results from this recent window (Brave only)."}},)json"
    R"json("required":["query"]}},)json"
    R"json({"name":"web_search_providers","description":"List the web-search backends this )json"
    R"json(node can use: which are configured, which are missing a key or base URL, and )json"
    R"json(which one is the default. Never returns a key, only whether one is present.",)json"
    R"json("inputSchema":{"type":"object","properties":{}}}])json";

const char WS_HELP_TEXT[] =
    "plugin_websearch 1.0.3 - TORVALE BOT multi-provider web search\n"
    "\n"
    "  plugin_websearch --meta        discovery JSON (unauthenticated)\n"
    "  plugin_websearch --mcp         MCP JSON-RPC 2.0 over stdio\n"
    "  plugin_websearch --schema      the tools/list array\n"
    "  plugin_websearch --selftest    resolve the configuration and exit\n"
    "\n"
    "Tools: web_search (query, provider, count, country, language,\n"
    "                   freshness)\n"
    "       web_search_providers\n"
    "\n"
    "CGI: GET (page), ?action=providers|search|config|save|info,\n"
    "     ?format=json, POST {\"action\":...}\n"
    "\n"
    "Environment: BRAVE_API_KEY TAVILY_API_KEY EXA_API_KEY\n"
    "             PERPLEXITY_API_KEY SEARXNG_URL WEBSEARCH_PROVIDER\n"
    "             WEBSEARCH_SEARXNG_BASE WEBSEARCH_{PROVIDER}_BASE\n"
    "             WEBSEARCH_MOCK_BASE (tests) SWEBSEARCH_CONFIG_DIR\n";

int mode_meta(void) {
  printf(
      "{\"name\":\"%s\",\"desc\":\"%s\",\"kind\":\"mcp\",\"mcp\":true,\"daemon\":false,"
      "\"menus\":false,\"verified\":\"mock\",\"category\":\"network\",\"version\":\"%s\"}\n",
      "websearch", "Web search MCP", WS_VERSION);
  fflush(stdout);
  return 0;
}

void print_help(void) {
  fwrite(WS_HELP_TEXT, 1, strlen(WS_HELP_TEXT), stdout);
}
