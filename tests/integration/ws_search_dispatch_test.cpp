// What the dispatcher hands to the backend it picks, seen on the wire by a
// loopback server: the clamped count, the configured defaults of language,
// safe-search level and region, and the time it measured.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "search/ws_search.h"
#include "support/loopback_server.h"

namespace {

using ws_test::loopback_script;
using ws_test::loopback_server;

std::string json_response(const std::string &body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The request line's target.
std::string target_of(const std::string &request) {
  size_t sp = request.find(' ');
  size_t end = request.find(' ', sp + 1);
  return sp == std::string::npos || end == std::string::npos ? ""
                                                             : request.substr(sp + 1, end - sp - 1);
}

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memset(&cfg_, 0, sizeof cfg_);
    ws_copy(cfg_.provider, sizeof cfg_.provider, "duckduckgo");
    cfg_.count = 5;
    ws_copy(cfg_.safe, sizeof cfg_.safe, "moderate");
    ws_copy(cfg_.searxng_categories, sizeof cfg_.searxng_categories, "general");
    ws_copy(cfg_.brave_key, sizeof cfg_.brave_key, "k");
    ws_results_init(&list_);
  }
  void TearDown() override { ws_results_free(&list_); }
  void point_all_at(const loopback_server &srv) {
    std::string base = srv.url("");
    if (!base.empty() && base.back() == '/') base.pop_back();
    for (char *b : {cfg_.ddg_base, cfg_.searxng_base, cfg_.brave_base})
      ws_copy(b, 512, base.c_str());
  }
  int search(const char *provider, int count, const char *country, const char *language) {
    status_ = -5;
    return ws_search(&cfg_, provider, "q", count, country, language, nullptr, nullptr, &list_,
                     &status_, err_, sizeof err_);
  }

  ws_config cfg_;
  ws_results list_;
  int status_ = 0;
  char err_[512] = "";
};

TEST_F(DispatchTest, CountIsClampedToOneToTwentyWithTheConfiguredFallback) {
  const struct {
    int asked, configured, sent;
  } rows[] = {{0, 7, 7},   {50, 5, 20}, {-3, 0, 5}, {3, 7, 3},  {20, 1, 20},
              {21, 1, 20}, {0, 25, 20}, {0, -1, 5}, {1, 20, 1}, {-1, 20, 20}};
  loopback_script s;
  s.read_request().send(json_response(R"({"web":{"results":[]}})"));
  loopback_server srv(s, static_cast<int>(sizeof rows / sizeof rows[0]));
  ASSERT_TRUE(srv.ok());
  point_all_at(srv);
  for (const auto &r : rows) {
    SCOPED_TRACE(std::to_string(r.asked) + " / " + std::to_string(r.configured));
    cfg_.count = r.configured;
    ASSERT_EQ(search("brave", r.asked, nullptr, nullptr), 0) << err_;
    EXPECT_EQ(status_, 200);
  }
  ASSERT_TRUE(srv.wait_finished(5000));
  auto reqs = srv.requests();
  ASSERT_EQ(reqs.size(), sizeof rows / sizeof rows[0]);
  for (size_t i = 0; i < reqs.size(); i++) {
    std::string want = "&count=" + std::to_string(rows[i].sent);
    std::string target = target_of(reqs[i]);
    SCOPED_TRACE(target);
    size_t at = target.find(want);
    ASSERT_NE(at, std::string::npos);
    EXPECT_TRUE(at + want.size() == target.size() || target[at + want.size()] == '&');
  }
}

TEST_F(DispatchTest, LanguageAndSafeFallBackToTheConfiguredValues) {
  ws_copy(cfg_.language, sizeof cfg_.language, "de");
  ws_copy(cfg_.safe, sizeof cfg_.safe, "strict");
  ws_copy(cfg_.region, sizeof cfg_.region, "nz-en");
  loopback_script s;
  s.read_request().send(json_response(R"({"results":[]})"));
  loopback_server srv(s, 4);
  ASSERT_TRUE(srv.ok());
  point_all_at(srv);
  ASSERT_EQ(search("searxng", 0, nullptr, nullptr), 0) << err_;
  ASSERT_EQ(search("searxng", 0, nullptr, "fr"), 0) << err_;
  ASSERT_EQ(search("searxng", 0, "", ""), 0) << err_;
  // DuckDuckGo gets the configured region, never the caller's country; its
  // HTML answer without results is simply empty.
  search("duckduckgo", 0, "us", nullptr);
  ASSERT_TRUE(srv.wait_finished(5000));
  auto reqs = srv.requests();
  ASSERT_EQ(reqs.size(), 4u);
  EXPECT_EQ(target_of(reqs[0]),
            "/search?q=q&format=json&categories=general&language=de&safesearch=2");
  EXPECT_EQ(target_of(reqs[1]),
            "/search?q=q&format=json&categories=general&language=fr&safesearch=2");
  EXPECT_EQ(target_of(reqs[2]),
            "/search?q=q&format=json&categories=general&language=de&safesearch=2");
  const std::string &ddg = reqs[3];
  EXPECT_EQ(ddg.substr(ddg.find("\r\n\r\n") + 4), "q=q&kl=nz-en&kp=1");
}

TEST_F(DispatchTest, TookMsCoversTheBackendCall) {
  loopback_script s;
  s.read_request().sleep(250).send(json_response(R"({"web":{"results":[]}})"));
  loopback_server srv(s);
  ASSERT_TRUE(srv.ok());
  point_all_at(srv);
  ASSERT_EQ(search("brave", 0, nullptr, nullptr), 0) << err_;
  EXPECT_GE(list_.took_ms, 200);
  EXPECT_LT(list_.took_ms, 10000);
  EXPECT_STREQ(list_.provider, "brave");
}

TEST_F(DispatchTest, UpstreamFailureStatusReachesTheCaller) {
  loopback_script s;
  s.read_request().send(
      "HTTP/1.1 401 Unauthorized\r\nContent-Length: 21\r\n\r\n{\"message\":\"bad key\"}");
  loopback_server srv(s);
  ASSERT_TRUE(srv.ok());
  point_all_at(srv);
  EXPECT_EQ(search("Brave", 0, nullptr, nullptr), -1);
  EXPECT_EQ(status_, 401);
  EXPECT_STREQ(err_, "Brave returned HTTP 401: bad key");
  EXPECT_STREQ(list_.provider, "Brave");
}

}  // namespace
