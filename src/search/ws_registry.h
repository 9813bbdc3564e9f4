// The fixed registry of the six backends. Kept free of ws_config so the
// configuration loader can ask whether a provider id is known.
#pragma once

struct ws_provider {
  const char *id;
  const char *label;
  const char *hint;
  int needs_key;
  int needs_base;
  const char *signup;
};

constexpr int WS_PROVIDER_COUNT = 6;
// duckduckgo, searxng, brave, tavily, exa, perplexity: the order of every list.
extern const ws_provider WS_PROVIDERS[WS_PROVIDER_COUNT];

// 1 when text is non-empty and names one of the six ids, ignoring ASCII case.
int ws_provider_known(const char *text);
