// The six backends, in the order every list of them is printed.
#include "search/ws_registry.h"

#include "util/ws_buf.h"

const ws_provider WS_PROVIDERS[WS_PROVIDER_COUNT] = {
    {"duckduckgo", "DuckDuckGo", "No key needed", 0, 0, "https://duckduckgo.com"},
    {"searxng", "SearXNG", "Self-hosted", 0, 1, "https://docs.searxng.org"},
    {"brave", "Brave", "Structured API", 1, 0, "https://brave.com/search/api/"},
    {"tavily", "Tavily", "Agent-optimised", 1, 0, "https://tavily.com"},
    {"exa", "Exa", "Neural search", 1, 0, "https://exa.ai"},
    {"perplexity", "Perplexity", "Answer + sources", 1, 0, "https://www.perplexity.ai"},
};

int ws_provider_known(const char *text) {
  if (text == nullptr || text[0] == '\0') return 0;
  for (const ws_provider &p : WS_PROVIDERS) {
    if (ws_ieq(text, p.id)) return 1;
  }
  return 0;
}
