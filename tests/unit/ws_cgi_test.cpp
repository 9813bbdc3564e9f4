// Request parameters, the password decision, the save rules and the page
// template of the CGI endpoint, without a process around them.
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "plugin/ws_cgi.h"
#include "support/ws_env_scope.h"

extern const char WS_PAGE_TEMPLATE[];
extern const unsigned long WS_PAGE_TEMPLATE_LEN;
extern const char WS_PAGE_THEME_HEAD_HTML[];
extern const unsigned long WS_PAGE_THEME_HEAD_HTML_LEN;
extern const char WS_PAGE_THEME_TAIL_HTML[];
extern const unsigned long WS_PAGE_THEME_TAIL_HTML_LEN;

namespace {

struct doc_deleter {
  void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
using doc_ptr = std::unique_ptr<yyjson_doc, doc_deleter>;

doc_ptr parse(const char *json) {
  return doc_ptr(yyjson_read(json, strlen(json), 0));
}

struct query_case {
  const char *query;
  const char *name;
  int found;
  const char *value;
};

TEST(CgiQuery, LookupRules) {
  const query_case cases[] = {
      {"action=info", "action", 1, "info"},
      {"a=1&action=save&action=info", "action", 1, "save"},  // first match wins
      {"xaction=1&action=2", "action", 1, "2"},              // names match whole
      {"Action=1", "action", 0, ""},                         // case-sensitive
      {"action", "action", 0, ""},                           // no "=": no match
      {"action&x=1", "action", 0, ""},
      {"action=", "action", 1, ""},  // empty value is found
      {"x=1&action=&y=2", "action", 1, ""},
      {"x=1&", "action", 0, ""},  // trailing "&" ends the search
      {"x=1&&action=ok", "action", 1, "ok"},
      {"", "action", 0, ""},
      {"q=a+b%2Fc%zz%4", "q", 1, "a b/c%zz%4"},  // decoded, bad escapes kept
      {"q=%41%6a", "q", 1, "Aj"},
      {"q=x%26y&z=1", "q", 1, "x&y"},
      {"q=a=b", "q", 1, "a=b"},
      {"format=json", "format", 1, "json"},
  };
  for (const query_case &c : cases) {
    SCOPED_TRACE(std::string(c.query) + " / " + c.name);
    char out[64];
    memcpy(out, "garbage", 8);
    EXPECT_EQ(get_query_val(c.query, c.name, out, sizeof out), c.found);
    EXPECT_STREQ(out, c.value);
  }
  char out[8] = "garbage";
  EXPECT_EQ(get_query_val(nullptr, "q", out, sizeof out), 0);
  EXPECT_STREQ(out, "");
}

TEST(CgiQuery, RawValueIsCutAt2047BytesBeforeDecoding) {
  char out[4096];
  for (size_t len : {size_t{2046}, size_t{2047}, size_t{2048}, size_t{3000}}) {
    SCOPED_TRACE(len);
    const std::string q = "v=" + std::string(len, 'a') + "&w=1";
    ASSERT_EQ(get_query_val(q.c_str(), "v", out, sizeof out), 1);
    EXPECT_EQ(strlen(out), len < 2047 ? len : 2047);
  }
  // The cut counts raw bytes: 700 escapes of three bytes are 2100 raw bytes,
  // of which 682 whole escapes (2046 bytes) survive, plus one stray "%".
  std::string q = "v=";
  for (int i = 0; i < 700; i++) q += "%41";
  ASSERT_EQ(get_query_val(q.c_str(), "v", out, sizeof out), 1);
  EXPECT_EQ(std::string(out), std::string(682, 'A') + "%");
  // A raw cut never splits a UTF-8 sequence: "é" straddling byte 2047.
  q = "v=" + std::string(2046, 'a') + "\xC3\xA9";
  ASSERT_EQ(get_query_val(q.c_str(), "v", out, sizeof out), 1);
  EXPECT_EQ(std::string(out), std::string(2046, 'a'));
}

TEST(CgiQuery, OutputIsBoundedBySize) {
  char out[4];
  EXPECT_EQ(get_query_val("v=abcdef", "v", out, sizeof out), 1);
  EXPECT_STREQ(out, "abc");
  EXPECT_EQ(get_query_val("v=%C3%A9%C3%A9", "v", out, sizeof out), 1);
  EXPECT_STREQ(out, "\xC3\xA9");  // the second character does not fit whole
}

struct field_case {
  const char *body;
  const char *query;
  const char *name;
  size_t size;
  int found;
  const char *value;
};

TEST(CgiField, BodyFirstThenQuery) {
  const field_case cases[] = {
      {R"({"q":"from body"})", "q=from+query", "q", 64, 1, "from body"},
      {R"({"q":""})", "q=from+query", "q", 64, 1, ""},  // an empty string still counts
      {R"({"q":null})", "q=from+query", "q", 64, 1, "from query"},
      {R"({"q":1.5})", "q=qq", "q", 64, 1, "qq"},
      {R"({"q":[1]})", "q=qq", "q", 64, 1, "qq"},
      {R"({"q":{"a":1}})", "q=qq", "q", 64, 1, "qq"},
      {R"({"q":null})", "", "q", 64, 0, ""},
      {R"({"Q":"x"})", "", "q", 64, 0, ""},  // keys compare exactly
      {R"({"q":true})", "", "q", 64, 1, "1"},
      {R"({"q":false})", "", "q", 64, 1, "0"},
      {R"({"q":7})", "", "q", 64, 1, "7"},
      {R"({"q":-12})", "", "q", 64, 1, "-12"},
      {R"({"q":2147483647})", "", "q", 64, 1, "2147483647"},
      {R"({"q":4294967296})", "", "q", 64, 1, "2147483647"},  // saturates, never wraps to 0
      {R"({"q":18446744073709551615})", "", "q", 64, 1, "2147483647"},
      {R"({"q":-2147483649})", "", "q", 64, 1, "-2147483648"},
      {R"({"q":"first","q":"second"})", "", "q", 64, 1, "first"},
      {R"({"q":null,"q":"second"})", "q=query", "q", 64, 1,
       "query"},  // only the first member counts
      {R"({"q":"abcdef"})", "", "q", 4, 1, "abc"},
      {R"({"q":"a\u00e9"})", "", "q", 3, 1, "a"},  // no half character
      {R"([1,2])", "q=arr", "q", 64, 1, "arr"},
  };
  for (const field_case &c : cases) {
    SCOPED_TRACE(std::string(c.body) + " ? " + c.query);
    doc_ptr doc = parse(c.body);
    ASSERT_TRUE(doc);
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    yyjson_val *obj = yyjson_is_obj(root) ? root : nullptr;
    char out[64];
    memcpy(out, "garbage", 8);
    EXPECT_EQ(field_str(c.query, obj, c.name, out, c.size), c.found);
    EXPECT_STREQ(out, c.value);
  }
  char out[8];
  EXPECT_EQ(field_str("q=x", nullptr, "q", out, sizeof out), 1);
  EXPECT_STREQ(out, "x");
}

TEST(CgiNumbers, AtoiRulesWithoutOverflow) {
  const struct {
    const char *text;
    int value;
  } cases[] = {
      {"12abc", 12},
      {"  -7", -7},
      {"+5", 5},
      {"abc", 0},
      {"", 0},
      {"\t\n 3", 3},
      {"2147483647", INT_MAX},
      {"2147483648", INT_MAX},
      {"99999999999999999999", INT_MAX},
      {"-2147483648", INT_MIN},
      {"-99999999999999999999", INT_MIN},
      {"- 5", 0},
      {"0x10", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(cgi_atoi(c.text), c.value);
  }
  EXPECT_EQ(cgi_atoi(nullptr), 0);
  EXPECT_EQ(cgi_atol("99999999999999999999999"), LONG_MAX);
}

TEST(CgiBody, AnnouncedLength) {
  const struct {
    const char *text;
    long value;
  } cases[] = {
      {"", 0},
      {"0", 0},
      {"-5", 0},
      {"abc", 0},
      {"1", 1},
      {"12abc", 12},
      {"1048576", 1048576},
      {"1048577", 0},
      {"99999999999999999999999", 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(cgi_body_length(c.text), c.value);
  }
  EXPECT_EQ(cgi_body_length(nullptr), 0);
}

// Standard input replaced by a pipe for one test; the write end stays open
// until the scope ends, as a client that stalls would keep it.
class StdinPipe {
 public:
  StdinPipe() {
    saved_ = dup(STDIN_FILENO);
#ifdef _WIN32
    // An anonymous pipe, what a web server hands a CGI program; dup2 onto
    // descriptor 0 makes it the process's standard input handle too.
    const int made = _pipe(fds_, 65536, _O_BINARY);
#else
    const int made = pipe(fds_);
#endif
    if (made != 0 || dup2(fds_[0], STDIN_FILENO) < 0) std::abort();
  }
  ~StdinPipe() {
    close(fds_[1]);
    close(fds_[0]);
    dup2(saved_, STDIN_FILENO);
    close(saved_);
  }
  bool send(const std::string &s) {
    return write(fds_[1], s.data(), s.size()) == static_cast<ssize_t>(s.size());
  }
  void end() {
    close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
  int saved_ = -1;
};

TEST(CgiBody, ArrivesWithinTheDeadlineOrCountsAsAbsent) {
  ws_test::EnvScope env;
  env.set("CONTENT_LENGTH", "14");
  {
    SCOPED_TRACE("part of the body, then silence");
    StdinPipe in;
    ASSERT_TRUE(in.send("{\"action\":"));
    ws_cgi_body body;
    cgi_read_body_within(&body, 300);
    EXPECT_EQ(body.text, nullptr);
    EXPECT_EQ(body.obj, nullptr);
  }
  {
    SCOPED_TRACE("the whole body in time");
    StdinPipe in;
    ASSERT_TRUE(in.send("{\"action\":\"x\"}"));
    ws_cgi_body body;
    cgi_read_body_within(&body, 10000);
    ASSERT_NE(body.obj, nullptr);
    EXPECT_STREQ(body.text, "{\"action\":\"x\"}");
  }
  {
    SCOPED_TRACE("the input ends early: what arrived counts");
    StdinPipe in;
    ASSERT_TRUE(in.send("{}"));
    in.end();
    ws_cgi_body body;
    cgi_read_body_within(&body, 10000);
    ASSERT_NE(body.obj, nullptr);
    EXPECT_STREQ(body.text, "{}");
  }
}

TEST(CgiAuth, SecretComparison) {
  EXPECT_TRUE(ws_secret_eq("pw", 2, "pw", 2));
  EXPECT_FALSE(ws_secret_eq("pw", 2, "pW", 2));
  EXPECT_FALSE(ws_secret_eq("pw", 2, "pw ", 3));
  EXPECT_FALSE(ws_secret_eq("pw", 2, "p", 1));
  EXPECT_FALSE(ws_secret_eq("pw", 2, "", 0));
  EXPECT_FALSE(ws_secret_eq("", 0, "x", 1));
  EXPECT_TRUE(ws_secret_eq("", 0, "", 0));
  EXPECT_FALSE(ws_secret_eq("a\0b", 3, "a\0c", 3));
}

TEST(CgiOrigin, CrossSiteRules) {
  struct origin_case {
    const char *fetch_site;
    const char *origin;
    const char *host;
    int cross;
  };
  const origin_case cases[] = {
      {nullptr, nullptr, "a.test", 0},  // curl, scripts, MCP hosts
      {"same-origin", "http://evil.test", "a.test", 0},
      {"none", nullptr, "a.test", 0},
      {"same-site", nullptr, "a.test", 1},
      {"cross-site", nullptr, "a.test", 1},
      {"", nullptr, "a.test", 1},
      {nullptr, "http://a.test", "a.test", 0},
      {nullptr, "http://A.Test", "a.TEST", 0},
      {nullptr, "http://a.test", "a.test:80", 0},
      {nullptr, "https://a.test", "a.test", 0},
      {nullptr, "https://a.test:443", "a.test", 0},
      {nullptr, "http://a.test:8080", "a.test:8080", 0},
      {nullptr, "http://[::1]:8080", "[::1]:8080", 0},
      {nullptr, "http://a.test:8080", "a.test", 1},
      {nullptr, "http://a.test", "a.test:8080", 1},
      {nullptr, "https://a.test", "a.test:80", 1},
      {nullptr, "http://a.test.evil", "a.test", 1},
      {nullptr, "http://evil.test", "a.test", 1},
      {nullptr, "null", "a.test", 1},
      {nullptr, "ftp://a.test", "a.test", 1},
      {nullptr, "http://a.test", nullptr, 1},
      {nullptr, "http://a.test:", "a.test", 1},
      {nullptr, "http://a.test:99999", "a.test:99999", 1},
      {nullptr, "http://[::1", "[::1", 1},
      {nullptr, "http://::1", "::1", 1},
  };
  for (const origin_case &c : cases) {
    SCOPED_TRACE(std::string(c.fetch_site ? c.fetch_site : "-") + " " +
                 (c.origin ? c.origin : "-") + " " + (c.host ? c.host : "-"));
    EXPECT_EQ(ws_cgi_cross_site(c.fetch_site, c.origin, c.host), c.cross);
  }
}

struct auth_case {
  const char *password;
  const char *x_bot;
  const char *authorization;
  const char *query;
  int ok;
};

TEST(CgiAuth, Credentials) {
  const auth_case cases[] = {
      {nullptr, nullptr, nullptr, "", 1},  // no password set: everything proceeds
      {"", nullptr, nullptr, "", 1},
      {"s3cret", nullptr, nullptr, "", 0},
      {"s3cret", "s3cret", nullptr, "", 1},
      {"s3cret", "s3cret ", nullptr, "", 0},  // no trimming
      {"s3cret", "S3cret", nullptr, "", 0},
      {"s3cret", "s3cre", nullptr, "", 0},  // no prefix match
      {"s3cret", "", nullptr, "", 0},
      {"s3cret", nullptr, "s3cret", "", 1},
      {"s3cret", nullptr, "Bearer s3cret", "", 1},
      {"s3cret", nullptr, "   Bearer     s3cret", "", 1},
      {"s3cret", nullptr, "bearer s3cret", "", 0},
      {"s3cret", nullptr, "Bearer s3cret ", "", 0},
      {"s3cret", nullptr, "Bearer\ts3cret", "", 0},
      {"s3cret", nullptr, "Basic s3cret", "", 0},
      {"s3cret", nullptr, "Bearer ", "", 0},
      {"Bearer x", nullptr, "Bearer x", "", 0},     // "Bearer " is always taken off
      {"s3cret", "wrong", "Bearer s3cret", "", 1},  // any one credential suffices
      {"s3cret", nullptr, nullptr, "pwd=s3cret", 1},
      {"s3cret", nullptr, nullptr, "a=1&pwd=s3cret&b=2", 1},
      {"s3cret", nullptr, nullptr, "pwd=s3cret&pwd=x", 1},
      {"s3cret", nullptr, nullptr, "pwd=x&pwd=s3cret", 0},  // first pwd only
      {"s3cret", nullptr, nullptr, "PWD=s3cret", 0},
      {"s3cret", nullptr, nullptr, "pwd=s3cre", 0},
      {"s3cret", nullptr, nullptr, "pwd=s3cret%00tail", 0},  // a decoded NUL is no end
      {"s3cret", nullptr, nullptr, "pwd=%73%33cret", 1},
      {"my pass", nullptr, nullptr, "pwd=my+pass", 1},
      {"my pass", nullptr, nullptr, "pwd=my%20pass", 1},
      {"a+b", nullptr, nullptr, "pwd=a%2Bb", 1},
      {"a+b", nullptr, nullptr, "pwd=a+b", 0},
  };
  for (const auth_case &c : cases) {
    SCOPED_TRACE(std::string(c.password ? c.password : "(null)") +
                 " x=" + (c.x_bot ? c.x_bot : "(null)") +
                 " a=" + (c.authorization ? c.authorization : "(null)") + " q=" + c.query);
    EXPECT_EQ(ws_node_auth_ok(c.password, c.x_bot, c.authorization, c.query), c.ok);
  }
}

TEST(CgiAuth, PwdIsNeverCutIntoAMatch) {
  // A 255-byte password: the same bytes pass, one more byte is refused
  // instead of being cut back to a match.
  const std::string pw(255, 'p');
  EXPECT_EQ(ws_node_auth_ok(pw.c_str(), nullptr, nullptr, ("pwd=" + pw).c_str()), 1);
  EXPECT_EQ(ws_node_auth_ok(pw.c_str(), nullptr, nullptr, ("pwd=" + pw + "X").c_str()), 0);
  // Escapes count decoded: 255 bytes spelled as escapes still pass.
  std::string spelled;
  for (int i = 0; i < 255; i++) spelled += "%70";
  EXPECT_EQ(ws_node_auth_ok(pw.c_str(), nullptr, nullptr, ("pwd=" + spelled).c_str()), 1);
  // A password longer than 255 bytes cannot be given as pwd, but the
  // headers still carry it.
  const std::string long_pw(300, 'q');
  EXPECT_EQ(ws_node_auth_ok(long_pw.c_str(), nullptr, nullptr, ("pwd=" + long_pw).c_str()), 0);
  EXPECT_EQ(ws_node_auth_ok(long_pw.c_str(), long_pw.c_str(), nullptr, ""), 1);
  // A 2047-byte password followed by junk: the raw cut must not match either.
  const std::string huge(2047, 'h');
  EXPECT_EQ(ws_node_auth_ok(huge.c_str(), nullptr, nullptr, ("pwd=" + huge + "junk").c_str()), 0);
}

ws_config base_config() {
  ws_config c;
  memset(&c, 0, sizeof c);
  ws_copy(c.provider, sizeof c.provider, "brave");
  c.count = 7;
  ws_copy(c.region, sizeof c.region, "nz-en");
  ws_copy(c.safe, sizeof c.safe, "moderate");
  ws_copy(c.language, sizeof c.language, "en");
  ws_copy(c.searxng_categories, sizeof c.searxng_categories, "general");
  ws_copy(c.brave_key, sizeof c.brave_key, "BK");
  ws_copy(c.tavily_key, sizeof c.tavily_key, "TK");
  ws_copy(c.exa_key, sizeof c.exa_key, "EK");
  ws_copy(c.pplx_key, sizeof c.pplx_key, "PK");
  ws_copy(c.ddg_base, sizeof c.ddg_base, "http://ddg.test");
  ws_copy(c.searxng_base, sizeof c.searxng_base, "http://sx.test");
  ws_copy(c.brave_base, sizeof c.brave_base, "http://brave.test");
  ws_copy(c.tavily_base, sizeof c.tavily_base, "http://tavily.test");
  ws_copy(c.exa_base, sizeof c.exa_base, "http://exa.test");
  ws_copy(c.pplx_base, sizeof c.pplx_base, "http://pplx.test");
  return c;
}

// The refusal text of the last apply.
char g_err[256];

int apply(ws_config *c, const char *query, const char *body, const char **err) {
  doc_ptr doc = parse(body);
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  g_err[0] = '\0';
  *err = g_err;
  return cgi_save_apply(c, query, yyjson_is_obj(root) ? root : nullptr, g_err, sizeof g_err);
}

TEST(CgiSave, AcceptedValues) {
  const char *err;
  const ws_config before = base_config();
  ws_config c = before;
  ASSERT_EQ(apply(&c, "", "{}", &err), 0);
  EXPECT_EQ(memcmp(&c, &before, sizeof c), 0) << "an empty request changes nothing";

  const struct {
    const char *body;
    int count;
    const char *provider;
  } counts[] = {
      {R"({"count":0})", 1, "brave"},
      {R"({"count":99})", 20, "brave"},
      {R"({"count":"abc"})", 1, "brave"},
      {R"({"count":"12"})", 12, "brave"},
      {R"({"count":20})", 20, "brave"},
      {R"({"count":1})", 1, "brave"},
      {R"({"count":-4})", 1, "brave"},
      {R"({"count":4294967296})", 20, "brave"},
      {R"({"provider":"Tavily"})", 7, "Tavily"},
      {R"({"provider":"ddg"})", 7, "duckduckgo"},
      {R"({"provider":""})", 7, "duckduckgo"},
      {R"({"provider":null})", 7, "brave"},
  };
  for (const auto &k : counts) {
    SCOPED_TRACE(k.body);
    c = base_config();
    ASSERT_EQ(apply(&c, "", k.body, &err), 0);
    EXPECT_EQ(c.count, k.count);
    EXPECT_STREQ(c.provider, k.provider);
  }

  c = base_config();
  ws_copy(c.provider, sizeof c.provider, "bogus");  // a stored unknown id is repaired
  ASSERT_EQ(apply(&c, "", "{}", &err), 0);
  EXPECT_STREQ(c.provider, "duckduckgo");

  c = base_config();
  ASSERT_EQ(
      apply(
          &c, "",
          R"({"safe":"STRICT","region":"","language":"de","searxng_categories":"news,it","tavily_advanced":7,"tavily_answer":true})",
          &err),
      0);
  EXPECT_STREQ(c.safe, "STRICT");
  EXPECT_STREQ(c.region, "");
  EXPECT_STREQ(c.language, "de");
  EXPECT_STREQ(c.searxng_categories, "news,it");
  EXPECT_EQ(c.tavily_advanced, 1);
  EXPECT_EQ(c.tavily_answer, 1);

  c = base_config();
  c.tavily_answer = 1;
  ASSERT_EQ(apply(&c, "safe=", R"({"tavily_answer":"0"})", &err), 0);
  EXPECT_STREQ(c.safe, "moderate") << "an empty safe leaves the setting";
  EXPECT_EQ(c.tavily_answer, 0);

  // Parameters from the query string, decoded.
  c = base_config();
  ASSERT_EQ(apply(&c, "region=us-en&safe=Off&count=3", "", &err), 0);
  EXPECT_STREQ(c.region, "us-en");
  EXPECT_STREQ(c.safe, "Off");
  EXPECT_EQ(c.count, 3);
}

TEST(CgiSave, Keys) {
  const char *err;
  ws_config c = base_config();
  ASSERT_EQ(
      apply(&c, "",
            R"({"clear_brave_key":1,"clear_tavily_key":1,"clear_exa_key":1,"clear_pplx_key":1})",
            &err),
      0);
  EXPECT_STREQ(c.brave_key, "");
  EXPECT_STREQ(c.tavily_key, "");
  EXPECT_STREQ(c.exa_key, "");
  EXPECT_STREQ(c.pplx_key, "");
  EXPECT_EQ(c.count, 7);
  EXPECT_STREQ(c.brave_base, "http://brave.test");

  c = base_config();
  ASSERT_EQ(
      apply(
          &c, "",
          R"({"brave_key":"","tavily_key":"NEW","clear_exa_key":0,"clear_pplx_key":1,"pplx_key":"P2","clear_brave_key":"0"})",
          &err),
      0);
  EXPECT_STREQ(c.brave_key, "BK") << "an empty key keeps the stored one";
  EXPECT_STREQ(c.tavily_key, "NEW");
  EXPECT_STREQ(c.exa_key, "EK");
  EXPECT_STREQ(c.pplx_key, "P2") << "a key sent with its clear flag wins";

  c = base_config();
  ASSERT_EQ(apply(&c, "", R"({"clear_brave_key":4294967296})", &err), 0);
  EXPECT_STREQ(c.brave_key, "") << "a huge clear flag still clears";

  for (const char *bad : {R"({"brave_key":"ab\ncd"})", R"({"exa_key":"ab\rX-Evil: 1"})",
                          R"({"pplx_key":"a\u001fb"})", R"({"tavily_key":"a\u007f"})"}) {
    SCOPED_TRACE(bad);
    c = base_config();
    EXPECT_EQ(apply(&c, "", bad, &err), 400);
    EXPECT_STREQ(err, "an API key must not contain control characters");
  }
}

TEST(CgiSave, BaseUrls) {
  const char *err;
  const char *scheme = "a base URL must start with http:// or https://";
  const char *moved =
      "moving the Brave base URL to another host needs the Brave key in the same request";
  const struct {
    const char *body;
    const char *env;  // BRAVE_API_KEY, when set
    bool no_key;      // the stored Brave key emptied first
    const char *err;  // NULL: accepted
  } cases[] = {
      // The URL parser decides; its reason is the answer.
      {R"({"brave_base":"http://brave.test/x"})", nullptr, false, nullptr},
      {R"({"brave_base":"HTTP://brave.test:80/x"})", nullptr, false, scheme},
      {R"({"brave_base":"HTTPS://api.example"})", nullptr, false, scheme},
      {R"({"brave_base":"ftp://api.example"})", nullptr, false, scheme},
      {R"({"brave_base":"ws://brave.test"})", nullptr, false, scheme},
      {R"({"brave_base":"bad_host"})", nullptr, false, scheme},
      {R"({"brave_base":"https://api example"})", nullptr, false, scheme},
      {R"({"brave_base":"https://api.example\n"})", nullptr, false, scheme},
      {R"({"brave_base":"https://api.example\r"})", nullptr, false, scheme},
      {R"({"brave_base":"https://api.example\t"})", nullptr, false, scheme},
      {R"({"brave_base":"http:/x"})", nullptr, false, scheme},
      {R"({"ddg_base":"//x"})", nullptr, false, scheme},
      {R"J({"pplx_base":"javascript:alert(1)"})J", nullptr, false, scheme},
      {R"({"brave_base":"http://"})", nullptr, false, "url has no host"},
      {R"({"brave_base":"https://"})", nullptr, false, "url has no host"},
      {R"({"brave_base":"http://user:pw@brave.test"})", nullptr, false,
       "userinfo in url is refused"},
      {R"({"brave_base":"http://brave.test:99999"})", nullptr, false, "port out of range"},
      {R"({"brave_base":"http://brave.test:"})", nullptr, false, "bad port"},
      {R"({"searxng_base":"http://bad_host"})", nullptr, false,
       "host contains forbidden characters"},
      // A stored key never follows its base to another origin unasked.
      {R"({"brave_base":"http://127.0.0.1:9999"})", nullptr, false, moved},
      {R"({"brave_base":"https://brave.test"})", nullptr, false, moved},
      {R"({"brave_base":"http://brave.test:8080"})", nullptr, false, moved},
      {R"({"brave_base":"http://127.0.0.1:9999","brave_key":"NEW-KEY"})", nullptr, false, nullptr},
      {R"({"brave_base":"http://127.0.0.1:9999","brave_key":""})", nullptr, false, moved},
      {R"({"brave_base":"http://BRAVE.TEST:80/v2"})", nullptr, false, nullptr},
      {R"({"brave_base":"https://api.search.brave.com/v1"})", nullptr, false, nullptr},
      {R"({"brave_base":""})", nullptr, false, nullptr},
      {R"({"brave_base":"http://127.0.0.1:9999","clear_brave_key":1})", nullptr, false, nullptr},
      {R"({"brave_base":"http://127.0.0.1:9999"})", nullptr, true, nullptr},
      {R"({"brave_base":"http://127.0.0.1:9999"})", "from-env", true, moved},
      {R"({"brave_base":"http://127.0.0.1:9999","clear_brave_key":1})", "from-env", false, moved},
      {R"({"searxng_base":"http://127.0.0.1:9999"})", nullptr, false, nullptr},
      {R"({"tavily_base":"http://127.0.0.1:9999"})", nullptr, false,
       "moving the Tavily base URL to another host needs the Tavily key in the same request"},
      {R"({"exa_base":"http://127.0.0.1:9999"})", nullptr, false,
       "moving the Exa base URL to another host needs the Exa key in the same request"},
      {"{}", nullptr, false, nullptr},
  };
  ws_test::EnvScope env;
  for (const auto &k : cases) {
    SCOPED_TRACE(k.body);
    if (k.env) {
      env.set("BRAVE_API_KEY", k.env);
    } else {
      env.unset("BRAVE_API_KEY");
    }
    ws_config c = base_config();
    if (k.no_key) c.brave_key[0] = '\0';
    EXPECT_EQ(apply(&c, "", k.body, &err), k.err ? 400 : 0);
    EXPECT_STREQ(err, k.err ? k.err : "");
  }
  env.unset("BRAVE_API_KEY");
  {
    ws_config c = base_config();
    ASSERT_EQ(apply(&c, "pplx_base=http%3A%2F%2F127.0.0.1%3A1&pplx_key=P2", "", &err), 0);
    EXPECT_STREQ(c.pplx_base, "http://127.0.0.1:1");
    EXPECT_STREQ(c.pplx_key, "P2");
  }

  ws_config c = base_config();
  ASSERT_EQ(
      apply(
          &c, "",
          R"({"ddg_base":"","searxng_base":"","brave_base":"","tavily_base":"","exa_base":"","pplx_base":""})",
          &err),
      0);
  EXPECT_STREQ(c.ddg_base, WS_DEFAULT_DDG_BASE);
  EXPECT_STREQ(c.searxng_base, "") << "SearXNG has no default";
  EXPECT_STREQ(c.brave_base, WS_DEFAULT_BRAVE_BASE);
  EXPECT_STREQ(c.tavily_base, WS_DEFAULT_TAVILY_BASE);
  EXPECT_STREQ(c.exa_base, WS_DEFAULT_EXA_BASE);
  EXPECT_STREQ(c.pplx_base, WS_DEFAULT_PPLX_BASE);

  c = base_config();
  ASSERT_EQ(
      apply(
          &c, "",
          R"({"searxng_base":"http://127.0.0.1:8888","exa_base":"https://exa.local/api","exa_key":"EK2"})",
          &err),
      0);
  EXPECT_STREQ(c.searxng_base, "http://127.0.0.1:8888");
  EXPECT_STREQ(c.exa_base, "https://exa.local/api");
}

TEST(CgiSave, FirstFailureWins) {
  const char *err;
  ws_config c = base_config();
  EXPECT_EQ(apply(&c, "", R"({"safe":"none","brave_base":"ftp://x"})", &err), 400);
  EXPECT_STREQ(err, "safe must be strict, moderate or off");
  c = base_config();
  EXPECT_EQ(apply(&c, "", R"({"brave_key":"a\nb","brave_base":"ftp://x"})", &err), 400);
  EXPECT_STREQ(err, "an API key must not contain control characters");
}

size_t count_byte(const char *p, size_t n, char b) {
  size_t k = 0;
  for (size_t i = 0; i < n; i++) k += p[i] == b;
  return k;
}

TEST(CgiPage, TemplateExpandsEachThemeBlockOnce) {
  ASSERT_EQ(count_byte(WS_PAGE_TEMPLATE, WS_PAGE_TEMPLATE_LEN, '\x01'), 1u);
  ASSERT_EQ(count_byte(WS_PAGE_TEMPLATE, WS_PAGE_TEMPLATE_LEN, '\x02'), 1u);
  ws_buf b;
  ws_buf_init(&b);
  ws_buf_guard guard(&b);
  ASSERT_EQ(ws_page_render(&b), 0);
  const std::string page(b.data, b.len);
  EXPECT_EQ(page.size(),
            WS_PAGE_TEMPLATE_LEN - 2 + WS_PAGE_THEME_HEAD_HTML_LEN + WS_PAGE_THEME_TAIL_HTML_LEN);
  EXPECT_EQ(page.find('\x01'), std::string::npos);
  EXPECT_EQ(page.find('\x02'), std::string::npos);
  const std::string head(WS_PAGE_THEME_HEAD_HTML, WS_PAGE_THEME_HEAD_HTML_LEN);
  const std::string tail(WS_PAGE_THEME_TAIL_HTML, WS_PAGE_THEME_TAIL_HTML_LEN);
  const size_t at_head = page.find(head);
  const size_t at_tail = page.find(tail);
  ASSERT_NE(at_head, std::string::npos);
  ASSERT_NE(at_tail, std::string::npos);
  // The first block sits in the head after the title and before the page's
  // own style; the second after the page script, before the end.
  EXPECT_LT(page.find("<title>websearch</title>"), at_head);
  EXPECT_LT(at_head, page.find("<style>", at_head + head.size()));
  EXPECT_LT(page.rfind("</script>", at_tail), at_tail);
  EXPECT_LT(at_tail, page.find("</body>"));
  EXPECT_EQ(page.find("<!--#"), std::string::npos) << "no directive is left unexpanded";
}

}  // namespace
