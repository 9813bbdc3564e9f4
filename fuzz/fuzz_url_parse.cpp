// Any text as a URL: a parse either fails with one of the fixed messages or
// yields a record that a connection can trust. Also the SDK's encoder under
// any bound.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "sdk/tq_url.h"
#include "utf8_check.h"
#include "util/ws_text.h"

namespace {

const char *const kMessages[] = {
    "empty url",
    "url must start with http(s):// or ws(s)://",
    "IPv6 literals are not supported",
    "url has no host",
    "host too long",
    "userinfo in url is refused",
    "bad port",
    "port out of range",
    "host contains forbidden characters",
    "url too long",
};
const char kHostChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.-";

void check_parse(const char *url) {
  tq_url u;
  char err[128] = "untouched";
  if (tq_url_parse(url, &u, err, sizeof err) != 0) {
    bool known = false;
    for (const char *m : kMessages) known = known || strcmp(err, m) == 0;
    FUZZ_CHECK(known);
    return;
  }
  FUZZ_CHECK(strcmp(err, "untouched") == 0);
  FUZZ_CHECK(u.port >= 1 && u.port <= 65535);
  FUZZ_CHECK((u.tls == 1 && strcmp(u.scheme, "https") == 0) ||
             (u.tls == 0 && strcmp(u.scheme, "http") == 0));
  const size_t host_len = strnlen(u.host, sizeof u.host);
  FUZZ_CHECK(host_len >= 1 && host_len < sizeof u.host);
  FUZZ_CHECK(strspn(u.host, kHostChars) == host_len);
  const size_t path_len = strnlen(u.path, sizeof u.path);
  FUZZ_CHECK(path_len >= 1 && path_len < sizeof u.path);
  FUZZ_CHECK(u.path[0] == '/' || u.path[0] == '?');
  FUZZ_CHECK(strpbrk(u.path, " #") == nullptr);
  // The host is taken verbatim from the text after the scheme prefix.
  FUZZ_CHECK(strstr(url, u.host) != nullptr);
}

void check_encode(const char *in, size_t cap) {
  const size_t in_len = strlen(in);
  std::unique_ptr<char[]> out(new char[cap]);
  tq_url_encode(in, out.get(), cap);
  const size_t n = strnlen(out.get(), cap);
  FUZZ_CHECK(n < cap);

  std::unique_ptr<char[]> full(new char[3 * in_len + 1]);
  tq_url_encode(in, full.get(), 3 * in_len + 1);
  FUZZ_CHECK(strlen(full.get()) >= in_len);
  FUZZ_CHECK(memcmp(out.get(), full.get(), n) == 0);
  // Never a partial escape.
  const char *pct = strrchr(out.get(), '%');
  if (pct != nullptr) FUZZ_CHECK(static_cast<size_t>(out.get() + n - pct) >= 3);

  // What was written decodes to a prefix of the input, in whole characters.
  std::unique_ptr<char[]> back(new char[n + 1]);
  ws_url_decode(back.get(), n + 1, out.get());
  const size_t back_len = strlen(back.get());
  FUZZ_CHECK(back_len <= in_len && memcmp(back.get(), in, back_len) == 0);
  if (fuzz::utf8_whole(in, in_len)) FUZZ_CHECK(fuzz::utf8_whole(back.get(), back_len));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const std::string text(reinterpret_cast<const char *>(data + 1), size - 1);
  check_parse(text.c_str());
  check_encode(text.c_str(), static_cast<size_t>(data[0]) + 1);
  return 0;
}
