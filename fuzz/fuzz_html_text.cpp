// Any HTML fragment and any output size: the plain text stays inside its
// bound, is collapsed, and never ends in half a character.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "utf8_check.h"
#include "util/ws_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  // First byte: the output size (1..256); an exact heap block lets ASan see
  // any write past it.
  const size_t cap = static_cast<size_t>(data[0]) + 1;
  const std::string html(reinterpret_cast<const char *>(data + 1), size - 1);
  const char *src = html.c_str();  // ends at the first NUL, as callers see it
  const size_t src_len = strlen(src);

  std::unique_ptr<char[]> out(new char[cap]);
  ws_html_text(out.get(), cap, src);
  const size_t n = strnlen(out.get(), cap);
  FUZZ_CHECK(n < cap);
  FUZZ_CHECK(n <= src_len);

  // Collapsed: no white space but single inner spaces.
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(out[i]);
    FUZZ_CHECK(!(c >= 0x09 && c <= 0x0D));
    if (c == ' ') {
      FUZZ_CHECK(i != 0 && i + 1 != n);
      FUZZ_CHECK(out[i + 1] != ' ');
    }
  }
  if (fuzz::utf8_whole(src, src_len)) FUZZ_CHECK(fuzz::utf8_whole(out.get(), n));
  return 0;
}
