// Percent decoding under any bound, and the encoder's round trip.
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
  ws_url_decode(out.get(), cap, src);
  const size_t n = strnlen(out.get(), cap);
  FUZZ_CHECK(n < cap);

  // Decoding never lengthens, so src_len + 1 bytes hold every decoded byte.
  // A decoded %00 ends the text early; compare the views callers get.
  std::unique_ptr<char[]> full(new char[src_len + 1]);
  ws_url_decode(full.get(), src_len + 1, src);
  const size_t full_len = strlen(full.get());
  FUZZ_CHECK(full_len <= src_len);
  FUZZ_CHECK(n <= full_len);
  FUZZ_CHECK(memcmp(out.get(), full.get(), n) == 0);
  if (fuzz::utf8_whole(full.get(), full_len)) FUZZ_CHECK(fuzz::utf8_whole(out.get(), n));

  // Whatever is encoded decodes back to itself.
  ws_buf enc;
  ws_buf_init(&enc);
  ws_buf_guard guard(&enc);
  ws_url_encode(src, &enc);
  FUZZ_CHECK(enc.len >= src_len && enc.len <= 3 * src_len);
  for (size_t i = 0; i < enc.len; ++i) FUZZ_CHECK(enc.data[i] != '+' && enc.data[i] != ' ');
  std::unique_ptr<char[]> back(new char[enc.len + 1]);
  ws_url_decode(back.get(), enc.len + 1, ws_buf_str(&enc));
  FUZZ_CHECK(strcmp(back.get(), src) == 0);
  return 0;
}
