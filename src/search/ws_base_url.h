// Base URLs as the settings take them: checked with the parser that the
// searches use, so a base that is stored can always be searched with, and
// compared by origin, so a key is never sent to a host it was not meant for.
#pragma once

#include <cstddef>

// The text for a base that is not http:// or https:// (lower case, as the
// URL parser wants the scheme).
extern const char WS_BASE_URL_SCHEME_ERR[];

// 0 when url is a base the searches can use: http:// or https:// in lower
// case, no space or control byte, and accepted by the URL parser (which
// refuses user information, a bad or out-of-range port, a missing host and
// forbidden host characters). -1 with the reason in err otherwise.
int ws_base_url_check(const char *url, char *err, size_t err_size);

// 1 when both parse and name the same origin: scheme, host (ASCII case
// ignored) and port; 0 otherwise, also when either cannot be parsed.
int ws_base_url_same_origin(const char *a, const char *b);
