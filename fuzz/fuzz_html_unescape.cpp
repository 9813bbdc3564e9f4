// Entity decoding under any bound: a cut output is a prefix of the uncut
// one, never longer than its source, and never ends in half a character.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "utf8_check.h"
#include "util/ws_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const size_t cap = static_cast<size_t>(data[0]) + 1;
  const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  const char *src = text.c_str();
  const size_t src_len = strlen(src);

  std::unique_ptr<char[]> out(new char[cap]);
  ws_html_unescape(out.get(), cap, src);
  const size_t n = strnlen(out.get(), cap);
  FUZZ_CHECK(n < cap);

  // Every replacement is shorter than its reference, so src_len + 1 bytes
  // always hold the whole decoded text.
  std::unique_ptr<char[]> full(new char[src_len + 1]);
  ws_html_unescape(full.get(), src_len + 1, src);
  const size_t full_len = strlen(full.get());
  FUZZ_CHECK(full_len <= src_len);
  FUZZ_CHECK(n <= full_len);
  FUZZ_CHECK(memcmp(out.get(), full.get(), n) == 0);
  if (cap > full_len) FUZZ_CHECK(n == full_len);

  if (fuzz::utf8_whole(src, src_len)) {
    FUZZ_CHECK(fuzz::utf8_whole(full.get(), full_len));
    FUZZ_CHECK(fuzz::utf8_whole(out.get(), n));
  }
  return 0;
}
