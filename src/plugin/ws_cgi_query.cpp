// Request parameters: query-string lookup, body-or-query fields, and the
// number conversions the actions use.
#include <climits>
#include <cstdio>
#include <cstring>

#include "plugin/ws_cgi.h"
#include "util/ws_text.h"

namespace {

// Saturating atoi core: the value of the leading decimal integer, clamped to
// [lo, hi]. Digits beyond the bound keep being consumed but no longer move
// the value, so overflow cannot happen.
long long parse_leading_int(const char *s, long long lo, long long hi) {
  if (!s) return 0;
  while (*s == ' ' || (*s >= '\t' && *s <= '\r')) s++;
  int negative = 0;
  if (*s == '+' || *s == '-') {
    negative = (*s == '-');
    s++;
  }
  long long v = 0;
  for (; *s >= '0' && *s <= '9'; s++) {
    const int d = *s - '0';
    if (!negative) {
      v = (v > (hi - d) / 10) ? hi : v * 10 + d;
    } else {
      v = (v < (lo + d) / 10) ? lo : v * 10 - d;
    }
  }
  return v;
}

}  // namespace

int cgi_atoi(const char *text) {
  return static_cast<int>(parse_leading_int(text, INT_MIN, INT_MAX));
}

long cgi_atol(const char *text) {
  return static_cast<long>(parse_leading_int(text, LONG_MIN, LONG_MAX));
}

int cgi_query_raw(const char *query, const char *name, const char **value, size_t *len) {
  if (!query || !*query || !name) return 0;
  const size_t name_len = strlen(name);
  const char *p = query;
  for (;;) {
    if (strncmp(p, name, name_len) == 0 && p[name_len] == '=') {
      const char *v = p + name_len + 1;
      const char *amp = strchr(v, '&');
      *value = v;
      *len = amp ? static_cast<size_t>(amp - v) : strlen(v);
      return 1;
    }
    const char *amp = strchr(p, '&');
    // A trailing "&" starts no further parameter.
    if (!amp || amp[1] == '\0') return 0;
    p = amp + 1;
  }
}

int get_query_val(const char *query, const char *name, char *out, size_t size) {
  if (out && size > 0) out[0] = '\0';
  const char *raw = nullptr;
  size_t raw_len = 0;
  if (!cgi_query_raw(query, name, &raw, &raw_len)) return 0;
  if (!out || size == 0) return 1;
  char cut[WS_CGI_RAW_VALUE_MAX + 1];
  size_t n = raw_len;
  if (n > WS_CGI_RAW_VALUE_MAX) n = ws_utf8_cut(raw, WS_CGI_RAW_VALUE_MAX);
  memcpy(cut, raw, n);
  cut[n] = '\0';
  ws_url_decode(out, size, cut);
  return 1;
}

yyjson_val *cgi_obj_first(yyjson_val *obj, const char *key) {
  if (!obj || !key || !yyjson_is_obj(obj)) return nullptr;
  const size_t key_len = strlen(key);
  yyjson_obj_iter it;
  if (!yyjson_obj_iter_init(obj, &it)) return nullptr;
  yyjson_val *k;
  while ((k = yyjson_obj_iter_next(&it)) != nullptr) {
    if (yyjson_equals_strn(k, key, key_len)) return yyjson_obj_iter_get_val(k);
  }
  return nullptr;
}

int field_str(const char *query, yyjson_val *body, const char *name, char *out, size_t size) {
  if (out && size > 0) out[0] = '\0';
  yyjson_val *v = cgi_obj_first(body, name);
  if (v && out && size > 0) {
    if (yyjson_is_str(v)) {
      ws_copy(out, size, yyjson_get_str(v));
      return 1;
    }
    if (yyjson_is_bool(v)) {
      ws_copy(out, size, yyjson_get_bool(v) ? "1" : "0");
      return 1;
    }
    if (yyjson_is_int(v)) {
      // Out-of-range integers saturate instead of wrapping: a clear flag of
      // 4294967296 must not turn into 0, nor a huge count into a small one.
      long long n;
      if (yyjson_is_uint(v)) {
        const unsigned long long u = yyjson_get_uint(v);
        n = u > static_cast<unsigned long long>(INT_MAX) ? INT_MAX : static_cast<long long>(u);
      } else {
        n = yyjson_get_sint(v);
        if (n > INT_MAX) n = INT_MAX;
        if (n < INT_MIN) n = INT_MIN;
      }
      char num[24];
      snprintf(num, sizeof num, "%lld", n);
      ws_copy(out, size, num);
      return 1;
    }
  }
  return get_query_val(query, name, out, size);
}
