// Secrets out of texts that someone else wrote: an upstream service may
// quote the key it was sent in an error page or a result, and that text
// must never carry the key on to a caller or a diagnostic line.
#pragma once

#include <cstddef>

// The text that stands where a secret was.
constexpr char WS_REDACTED[] = "[redacted]";
// Shorter secrets are not searched for: they cannot be told from ordinary
// words, and replacing them would garble every text that holds those bytes.
constexpr size_t WS_REDACT_MIN = 8;
constexpr size_t WS_REDACT_MAX_SECRETS = 4;

// The secrets to look for; NULL and short entries are skipped.
struct ws_secrets {
  const char *s[WS_REDACT_MAX_SECRETS];
  size_t n;
};

// Replaces every occurrence of each secret in text (NUL-terminated, in an
// array of size bytes) by WS_REDACTED; the result is cut to size - 1 bytes
// without splitting a UTF-8 sequence. When cut_at_end is set the text was
// cut at its end by some earlier bound, so a secret may have lost its tail
// there: a trailing run that is the start of a secret is replaced too.
// 0, or -1 when memory for the work copy cannot be had (text emptied, so a
// secret never survives a failure).
int ws_redact(char *text, size_t size, const ws_secrets *secrets, int cut_at_end);
