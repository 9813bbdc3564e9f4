// Kept connections against real loopback servers: two searches on one
// connection, every answer that must not leave its connection behind, the
// server closing an idle connection, the one retry and what is never
// retried, the bounds per origin and in all, idle expiry, and closing at the
// end of the session.
#include "sdk/tq_pool.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sdk/tq_http.h"
#include "search/ws_http.h"
#include "support/loopback_server.h"
#include "support/process_probe.h"

namespace {

using ws_test::loopback_script;
using ws_test::loopback_server;

std::string kept(const std::string &body) {
  return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string kept_chunked(const std::string &body) {
  return "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n" + std::to_string(body.size()) +
         "\r\n" + body + "\r\n0\r\n\r\n";
}

tq_url parse(const std::string &url) {
  tq_url u;
  char err[512];
  EXPECT_EQ(tq_url_parse(url.c_str(), &u, err, sizeof err), 0) << err;
  return u;
}

// Requests the server recorded, without the empty records of connections
// that ended without a further request.
std::vector<std::string> requests_of(const loopback_server &srv) {
  std::vector<std::string> out;
  for (const std::string &r : srv.requests()) {
    if (!r.empty()) out.push_back(r);
  }
  return out;
}

class PoolLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    fds_before_ = ws_test::open_fd_count();
    ws_http_keep_connections();
  }
  void TearDown() override {
    ws_http_close_kept();
    EXPECT_EQ(tq_pool_idle(nullptr), 0u);
    EXPECT_EQ(ws_test::open_fd_count(), fds_before_) << "a descriptor was left open";
  }
  // One search; "" on success with the body in *body, else the error text.
  static std::string search(const loopback_server &srv, std::string *body = nullptr,
                            int timeout_ms = 5000) {
    ws_resp r;
    const int rc = ws_http_do("GET", srv.url("/s").c_str(), nullptr, nullptr, 0, timeout_ms, &r);
    ws_resp_guard guard(&r);
    if (body != nullptr) *body = r.body ? std::string(r.body, r.body_len) : "";
    return rc == 0 ? "" : r.error;
  }

  int fds_before_ = 0;
};

TEST_F(PoolLoopback, TwoSearchesShareOneConnectionThatIsClosedAtTheEnd) {
  loopback_script s;
  s.read_request().send(kept("first")).read_request().send(kept_chunked("second")).await_close();
  loopback_server srv(s);
  std::string body;
  EXPECT_EQ(search(srv, &body), "");
  EXPECT_EQ(body, "first");
  const tq_url origin = parse(srv.url());
  EXPECT_EQ(tq_pool_idle(&origin), 1u);
  EXPECT_EQ(search(srv, &body), "");
  EXPECT_EQ(body, "second");
  EXPECT_EQ(srv.connections_accepted(), 1);
  const auto reqs = requests_of(srv);
  ASSERT_EQ(reqs.size(), 2u);
  for (const std::string &r : reqs) {
    EXPECT_NE(r.find("\r\nConnection: keep-alive\r\n"), std::string::npos) << r;
  }
  ws_http_close_kept();
  EXPECT_TRUE(srv.wait_client_closes(1, 10000)) << "the kept connection is closed at the end";
  // Afterwards every exchange has its own connection again.
  loopback_script once;
  once.read_request().send(kept("x"));
  loopback_server single(once);
  EXPECT_EQ(search(single), "");
  EXPECT_NE(requests_of(single).at(0).find("\r\nConnection: close\r\n"), std::string::npos);
}

TEST_F(PoolLoopback, AnswersThatLeaveNothingInThePool) {
  const struct {
    const char *what;
    std::string reply;
    bool ok;
  } rows[] = {
      {"the server says close",
       "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 1\r\n\r\nx", true},
      {"close among other tokens",
       "HTTP/1.1 200 OK\r\nConnection: Upgrade, CLOSE\r\nContent-Length: 1\r\n\r\nx", true},
      {"a body read until close", "HTTP/1.1 200 OK\r\n\r\nuntil close", true},
      {"HTTP/1.0", "HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx", true},
      {"a chunked body that ends without its last chunk",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n", true},
      {"a trailer after the last chunk",
       "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nx\r\n0\r\nX-T: 1\r\n\r\n", true},
      {"bytes past the Content-Length", kept("x") + "HTTP/1.1 200 OK\r\n", true},
      {"a Keep-Alive time-out too short to keep it",
       "HTTP/1.1 200 OK\r\nKeep-Alive: timeout=1\r\nContent-Length: 1\r\n\r\nx", true},
      {"a Keep-Alive time-out of 0",
       "HTTP/1.1 200 OK\r\nKeep-Alive: max=5, timeout=0\r\nContent-Length: 1\r\n\r\nx", true},
      // A cut body reaches the backend as an empty one, with its status.
      {"a cut body", "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort", true},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.what);
    const int fds = ws_test::open_fd_count();
    {
      loopback_script s;
      s.read_request().send(r.reply);
      loopback_server srv(s);
      EXPECT_EQ(search(srv).empty(), r.ok);
      EXPECT_EQ(tq_pool_idle(nullptr), 0u);
      EXPECT_TRUE(srv.wait_finished(5000));
    }
    EXPECT_EQ(ws_test::open_fd_count(), fds) << "closed at once, not kept";
  }
}

TEST_F(PoolLoopback, TimedOutAndAbandonedExchangesAreClosed) {
  {
    SCOPED_TRACE("time-out inside the body");
    loopback_script s;
    s.read_request().send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nshort").stall();
    loopback_server srv(s);
    std::string body = "unset";
    EXPECT_EQ(search(srv, &body, 300), "");
    EXPECT_EQ(body, "") << "an unreadable body arrives empty";
    EXPECT_EQ(tq_pool_idle(nullptr), 0u);
  }
  {
    // A cancelled or failed exchange releases its connection as not done
    // cleanly, however well framed the answer was.
    SCOPED_TRACE("released without done_cleanly");
    loopback_script s;
    s.read_request().send(kept("fine"));
    loopback_server srv(s);
    const tq_url u = parse(srv.url("/s"));
    tq_conn *c = nullptr;
    char err[512] = "";
    ASSERT_EQ(tq_pool_request(&u, "GET", nullptr, nullptr, 0, 5000, 5000, &c, err, sizeof err), 0)
        << err;
    char *data = nullptr;
    size_t len = 0;
    ASSERT_EQ(tq_read_all(c, &data, &len, 5000), 1);
    free(data);
    EXPECT_EQ(tq_http_reusable(c), 1);
    tq_pool_release(c, 0);
    EXPECT_EQ(tq_pool_idle(nullptr), 0u);
  }
}

TEST_F(PoolLoopback, AnIdleConnectionTheServerClosedIsReplaced) {
  std::vector<loopback_script> scripts(2);
  scripts[0].read_request().send(kept("one"));  // then the server closes
  scripts[1].read_request().send(kept("two")).await_close();
  loopback_server srv(scripts);
  std::string body;
  EXPECT_EQ(search(srv, &body), "");
  EXPECT_EQ(body, "one");
  EXPECT_EQ(search(srv, &body), "");
  EXPECT_EQ(body, "two");
  EXPECT_EQ(srv.connections_accepted(), 2);
  EXPECT_EQ(requests_of(srv).size(), 2u);
}

TEST_F(PoolLoopback, ARequestMeetingAClosedConnectionIsSentOnceMoreAndNothingElseIs) {
  const struct {
    const char *what;
    loopback_script first;  // the kept connection, after its first answer
    bool retried;
  } rows[] = {
      {"closed before any byte of the answer", loopback_script().read_request().close(), true},
      {"reset before any byte of the answer", loopback_script().read_request().reset(), true},
      {"closed after part of the answer",
       loopback_script().read_request().send("HTTP/1.1 200 OK\r\nContent-Le").close(), false},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.what);
    std::vector<loopback_script> scripts(2);
    scripts[0].read_request().send(kept("one"));
    for (const auto &step : r.first.steps) scripts[0].steps.push_back(step);
    scripts[1].read_request().send(kept("two"));
    loopback_server srv(scripts);
    std::string body;
    EXPECT_EQ(search(srv, &body), "");
    const std::string second = search(srv, &body);
    if (r.retried) {
      EXPECT_EQ(second, "");
      EXPECT_EQ(body, "two");
      EXPECT_EQ(srv.connections_accepted(), 2);
      const auto reqs = requests_of(srv);
      ASSERT_EQ(reqs.size(), 3u);
      EXPECT_EQ(reqs[1], reqs[2]) << "the same request, sent again";
    } else {
      EXPECT_EQ(second, "timeout reading response headers");
      EXPECT_EQ(srv.connections_accepted(), 1) << "never retried after answer bytes";
    }
    ws_http_close_kept();
    ws_http_keep_connections();
  }
}

// Holds n connections to srv at once, reads each answer, then releases them.
void hold_and_release(const loopback_server &srv, int n) {
  const tq_url u = parse(srv.url("/s"));
  std::vector<tq_conn *> held;
  for (int i = 0; i < n; i++) {
    tq_conn *c = nullptr;
    char err[512] = "";
    ASSERT_EQ(tq_pool_request(&u, "GET", nullptr, nullptr, 0, 5000, 5000, &c, err, sizeof err), 0)
        << err;
    char *data = nullptr;
    ASSERT_EQ(tq_read_all(c, &data, nullptr, 5000), 1);
    free(data);
    held.push_back(c);
  }
  for (tq_conn *c : held) tq_pool_release(c, 1);
}

TEST_F(PoolLoopback, BoundsPerOriginAndInAll) {
  constexpr int kServers = 5;
  std::vector<std::unique_ptr<loopback_server>> servers;
  for (int i = 0; i < kServers; i++) {
    loopback_script s;
    s.read_request().send(kept("x")).await_close();
    const int per_origin = i == 0 ? 3 : 2;
    servers.push_back(std::make_unique<loopback_server>(
        std::vector<loopback_script>(static_cast<size_t>(per_origin), s)));
  }
  hold_and_release(*servers[0], 3);
  const tq_url first = parse(servers[0]->url());
  EXPECT_EQ(tq_pool_idle(&first), TQ_POOL_PER_ORIGIN);
  EXPECT_TRUE(servers[0]->wait_client_closes(1, 10000)) << "the third is closed, not kept";

  for (int i = 1; i < kServers; i++) hold_and_release(*servers[static_cast<size_t>(i)], 2);
  EXPECT_EQ(tq_pool_idle(nullptr), TQ_POOL_TOTAL);
  // The oldest went first: the first origin's two.
  EXPECT_EQ(tq_pool_idle(&first), 0u);
  EXPECT_TRUE(servers[0]->wait_client_closes(3, 10000));
  const tq_url last = parse(servers[kServers - 1]->url());
  EXPECT_EQ(tq_pool_idle(&last), 2u);
}

TEST_F(PoolLoopback, AnIdleConnectionIsClosedAtTheServersKeepAliveLimit) {
  loopback_script s;
  s.read_request()
      .send("HTTP/1.1 200 OK\r\nKeep-Alive: timeout=2, max=100\r\nContent-Length: 1\r\n\r\nx")
      .await_close();
  loopback_server srv(s);
  EXPECT_EQ(search(srv), "");
  EXPECT_EQ(tq_pool_idle(nullptr), 1u);
  // Kept for a second (the server's two less a margin), then closed by the
  // pool on its own, without another request.
  EXPECT_TRUE(srv.wait_client_closes(1, 20000));
  EXPECT_EQ(tq_pool_idle(nullptr), 0u);
}

TEST_F(PoolLoopback, SearchesOnSeveralThreadsEachHaveAConnectionOfTheirOwn) {
  constexpr int kThreads = 4;
  constexpr int kEach = 5;
  loopback_script s;
  for (int i = 0; i < kThreads * kEach; i++) s.read_request().send(kept("x"));
  s.await_close();
  // Kept connections beyond the bound per origin are closed, so later
  // searches may connect again: one script per possible connection.
  loopback_server srv(std::vector<loopback_script>(kThreads * kEach, s));
  std::vector<std::thread> threads;
  std::vector<int> failures(kThreads, 0);
  for (int t = 0; t < kThreads; t++) {
    threads.emplace_back([&srv, &failures, t] {
      for (int i = 0; i < kEach; i++) {
        std::string body;
        if (search(srv, &body) != "" || body != "x") failures[static_cast<size_t>(t)]++;
      }
    });
  }
  for (std::thread &t : threads) t.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
  EXPECT_EQ(requests_of(srv).size(), static_cast<size_t>(kThreads * kEach));
  EXPECT_LE(tq_pool_idle(nullptr), TQ_POOL_PER_ORIGIN);
}

}  // namespace
