// The adapter's shared routines: parse_json, member lookups, the wording of
// upstream failures and the JSON request body; ws_http_do's checks that come
// before any network activity.
#include "search/ws_http.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "sdk/tq_url.h"
#include "util/ws_buf.h"

namespace {

// A response record over a copy of body (kept alive by the holder).
struct Resp {
  std::string bytes;
  ws_resp r;
  Resp(int status, const std::string &body, bool null_body = false) : bytes(body) {
    memset(&r, 0, sizeof r);
    r.ok = 1;
    r.status = status;
    r.body = null_body ? nullptr : bytes.data();
    r.body_len = null_body ? 0 : bytes.size();
  }
};

std::string upstream(int status, const std::string &body, const char *name = "Svc",
                     size_t err_size = 512) {
  Resp resp(status, body);
  char err[512];
  memset(err, 'J', sizeof err);
  upstream_error(&resp.r, name, err, err_size);
  return err;
}

std::unique_ptr<yyjson_doc, ws_doc_deleter> doc_of(const std::string &json) {
  return std::unique_ptr<yyjson_doc, ws_doc_deleter>(yyjson_read(json.data(), json.size(), 0));
}

TEST(UpstreamError, DetailComesFromTheFirstKnownJsonMemberThatIsAString) {
  const struct {
    const char *body;
    const char *want;
  } rows[] = {
      {R"({"message":"bad key"})", "Svc returned HTTP 401: bad key"},
      {R"({"error":{"message":"quota"}})", "Svc returned HTTP 401: quota"},
      {R"({"detail":"Rate limit"})", "Svc returned HTTP 401: Rate limit"},
      {R"({"error":"e","message":"m"})", "Svc returned HTTP 401: m"},
      {R"({"detail":"d","error":"e"})", "Svc returned HTTP 401: e"},
      {R"({"error":[1],"detail":"d"})", "Svc returned HTTP 401: d"},
      {R"({"error":{"message":"a"},"error":"b"})", "Svc returned HTTP 401: a"},
      {R"({"error":"first","error":{"message":"x"}})", "Svc returned HTTP 401: first"},
      {R"({"message":5,"message":"later"})",
       R"(Svc returned HTTP 401: {"message":5,"message":"later"})"},
      {R"({"message":5})", R"(Svc returned HTTP 401: {"message":5})"},
      {R"({"message":""})", R"(Svc returned HTTP 401: {"message":""})"},
      {R"({"error":{"message":7}})", R"(Svc returned HTTP 401: {"error":{"message":7}})"},
      {R"({"error":{"code":1},"error":{"message":"second"}})",
       R"(Svc returned HTTP 401: {"error":{"code":1},"error":{"message":"second"}})"},
      {R"({"Message":"case"})", R"(Svc returned HTTP 401: {"Message":"case"})"},
      {R"(["message","x"])", R"(Svc returned HTTP 401: ["message","x"])"},
      {"{\"message\":\"<b>kept &amp; raw</b>\"}", "Svc returned HTTP 401: <b>kept &amp; raw</b>"},
      {"", "Svc returned HTTP 401"},
      {" \n\t ", "Svc returned HTTP 401"},
      {"<html><body><h1>Bad &amp; Gateway</h1></body></html>",
       "Svc returned HTTP 401: Bad & Gateway"},
      {"plain text", "Svc returned HTTP 401: plain text"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.body);
    EXPECT_EQ(upstream(401, r.body), r.want);
  }
}

TEST(UpstreamError, ExamplesWithTheBackendNames) {
  EXPECT_EQ(upstream(401, R"({"message":"bad key"})", "Brave"), "Brave returned HTTP 401: bad key");
  EXPECT_EQ(upstream(502, "", "SearXNG"), "SearXNG returned HTTP 502");
  EXPECT_EQ(upstream(403, R"({"error":{"message":"quota"}})", "Exa"),
            "Exa returned HTTP 403: quota");
  EXPECT_EQ(upstream(429, R"({"detail":"Rate limit"})", "Perplexity"),
            "Perplexity returned HTTP 429: Rate limit");
  EXPECT_EQ(upstream(0, ""), "Svc returned HTTP 0");
}

TEST(UpstreamError, RawDetailUsesOnlyTheFirst300Bytes) {
  std::string page = "<p>" + std::string(290, 'a') + "</p><p>SECRET</p>" + std::string(1700, ' ');
  EXPECT_EQ(upstream(500, page), "Svc returned HTTP 500: " + std::string(290, 'a'));
  std::string exactly = std::string(300, 'b');
  EXPECT_EQ(upstream(500, exactly), "Svc returned HTTP 500: " + exactly);
  EXPECT_EQ(upstream(500, exactly + "c"), "Svc returned HTTP 500: " + exactly);
  // The 300-byte cut never leaves the first byte of a character behind.
  std::string wide = std::string(299, 'd') + "\xC3\xA9" + "tail";
  EXPECT_EQ(upstream(500, wide), "Svc returned HTTP 500: " + std::string(299, 'd'));
  // Bytes after a NUL in the body are not part of the text.
  EXPECT_EQ(upstream(500, std::string("abc\0def", 7)), "Svc returned HTTP 500: abc");
}

TEST(UpstreamError, JsonDetailIsCutAt319Bytes) {
  std::string m(400, 'm');
  EXPECT_EQ(upstream(500, R"({"message":")" + m + R"("})"),
            "Svc returned HTTP 500: " + m.substr(0, 319));
  std::string wide;
  for (int i = 0; i < 200; i++) wide += "\xC3\xA9";
  EXPECT_EQ(upstream(500, R"({"message":")" + wide + R"("})"),
            "Svc returned HTTP 500: " + wide.substr(0, 318));
}

TEST(UpstreamError, MessageIsCutToTheCallersBuffer) {
  EXPECT_EQ(upstream(401, R"({"message":"bad key"})", "Brave", 16), "Brave returned ");
  EXPECT_EQ(upstream(401, R"({"message":"bad key"})", "\xC3\xA9\xC3\xA9\xC3\xA9", 6),
            "\xC3\xA9\xC3\xA9");
  Resp none(503, "", true);
  char err[64];
  upstream_error(&none.r, "Svc", err, sizeof err);
  EXPECT_STREQ(err, "Svc returned HTTP 503");
  upstream_error(&none.r, "Svc", nullptr, 0);  // no buffer: nothing written, no crash
}

TEST(ParseJson, EmptyAndInvalidBodiesAreWordedWithTheName) {
  const struct {
    std::string body;
    bool null_body;
    const char *want;  // nullptr: parses
  } rows[] = {
      {"", true, "Exa returned an empty response"},
      {"", false, "Exa returned an empty response"},
      {"<html></html>", false, "Exa returned a body that is not JSON"},
      {R"({"a":1,})", false, "Exa returned a body that is not JSON"},
      {"{\"a\":1} // c", false, "Exa returned a body that is not JSON"},
      {"[NaN]", false, "Exa returned a body that is not JSON"},
      {"\xEF\xBB\xBF{}", false, "Exa returned a body that is not JSON"},
      {"{\"a\":\"\xE9\"}", false, "Exa returned a body that is not JSON"},
      {"{} {}", false, "Exa returned a body that is not JSON"},
      {"[1,2]", false, nullptr},
      {"\"just a string\"", false, nullptr},
      {" {\"results\":[]} \n", false, nullptr},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.body);
    Resp resp(200, r.body, r.null_body);
    yyjson_doc *doc = reinterpret_cast<yyjson_doc *>(&resp);  // must be overwritten
    char err[512] = "untouched";
    int rc = parse_json(&resp.r, &doc, "Exa", err, sizeof err);
    if (r.want != nullptr) {
      EXPECT_EQ(rc, -1);
      EXPECT_EQ(doc, nullptr);
      EXPECT_STREQ(err, r.want);
    } else {
      EXPECT_EQ(rc, 0);
      ASSERT_NE(doc, nullptr);
      EXPECT_STREQ(err, "untouched");
      yyjson_doc_free(doc);
    }
  }
}

TEST(ParseJson, ParsesExactlyBodyLenBytes) {
  Resp resp(200, "{\"a\":1}garbage");
  resp.r.body_len = 7;
  yyjson_doc *doc = nullptr;
  char err[64];
  ASSERT_EQ(parse_json(&resp.r, &doc, "X", err, sizeof err), 0);
  EXPECT_EQ(yyjson_get_int(yyjson_obj_get(yyjson_doc_get_root(doc), "a")), 1);
  yyjson_doc_free(doc);
}

TEST(MemberLookup, FirstMemberWithTheExactKeyDecides) {
  auto d = doc_of(R"({"s":"one","s":"two","n":1,"n":"late","a":[1],"Arr":[2],"o":{"s":"inner"},)"
                  R"("message\u0000x":"nul","message":"yes","mess":"short","e":""})");
  yyjson_val *root = yyjson_doc_get_root(d.get());
  EXPECT_STREQ(jstr(root, "s"), "one");
  EXPECT_EQ(jstr(root, "n"), nullptr);  // wrong type; the later string is never consulted
  EXPECT_EQ(jstr(root, "a"), nullptr);
  EXPECT_STREQ(jstr(root, "message"), "yes");
  EXPECT_STREQ(jstr(root, "e"), "");
  EXPECT_EQ(jstr(root, "S"), nullptr);
  EXPECT_EQ(jstr(root, "missing"), nullptr);
  EXPECT_EQ(jstr(root, "o"), nullptr);
  EXPECT_STREQ(jstr(yyjson_obj_get(root, "o"), "s"), "inner");
  ASSERT_NE(jarr(root, "a"), nullptr);
  EXPECT_EQ(yyjson_arr_size(jarr(root, "a")), 1u);
  EXPECT_EQ(jarr(root, "arr"), nullptr);
  EXPECT_EQ(jarr(root, "s"), nullptr);
  EXPECT_EQ(jarr(root, "o"), nullptr);
  EXPECT_EQ(jstr(nullptr, "s"), nullptr);
  EXPECT_EQ(jarr(nullptr, "a"), nullptr);
  // Not an object: nothing is found, not even in an array of pairs.
  auto arr = doc_of(R"(["s","x"])");
  EXPECT_EQ(jstr(yyjson_doc_get_root(arr.get()), "s"), nullptr);
  EXPECT_EQ(jarr(yyjson_doc_get_root(arr.get()), "s"), nullptr);
  auto dup = doc_of(R"({"r":{},"r":[1]})");
  EXPECT_EQ(jarr(yyjson_doc_get_root(dup.get()), "r"), nullptr);
}

TEST(JsonBody, MembersInOrderAndOnlyWhenAsked) {
  const struct {
    const char *query;
    int max, advanced, answer;
    const char *want;
  } rows[] = {
      {"abc", 5, 0, 1, R"({"query":"abc","max_results":5,"include_answer":true})"},
      {"abc", 5, 1, 0, R"({"query":"abc","max_results":5,"search_depth":"advanced"})"},
      {"abc", 20, 7, -1,
       R"({"query":"abc","max_results":20,"search_depth":"advanced","include_answer":true})"},
      {"abc", 1, 0, 0, R"({"query":"abc","max_results":1})"},
      {nullptr, 3, 0, 0, R"({"max_results":3})"},
      {"", -1, 0, 0, R"({"query":"","max_results":-1})"},
      {"a\"b\\c\n\x01/\xC3\xA9", 2, 0, 0,
       "{\"query\":\"a\\\"b\\\\c\\n\\u0001/\xC3\xA9\",\"max_results\":2}"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.want);
    ws_heap_text body(json_body(r.query, r.max, r.advanced, r.answer));
    ASSERT_NE(body.p, nullptr);
    EXPECT_STREQ(body.p, r.want);
  }
  // A query the writer cannot encode (not UTF-8) gives no body at all.
  EXPECT_EQ(json_body("caf\xE9", 5, 0, 0), nullptr);
}

TEST(HttpDo, ChecksBeforeTheNetworkFillTheErrorField) {
  EXPECT_EQ(ws_http_do("GET", "http://127.0.0.1:1/", nullptr, nullptr, 0, 100, nullptr), -1);
  const char *urls[] = {nullptr,          "", "/search", "ftp://h/x", "http://user:pw@127.0.0.1:1/",
                        "http://[::1]:1/"};
  for (const char *url : urls) {
    SCOPED_TRACE(url ? url : "(null)");
    ws_resp resp;
    memset(&resp, 0x5A, sizeof resp);
    EXPECT_EQ(ws_http_do("GET", url, nullptr, nullptr, 0, 1000, &resp), -1);
    EXPECT_EQ(resp.ok, 0);
    EXPECT_EQ(resp.status, 0);
    EXPECT_EQ(resp.body, nullptr);
    EXPECT_EQ(resp.body_len, 0u);
    if (url == nullptr || url[0] == '\0') {
      EXPECT_STREQ(resp.error, "no URL configured for this provider");
    } else {
      // The parser's own message, passed through unchanged.
      tq_url parsed;
      char want[512] = "";
      ASSERT_EQ(tq_url_parse(url, &parsed, want, sizeof want), -1);
      ASSERT_STRNE(want, "");
      EXPECT_STREQ(resp.error, want);
    }
    ws_resp_free(&resp);
  }
  ws_resp_free(nullptr);
}

TEST(HttpDo, RespFreeReleasesAndClears) {
  ws_resp resp;
  memset(&resp, 0, sizeof resp);
  resp.body = static_cast<char *>(malloc(10));
  resp.body_len = 9;
  ws_resp_free(&resp);
  EXPECT_EQ(resp.body, nullptr);
  EXPECT_EQ(resp.body_len, 0u);
  ws_resp_free(&resp);  // twice is harmless
}

}  // namespace
