// HTML-to-text and URL codecs. All work on bytes; UTF-8 passes through.
// Bounded outputs never hold more than size - 1 bytes, are always
// NUL-terminated when size >= 1, and a cut never splits a UTF-8 sequence.
#pragma once

#include <cstddef>

#include "util/ws_buf.h"

// Tags and script/style blocks removed, entities decoded, white space collapsed.
void ws_html_text(char *out, size_t size, const char *html);
// Named (13) and numeric entities decoded; a replacement is written whole or not at all.
void ws_html_unescape(char *out, size_t size, const char *src);
// Collapses white space (0x09..0x0D, 0x20) in place: trimmed, runs become one space.
void ws_collapse(char *s);
// "%XX" and "+" decoded; malformed escapes are copied as they are.
void ws_url_decode(char *out, size_t size, const char *src);
// RFC 3986 unreserved bytes kept, everything else %XX (upper case); appends to b.
void ws_url_encode(const char *src, ws_buf *b);
