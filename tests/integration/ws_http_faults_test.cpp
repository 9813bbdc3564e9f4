// Peers that stall or trickle, against the upstream adapter with a short
// budget: the same code the backends run with 25 and 30 seconds. Each case
// ends at its deadline (never before it, never long after), with the
// adapter's own outcome, and leaves no descriptor open.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "search/ws_http.h"
#include "support/loopback_server.h"
#include "support/process_probe.h"

namespace {

using ws_test::loopback_script;
using ws_test::loopback_server;

constexpr int kBudgetMs = 700;
// Loose on purpose: two test processes share two cores.
constexpr long long kSlackMs = 2500;

long long elapsed_ms(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               start)
      .count();
}

class HttpDoStalls : public ::testing::Test {
 protected:
  void SetUp() override {
    fds_before_ = ws_test::open_fd_count();
    memset(&resp_, 0, sizeof resp_);
  }
  void TearDown() override {
    ws_resp_free(&resp_);
    EXPECT_EQ(ws_test::open_fd_count(), fds_before_) << "a descriptor was left open";
  }
  int fds_before_ = 0;
  ws_resp resp_;
};

struct stall_case {
  const char *name;
  loopback_script script;
  int rc;             // what ws_http_do returns
  const char *error;  // resp.error when rc is -1
  int status;         // resp.status when rc is 0
  std::string body;   // resp.body when rc is 0
  bool at_deadline;   // ends only when the budget is spent
};

std::string slow_head() {
  return "HTTP/1.1 200 OK\r\nX-Slow: " + std::string(400, 'a') + "\r\n\r\n";
}

TEST_F(HttpDoStalls, EachEndsAtTheDeadlineWithItsOutcome) {
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
  const std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
  stall_case cases[] = {
      {"stalled head", loopback_script().read_request().stall(), -1,
       "timeout reading response headers", 0, "", true},
      {"head half sent, then silence",
       loopback_script().read_request().send("HTTP/1.1 200 OK\r\nContent-").stall(), -1,
       "timeout reading response headers", 0, "", true},
      {"head trickled past the deadline",
       loopback_script().read_request().trickle(slow_head(), 1, 20), -1,
       "timeout reading response headers", 0, "", true},
      // A body that cannot be read in time arrives empty, with the real status.
      {"body stalls after 10 of 100 bytes",
       loopback_script().read_request().send(head + "0123456789").stall(), 0, "", 200, "", true},
      {"endless body trickled until close",
       loopback_script()
           .read_request()
           .send("HTTP/1.1 200 OK\r\n\r\n")
           .trickle(std::string(4000, 'x'), 1, 5),
       0, "", 200, "", true},
      {"stall inside a chunk",
       loopback_script().read_request().send(chunked + "100\r\n0123456789").stall(), 0, "", 200, "",
       true},
      {"stall between chunks",
       loopback_script().read_request().send(chunked + "5\r\nhello\r\n").stall(), 0, "", 200, "",
       true},
      {"stall in the chunk size line",
       loopback_script().read_request().send(chunked + "5\r\nhello\r\n1").stall(), 0, "", 200, "",
       true},
      // A slow peer that still finishes in time is not punished.
      {"head trickled within the budget",
       loopback_script()
           .read_request()
           .trickle("HTTP/1.1 203 OK\r\nContent-Length: 2\r\n\r\n", 4, 5)
           .send("ok"),
       0, "", 203, "ok", false},
  };
  for (stall_case &c : cases) {
    SCOPED_TRACE(c.name);
    loopback_server srv(c.script);
    ASSERT_TRUE(srv.ok());
    ws_resp_free(&resp_);
    const auto start = std::chrono::steady_clock::now();
    const int rc = ws_http_do("GET", srv.url("/").c_str(), nullptr, nullptr, 0, kBudgetMs, &resp_);
    const long long took = elapsed_ms(start);
    EXPECT_EQ(rc, c.rc);
    if (rc == -1) {
      EXPECT_STREQ(resp_.error, c.error);
      EXPECT_EQ(resp_.body, nullptr);
    } else {
      EXPECT_EQ(resp_.ok, 1);
      EXPECT_EQ(resp_.status, c.status);
      ASSERT_NE(resp_.body, nullptr);
      EXPECT_EQ(std::string(resp_.body, resp_.body_len), c.body);
    }
    if (c.at_deadline) {
      EXPECT_GE(took, kBudgetMs - 50);
    }
    EXPECT_LT(took, kBudgetMs + kSlackMs);
    srv.stop();
  }
}

// The connect wait of one candidate is clamped to 1500..3000 ms whatever the
// budget; a peer that never answers the handshake ends there.
TEST_F(HttpDoStalls, ConnectThatNeverCompletesEndsAtTheCandidateWait) {
  ws_test::silent_listener sl;
  if (!sl.ok()) GTEST_SKIP() << "this kernel completes connects beyond a full accept queue";
  const std::string url = "http://127.0.0.1:" + std::to_string(sl.port()) + "/";
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ws_http_do("GET", url.c_str(), nullptr, nullptr, 0, kBudgetMs, &resp_), -1);
  const long long took = elapsed_ms(start);
  EXPECT_EQ(std::string(resp_.error),
            "connect to 127.0.0.1:" + std::to_string(sl.port()) + " failed");
  EXPECT_GE(took, 1450);
  EXPECT_LT(took, 1500 + kSlackMs);
}

}  // namespace
