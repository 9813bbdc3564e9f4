// The six backends against the loopback mock of their services: the bytes
// each request puts on the wire, the mapping of each answer, every failure
// text and the status that goes with it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "config/ws_config.h"
#include "search/ws_http.h"
#include "search/ws_results.h"
#include "search/ws_search.h"
#include "support/mock_upstream_process.h"
#include "support/ws_env_scope.h"

namespace {

constexpr char kBraveKey[] = "brv-SECRET-1";
constexpr char kTavilyKey[] = "tvly-SECRET-2";
constexpr char kExaKey[] = "exa-SECRET-3";
constexpr char kPplxKey[] = "pplx-SECRET-4";
constexpr char kUserAgent[] =
    "User-Agent: TORVALEBOT-websearch/1.0.3 (+https://torvale.bot/plugins/websearch)\r\n";
constexpr char kBotMessage[] =
    "DuckDuckGo returned a bot-detection challenge instead of results. Retry later, or configure "
    "a keyed provider (Brave, Tavily, Exa, Perplexity) or your own SearXNG base URL.";
constexpr char kTavilyAnswer[] = "Example search is a test query; the mock answers it from memory.";

std::string json_quote(const std::string &s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char buf[8];
      snprintf(buf, sizeof buf, "\\u%04x", c);
      out += buf;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

struct Outcome {
  int rc = 0;
  int status = -1;
  std::string err;
  std::vector<ws_result> items;
  std::string answer;
};

Outcome run(const ws_config &cfg, const char *provider, const char *query, int count,
            const char *country = nullptr, const char *language = nullptr,
            const char *freshness = nullptr) {
  ws_results list;
  ws_results_init(&list);
  ws_results_guard release(&list);
  char err[512];
  memset(err, 'x', sizeof err);
  Outcome o;
  o.rc = ws_search(&cfg, provider, query, count, country, language, freshness, nullptr, &list,
                   &o.status, err, sizeof err);
  o.err = err;
  o.items.assign(list.items, list.items + list.count);
  o.answer = ws_buf_str(&list.answer);
  return o;
}

class Backends : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    mock_ = new ws_test::mock_upstream_process();
    if (!mock_->start()) {
      start_error_ = mock_->error();
      delete mock_;
      mock_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete mock_;  // stops and reaps the child
    mock_ = nullptr;
  }

  void SetUp() override {
    ASSERT_NE(mock_, nullptr) << start_error_;
    ASSERT_TRUE(mock_->reset()) << mock_->error();
    memset(&cfg_, 0, sizeof cfg_);
    ws_copy(cfg_.provider, sizeof cfg_.provider, "duckduckgo");
    cfg_.count = 5;
    ws_copy(cfg_.safe, sizeof cfg_.safe, "moderate");
    ws_copy(cfg_.searxng_categories, sizeof cfg_.searxng_categories, "general");
    ws_copy(cfg_.brave_key, sizeof cfg_.brave_key, kBraveKey);
    ws_copy(cfg_.tavily_key, sizeof cfg_.tavily_key, kTavilyKey);
    ws_copy(cfg_.exa_key, sizeof cfg_.exa_key, kExaKey);
    ws_copy(cfg_.pplx_key, sizeof cfg_.pplx_key, kPplxKey);
    set_base(cfg_.ddg_base, "/duckduckgo");
    set_base(cfg_.searxng_base, "/searxng");
    set_base(cfg_.brave_base, "/brave");
    set_base(cfg_.tavily_base, "/tavily");
    set_base(cfg_.exa_base, "/exa");
    set_base(cfg_.pplx_base, "/perplexity");
  }

  void set_base(char (&field)[512], const std::string &suffix) {
    ws_copy(field, sizeof field, (mock_->base() + suffix).c_str());
  }

  void script(const std::string &prefix, int status, const std::string &body,
              const std::string &content_type = "application/json", bool chunked = false) {
    std::string json =
        "{\"prefix\":" + json_quote(prefix) + ",\"status\":" + std::to_string(status) +
        ",\"headers\":[[\"Content-Type\"," + json_quote(content_type) +
        "]],\"body\":" + json_quote(body) + ",\"chunked\":" + (chunked ? "true" : "false") + "}";
    ASSERT_TRUE(mock_->script(json)) << mock_->error();
  }

  std::vector<ws_test::mock_request> requests() { return mock_->requests(); }

  // The lines the SDK writes before a backend's own header lines.
  std::string head(const std::string &method, const std::string &target) const {
    return method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(mock_->port()) +
           "\r\nUser-Agent: tq-connector-sdk/1.0\r\nAccept: */*\r\nConnection: close\r\n";
  }

  static ws_test::mock_upstream_process *mock_;
  static std::string start_error_;
  ws_config cfg_;
};

ws_test::mock_upstream_process *Backends::mock_ = nullptr;
std::string Backends::start_error_;

// ---------------------------------------------------------------------------
// Requests, byte for byte

TEST_F(Backends, DuckDuckGoPostsTheForm) {
  ws_copy(cfg_.region, sizeof cfg_.region, "nz-en");
  ws_copy(cfg_.safe, sizeof cfg_.safe, "strict");
  set_base(cfg_.ddg_base, "/duckduckgo//");
  Outcome o = run(cfg_, "duckduckgo", "a b", 2, "de", "fr");
  ASSERT_EQ(o.rc, 0) << o.err;
  EXPECT_EQ(o.status, 200);
  auto seen = requests();
  ASSERT_EQ(seen.size(), 1u);
  const std::string body = "q=a%20b&kl=nz-en&kp=1";
  EXPECT_EQ(seen[0].raw, head("POST", "/duckduckgo/html/") +
                             "Content-Type: application/x-www-form-urlencoded\r\n"
                             "Accept: text/html\r\n" +
                             kUserAgent + "Content-Length: 21\r\n\r\n" + body);
}

TEST_F(Backends, DuckDuckGoSafeSearchCodesAndRegion) {
  struct {
    const char *safe;
    const char *region;
    const char *body;
  } cases[] = {
      {"Off", "", "q=x&kp=-2"},
      {"STRICT", "", "q=x&kp=1"},
      {"moderate", "", "q=x&kp=-1"},
      {"", "", "q=x&kp=-1"},
      {"weird", "us en", "q=x&kl=us%20en&kp=-1"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.safe);
    ASSERT_TRUE(mock_->reset());
    ws_copy(cfg_.safe, sizeof cfg_.safe, c.safe);
    ws_copy(cfg_.region, sizeof cfg_.region, c.region);
    Outcome o = run(cfg_, "duckduckgo", "x", 1);
    ASSERT_EQ(o.rc, 0) << o.err;
    auto seen = requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body, c.body);
  }
}

TEST_F(Backends, SearxngGetsTheJsonFormat) {
  set_base(cfg_.searxng_base, "/searxng///");
  ws_copy(cfg_.language, sizeof cfg_.language, "de");
  Outcome o = run(cfg_, "searxng", "a b", 3);
  ASSERT_EQ(o.rc, 0) << o.err;
  auto seen = requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].raw, head("GET",
                              "/searxng/search?q=a%20b&format=json&categories=general&language=de&"
                              "safesearch=1") +
                             "Accept: application/json\r\n\r\n");
}

TEST_F(Backends, SearxngOptionalParameters) {
  struct {
    const char *categories;
    const char *safe;
    const char *language;
    const char *target;
  } cases[] = {
      {"general", "Strict", "", "/searxng/search?q=x&format=json&categories=general&safesearch=2"},
      {"news,it", "OFF", "en-NZ",
       "/searxng/search?q=x&format=json&categories=news%2Cit&language=en-NZ&safesearch=0"},
      {"", "", "", "/searxng/search?q=x&format=json"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.target);
    ASSERT_TRUE(mock_->reset());
    ws_copy(cfg_.searxng_categories, sizeof cfg_.searxng_categories, c.categories);
    ws_copy(cfg_.safe, sizeof cfg_.safe, c.safe);
    Outcome o = run(cfg_, "searxng", "x", 1, nullptr, c.language);
    ASSERT_EQ(o.rc, 0) << o.err;
    auto seen = requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, c.target);
  }
}

TEST_F(Backends, BraveSendsTheKeyOnlyInItsHeader) {
  Outcome o = run(cfg_, "brave", "a b", 50, "NZ", nullptr, "week");
  ASSERT_EQ(o.rc, 0) << o.err;
  auto seen = requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].raw, head("GET",
                              "/brave/res/v1/web/search?q=a%20b&count=20&country=NZ&"
                              "freshness=week") +
                             "Accept: application/json\r\nAccept-Encoding: identity\r\n"
                             "X-Subscription-Token: " +
                             kBraveKey + "\r\n\r\n");

  ASSERT_TRUE(mock_->reset());
  ws_copy(cfg_.language, sizeof cfg_.language, "de");
  o = run(cfg_, "brave", "ü", 0, nullptr, nullptr, "");
  ASSERT_EQ(o.rc, 0) << o.err;
  seen = requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].target, "/brave/res/v1/web/search?q=%C3%BC&count=5&search_lang=de");
}

TEST_F(Backends, JsonPostBodiesAndTargets) {
  cfg_.tavily_advanced = 1;
  cfg_.tavily_answer = 1;
  set_base(cfg_.exa_base, "/exa/SEARCH/");
  set_base(cfg_.pplx_base, "/perplexity/");
  struct {
    const char *provider;
    const char *target;
    std::string auth;
    const char *body;
  } cases[] = {
      {"tavily", "/tavily/search", std::string("Authorization: Bearer ") + kTavilyKey,
       R"({"query":"a \"b\"","max_results":5,"search_depth":"advanced","include_answer":true})"},
      {"exa", "/exa/SEARCH", std::string("x-api-key: ") + kExaKey,
       R"({"query":"a \"b\"","numResults":5,"contents":{"highlights":true}})"},
      {"perplexity", "/perplexity/search", std::string("Authorization: Bearer ") + kPplxKey,
       R"({"query":"a \"b\"","max_results":5})"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.provider);
    ASSERT_TRUE(mock_->reset());
    Outcome o = run(cfg_, c.provider, "a \"b\"", 5);
    ASSERT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(o.status, 200);
    auto seen = requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].raw, head("POST", c.target) +
                               "Content-Type: application/json\r\nAccept: application/json\r\n" +
                               c.auth + "\r\nContent-Length: " + std::to_string(strlen(c.body)) +
                               "\r\n\r\n" + c.body);
  }
}

TEST_F(Backends, PostTargetsAndSearchSuffix) {
  struct {
    const char *provider;
    const char *suffix;
    const char *target;
  } cases[] = {
      {"tavily", "/tavily/search", "/tavily/search/search"},
      {"tavily", "/tavily///", "/tavily/search"},
      {"exa", "/exa/search/", "/exa/search"},
      {"exa", "/exa/research", "/exa/research/search"},
      {"exa", "/exa/searches", "/exa/searches/search"},
      {"perplexity", "/perplexity/Search", "/perplexity/Search"},
      {"perplexity", "/perplexity", "/perplexity/search"},
  };
  cfg_.tavily_advanced = 0;
  cfg_.tavily_answer = 0;
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.provider) + c.suffix);
    ASSERT_TRUE(mock_->reset());
    set_base(cfg_.tavily_base, c.suffix);
    set_base(cfg_.exa_base, c.suffix);
    set_base(cfg_.pplx_base, c.suffix);
    Outcome o = run(cfg_, c.provider, "abc", 5);
    ASSERT_EQ(o.rc, 0) << o.err;
    auto seen = requests();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].target, c.target);
    if (strcmp(c.provider, "tavily") == 0) {
      EXPECT_EQ(seen[0].body, R"({"query":"abc","max_results":5})");
    }
  }
}

// ---------------------------------------------------------------------------
// Answers mapped onto records

struct Expected {
  const char *title;
  const char *url;
  const char *snippet;
  const char *published;
  const char *site;
};

void expect_items(const std::vector<ws_result> &items, const std::vector<Expected> &want) {
  ASSERT_EQ(items.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_STREQ(items[i].title, want[i].title);
    EXPECT_STREQ(items[i].url, want[i].url);
    EXPECT_STREQ(items[i].snippet, want[i].snippet);
    EXPECT_STREQ(items[i].published, want[i].published);
    EXPECT_STREQ(items[i].site, want[i].site);
  }
}

TEST_F(Backends, DefaultDocumentsMapOntoRecords) {
  struct {
    const char *provider;
    std::vector<Expected> want;
  } cases[] = {
      {"duckduckgo",
       {{"Install Example & Configure", "https://example.com/docs/install?lang=en&v=2",
         "Step-by-step guide to installing Example on Linux -- packages, \"quick start\" and "
         "first run.",
         "", "example.com"},
        {"Search engine - Example Wiki", "https://www.example.org/wiki/Search_engine",
         "A search engine is a software system that finds web pages matching a query \xE2\x80\x94 "
         "ranked by relevance.",
         "", "www.example.org"},
        {"Fast search in C++", "https://example.net:8443/blog/2024/05/fast-search",
         "Notes on writing a small, fast search client in C++ with its own HTTP/1.1 and TLS "
         "stack.",
         "", "example.net:8443"}}},
      {"searxng",
       {{"SearXNG first result", "https://example.com/searxng/one", "First result content & more.",
         "2024-05-01T10:00:00", "example.com"},
        {"Second result", "https://example.org/searxng/two", "Second result content.", "",
         "example.org"},
        {"Third result", "http://example.net:8080/three?x=1", "", "", "example.net:8080"}}},
      {"brave",
       {{"Brave first result", "https://example.com/brave/1", "The first Brave description.",
         "2 days ago", "example.com"},
        {"Brave second result", "https://sub.example.org/brave/2?q=a", "Second description.", "",
         "sub.example.org"},
        {"Brave third result", "https://example.net/brave/3", "Third description.", "May 3, 2024",
         "example.net"}}},
      {"tavily",
       {{"Tavily first result", "https://example.com/tavily/1", "First Tavily content.",
         "2024-05-01", "example.com"},
        {"Tavily second result", "https://example.org/tavily/2", "Second Tavily content.", "",
         "example.org"},
        {"Tavily third result", "https://example.net/tavily/3", "Third Tavily content.", "",
         "example.net"}}},
      {"exa",
       {{"Exa first result", "https://example.com/exa/1", "The first highlight.",
         "2024-05-01T00:00:00.000Z", "example.com"},
        {"Exa second result", "https://example.org/exa/2", "Text of the second page.", "",
         "example.org"},
        {"Exa third result", "https://example.net/exa/3", "Third highlight.", "", "example.net"}}},
      {"perplexity",
       {{"Perplexity first result", "https://example.com/pplx/1", "First Perplexity snippet.",
         "2024-05-01", "example.com"},
        {"Perplexity second result", "https://example.org/pplx/2", "Second Perplexity snippet.", "",
         "example.org"},
        {"Perplexity third result", "https://example.net/pplx/3", "Third Perplexity snippet.",
         "2023-12-31", "example.net"}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.provider);
    Outcome o = run(cfg_, c.provider, "example search", 10);
    ASSERT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(o.status, 200);
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.answer, "");
    expect_items(o.items, c.want);
  }
}

TEST_F(Backends, CountLimitsSkipUnusableEntries) {
  // Entries without a usable "url" are passed over and do not count.
  const std::string results =
      R"([{"title":"no url"},{"url":"","title":"empty"},{"url":7,"title":"number"},)"
      R"({"url":null},"not an object",)"
      R"({"url":"https://a.example/1","title":"A1"},{"url":"https://a.example/2","title":"A2"},)"
      R"({"url":"https://a.example/3","title":"A3"},{"url":"https://a.example/4","title":"A4"}])";
  struct {
    const char *provider;
    const char *prefix;
    std::string doc;
  } cases[] = {
      {"searxng", "/searxng", "{\"results\":" + results + "}"},
      {"brave", "/brave", "{\"web\":{\"results\":" + results + "}}"},
      {"tavily", "/tavily", "{\"results\":" + results + "}"},
      {"exa", "/exa", "{\"results\":" + results + "}"},
      {"perplexity", "/perplexity", "{\"results\":" + results + "}"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.provider);
    ASSERT_TRUE(mock_->reset());
    script(c.prefix, 200, c.doc);
    for (int count : {1, 3, 4, 20}) {
      SCOPED_TRACE(count);
      Outcome o = run(cfg_, c.provider, "q", count);
      ASSERT_EQ(o.rc, 0) << o.err;
      ASSERT_EQ(o.items.size(), static_cast<size_t>(count < 4 ? count : 4));
      for (size_t i = 0; i < o.items.size(); ++i) {
        EXPECT_EQ(std::string(o.items[i].title), "A" + std::to_string(i + 1));
      }
    }
  }
}

TEST_F(Backends, DuckDuckGoCountLimit) {
  for (int count : {1, 2, 3, 20}) {
    SCOPED_TRACE(count);
    Outcome o = run(cfg_, "duckduckgo", "q", count);
    ASSERT_EQ(o.rc, 0) << o.err;
    EXPECT_EQ(o.items.size(), static_cast<size_t>(count < 3 ? count : 3));
  }
}

TEST_F(Backends, ExaSnippetSources) {
  script("/exa", 200,
         R"({"results":[)"
         R"({"url":"https://e/1","highlights":["first","second"],"text":"t1"},)"
         R"({"url":"https://e/2","highlights":[],"text":"t2"},)"
         R"({"url":"https://e/3","highlights":[7],"text":"t3"},)"
         R"({"url":"https://e/4","highlights":[""],"text":"t4"},)"
         R"({"url":"https://e/5","highlights":"nope","text":"t5"},)"
         R"({"url":"https://e/6"}]})");
  Outcome o = run(cfg_, "exa", "q", 10);
  ASSERT_EQ(o.rc, 0) << o.err;
  ASSERT_EQ(o.items.size(), 6u);
  const char *want[] = {"first", "t2", "t3", "", "t5", ""};
  for (size_t i = 0; i < 6; ++i) EXPECT_STREQ(o.items[i].snippet, want[i]) << i;
}

TEST_F(Backends, TavilyAnswer) {
  cfg_.tavily_answer = 1;
  Outcome o = run(cfg_, "tavily", "q", 2);
  ASSERT_EQ(o.rc, 0) << o.err;
  EXPECT_EQ(o.answer, kTavilyAnswer);
  EXPECT_EQ(o.items.size(), 2u);

  // An answer without results; an empty answer adds nothing; the answer is
  // taken as it is, markup included.
  script("/tavily", 200, R"({"answer":"Just <b>this</b> &amp; that","results":"no"})");
  o = run(cfg_, "tavily", "q", 2);
  ASSERT_EQ(o.rc, 0) << o.err;
  EXPECT_EQ(o.answer, "Just <b>this</b> &amp; that");
  EXPECT_TRUE(o.items.empty());

  script("/tavily", 200, R"({"answer":"","results":[{"url":"https://t/1","title":"T"}]})");
  o = run(cfg_, "tavily", "q", 2);
  ASSERT_EQ(o.rc, 0) << o.err;
  EXPECT_EQ(o.answer, "");
  EXPECT_EQ(o.items.size(), 1u);

  // Other backends never touch the answer.
  script("/exa", 200, R"({"answer":"no","results":[]})");
  script("/perplexity", 200, R"({"answer":"no","results":[]})");
  EXPECT_EQ(run(cfg_, "exa", "q", 2).answer, "");
  EXPECT_EQ(run(cfg_, "perplexity", "q", 2).answer, "");
}

TEST_F(Backends, MissingResultArrays) {
  struct {
    const char *provider;
    const char *prefix;
    const char *doc;
    int rc;
    const char *err;
  } cases[] = {
      {"searxng", "/searxng", R"({"answers":[]})", -1,
       "SearXNG answered without a results array - check that this instance allows "
       "?format=json (settings.yml: search.formats)"},
      {"searxng", "/searxng", R"([1,2])", -1,
       "SearXNG answered without a results array - check that this instance allows "
       "?format=json (settings.yml: search.formats)"},
      {"searxng", "/searxng", R"({"results":[]})", 0, ""},
      {"brave", "/brave", R"({"results":[{"url":"https://x/"}]})", 0, ""},
      {"brave", "/brave", R"({"web":[{"results":[]}]})", 0, ""},
      {"brave", "/brave", R"({"web":{"type":"search"}})", 0, ""},
      {"brave", "/brave", R"({"web":"x","web":{"results":[{"url":"https://x/"}]}})", 0, ""},
      {"tavily", "/tavily", R"({"query":"q"})", 0, ""},
      {"exa", "/exa", R"("just a string")", 0, ""},
      {"perplexity", "/perplexity", R"({"results":{"url":"https://x/"}})", 0, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.provider) + " " + c.doc);
    ASSERT_TRUE(mock_->reset());
    script(c.prefix, 200, c.doc);
    Outcome o = run(cfg_, c.provider, "q", 5);
    EXPECT_EQ(o.rc, c.rc);
    EXPECT_EQ(o.err, c.err);
    EXPECT_EQ(o.status, 200);
    EXPECT_TRUE(o.items.empty());
  }
}

TEST_F(Backends, ChunkedAnswersAndRedirectStatuses) {
  script("/perplexity", 200, R"({"results":[{"url":"https://p/1","title":"chunked"}]})",
         "application/json", true);
  Outcome o = run(cfg_, "perplexity", "q", 5);
  ASSERT_EQ(o.rc, 0) << o.err;
  ASSERT_EQ(o.items.size(), 1u);
  EXPECT_STREQ(o.items[0].title, "chunked");

  // Below 400 is success, 3xx included; redirects are not followed.
  script("/searxng", 301, R"({"results":[{"url":"https://s/1","title":"moved"}]})");
  o = run(cfg_, "searxng", "q", 5);
  EXPECT_EQ(o.rc, 0) << o.err;
  EXPECT_EQ(o.status, 301);
  ASSERT_EQ(o.items.size(), 1u);

  script("/brave", 302, "<html>Found</html>", "text/html");
  o = run(cfg_, "brave", "q", 5);
  EXPECT_EQ(o.rc, -1);
  EXPECT_EQ(o.status, 302);
  EXPECT_EQ(o.err, "Brave returned a body that is not JSON");
}

// ---------------------------------------------------------------------------
// Failures

TEST_F(Backends, NotReadyBackendsMakeNoRequest) {
  cfg_.brave_key[0] = '\0';
  cfg_.tavily_key[0] = '\0';
  cfg_.exa_key[0] = '\0';
  cfg_.pplx_key[0] = '\0';
  cfg_.searxng_base[0] = '\0';
  struct {
    const char *provider;
    const char *err;
  } cases[] = {
      {"brave", "Brave needs an API key. Set BRAVE_API_KEY, or save one on the plugin page."},
      {"tavily", "Tavily needs an API key. Set TAVILY_API_KEY, or save one on the plugin page."},
      {"exa", "Exa needs an API key. Set EXA_API_KEY, or save one on the plugin page."},
      {"perplexity",
       "Perplexity needs an API key. Set PERPLEXITY_API_KEY, or save one on the plugin page."},
      {"searxng",
       "SearXNG needs a base URL (a self-hosted instance). Set WEBSEARCH_SEARXNG_BASE, or set it "
       "on the plugin page."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.provider);
    Outcome o = run(cfg_, c.provider, "q", 5);
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, c.err);
    EXPECT_TRUE(o.items.empty());
  }
  EXPECT_TRUE(requests().empty());
}

TEST_F(Backends, KeysWithControlCharactersAreRefused) {
  const char *forged = "k\r\nX-Injected: 1";
  ws_copy(cfg_.brave_key, sizeof cfg_.brave_key, forged);
  ws_copy(cfg_.tavily_key, sizeof cfg_.tavily_key, forged);
  ws_copy(cfg_.exa_key, sizeof cfg_.exa_key, "k\tv");
  ws_copy(cfg_.pplx_key, sizeof cfg_.pplx_key, "k\x7f");
  struct {
    const char *provider;
    const char *err;
  } cases[] = {
      {"brave", "Brave API key contains a control character"},
      {"tavily", "Tavily API key contains a control character"},
      {"exa", "Exa API key contains a control character"},
      {"perplexity", "Perplexity API key contains a control character"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.provider);
    Outcome o = run(cfg_, c.provider, "q", 5);
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.status, 0);
    EXPECT_EQ(o.err, c.err);
  }
  EXPECT_TRUE(requests().empty());
}

TEST_F(Backends, UpstreamErrorTexts) {
  const std::string html_page =
      "<!DOCTYPE html><html><head><title>Forbidden</title><style>body{color:red}</style></head>"
      "<body><h1>403 Forbidden</h1><p>Your request was blocked &amp; logged.</p></body></html>";
  struct {
    const char *provider;
    const char *prefix;
    int status;
    std::string body;
    const char *type;
    const char *err;
  } cases[] = {
      {"brave", "/brave", 401, R"({"message":"bad key"})", "application/json",
       "Brave returned HTTP 401: bad key"},
      {"searxng", "/searxng", 502, "", "text/plain", "SearXNG returned HTTP 502"},
      {"exa", "/exa", 403, R"({"error":{"message":"quota"}})", "application/json",
       "Exa returned HTTP 403: quota"},
      {"perplexity", "/perplexity", 429, R"({"detail":"Rate limit"})", "application/json",
       "Perplexity returned HTTP 429: Rate limit"},
      {"tavily", "/tavily", 400, R"({"error":"e","message":"m"})", "application/json",
       "Tavily returned HTTP 400: m"},
      {"duckduckgo", "/duckduckgo", 403, html_page, "text/html",
       "DuckDuckGo returned HTTP 403: Forbidden 403 Forbidden Your request was blocked & logged."},
      {"tavily", "/tavily", 500, R"({"code":1})", "application/json",
       "Tavily returned HTTP 500: {\"code\":1}"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.err);
    ASSERT_TRUE(mock_->reset());
    script(c.prefix, c.status, c.body, c.type);
    Outcome o = run(cfg_, c.provider, "q", 5);
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.status, c.status);
    EXPECT_EQ(o.err, c.err);
    EXPECT_TRUE(o.items.empty());
    for (const char *key : {kBraveKey, kTavilyKey, kExaKey, kPplxKey}) {
      EXPECT_EQ(o.err.find(key), std::string::npos);
    }
  }
}

TEST_F(Backends, UnreadableBodies) {
  struct {
    const char *provider;
    const char *prefix;
    const char *body;
    const char *type;
    const char *err;
  } cases[] = {
      {"exa", "/exa", "", "application/json", "Exa returned an empty response"},
      {"tavily", "/tavily", "<html><body>Hello</body></html>", "text/html",
       "Tavily returned a body that is not JSON"},
      {"searxng", "/searxng", "{\"results\":[],}", "application/json",
       "SearXNG returned a body that is not JSON"},
      {"brave", "/brave", "", "application/json", "Brave returned an empty response"},
      {"perplexity", "/perplexity", "{\"results\":[]} trailing", "application/json",
       "Perplexity returned a body that is not JSON"},
      {"duckduckgo", "/duckduckgo", "", "text/html", "DuckDuckGo returned an empty page"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.err);
    ASSERT_TRUE(mock_->reset());
    script(c.prefix, 200, c.body, c.type);
    Outcome o = run(cfg_, c.provider, "q", 5);
    EXPECT_EQ(o.rc, -1);
    EXPECT_EQ(o.status, 200);
    EXPECT_EQ(o.err, c.err);
  }
}

TEST_F(Backends, DuckDuckGoBotDetection) {
  const std::string challenge =
      "<html><body><form id=\"challenge-form\" action=\"//duckduckgo.com/anomaly.js\">"
      "<div class=\"anomaly-modal__title\">Unfortunately, bots use DuckDuckGo too.</div>"
      "</form></body></html>";
  script("/duckduckgo", 200, challenge, "text/html");
  Outcome o = run(cfg_, "duckduckgo", "q", 5);
  EXPECT_EQ(o.rc, -1);
  EXPECT_EQ(o.status, 200);
  EXPECT_EQ(o.err, kBotMessage);

  script("/duckduckgo", 200,
         "<html><body><div class=\"no-results\">No results.</div></body></html>", "text/html");
  o = run(cfg_, "duckduckgo", "q", 5);
  EXPECT_EQ(o.rc, 0);
  EXPECT_EQ(o.err, "");
  EXPECT_TRUE(o.items.empty());
}

TEST_F(Backends, AdapterFailuresStandAlone) {
  // An empty base leaves a bare path that the URL parser refuses.
  cfg_.brave_base[0] = '\0';
  Outcome o = run(cfg_, "brave", "q", 5);
  EXPECT_EQ(o.rc, -1);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, "url must start with http(s):// or ws(s)://");

  cfg_.exa_base[0] = '\0';
  o = run(cfg_, "exa", "q", 5);
  EXPECT_EQ(o.err, "url must start with http(s):// or ws(s)://");

  // A service that is not there: the adapter's own text, with no name in
  // front of it, and no status.
  ws_test::mock_upstream_process gone;
  ASSERT_TRUE(gone.start()) << gone.error();
  const std::string dead = gone.base();
  gone.stop();
  ws_copy(cfg_.tavily_base, sizeof cfg_.tavily_base, (dead + "/tavily").c_str());
  ws_resp direct;
  ASSERT_EQ(ws_http_do("POST", (dead + "/tavily/search").c_str(), nullptr, "{}", 2, 30000, &direct),
            -1);
  ws_resp_free(&direct);
  o = run(cfg_, "tavily", "q", 5);
  EXPECT_EQ(o.rc, -1);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.err, direct.error);
  EXPECT_NE(o.err, "");
  EXPECT_EQ(o.err.find("Tavily"), std::string::npos);
}

TEST_F(Backends, OverlongUrlsAreRefusedNotCut) {
  // Below and above the 1599- and 1999-byte URL bounds: either way the
  // target is over what the parser takes, and nothing is sent.
  for (size_t n : {1100u, 2500u}) {
    SCOPED_TRACE(n);
    const std::string query = std::string(n, 'z') + " \xC3\xA9";
    for (const char *provider : {"searxng", "brave"}) {
      SCOPED_TRACE(provider);
      Outcome o = run(cfg_, provider, query.c_str(), 5);
      EXPECT_EQ(o.rc, -1);
      EXPECT_EQ(o.status, 0);
      EXPECT_EQ(o.err, "url too long");
    }
  }
  EXPECT_TRUE(requests().empty());
}

TEST_F(Backends, LongDuckDuckGoQueryIsSentWhole) {
  // Three bytes per encoded character: the form body passes 4095 bytes.
  const std::string query(1500, '~');
  const std::string spaced(1500, ' ');
  Outcome o = run(cfg_, "duckduckgo", (query + spaced).c_str(), 1);
  ASSERT_EQ(o.rc, 0) << o.err;
  auto seen = requests();
  ASSERT_EQ(seen.size(), 1u);
  std::string want = "q=" + query;
  for (int i = 0; i < 1500; ++i) want += "%20";
  want += "&kp=-1";
  EXPECT_EQ(seen[0].body, want);
}

// ---------------------------------------------------------------------------
// The whole road from the environment: WEBSEARCH_MOCK_BASE points every
// backend at the mock.

TEST_F(Backends, MockBaseFromTheEnvironment) {
  ws_test::ScratchDir dir;
  ASSERT_TRUE(dir.ok());
  ws_test::EnvScope env;
  ws_test::isolate_config(env, dir.path());
  env.set("WEBSEARCH_MOCK_BASE", mock_->base());
  env.set("WEBSEARCH_PROVIDER", "Exa");
  env.set("EXA_API_KEY", kExaKey);
  env.set("WEBSEARCH_COUNT", "2");
  ws_config cfg;
  ws_config_load(&cfg);
  Outcome o = run(cfg, nullptr, "from env", 0);
  ASSERT_EQ(o.rc, 0) << o.err;
  EXPECT_EQ(o.items.size(), 2u);
  auto seen = requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].target, "/exa/search");
  EXPECT_EQ(seen[0].body, R"({"query":"from env","numResults":2,"contents":{"highlights":true}})");

  // SearXNG gets a base from the mock even though none was configured.
  ASSERT_TRUE(mock_->reset());
  o = run(cfg, "searxng", "q", 1);
  ASSERT_EQ(o.rc, 0) << o.err;
  seen = requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].target, "/searxng/search?q=q&format=json&categories=general&safesearch=1");
}

}  // namespace
