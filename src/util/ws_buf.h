// Growable byte buffer and the small string helpers every unit shares.
//
// A ws_buf is always NUL-terminated once allocated, so data can be used as
// a C string at any time. Builders may hand data to their caller, who then
// owns it and releases it with free().
#pragma once

#include <cstddef>

struct ws_buf {
  char *data;  // heap block, NULL until the first growth
  size_t len;  // bytes stored, not counting the terminating NUL
  size_t cap;  // bytes allocated for data; 0 while data is NULL
};

// Sets all three fields to zero; frees nothing.
void ws_buf_init(ws_buf *b);
// Makes room for n more bytes plus the terminator. 256 first, then doubling
// up to 1 GiB, exact size beyond. An overflowing requirement fails. 0 or -1.
int ws_buf_need(ws_buf *b, size_t n);
// The capacity that ws_buf_need grows a block of cap bytes to when need
// bytes (more than cap) are required.
size_t ws_buf_grow_cap(size_t cap, size_t need);
// Appends n bytes and the terminator; NULL/0 only makes sure the block exists.
int ws_buf_add(ws_buf *b, const void *src, size_t n);
int ws_buf_puts(ws_buf *b, const char *s);
int ws_buf_putc(ws_buf *b, int c);
int ws_buf_printf(ws_buf *b, const char *fmt, ...) __attribute__((format(WS_PRINTF_FORMAT, 2, 3)));
// data, or "" while nothing was allocated; never allocates.
const char *ws_buf_str(const ws_buf *b);
// Frees data and zeroes the record; the buffer can be used again.
void ws_buf_free(ws_buf *b);

// Appends s as a quoted JSON string (NULL gives ""). Escapes ", \, \n, \r,
// \t and other bytes below 0x20 as \u00XX; everything else passes unchanged.
int ws_json_str(ws_buf *b, const char *s);

// Bounded copy into a fixed array of size bytes. A cut never splits a UTF-8
// sequence: it moves back to the start of a sequence that does not fit whole.
void ws_copy(char *dst, size_t size, const char *src);
// Length of the longest prefix of s[0..n) that ends on a UTF-8 character
// boundary, used wherever a text is cut to a bound.
size_t ws_utf8_cut(const char *s, size_t n);
int ws_ieq(const char *a, const char *b);
int ws_iprefix(const char *text, const char *prefix);
const char *ws_memmem(const char *hay, size_t hay_len, const char *needle);

// Owns a heap text handed over by a builder (results_json and friends) and
// frees it on every path.
struct ws_heap_text {
  char *p = nullptr;
  ws_heap_text() = default;
  explicit ws_heap_text(char *q) : p(q) {}
  ws_heap_text(const ws_heap_text &) = delete;
  ws_heap_text &operator=(const ws_heap_text &) = delete;
  ~ws_heap_text();
  char *release() {
    char *q = p;
    p = nullptr;
    return q;
  }
};

// Frees a ws_buf when the scope ends unless ownership was handed over.
struct ws_buf_guard {
  ws_buf *b;
  explicit ws_buf_guard(ws_buf *buf) : b(buf) {}
  ws_buf_guard(const ws_buf_guard &) = delete;
  ws_buf_guard &operator=(const ws_buf_guard &) = delete;
  ~ws_buf_guard() {
    if (b) ws_buf_free(b);
  }
};
