// The environment layer of the settings over any values the host may set:
// every field stays terminated inside its capacity and never splits a
// character, the count stays 1..20, the provider is one the registry knows,
// the environment wins over the defaults byte for byte where it fits, and
// the integer reader saturates like strtoll clamped to int.
//
// Input: values separated by NUL bytes, given in turn to the names below.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/ws_config.h"
#include "config/ws_config_internal.h"
#include "search/ws_registry.h"
#include "utf8_check.h"

namespace {

constexpr const char *kNames[] = {
    "WEBSEARCH_PROVIDER", "WEBSEARCH_COUNT",     "WEBSEARCH_REGION",
    "WEBSEARCH_SAFE",     "WEBSEARCH_LANGUAGE",  "WEBSEARCH_SEARXNG_CATEGORIES",
    "BRAVE_API_KEY",      "WEBSEARCH_BRAVE_KEY", "SEARXNG_URL",
    "WEBSEARCH_DDG_BASE", "WEBSEARCH_MOCK_BASE", "WEBSEARCH_TAVILY_ADVANCED",
};

char g_dir[] = "/tmp/ws-fuzz-env-XXXXXX";

void remove_dir() {
  remove(g_dir);
}

template <size_t N>
void check_text(const char (&field)[N]) {
  const size_t n = strnlen(field, N);
  FUZZ_CHECK(n < N);
}

// Where a value fits its field whole it is taken as it is.
template <size_t N>
void check_taken(const char (&field)[N], const std::string &value) {
  if (value.empty() || value.size() >= N) return;
  FUZZ_CHECK(strcmp(field, value.c_str()) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  // An empty folder of its own: no config.json layer gets in the way.
  if (mkdtemp(g_dir) != nullptr) {
    setenv("SWEBSEARCH_CONFIG_DIR", g_dir, 1);
    atexit(remove_dir);
  }
  for (const char *name :
       {"WEBSEARCH_TAVILY_KEY", "TAVILY_API_KEY", "EXA_API_KEY", "WEBSEARCH_EXA_KEY",
        "PERPLEXITY_API_KEY", "WEBSEARCH_PPLX_KEY", "WEBSEARCH_SEARXNG_BASE",
        "WEBSEARCH_BRAVE_BASE", "WEBSEARCH_TAVILY_BASE", "WEBSEARCH_EXA_BASE",
        "WEBSEARCH_PPLX_BASE", "WEBSEARCH_TAVILY_ANSWER"}) {
    unsetenv(name);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  std::vector<std::string> values;
  const char *p = reinterpret_cast<const char *>(data);
  const char *end = p + size;
  while (values.size() < sizeof kNames / sizeof kNames[0]) {
    const char *nul = static_cast<const char *>(memchr(p, 0, static_cast<size_t>(end - p)));
    values.emplace_back(p, nul ? nul : end);
    if (!nul) break;
    p = nul + 1;
  }
  for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i) {
    if (i < values.size()) {
      setenv(kNames[i], values[i].c_str(), 1);
    } else {
      unsetenv(kNames[i]);
    }
  }

  ws_config cfg;
  ws_config_load(&cfg);
  check_text(cfg.provider);
  check_text(cfg.region);
  check_text(cfg.safe);
  check_text(cfg.language);
  check_text(cfg.searxng_categories);
  check_text(cfg.brave_key);
  check_text(cfg.ddg_base);
  check_text(cfg.searxng_base);
  FUZZ_CHECK(cfg.count >= 1 && cfg.count <= 20);
  FUZZ_CHECK(ws_provider_known(cfg.provider));
  FUZZ_CHECK(cfg.tavily_advanced == 0 || cfg.tavily_advanced == 1);
  if (values.size() > 2) check_taken(cfg.region, values[2]);
  if (values.size() > 4) check_taken(cfg.language, values[4]);
  // The plug-in's own key variable wins whenever it is set, even empty.
  if (values.size() > 7) {
    check_taken(cfg.brave_key, values[7]);
    if (values[7].empty()) FUZZ_CHECK(cfg.brave_key[0] == '\0');
  } else if (values.size() > 6) {
    check_taken(cfg.brave_key, values[6]);
  }

  for (const std::string &v : values) {
    errno = 0;
    const long long ll = strtoll(v.c_str(), nullptr, 10);
    const long long want = ll > INT_MAX ? INT_MAX : (ll < INT_MIN ? INT_MIN : ll);
    FUZZ_CHECK(ws_leading_int(v.c_str()) == want);
  }
  return 0;
}
