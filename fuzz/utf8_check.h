// Structural UTF-8 checks shared by the text fuzz targets.
#pragma once

#include <cstddef>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

// True when every lead byte is followed by exactly the continuation bytes it
// announces. Over-long forms and surrogates are not judged: the codecs pass
// bytes through and only promise never to cut a sequence in two.
inline bool utf8_whole(const char *s, size_t n) {
  const unsigned char *u = reinterpret_cast<const unsigned char *>(s);
  size_t i = 0;
  while (i < n) {
    const unsigned char c = u[i];
    size_t len;
    if (c < 0x80) {
      len = 1;
    } else if (c >= 0xC0 && c <= 0xDF) {
      len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
    } else if (c >= 0xF0 && c <= 0xF7) {
      len = 4;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((u[i + k] & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

[[noreturn]] inline void fail(const char *what) {
  fprintf(stderr, "invariant broken: %s\n", what);
  abort();
}

}  // namespace fuzz

#define FUZZ_CHECK(cond)            \
  do {                              \
    if (!(cond)) fuzz::fail(#cond); \
  } while (0)
