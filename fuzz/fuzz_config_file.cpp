// The config.json file layer over any text: every field stays terminated
// inside its capacity and whole UTF-8, the count stays 1..20, the provider
// and the public base URLs never end empty, and applying twice changes
// nothing more.
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "config/ws_config.h"
#include "utf8_check.h"

namespace {

template <size_t N>
void check_text(const char (&field)[N]) {
  const size_t n = strnlen(field, N);
  FUZZ_CHECK(n < N);
  FUZZ_CHECK(fuzz::utf8_whole(field, n));
}

void check_record(const ws_config &c) {
  check_text(c.provider);
  check_text(c.region);
  check_text(c.safe);
  check_text(c.language);
  check_text(c.searxng_categories);
  check_text(c.brave_key);
  check_text(c.tavily_key);
  check_text(c.exa_key);
  check_text(c.pplx_key);
  check_text(c.ddg_base);
  check_text(c.searxng_base);
  check_text(c.brave_base);
  check_text(c.tavily_base);
  check_text(c.exa_base);
  check_text(c.pplx_base);
  FUZZ_CHECK(c.count >= 1 && c.count <= 20);
  FUZZ_CHECK(c.provider[0] != '\0');
  for (const char *base : {c.ddg_base, c.brave_base, c.tavily_base, c.exa_base, c.pplx_base}) {
    FUZZ_CHECK(base[0] != '\0');
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  ws_config once;
  ws_config_defaults(&once);
  ws_config_apply_json(&once, text, size);
  check_record(once);

  ws_config twice = once;
  ws_config_apply_json(&twice, text, size);
  FUZZ_CHECK(memcmp(&once, &twice, sizeof once) == 0);
  return 0;
}
