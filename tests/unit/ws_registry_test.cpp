// The registry of the six backends and the known-id question.
#include "search/ws_registry.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Registry, SixRowsInTheFixedOrderWithTheirTexts) {
  const struct {
    const char *id, *label, *hint;
    int needs_key, needs_base;
    const char *signup;
  } want[] = {
      {"duckduckgo", "DuckDuckGo", "No key needed", 0, 0, "https://duckduckgo.com"},
      {"searxng", "SearXNG", "Self-hosted", 0, 1, "https://docs.searxng.org"},
      {"brave", "Brave", "Structured API", 1, 0, "https://brave.com/search/api/"},
      {"tavily", "Tavily", "Agent-optimised", 1, 0, "https://tavily.com"},
      {"exa", "Exa", "Neural search", 1, 0, "https://exa.ai"},
      {"perplexity", "Perplexity", "Answer + sources", 1, 0, "https://www.perplexity.ai"},
  };
  static_assert(sizeof want / sizeof want[0] == WS_PROVIDER_COUNT);
  for (int i = 0; i < WS_PROVIDER_COUNT; i++) {
    SCOPED_TRACE(want[i].id);
    EXPECT_STREQ(WS_PROVIDERS[i].id, want[i].id);
    EXPECT_STREQ(WS_PROVIDERS[i].label, want[i].label);
    EXPECT_STREQ(WS_PROVIDERS[i].hint, want[i].hint);
    EXPECT_EQ(WS_PROVIDERS[i].needs_key, want[i].needs_key);
    EXPECT_EQ(WS_PROVIDERS[i].needs_base, want[i].needs_base);
    EXPECT_STREQ(WS_PROVIDERS[i].signup, want[i].signup);
  }
}

TEST(Registry, KnownIdsIgnoreAsciiCaseOnly) {
  const struct {
    const char *text;
    int known;
  } rows[] = {
      {"duckduckgo", 1}, {"SearXNG", 1}, {"BRAVE", 1}, {"tAvIlY", 1},        {"exa", 1},
      {"Perplexity", 1}, {"", 0},        {"ddg", 0},   {"brave ", 0},        {" brave", 0},
      {"brav", 0},       {"bravex", 0},  {"exa\n", 0}, {"perplexity.ai", 0}, {"\xC3\x89XA", 0},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.text);
    EXPECT_EQ(ws_provider_known(r.text), r.known);
  }
  EXPECT_EQ(ws_provider_known(nullptr), 0);
}

}  // namespace
