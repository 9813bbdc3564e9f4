// Replacing secrets in bounded texts.
#include "util/ws_redact.h"

#include <cstdlib>
#include <cstring>

#include "util/ws_buf.h"

namespace {

bool usable(const char *s) {
  return s != nullptr && strlen(s) >= WS_REDACT_MIN;
}

// The secret that starts at p (the longest, when one is a prefix of
// another), or 0.
size_t match_at(const char *p, const ws_secrets *sec) {
  size_t best = 0;
  for (size_t i = 0; i < sec->n && i < WS_REDACT_MAX_SECRETS; i++) {
    const char *s = sec->s[i];
    if (!usable(s)) continue;
    const size_t n = strlen(s);
    if (n > best && strncmp(p, s, n) == 0) best = n;
  }
  return best;
}

// Length of the longest tail of text[0..len) that is the start of a secret.
size_t partial_tail(const char *text, size_t len, const ws_secrets *sec) {
  size_t best = 0;
  for (size_t i = 0; i < sec->n && i < WS_REDACT_MAX_SECRETS; i++) {
    const char *s = sec->s[i];
    if (!usable(s)) continue;
    const size_t n = strlen(s);
    for (size_t k = (n - 1 < len ? n - 1 : len); k > best; k--) {
      if (memcmp(text + len - k, s, k) == 0) {
        best = k;
        break;
      }
    }
  }
  return best;
}

}  // namespace

int ws_redact(char *text, size_t size, const ws_secrets *secrets, int cut_at_end) {
  if (text == nullptr || size == 0 || secrets == nullptr) return 0;
  bool any = false;
  for (size_t i = 0; i < secrets->n && i < WS_REDACT_MAX_SECRETS; i++) {
    any = any || usable(secrets->s[i]);
  }
  // The common case on every search: no key configured, nothing to look for.
  if (!any) return 0;
  const size_t len = strnlen(text, size - 1);
  text[len] = '\0';
  size_t hits = 0;
  for (size_t i = 0; i < len;) {
    const size_t m = match_at(text + i, secrets);
    hits += m > 0 ? 1 : 0;
    i += m > 0 ? m : 1;
  }
  if (hits == 0 && !(cut_at_end && partial_tail(text, len, secrets) > 0)) return 0;
  // Worst case every byte becomes one replacement, plus one for the tail.
  const size_t room = (len + 2) * sizeof WS_REDACTED;
  char *work = static_cast<char *>(malloc(room));
  if (work == nullptr) {
    text[0] = '\0';
    return -1;
  }
  size_t out = 0;
  for (size_t i = 0; i < len;) {
    const size_t m = match_at(text + i, secrets);
    if (m > 0) {
      memcpy(work + out, WS_REDACTED, sizeof WS_REDACTED - 1);
      out += sizeof WS_REDACTED - 1;
      i += m;
    } else {
      work[out++] = text[i++];
    }
  }
  // Whole secrets are gone; what is left at the end can only be a cut one.
  if (cut_at_end) {
    const size_t tail = partial_tail(work, out, secrets);
    if (tail > 0) {
      out -= tail;
      memcpy(work + out, WS_REDACTED, sizeof WS_REDACTED - 1);
      out += sizeof WS_REDACTED - 1;
    }
  }
  work[out] = '\0';
  ws_copy(text, size, work);
  free(work);
  return 0;
}
