// Scanning DuckDuckGo's HTML results page: a byte-range walk over anchor
// tags, no DOM. Every routine reads only inside [html, html + html_len) and
// allocates nothing except the result slots it pushes.
#pragma once

#include <cstddef>

#include "search/ws_results.h"

// Bounds of the working texts of one result, in bytes without the NUL.
constexpr size_t WS_DDG_TITLE_MAX = 2047;    // raw title HTML
constexpr size_t WS_DDG_SNIPPET_MAX = 4095;  // raw snippet HTML
constexpr size_t WS_DDG_HREF_CAP = 2048;     // href buffer of a title anchor
constexpr size_t WS_DDG_LINK_CAP = 2048;     // uddg value, decoded link

// Where an anchor lies in the page.
struct ws_ddg_anchor {
  size_t tag_start;  // offset of its "<a"
  size_t inner;      // offset of the byte after the opening tag's ">"
  size_t inner_len;  // bytes up to its closing "</a"
};

// Finds the next anchor at or after `start` whose class value contains
// class_name (plain, case-sensitive substring). The href is copied raw (no
// entity decoding) into href_out, cut to href_cap - 1 bytes, "" when the tag
// has none or its value is not closed inside the tag. Tag and attribute names
// must stand alone: "<abbr", "</abbr" and "data-class=" do not count.
// 1 when found; 0 when there is none, or the anchor is never closed.
int ws_ddg_find_anchor(const char *html, size_t html_len, size_t start, const char *class_name,
                       char *href_out, size_t href_cap, ws_ddg_anchor *out);

// The same, with the inner HTML as a pointer and a length.
int next_anchor(const char *html, size_t html_len, size_t start, const char *class_name,
                char *href_out, size_t href_cap, const char **inner_out, size_t *inner_len_out);

// The result link for a title anchor's raw href: entities decoded, then a
// DuckDuckGo redirect ("/l/?uddg=..." or "//duckduckgo.com/l/?uddg=...")
// becomes its decoded target, another protocol-relative href gets "https:",
// anything else stays as it is. Always NUL-terminated in out[out_size].
void ws_ddg_link(const char *href, char *out, size_t out_size);

// 1 when the page carries one of DuckDuckGo's bot-detection markers.
int ws_ddg_challenge(const char *html, size_t html_len);

// Walks the page and pushes up to `count` results onto list, each with the
// snippet anchor that follows its title anchor before the next title anchor.
// The number added (0..count), or -1 with "out of memory" in err when a slot
// could not be had (results added so far stay).
int ws_ddg_scan(const char *html, size_t html_len, int count, ws_results *list, char *err,
                size_t err_size);

// The whole reading of a results page: the scan, and when it finds nothing,
// the bot-detection test. 0 (results, or an honest empty page) or -1 with
// the message in err.
int ws_ddg_page(const char *html, size_t html_len, int count, ws_results *list, char *err,
                size_t err_size);
