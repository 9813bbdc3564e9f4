// Public-key pins: the key serialisation they are computed over, the list
// read from TQ_TLS_PIN once per process and the caller's own list.
//
// Handshakes run on several threads: the environment list is parsed once
// (std::call_once) and never changes afterwards; the caller's list may be
// replaced at any time, so it is read and written under a mutex.
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "sdk/tq_tls.h"
#include "sdk/tq_tls_internal.h"
#include "sdk/tq_url.h"

namespace {

std::once_flag g_env_pins_once;
char *g_env_pins[TQ_MAX_ENV_PINS];
size_t g_env_pin_count = 0;
std::mutex g_pins_lock;  // guards the two below
const char *const *g_pins = nullptr;
size_t g_pin_count = 0;

bool is_separator(char c) {
  return c == ',' || c == ';' || c == ' ';
}

void parse_env_pins(void) {
  const char *value = getenv("TQ_TLS_PIN");
  if (!value) return;
  char text[TQ_PIN_ENV_MAX + 1];
  const size_t n = strnlen(value, TQ_PIN_ENV_MAX);
  memcpy(text, value, n);
  text[n] = 0;

  size_t i = 0;
  while (i < n && g_env_pin_count < TQ_MAX_ENV_PINS) {
    while (i < n && is_separator(text[i])) i++;
    const size_t start = i;
    while (i < n && !is_separator(text[i])) i++;
    const size_t piece = i - start;
    if (piece == 0) continue;
    auto *copy = static_cast<char *>(malloc(piece + 1));
    if (!copy) continue;  // a pin that cannot be kept matches nothing
    memcpy(copy, text + start, piece);
    copy[piece] = 0;
    g_env_pins[g_env_pin_count++] = copy;
  }
}

}  // namespace

void tq_parse_env_pins(void) {
  std::call_once(g_env_pins_once, parse_env_pins);
}

void tq_http_set_pins(const char *const *pins, size_t count) {
  std::lock_guard<std::mutex> hold(g_pins_lock);
  g_pins = count > 0 ? pins : nullptr;
  g_pin_count = pins ? count : 0;
}

int tq_pins_configured(void) {
  tq_parse_env_pins();
  std::lock_guard<std::mutex> hold(g_pins_lock);
  return g_pin_count > 0 || g_env_pin_count > 0;
}

int tq_pin_matches_hex(const char *hex) {
  if (!hex || !*hex) return 0;
  tq_parse_env_pins();
  std::lock_guard<std::mutex> hold(g_pins_lock);
  const char *const *list = g_pin_count > 0 ? g_pins : g_env_pins;
  const size_t count = g_pin_count > 0 ? g_pin_count : g_env_pin_count;
  for (size_t i = 0; i < count; i++) {
    if (list[i] && tq_strcasecmp(hex, list[i]) == 0) return 1;
  }
  return 0;
}

size_t tq_key_spki(const br_x509_pkey *key, unsigned char *out) {
  if (!key || !out) return 0;
  const unsigned type = key->key_type & 0x0Fu;
  if (type == BR_KEYTYPE_RSA) {
    const br_rsa_public_key &rsa = key->key.rsa;
    // 1 + nlen + elen must not pass the buffer; written so nothing overflows.
    if (rsa.nlen >= TQ_SPKI_MAX || rsa.elen > TQ_SPKI_MAX - 1 - rsa.nlen) return 0;
    out[0] = BR_KEYTYPE_RSA;
    if (rsa.nlen) memcpy(out + 1, rsa.n, rsa.nlen);
    if (rsa.elen) memcpy(out + 1 + rsa.nlen, rsa.e, rsa.elen);
    return 1 + rsa.nlen + rsa.elen;
  }
  if (type == BR_KEYTYPE_EC) {
    const br_ec_public_key &ec = key->key.ec;
    if (ec.qlen > TQ_SPKI_MAX - 3) return 0;
    out[0] = BR_KEYTYPE_EC;
    out[1] = static_cast<unsigned char>(ec.curve);
    if (ec.qlen) memcpy(out + 2, ec.q, ec.qlen);
    return 2 + ec.qlen;
  }
  return 0;
}

void tq_key_pin_hex(const br_x509_pkey *key, char out[65]) {
  unsigned char spki[TQ_SPKI_MAX];
  const size_t n = tq_key_spki(key, spki);
  if (n == 0) {
    out[0] = 0;
    return;
  }
  tq_sha256_hex(spki, n, out);
}

void tq_pins_fingerprint(char out[65]) {
  tq_parse_env_pins();
  const char *const *list = g_pin_count > 0 ? g_pins : g_env_pins;
  const size_t count = g_pin_count > 0 ? g_pin_count : g_env_pin_count;
  br_sha256_context h;
  br_sha256_init(&h);
  for (size_t i = 0; i < count; i++) {
    if (list[i] == nullptr) continue;
    // Pins compare without case, so the fingerprint must not see it either.
    for (const char *p = list[i]; *p != '\0'; p++) {
      const char c = *p >= 'A' && *p <= 'Z' ? static_cast<char>(*p - 'A' + 'a') : *p;
      br_sha256_update(&h, &c, 1);
    }
    br_sha256_update(&h, ",", 1);
  }
  unsigned char digest[br_sha256_SIZE];
  br_sha256_out(&h, digest);
  static const char kHex[] = "0123456789abcdef";
  for (size_t i = 0; i < sizeof digest; i++) {
    out[2 * i] = kHex[digest[i] >> 4];
    out[2 * i + 1] = kHex[digest[i] & 15];
  }
  out[64] = '\0';
}
