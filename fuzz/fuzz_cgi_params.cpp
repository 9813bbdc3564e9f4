// CGI request parameters over any query string and any request body:
// the raw lookup finds the first parameter that really starts at a "&",
// the decoded value equals a plain reference decoder's output up to its
// bound (cut only on a character boundary), body members win over the
// query by type, the number readers saturate like strtoll, and the save
// rules either refuse with a fixed message or leave a record of terminated
// fields with a count of 1..20 and a known provider.
//
// Input: the query string, a NUL byte, then the request body.
#include <yyjson.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config/ws_config.h"
#include "plugin/ws_cgi.h"
#include "search/ws_registry.h"
#include "utf8_check.h"
#include "util/ws_buf.h"

namespace {

// Names the actions look up, and a few that only look like them.
constexpr const char *kNames[] = {
    "action", "q",         "query",           "provider",     "count",           "pwd",
    "safe",   "brave_key", "clear_brave_key", "searxng_base", "tavily_advanced", "p",
    "a",      "",
};

int hex(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Percent and plus decoding without any bound.
std::string reference_decode(const char *s, size_t n) {
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '%' && i + 2 < n && hex(static_cast<unsigned char>(s[i + 1])) >= 0 &&
        hex(static_cast<unsigned char>(s[i + 2])) >= 0) {
      out.push_back(static_cast<char>(hex(static_cast<unsigned char>(s[i + 1])) * 16 +
                                      hex(static_cast<unsigned char>(s[i + 2]))));
      i += 2;
    } else if (c == '+') {
      out.push_back(' ');
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

// The first parameter named name, found the slow way.
bool reference_raw(const std::string &q, const std::string &name, size_t *at, size_t *len) {
  size_t start = 0;
  for (;;) {
    if (q.compare(start, name.size(), name) == 0 && start + name.size() < q.size() &&
        q[start + name.size()] == '=') {
      *at = start + name.size() + 1;
      const size_t amp = q.find('&', *at);
      *len = (amp == std::string::npos ? q.size() : amp) - *at;
      return true;
    }
    const size_t amp = q.find('&', start);
    if (amp == std::string::npos || amp + 1 >= q.size()) return false;
    start = amp + 1;
  }
}

void check_lookup(const std::string &q, const char *name) {
  const char *raw = nullptr;
  size_t raw_len = 0;
  const int found = cgi_query_raw(q.c_str(), name, &raw, &raw_len);
  size_t at = 0;
  size_t len = 0;
  const bool want = !q.empty() && reference_raw(q, name, &at, &len);
  FUZZ_CHECK(found == (want ? 1 : 0));
  if (found) {
    FUZZ_CHECK(raw == q.c_str() + at);
    FUZZ_CHECK(raw_len == len);
  }

  // Decoded into fields of several sizes: exact when it fits, otherwise the
  // longest prefix that ends on a character boundary of the decoded text.
  for (size_t size : {static_cast<size_t>(1), static_cast<size_t>(2), static_cast<size_t>(8),
                      static_cast<size_t>(256), static_cast<size_t>(4096)}) {
    char out[4096];
    memset(out, 'x', sizeof out);
    const int got = get_query_val(q.c_str(), name, out, size);
    FUZZ_CHECK(got == found);
    const size_t n = strnlen(out, size);
    FUZZ_CHECK(n < size);
    if (!found) {
      FUZZ_CHECK(n == 0);
      continue;
    }
    const size_t cut =
        raw_len > WS_CGI_RAW_VALUE_MAX ? ws_utf8_cut(raw, WS_CGI_RAW_VALUE_MAX) : raw_len;
    const std::string ref = reference_decode(raw, cut);
    // A raw cut that ends inside an escape leaves the "%" and digits as
    // text, which the reference sees the same way.
    // A decoded "%00" ends the text as C sees it.
    size_t want = ref.size() < size ? ref.size() : ws_utf8_cut(ref.data(), size - 1);
    const size_t nul = ref.find('\0');
    if (nul != std::string::npos && nul < want) want = nul;
    FUZZ_CHECK(n == want);
    FUZZ_CHECK(memcmp(out, ref.data(), n) == 0);
  }
}

// strtoll rules clamped to the range of the result type.
void check_numbers(const char *text) {
  errno = 0;
  const long long ll = strtoll(text, nullptr, 10);
  const long long clamped = ll > INT_MAX ? INT_MAX : (ll < INT_MIN ? INT_MIN : ll);
  FUZZ_CHECK(cgi_atoi(text) == clamped);
  FUZZ_CHECK(cgi_atol(text) == ll);
  const long body = cgi_body_length(text);
  FUZZ_CHECK(body >= 0 && body <= WS_CGI_BODY_MAX);
  FUZZ_CHECK(body == 0 || body == ll);
}

template <size_t N>
void check_field(const char (&field)[N]) {
  const size_t n = strnlen(field, N);
  FUZZ_CHECK(n < N);
}

void check_body_field(const std::string &q, yyjson_val *obj, const char *name) {
  char out[64];
  const int got = field_str(q.c_str(), obj, name, out, sizeof out);
  FUZZ_CHECK(strnlen(out, sizeof out) < sizeof out);
  yyjson_val *v = cgi_obj_first(obj, name);
  if (yyjson_is_str(v)) {
    char want[64];
    ws_copy(want, sizeof want, yyjson_get_str(v));
    FUZZ_CHECK(got == 1 && strcmp(out, want) == 0);
  } else if (yyjson_is_bool(v)) {
    FUZZ_CHECK(got == 1 && strcmp(out, yyjson_get_bool(v) ? "1" : "0") == 0);
  } else if (yyjson_is_int(v)) {
    FUZZ_CHECK(got == 1);
    const long long n = strtoll(out, nullptr, 10);
    FUZZ_CHECK(n >= INT_MIN && n <= INT_MAX);
  } else {
    char query_only[64];
    FUZZ_CHECK(got == get_query_val(q.c_str(), name, query_only, sizeof query_only));
    FUZZ_CHECK(strcmp(out, query_only) == 0);
  }
}

void check_save(const std::string &q, yyjson_val *obj) {
  ws_config cfg;
  ws_config_defaults(&cfg);
  char err[256] = "";
  const int rc = cgi_save_apply(&cfg, q.c_str(), obj, err, sizeof err);
  if (rc != 0) {
    FUZZ_CHECK(rc == 400 && err[0] != '\0');
    return;
  }
  check_field(cfg.provider);
  check_field(cfg.region);
  check_field(cfg.safe);
  check_field(cfg.language);
  check_field(cfg.searxng_categories);
  check_field(cfg.brave_key);
  check_field(cfg.ddg_base);
  check_field(cfg.searxng_base);
  FUZZ_CHECK(cfg.count >= 1 && cfg.count <= 20);
  FUZZ_CHECK(ws_provider_known(cfg.provider));
  FUZZ_CHECK(cfg.tavily_advanced == 0 || cfg.tavily_advanced == 1);
  FUZZ_CHECK(ws_iprefix(cfg.ddg_base, "http://") || ws_iprefix(cfg.ddg_base, "https://"));
}

// The body reader on the bytes as standard input, with CONTENT_LENGTH set
// to all of them.
void check_body_reader(const uint8_t *data, size_t size) {
  if (size == 0 || size > static_cast<size_t>(WS_CGI_BODY_MAX)) return;
  FILE *in = fmemopen(const_cast<uint8_t *>(data), size, "r");
  if (in == nullptr) return;
  char length[32];
  snprintf(length, sizeof length, "%zu", size);
  setenv("CONTENT_LENGTH", length, 1);
  FILE *saved = stdin;
  stdin = in;
  {
    ws_cgi_body body;
    cgi_read_body(&body);
    FUZZ_CHECK(body.text != nullptr);
    const size_t n = strlen(body.text);
    FUZZ_CHECK(n <= size);
    FUZZ_CHECK(memcmp(body.text, data, n) == 0);
    yyjson_doc *ref = yyjson_read(body.text, n, 0);
    FUZZ_CHECK((body.doc != nullptr) == (ref != nullptr));
    FUZZ_CHECK((body.obj != nullptr) ==
               (ref != nullptr && yyjson_is_obj(yyjson_doc_get_root(ref))));
    yyjson_doc_free(ref);
  }
  stdin = saved;
  fclose(in);
  unsetenv("CONTENT_LENGTH");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  const void *nul = memchr(data, 0, size);
  const size_t qlen = nul ? static_cast<size_t>(static_cast<const uint8_t *>(nul) - data) : size;
  const std::string q(text, qlen);
  const char *body_text = nul ? text + qlen + 1 : "";
  const size_t body_len = nul ? size - qlen - 1 : 0;

  for (const char *name : kNames) check_lookup(q, name);
  check_numbers(q.c_str());

  yyjson_doc *doc = yyjson_read(body_text, body_len, 0);
  yyjson_val *obj = doc != nullptr && yyjson_is_obj(yyjson_doc_get_root(doc))
                        ? yyjson_doc_get_root(doc)
                        : nullptr;
  for (const char *name : kNames) check_body_field(q, obj, name);
  check_save(q, obj);
  yyjson_doc_free(doc);

  if (nul) check_body_reader(data + qlen + 1, body_len);
  return 0;
}
