// Checking and comparing base URLs with the searches' own URL parser.
#include "search/ws_base_url.h"

#include <cstring>

#include "sdk/tq_url.h"
#include "util/ws_buf.h"

const char WS_BASE_URL_SCHEME_ERR[] = "a base URL must start with http:// or https://";

int ws_base_url_check(const char *url, char *err, size_t err_size) {
  if (url == nullptr) url = "";
  // The parser also takes ws:// and wss://, which no backend speaks. A
  // space or a control byte would end the URL early or break the request.
  bool scheme_ok = strncmp(url, "http://", 7) == 0 || strncmp(url, "https://", 8) == 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(url); *p; p++) {
    if (*p <= 0x20 || *p == 0x7f) scheme_ok = false;
  }
  if (!scheme_ok) {
    if (err != nullptr && err_size > 0) ws_copy(err, err_size, WS_BASE_URL_SCHEME_ERR);
    return -1;
  }
  tq_url parsed;
  char why[256] = "";
  if (tq_url_parse(url, &parsed, why, sizeof why) != 0) {
    if (err != nullptr && err_size > 0) ws_copy(err, err_size, why[0] ? why : "unsupported URL");
    return -1;
  }
  return 0;
}

int ws_base_url_same_origin(const char *a, const char *b) {
  tq_url ua;
  tq_url ub;
  if (a == nullptr || b == nullptr || tq_url_parse(a, &ua, nullptr, 0) != 0 ||
      tq_url_parse(b, &ub, nullptr, 0) != 0) {
    return 0;
  }
  return ua.tls == ub.tls && ua.port == ub.port && ws_ieq(ua.host, ub.host);
}
