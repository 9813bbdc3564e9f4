// The node-password check that guards every CGI request.
#include <cstdlib>
#include <cstring>

#include "plugin/ws_cgi.h"
#include "util/ws_text.h"

namespace {

int is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// The number of bytes that URL-decoding the raw text yields, so that a value
// with a decoded NUL in it ("%00") cannot pass as its shorter prefix.
size_t decoded_len(const char *raw, size_t n) {
  size_t out = 0;
  for (size_t i = 0; i < n; out++) {
    if (raw[i] == '%' && i + 2 < n && is_hex(raw[i + 1]) && is_hex(raw[i + 2])) {
      i += 3;
    } else {
      i += 1;
    }
  }
  return out;
}

int secret_eq_text(const char *secret, const char *given) {
  return ws_secret_eq(secret, strlen(secret), given, strlen(given));
}

// The `pwd` credential: decoded whole, or not at all.
int pwd_matches(const char *password, const char *query) {
  const char *raw = nullptr;
  size_t raw_len = 0;
  if (!cgi_query_raw(query, "pwd", &raw, &raw_len)) return 0;
  if (raw_len > WS_CGI_RAW_VALUE_MAX) return 0;
  const size_t want = decoded_len(raw, raw_len);
  if (want > WS_CGI_PWD_MAX) return 0;
  char pwd[WS_CGI_PWD_MAX + 1];
  get_query_val(query, "pwd", pwd, sizeof pwd);
  if (strlen(pwd) != want) return 0;
  return secret_eq_text(password, pwd);
}

}  // namespace

int ws_secret_eq(const char *secret, size_t secret_len, const char *given, size_t given_len) {
  // The loop runs over the secret's length whatever is given, and folds
  // every difference into one accumulator without an early exit.
  unsigned diff = (secret_len != given_len) ? 1u : 0u;
  for (size_t i = 0; i < secret_len; i++) {
    const unsigned char g = i < given_len ? static_cast<unsigned char>(given[i]) : 0u;
    diff |= static_cast<unsigned>(g ^ static_cast<unsigned char>(secret[i]));
  }
  return diff == 0;
}

int ws_node_auth_ok(const char *password, const char *x_bot_password, const char *authorization,
                    const char *query) {
  if (!password || !*password) return 1;
  int ok = 0;
  if (x_bot_password && secret_eq_text(password, x_bot_password)) ok = 1;
  if (!ok && authorization) {
    const char *p = authorization;
    while (*p == ' ') p++;
    if (strncmp(p, "Bearer ", 7) == 0) {
      p += 7;
      while (*p == ' ') p++;
    }
    if (secret_eq_text(password, p)) ok = 1;
  }
  if (!ok && pwd_matches(password, query)) ok = 1;
  return ok;
}

int require_node_auth(const char *query) {
  if (ws_node_auth_ok(getenv("BOT_PASSWORD"), getenv("HTTP_X_BOT_PASSWORD"),
                      getenv("HTTP_AUTHORIZATION"), query)) {
    return 1;
  }
  cgi_write(WS_CGI_UNAUTHORIZED, strlen(WS_CGI_UNAUTHORIZED));
  return 0;
}
