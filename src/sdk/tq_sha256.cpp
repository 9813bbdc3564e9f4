// SHA-256 in lower-case hex, the form in which public-key pins are written.
#include <bearssl.h>

#include "sdk/tq_url.h"

void tq_sha256_hex(const void *data, size_t len, char out[65]) {
  static const char kHexLower[] = "0123456789abcdef";
  br_sha256_context ctx;
  unsigned char digest[br_sha256_SIZE];
  br_sha256_init(&ctx);
  br_sha224_update(&ctx, data, len);
  br_sha256_out(&ctx, digest);
  for (size_t i = 0; i < sizeof digest; ++i) {
    out[2 * i] = kHexLower[digest[i] >> 4];
    out[2 * i + 1] = kHexLower[digest[i] & 0x0F];
  }
  out[2 * sizeof digest] = '\0';
}
