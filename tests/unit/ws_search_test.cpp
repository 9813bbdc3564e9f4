// The search dispatcher's order of checks, its messages and the readiness
// questions. Cases that reach a backend point it at a loopback port that
// refuses every connection, so nothing leaves the machine.
#include "search/ws_search.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/loopback_server.h"

namespace {

const char kUnknown[] =
    "unknown provider \"%s\" (choose duckduckgo, searxng, brave, tavily, exa or perplexity)";

std::string unknown_message(const std::string &p) {
  std::string m = kUnknown;
  return m.replace(m.find("%s"), 2, p);
}

template <size_t N>
void set(char (&field)[N], const std::string &value) {
  ws_copy(field, N, value.c_str());
}

class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(refused_.ok());
    memset(&cfg_, 0, sizeof cfg_);
    set(cfg_.provider, "duckduckgo");
    cfg_.count = 5;
    set(cfg_.safe, "moderate");
    // Every backend that gets as far as the network is refused at once.
    std::string dead = "http://127.0.0.1:" + std::to_string(refused_.port());
    for (char *base : {cfg_.ddg_base, cfg_.searxng_base, cfg_.brave_base, cfg_.tavily_base,
                       cfg_.exa_base, cfg_.pplx_base}) {
      ws_copy(base, 512, dead.c_str());
    }
    set(cfg_.brave_key, "k");
    set(cfg_.tavily_key, "k");
    set(cfg_.exa_key, "k");
    set(cfg_.pplx_key, "k");
    ws_results_init(&list_);
  }
  void TearDown() override { ws_results_free(&list_); }

  int run(const char *provider, const char *query, int count = 0) {
    status_ = 77;
    memset(err_, 'J', sizeof err_);
    err_[sizeof err_ - 1] = '\0';
    return ws_search(&cfg_, provider, query, count, nullptr, nullptr, nullptr, nullptr, &list_,
                     &status_, err_, sizeof err_);
  }
  std::string refused_text() const {
    return "connect to 127.0.0.1:" + std::to_string(refused_.port()) + " failed";
  }

  ws_test::refused_port refused_;
  ws_config cfg_;
  ws_results list_;
  int status_ = 0;
  char err_[512];
};

TEST_F(SearchTest, EmptyQueryIsCheckedBeforeTheProvider) {
  for (const char *provider : {"ddg", "", "brave", static_cast<const char *>(nullptr)}) {
    SCOPED_TRACE(provider ? provider : "(null)");
    EXPECT_EQ(run(provider, ""), -2);
    EXPECT_STREQ(err_, "query is required");
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(run(provider, nullptr), -2);
    EXPECT_STREQ(err_, "query is required");
  }
  EXPECT_STREQ(list_.provider, "");  // nothing recorded for a refused request
}

TEST_F(SearchTest, UnknownProviderNamesItselfInTheMessage) {
  for (const char *p : {"ddg", "Brave ", "searx", "\"quoted\""}) {
    SCOPED_TRACE(p);
    EXPECT_EQ(run(p, "q"), -2);
    EXPECT_EQ(std::string(err_), unknown_message(p));
    EXPECT_EQ(status_, 0);
    EXPECT_EQ(list_.took_ms, 0);
  }
}

TEST_F(SearchTest, UnknownProviderMessageIsCutToTheBufferWhole) {
  std::string p(600, 'x');
  EXPECT_EQ(run(p.c_str(), "q"), -2);
  EXPECT_EQ(std::string(err_), unknown_message(p).substr(0, 511));
  // A small buffer gets a cut that never ends inside a character.
  char small[21];
  ws_search(&cfg_, "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", "q", 0, nullptr, nullptr, nullptr,
            nullptr, &list_, nullptr, small, sizeof small);
  EXPECT_STREQ(small, "unknown provider \"\xC3\xA9");
}

TEST_F(SearchTest, ProviderSpellingIsKeptAndTheBackendChosenIgnoringCase) {
  const struct {
    const char *given;
    const char *stored;
  } rows[] = {{"DuckDuckGo", "DuckDuckGo"}, {"SEARXNG", "SEARXNG"}, {"bRaVe", "bRaVe"},
              {"Tavily", "Tavily"},         {"EXA", "EXA"},         {"perplexity", "perplexity"}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.given);
    EXPECT_EQ(run(r.given, "the query"), -1);
    EXPECT_EQ(std::string(err_), refused_text());  // the adapter's text stands alone
    EXPECT_EQ(status_, 0);
    EXPECT_STREQ(list_.provider, r.stored);
    EXPECT_STREQ(list_.query, "the query");
    EXPECT_EQ(list_.count, 0);
    EXPECT_GE(list_.took_ms, 0);
  }
}

TEST_F(SearchTest, EmptyProviderTakesTheConfiguredOneOrDuckDuckGo) {
  const struct {
    const char *configured;
    const char *ran;
  } rows[] = {{"exa", "exa"}, {"Exa", "Exa"}, {"bogus", "duckduckgo"}, {"", "duckduckgo"}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.configured);
    set(cfg_.provider, r.configured);
    for (const char *given : {static_cast<const char *>(nullptr), ""}) {
      EXPECT_EQ(run(given, "q"), -1);
      EXPECT_STREQ(list_.provider, r.ran);
    }
  }
}

TEST_F(SearchTest, ConfiguredDefaultThatIsNotReadyAnswersWithItsOwnMessage) {
  set(cfg_.provider, "brave");
  set(cfg_.brave_key, "");
  EXPECT_EQ(run(nullptr, "q"), -1);
  EXPECT_STREQ(list_.provider, "brave");
  EXPECT_EQ(std::string(err_).rfind("Brave needs an API key", 0), 0u) << err_;
  EXPECT_EQ(status_, 0);
  set(cfg_.searxng_base, "");
  EXPECT_EQ(run("searxng", "q"), -1);
  EXPECT_EQ(std::string(err_).rfind("SearXNG needs a base URL", 0), 0u) << err_;
}

TEST_F(SearchTest, RequestTextsAreCutToTheirFields) {
  std::string q(600, 'q');
  EXPECT_EQ(run("exa", q.c_str()), -1);
  EXPECT_EQ(std::string(list_.query), q.substr(0, 511));
}

TEST_F(SearchTest, ExistingItemsAndAnswerAreLeftAloneButCountRestarts) {
  ASSERT_NE(ws_results_push(&list_), nullptr);
  ASSERT_EQ(ws_buf_puts(&list_.answer, "old"), 0);
  ws_result *items = list_.items;
  EXPECT_EQ(run("exa", "q"), -1);
  EXPECT_EQ(list_.count, 0);
  EXPECT_EQ(list_.items, items);
  EXPECT_EQ(list_.capacity, 8);
  EXPECT_STREQ(ws_buf_str(&list_.answer), "old");
}

TEST_F(SearchTest, NullStatusAndNullConfigurationAreHandled) {
  char err[512];
  EXPECT_EQ(ws_search(&cfg_, "exa", "q", 0, nullptr, nullptr, nullptr, nullptr, &list_, nullptr,
                      err, sizeof err),
            -1);
  int status = 5;
  EXPECT_EQ(ws_search(nullptr, "exa", "q", 0, nullptr, nullptr, nullptr, nullptr, &list_, &status,
                      err, sizeof err),
            -2);
  EXPECT_EQ(status, 0);
  EXPECT_STRNE(err, "");
}

TEST(Readiness, FollowsTheTablePerBackend) {
  ws_config cfg;
  memset(&cfg, 0, sizeof cfg);
  const char *ids[] = {"duckduckgo", "searxng", "brave", "tavily", "exa", "perplexity"};
  // Nothing configured: only DuckDuckGo is ready; no backend has a key.
  for (const char *id : ids) {
    SCOPED_TRACE(id);
    EXPECT_EQ(ws_provider_ready(&cfg, id), strcmp(id, "duckduckgo") == 0 ? 1 : 0);
    EXPECT_EQ(ws_provider_has_key(&cfg, id), 0);
  }
  set(cfg.searxng_base, "http://s");
  set(cfg.brave_key, "b");
  set(cfg.tavily_key, "t");
  set(cfg.exa_key, "e");
  set(cfg.pplx_key, "p");
  for (const char *id : ids) {
    SCOPED_TRACE(id);
    EXPECT_EQ(ws_provider_ready(&cfg, id), 1);
    bool keyed = strcmp(id, "duckduckgo") != 0 && strcmp(id, "searxng") != 0;
    EXPECT_EQ(ws_provider_has_key(&cfg, id), keyed ? 1 : 0);
  }
  EXPECT_EQ(ws_provider_ready(&cfg, "EXA"), 1);
  EXPECT_EQ(ws_provider_has_key(&cfg, "Brave"), 1);
  // Each key counts only for its own backend.
  set(cfg.brave_key, "");
  EXPECT_EQ(ws_provider_ready(&cfg, "brave"), 0);
  EXPECT_EQ(ws_provider_ready(&cfg, "tavily"), 1);
  for (const char *bad : {"ddg", "", "brave "}) {
    EXPECT_EQ(ws_provider_ready(&cfg, bad), 0);
    EXPECT_EQ(ws_provider_has_key(&cfg, bad), 0);
  }
  EXPECT_EQ(ws_provider_ready(nullptr, "duckduckgo"), 0);
  EXPECT_EQ(ws_provider_ready(&cfg, nullptr), 0);
  EXPECT_EQ(ws_provider_has_key(nullptr, "exa"), 0);
}

TEST(Readiness, ActiveProviderIsTheConfiguredTextItselfOrDuckDuckGo) {
  ws_config cfg;
  memset(&cfg, 0, sizeof cfg);
  set(cfg.provider, "Tavily");
  EXPECT_EQ(ws_provider_active(&cfg), cfg.provider);
  set(cfg.provider, "nope");
  EXPECT_STREQ(ws_provider_active(&cfg), "duckduckgo");
  set(cfg.provider, "");
  EXPECT_STREQ(ws_provider_active(&cfg), "duckduckgo");
  EXPECT_STREQ(ws_provider_active(nullptr), "duckduckgo");
}

}  // namespace
