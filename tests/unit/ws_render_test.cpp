// The documents that leave the process, byte for byte.
#include "plugin/ws_render.h"

#include <gtest/gtest.h>

#include <yyjson.h>
#include <ostream>

#include <cstdlib>
#include <cstring>
#include <string>

#include "search/ws_registry.h"

namespace {

// Takes ownership of a builder's heap text.
std::string take(char *p) {
  EXPECT_NE(p, nullptr);
  if (p == nullptr) return "<null>";
  std::string s(p);
  free(p);
  return s;
}

bool valid_json(const std::string &s) {
  yyjson_doc *d = yyjson_read(s.data(), s.size(), 0);
  yyjson_doc_free(d);
  return d != nullptr;
}

void add_result(ws_results *list, const char *title, const char *url, const char *snippet,
                const char *published, const char *site) {
  ws_result *r = ws_results_push(list);
  ASSERT_NE(r, nullptr);
  ws_copy(r->title, sizeof r->title, title);
  ws_copy(r->url, sizeof r->url, url);
  ws_copy(r->snippet, sizeof r->snippet, snippet);
  ws_copy(r->published, sizeof r->published, published);
  ws_copy(r->site, sizeof r->site, site);
}

void start(ws_results *list, const char *provider, const char *query, int64_t took_ms) {
  ws_results_init(list);
  ws_copy(list->provider, sizeof list->provider, provider);
  ws_copy(list->query, sizeof list->query, query);
  list->took_ms = took_ms;
}

TEST(ResultsDocument, NoResultsGivesCountZeroAndEmptyArray) {
  ws_results list;
  start(&list, "brave", "rust async", 12);
  ws_results_guard guard(&list);
  EXPECT_EQ(take(results_json(&list)),
            "{\"ok\":true,\"query\":\"rust async\",\"provider\":\"brave\",\"count\":0,"
            "\"took_ms\":12,\"results\":[]}");
  EXPECT_EQ(take(results_text(&list)), "0 result(s) from brave for \"rust async\" in 12 ms\n");
}

TEST(ResultsDocument, OptionalMembersPerResultAndAnswer) {
  ws_results list;
  start(&list, "tavily", "zig", 4294967301LL);  // above 32 bits: written as 64-bit
  ws_results_guard guard(&list);
  ASSERT_EQ(ws_buf_puts(&list.answer, "Zig is a language."), 0);
  add_result(&list, "Zig", "https://ziglang.org/", "A general-purpose language.", "2024-05-01",
             "ziglang.org");
  add_result(&list, "", "http://10.0.0.1:8443/x", "", "", "");
  add_result(&list, "Docs", "https://ziglang.org/doc", "", "", "ziglang.org");

  EXPECT_EQ(take(results_json(&list)),
            "{\"ok\":true,\"query\":\"zig\",\"provider\":\"tavily\",\"count\":3,"
            "\"took_ms\":4294967301,\"answer\":\"Zig is a language.\",\"results\":["
            "{\"title\":\"Zig\",\"url\":\"https://ziglang.org/\","
            "\"snippet\":\"A general-purpose language.\",\"published\":\"2024-05-01\","
            "\"site\":\"ziglang.org\"},"
            "{\"title\":\"\",\"url\":\"http://10.0.0.1:8443/x\",\"snippet\":\"\"},"
            "{\"title\":\"Docs\",\"url\":\"https://ziglang.org/doc\",\"snippet\":\"\","
            "\"site\":\"ziglang.org\"}]}");
  // The site never shows in the listing; an empty title does, as "(untitled)".
  EXPECT_EQ(take(results_text(&list)),
            "3 result(s) from tavily for \"zig\" in 4294967301 ms\n"
            "\nAnswer: Zig is a language.\n"
            "\n1. Zig\n   https://ziglang.org/\n   A general-purpose language.\n"
            "   published: 2024-05-01\n"
            "\n2. (untitled)\n   http://10.0.0.1:8443/x\n"
            "\n3. Docs\n   https://ziglang.org/doc\n");
}

TEST(ResultsDocument, AllocatedButEmptyAnswerIsAbsent) {
  ws_results list;
  start(&list, "tavily", "q", 0);
  ws_results_guard guard(&list);
  ASSERT_EQ(ws_buf_add(&list.answer, nullptr, 0), 0);  // block exists, no bytes
  const std::string doc = take(results_json(&list));
  EXPECT_EQ(doc.find("answer"), std::string::npos) << doc;
  EXPECT_EQ(take(results_text(&list)).find("Answer"), std::string::npos);
}

TEST(ResultsDocument, QueryWithQuoteBackslashNewlineEscapedInJsonRawInText) {
  ws_results list;
  start(&list, "searxng", "say \"hi\"\\\n\tnow\x01", 7);
  ws_results_guard guard(&list);
  const std::string doc = take(results_json(&list));
  EXPECT_EQ(doc,
            "{\"ok\":true,\"query\":\"say \\\"hi\\\"\\\\\\n\\tnow\\u0001\",\"provider\":"
            "\"searxng\",\"count\":0,\"took_ms\":7,\"results\":[]}");
  EXPECT_TRUE(valid_json(doc));
  EXPECT_EQ(take(results_text(&list)),
            "0 result(s) from searxng for \"say \"hi\"\\\n\tnow\x01\" in 7 ms\n");
}

TEST(ResultsDocument, NullListGivesNothing) {
  EXPECT_EQ(results_json(nullptr), nullptr);
  EXPECT_EQ(results_text(nullptr), nullptr);
}

// Scraped pages may carry bytes that are not UTF-8 (a Latin-1 page, a cut
// sequence); a document must still be valid UTF-8 JSON.
struct utf8_case {
  const char *name;
  const char *in;
  const char *json;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const utf8_case &c, std::ostream *os) {
  *os << c.name;
}

class JsonStrUtf8 : public ::testing::TestWithParam<utf8_case> {};

TEST_P(JsonStrUtf8, WritesWellFormedTextUnchangedAndRepairsTheRest) {
  const utf8_case &c = GetParam();
  ws_buf b;
  ws_buf_init(&b);
  ws_buf_guard guard(&b);
  ASSERT_EQ(json_str_utf8(&b, c.in), 0);
  EXPECT_EQ(std::string(ws_buf_str(&b)), c.json);
  EXPECT_TRUE(valid_json(ws_buf_str(&b)));  // yyjson rejects invalid UTF-8
}

#define FFFD "\xEF\xBF\xBD"
INSTANTIATE_TEST_SUITE_P(
    Cases, JsonStrUtf8,
    ::testing::Values(utf8_case{"null", nullptr, "\"\""},
                      utf8_case{"ascii", "a\"b\\", "\"a\\\"b\\\\\""},
                      utf8_case{"two_byte", "caf\xC3\xA9", "\"caf\xC3\xA9\""},
                      utf8_case{"u0800", "\xE0\xA0\x80", "\"\xE0\xA0\x80\""},
                      utf8_case{"ud7ff", "\xED\x9F\xBF", "\"\xED\x9F\xBF\""},
                      utf8_case{"uffff", "\xEF\xBF\xBF", "\"\xEF\xBF\xBF\""},
                      utf8_case{"emoji", "\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},
                      utf8_case{"u10ffff", "\xF4\x8F\xBF\xBF", "\"\xF4\x8F\xBF\xBF\""},
                      utf8_case{"latin1", "caf\xE9!", "\"caf" FFFD "!\""},
                      utf8_case{"lone_continuation", "a\x80z", "\"a" FFFD "z\""},
                      utf8_case{"cut_three_byte_at_end", "x\xE2\x82", "\"x" FFFD FFFD "\""},
                      utf8_case{"cut_then_ascii", "\xE2\x82z", "\"" FFFD FFFD "z\""},
                      utf8_case{"overlong_two", "\xC0\xAF", "\"" FFFD FFFD "\""},
                      utf8_case{"overlong_three", "\xE0\x9F\xBF", "\"" FFFD FFFD FFFD "\""},
                      utf8_case{"surrogate", "\xED\xA0\x80", "\"" FFFD FFFD FFFD "\""},
                      utf8_case{"above_10ffff", "\xF4\x90\x80\x80", "\"" FFFD FFFD FFFD FFFD "\""},
                      utf8_case{"f5", "\xF5\x80\x80\x80", "\"" FFFD FFFD FFFD FFFD "\""},
                      utf8_case{"ff_and_escapes", "\xFF\n\"", "\"" FFFD "\\n\\\"\""}),
    [](const ::testing::TestParamInfo<utf8_case> &i) { return std::string(i.param.name); });

TEST(ResultsDocument, InvalidUtf8FromABackendIsRepairedInEveryMember) {
  ws_results list;
  start(&list, "duckduckgo", "q", 1);
  ws_results_guard guard(&list);
  add_result(&list, "Caf\xE9", "https://x.test/\xFF", "snip\xC3", "d\x80", "x.test");
  const std::string doc = take(results_json(&list));
  EXPECT_EQ(doc,
            "{\"ok\":true,\"query\":\"q\",\"provider\":\"duckduckgo\",\"count\":1,\"took_ms\":1,"
            "\"results\":[{\"title\":\"Caf" FFFD "\",\"url\":\"https://x.test/" FFFD
            "\",\"snippet\":\"snip" FFFD "\",\"published\":\"d" FFFD "\",\"site\":\"x.test\"}]}");
  EXPECT_TRUE(valid_json(doc));
}

struct envelope_case {
  const char *name;
  const char *text;
  int is_error;
  const char *want;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const envelope_case &c, std::ostream *os) {
  *os << c.name;
}

class Envelope : public ::testing::TestWithParam<envelope_case> {};

TEST_P(Envelope, Bytes) {
  const envelope_case &c = GetParam();
  const std::string got = take(mcp_envelope(c.text, c.is_error));
  EXPECT_EQ(got, c.want);
  EXPECT_TRUE(valid_json(got));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Envelope,
    ::testing::Values(
        envelope_case{"document", "{\"ok\":true}", 0,
                      "{\"content\":[{\"type\":\"text\",\"text\":\"{\\\"ok\\\":true}\"}],"
                      "\"structuredContent\":{\"ok\":true}}"},
        envelope_case{"flagged", "{\"ok\":false,\"error\":\"x\"}", 1,
                      "{\"content\":[{\"type\":\"text\",\"text\":"
                      "\"{\\\"ok\\\":false,\\\"error\\\":\\\"x\\\"}\"}],"
                      "\"structuredContent\":{\"ok\":false,\"error\":\"x\"},\"isError\":true}"},
        envelope_case{"no_text", nullptr, 0, "{\"content\":[{\"type\":\"text\",\"text\":\"\"}]}"},
        envelope_case{"no_text_flagged", nullptr, 1,
                      "{\"content\":[{\"type\":\"text\",\"text\":\"\"}],\"isError\":true}"},
        // Inserted raw, these would break the reply or the MCP result shape.
        envelope_case{"empty_text", "", 1,
                      "{\"content\":[{\"type\":\"text\",\"text\":\"\"}],\"isError\":true}"},
        envelope_case{"not_json", "oops", 0,
                      "{\"content\":[{\"type\":\"text\",\"text\":\"oops\"}]}"},
        envelope_case{"array", "[1]", 0, "{\"content\":[{\"type\":\"text\",\"text\":\"[1]\"}]}"},
        envelope_case{"truncated_object", "{\"ok\":", 0,
                      "{\"content\":[{\"type\":\"text\",\"text\":\"{\\\"ok\\\":\"}]}"}),
    [](const ::testing::TestParamInfo<envelope_case> &i) { return std::string(i.param.name); });

struct error_case {
  const char *name;
  const char *message;
  long status;
  const char *provider;
  const char *want;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const error_case &c, std::ostream *os) {
  *os << c.name;
}

class ErrorDocument : public ::testing::TestWithParam<error_case> {};

TEST_P(ErrorDocument, Bytes) {
  const error_case &c = GetParam();
  const std::string got = take(error_json(c.message, c.status, c.provider));
  EXPECT_EQ(got, c.want);
  EXPECT_TRUE(valid_json(got));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ErrorDocument,
    ::testing::Values(
        error_case{"bare", "query is required", 0, nullptr,
                   "{\"ok\":false,\"error\":\"query is required\"}"},
        error_case{"status", "Brave returned HTTP 401: bad key", 401, nullptr,
                   "{\"ok\":false,\"error\":\"Brave returned HTTP 401: bad key\",\"status\":401}"},
        error_case{"provider", "x", 0, "ddg",
                   "{\"ok\":false,\"error\":\"x\",\"provider\":\"ddg\"}"},
        error_case{"both", "x", 502, "searxng",
                   "{\"ok\":false,\"error\":\"x\",\"status\":502,\"provider\":\"searxng\"}"},
        error_case{"negative_status", "x", -1, nullptr,
                   "{\"ok\":false,\"error\":\"x\",\"status\":-1}"},
        error_case{"null_message", nullptr, 0, nullptr, "{\"ok\":false,\"error\":\"\"}"},
        error_case{"escaped", "unknown provider \"a\\b\"\n", 0, "p\"\xFF",
                   "{\"ok\":false,\"error\":\"unknown provider \\\"a\\\\b\\\"\\n\","
                   "\"provider\":\"p\\\"" FFFD "\"}"}),
    [](const ::testing::TestParamInfo<error_case> &i) { return std::string(i.param.name); });

ws_config base_config() {
  ws_config cfg;
  memset(&cfg, 0, sizeof cfg);
  ws_copy(cfg.provider, sizeof cfg.provider, "duckduckgo");
  cfg.count = 5;
  ws_copy(cfg.safe, sizeof cfg.safe, "moderate");
  ws_copy(cfg.searxng_categories, sizeof cfg.searxng_categories, "general");
  return cfg;
}

// One row of the providers document, from the registry's signup address.
std::string row(int i, const char *flags, const char *base) {
  const ws_provider &p = WS_PROVIDERS[i];
  EXPECT_EQ(strpbrk(p.signup, "\"\\"), nullptr);  // inserted unescaped below
  std::string s = std::string("{\"id\":\"") + p.id + "\",\"label\":\"" + p.label +
                  "\",\"hint\":\"" + p.hint + "\",\"signup\":\"" + p.signup + "\"," + flags;
  if (base != nullptr) s += std::string(",\"base\":") + base;
  return s + "}";
}

TEST(ProvidersDocument, DefaultsWithoutBaseOrKeys) {
  const ws_config cfg = base_config();
  const std::string want =
      "{\"active\":\"duckduckgo\",\"providers\":[" +
      row(0, "\"needs_key\":false,\"needs_base\":false,\"has_key\":false,\"ready\":true", nullptr) +
      "," +
      row(1, "\"needs_key\":false,\"needs_base\":true,\"has_key\":false,\"ready\":false", "\"\"") +
      "," +
      row(2, "\"needs_key\":true,\"needs_base\":false,\"has_key\":false,\"ready\":false", nullptr) +
      "," +
      row(3, "\"needs_key\":true,\"needs_base\":false,\"has_key\":false,\"ready\":false", nullptr) +
      "," +
      row(4, "\"needs_key\":true,\"needs_base\":false,\"has_key\":false,\"ready\":false", nullptr) +
      "," +
      row(5, "\"needs_key\":true,\"needs_base\":false,\"has_key\":false,\"ready\":false", nullptr) +
      "],\"default_count\":5,\"region\":\"\",\"safe\":\"moderate\",\"language\":\"\","
      "\"searxng_categories\":\"general\",\"tavily_advanced\":false,\"tavily_answer\":false}";
  const std::string got = take(providers_json(&cfg));
  EXPECT_EQ(got, want);
  EXPECT_TRUE(valid_json(got));
}

TEST(ProvidersDocument, BaseKeysFlagsAndNeverAKey) {
  ws_config cfg = base_config();
  ws_copy(cfg.provider, sizeof cfg.provider, "Brave");
  cfg.count = 12;
  ws_copy(cfg.region, sizeof cfg.region, "nz-en");
  ws_copy(cfg.safe, sizeof cfg.safe, "off");
  ws_copy(cfg.language, sizeof cfg.language, "de");
  ws_copy(cfg.searxng_categories, sizeof cfg.searxng_categories, "news,it");
  cfg.tavily_advanced = 2;  // any non-zero value is on
  cfg.tavily_answer = 1;
  ws_copy(cfg.searxng_base, sizeof cfg.searxng_base, "http://10.0.0.5:8888/\"x\"");
  ws_copy(cfg.brave_key, sizeof cfg.brave_key, "BRAVE-SECRET");
  ws_copy(cfg.exa_key, sizeof cfg.exa_key, "EXA-SECRET");
  ws_copy(cfg.brave_base, sizeof cfg.brave_base, "http://brave-base.test");
  const std::string want =
      "{\"active\":\"Brave\",\"providers\":[" +
      row(0, "\"needs_key\":false,\"needs_base\":false,\"has_key\":false,\"ready\":true", nullptr) +
      "," +
      row(1, "\"needs_key\":false,\"needs_base\":true,\"has_key\":false,\"ready\":true",
          "\"http://10.0.0.5:8888/\\\"x\\\"\"") +
      "," +
      row(2, "\"needs_key\":true,\"needs_base\":false,\"has_key\":true,\"ready\":true", nullptr) +
      "," +
      row(3, "\"needs_key\":true,\"needs_base\":false,\"has_key\":false,\"ready\":false", nullptr) +
      "," +
      row(4, "\"needs_key\":true,\"needs_base\":false,\"has_key\":true,\"ready\":true", nullptr) +
      "," +
      row(5, "\"needs_key\":true,\"needs_base\":false,\"has_key\":false,\"ready\":false", nullptr) +
      "],\"default_count\":12,\"region\":\"nz-en\",\"safe\":\"off\",\"language\":\"de\","
      "\"searxng_categories\":\"news,it\",\"tavily_advanced\":true,\"tavily_answer\":true}";
  const std::string got = take(providers_json(&cfg));
  EXPECT_EQ(got, want);
  EXPECT_TRUE(valid_json(got));
  EXPECT_EQ(got.find("SECRET"), std::string::npos);
  EXPECT_EQ(got.find("brave-base"), std::string::npos);
}

TEST(ProvidersDocument, UnknownConfiguredProviderShowsDuckDuckGoActive) {
  ws_config cfg = base_config();
  ws_copy(cfg.provider, sizeof cfg.provider, "ddg");
  const std::string got = take(providers_json(&cfg));
  EXPECT_EQ(got.rfind("{\"active\":\"duckduckgo\",", 0), 0u) << got;
  EXPECT_EQ(providers_json(nullptr), nullptr);
}

}  // namespace
