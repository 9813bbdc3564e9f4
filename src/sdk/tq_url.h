// URL parsing and the small helpers of the connector SDK.
#pragma once

#include <cstddef>

struct tq_url {
  char scheme[8];   // "https" for https:// and wss://, "http" for http:// and ws://
  char host[256];   // as written, case preserved
  int port;         // 1..65535
  char path[1024];  // request target (path and query, no fragment), never empty
  int tls;          // 1 for https:// and wss://
};

// printf into err[err_size], truncated (never inside a UTF-8 sequence) and
// always NUL-terminated; does nothing when err is NULL or err_size is 0.
void set_err(char *err, size_t err_size, const char *fmt, ...)
    __attribute__((format(WS_PRINTF_FORMAT, 3, 4)));

// 0 with out filled, or -1 with one of the parser's fixed messages in err.
// A request target longer than 1023 bytes is refused with "url too long".
int tq_url_parse(const char *url, tq_url *out, char *err, size_t err_size);
// Percent-encodes in into out[out_size]; stops before an escape that does not fit.
void tq_url_encode(const char *in, char *out, size_t out_size);
// Difference of the first pair of bytes that differ after tolower; 0 when equal.
int tq_strcasecmp(const char *a, const char *b);
// Length of the longest prefix of s[0..n) that ends on a UTF-8 character
// boundary. The SDK keeps its own copy of this rule so that it depends on
// nothing of the plug-in.
size_t tq_utf8_cut(const char *s, size_t n);
// Copies src into dst[size], cut on a character boundary to at most size - 1
// bytes; always NUL-terminated when size > 0 (a NULL src leaves "").
void tq_copy(char *dst, size_t size, const char *src);
// SHA-256 of data as 64 lower-case hex digits and a NUL (out holds 65 bytes).
void tq_sha256_hex(const void *data, size_t len, char out[65]);
