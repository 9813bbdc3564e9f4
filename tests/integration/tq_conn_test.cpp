// Connections against real loopback peers: a server that answers, a port
// that refuses, a listener that never completes the handshake, a name that
// does not resolve; the diagnostics of TQ_VERBOSE byte for byte, and no
// descriptor left open on any path.
#include "sdk/tq_conn.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "support/loopback_server.h"
#include "support/process_probe.h"
#include "support/test_sockets.h"
#include "support/ws_env_scope.h"

namespace {

tq_url make_url(const char *host, int port, int tls) {
  tq_url u;
  memset(&u, 0, sizeof u);
  snprintf(u.scheme, sizeof u.scheme, "%s", tls ? "https" : "http");
  snprintf(u.host, sizeof u.host, "%s", host);
  u.port = port;
  snprintf(u.path, sizeof u.path, "/");
  u.tls = tls;
  return u;
}

std::string fmt(const char *f, int port) {
  char buf[256];
  snprintf(buf, sizeof buf, f, port);
  return buf;
}

// Every scenario must give back every descriptor it opened.
class TqConnLoopback : public ::testing::Test {
 protected:
  void SetUp() override { fds_before_ = ws_test::open_fd_count(); }
  void TearDown() override {
    EXPECT_EQ(ws_test::open_fd_count(), fds_before_) << "descriptor leak";
  }
  int fds_before_ = 0;
};

TEST_F(TqConnLoopback, OpenReadCloseTwice) {
  ws_test::loopback_script s;
  s.send("ping").close();
  ws_test::loopback_server srv(s);
  ASSERT_TRUE(srv.ok());

  tq_url u = make_url("127.0.0.1", srv.port(), 0);
  tq_conn c;
  char err[256] = "untouched";
  int64_t t0 = tq_now_ms();
  ASSERT_EQ(tq_conn_open(&c, &u, 2000, err, sizeof err), 0) << err;
  EXPECT_STREQ(err, "untouched");
  EXPECT_NE(c.sock, TQ_NO_SOCKET);
  EXPECT_STREQ(c.host, "127.0.0.1");
  EXPECT_EQ(c.port, srv.port());
  EXPECT_EQ(c.tls, 0);
  // The plain open leaves its budget as the deadline for the next operation.
  EXPECT_GE(c.deadline_ms, t0 + 2000);
  EXPECT_LE(c.deadline_ms, tq_now_ms() + 2000);

  ASSERT_EQ(tq_fill(&c, tq_now_ms() + 2000), 1);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(c.rbuf), c.rlen), "ping");
  EXPECT_EQ(tq_fill(&c, tq_now_ms() + 2000), 0);  // orderly close

  tq_conn_close(&c);
  EXPECT_EQ(c.sock, TQ_NO_SOCKET);
  tq_conn_close(&c);
  EXPECT_EQ(c.sock, TQ_NO_SOCKET);
}

TEST_F(TqConnLoopback, DefaultBudgetWhenNoneGiven) {
  ws_test::loopback_script s;
  s.close();
  ws_test::loopback_server srv(s);
  ASSERT_TRUE(srv.ok());
  for (int budget : {0, -5}) {
    SCOPED_TRACE(budget);
    tq_url u = make_url("127.0.0.1", srv.port(), 0);
    tq_conn c;
    char err[256] = "";
    int64_t t0 = tq_now_ms();
    ASSERT_EQ(tq_conn_open(&c, &u, budget, err, sizeof err), 0) << err;
    EXPECT_GE(c.deadline_ms, t0 + 15000);
    EXPECT_LE(c.deadline_ms, tq_now_ms() + 15000);
    tq_conn_close(&c);
  }
}

// The peer resets only after it has read a request, so the reset can never
// overtake the connect.
const char kHead[] = "GET / HTTP/1.1\r\n\r\n";

TEST_F(TqConnLoopback, ResetPeerMakesFillFail) {
  if (!ws_test::sock_recv_sees_reset()) GTEST_SKIP() << "recv does not see resets here (Wine)";
  ws_test::loopback_script s;
  s.read_request().reset();
  ws_test::loopback_server srv(s);
  ASSERT_TRUE(srv.ok());
  tq_url u = make_url("127.0.0.1", srv.port(), 0);
  tq_conn c;
  char err[256] = "";
  ASSERT_EQ(tq_conn_open(&c, &u, 2000, err, sizeof err), 0) << err;
  tq_conn_guard g(&c);
  ASSERT_EQ(tq_send_all(&c, kHead, strlen(kHead), 2000, err, sizeof err), 0) << err;
  EXPECT_EQ(tq_fill(&c, tq_now_ms() + 2000), -1);
}

TEST_F(TqConnLoopback, SendToResetPeerFailsWithoutWaitingForTheDeadline) {
  ws_test::loopback_script s;
  s.read_request().reset();
  ws_test::loopback_server srv(s);
  ASSERT_TRUE(srv.ok());
  tq_url u = make_url("127.0.0.1", srv.port(), 0);
  tq_conn c;
  char err[256] = "";
  ASSERT_EQ(tq_conn_open(&c, &u, 2000, err, sizeof err), 0) << err;
  tq_conn_guard g(&c);
  ASSERT_EQ(tq_send_all(&c, kHead, strlen(kHead), 2000, err, sizeof err), 0) << err;
  ASSERT_TRUE(srv.wait_finished(5000));
  ASSERT_EQ(tq_wait_readable(c.sock, tq_now_ms() + 2000), 1);  // the reset has arrived

  std::string body(1 << 20, 'b');
  int64_t t0 = tq_now_ms();
  EXPECT_EQ(tq_send_all(&c, body.data(), body.size(), 20000, err, sizeof err), -1);
  const std::string e = err;
  EXPECT_TRUE(e == "send failed (errno " + std::to_string(ws_test::SOCK_ERR_CONNRESET) + ")" ||
              e == "send failed (errno " + std::to_string(ws_test::SOCK_ERR_PIPE) + ")")
      << e;
  EXPECT_LT(tq_now_ms() - t0, 10000);
}

TEST_F(TqConnLoopback, RefusedPortFailsWithDiagnosticLine) {
  ws_test::refused_port rp;
  ASSERT_TRUE(rp.ok());
  const std::string expected_err = fmt("connect to 127.0.0.1:%d failed", rp.port());
  const std::string expected_line =
      fmt("tq_http_tls: connect 127.0.0.1:%d family 2 refused (so_error ", rp.port()) +
      std::to_string(ws_test::SOCK_ERR_CONNREFUSED) + "), 0 candidate(s) left\n";

  struct variant {
    const char *verbose;  // NULL: unset
    bool writes_line;
  };
  for (const variant &v : {variant{nullptr, false}, variant{"", true}, variant{"1", true}}) {
    SCOPED_TRACE(v.verbose ? v.verbose : "(unset)");
    ws_test::EnvScope env;
    if (v.verbose) {
      env.set("TQ_VERBOSE", v.verbose);
    } else {
      env.unset("TQ_VERBOSE");
    }
    tq_url u = make_url("127.0.0.1", rp.port(), 0);
    tq_conn c;
    char err[256] = "";
    ws_test::stderr_capture cap;
    EXPECT_EQ(tq_conn_open(&c, &u, 2000, err, sizeof err), -1);
    const std::string said = cap.finish();
    EXPECT_EQ(err, expected_err);
    EXPECT_EQ(c.sock, TQ_NO_SOCKET);
    EXPECT_EQ(said, v.writes_line ? expected_line : "");
    tq_conn_close(&c);  // after a failed open: harmless, twice
    tq_conn_close(&c);
  }
}

TEST_F(TqConnLoopback, UnresolvableNameFailsBeforeAnyConnect) {
  ws_test::EnvScope env;
  env.set("TQ_VERBOSE", "1");
  char err[256] = "";
  ws_test::stderr_capture cap;
  EXPECT_EQ(tq_connect_timeout("x.invalid", 80, 2000, err, sizeof err), TQ_NO_SOCKET);
  EXPECT_EQ(cap.finish(), "");  // no candidate, so no candidate line
  EXPECT_STREQ(err, "dns failure for x.invalid");

  tq_url u = make_url("x.invalid", 443, 1);
  tq_conn c;
  EXPECT_EQ(tq_conn_open(&c, &u, 2000, err, sizeof err), -1);
  EXPECT_STREQ(err, "dns failure for x.invalid");
  EXPECT_EQ(c.sock, TQ_NO_SOCKET);
  tq_conn_close(&c);
}

TEST_F(TqConnLoopback, ConnectFailingUpFrontIsReportedWithErrno) {
  // TCP to a multicast address is refused by the local stack before any
  // packet leaves, so no traffic goes beyond this machine.
  ws_test::EnvScope env;
  env.set("TQ_VERBOSE", "1");
  char err[256] = "";
  ws_test::stderr_capture cap;
  EXPECT_EQ(tq_connect_timeout("224.0.0.1", 9, 2000, err, sizeof err), TQ_NO_SOCKET);
  const std::string said = cap.finish();
  EXPECT_STREQ(err, "connect to 224.0.0.1:9 failed");
  EXPECT_EQ(said, "tq_http_tls: connect 224.0.0.1:9 family 2 failed up front (wsa " +
                      std::to_string(ws_test::SOCK_ERR_NETUNREACH) + "), 0 candidate(s) left\n");
}

// The clamp of one candidate's wait: a small budget still waits 1500 ms, a
// large one no more than 3000 ms.
TEST_F(TqConnLoopback, ConnectThatNeverCompletesTimesOutWithClampedWait) {
  ws_test::silent_listener sl;
  if (!sl.ok()) GTEST_SKIP() << "this kernel completes connects beyond a full accept queue";

  struct row {
    int budget_ms;
    long long wait_ms;
  };
  for (const row &r : {row{200, 1500}, row{60000, 3000}}) {
    SCOPED_TRACE(r.budget_ms);
    ws_test::EnvScope env;
    env.set("TQ_VERBOSE", "1");
    char err[256] = "";
    ws_test::stderr_capture cap;
    int64_t t0 = tq_now_ms();
    EXPECT_EQ(tq_connect_timeout("127.0.0.1", sl.port(), r.budget_ms, err, sizeof err),
              TQ_NO_SOCKET);
    int64_t took = tq_now_ms() - t0;
    const std::string said = cap.finish();
    EXPECT_EQ(err, fmt("connect to 127.0.0.1:%d failed", sl.port()));
    EXPECT_EQ(said, fmt("tq_http_tls: connect 127.0.0.1:%d family 2 timed out after ", sl.port()) +
                        std::to_string(r.wait_ms) + " ms (1 candidate(s) tried)\n");
    EXPECT_GE(took, r.wait_ms - 50);
    EXPECT_LT(took, r.wait_ms + 3000);
  }
}

TEST_F(TqConnLoopback, FailedTlsOpenLeavesNothingOpen) {
  // The peer is no TLS server: whatever the handshake says, the open fails
  // and owns no socket and no engine memory afterwards.
  ws_test::loopback_script s;
  s.send("HTTP/1.1 400 Bad Request\r\n\r\n").close();
  ws_test::loopback_server srv(s);
  ASSERT_TRUE(srv.ok());
  tq_url u = make_url("127.0.0.1", srv.port(), 1);
  tq_conn c;
  char err[256] = "";
  EXPECT_EQ(tq_conn_open(&c, &u, 2000, err, sizeof err), -1);
  EXPECT_NE(err[0], '\0');
  EXPECT_EQ(c.sock, TQ_NO_SOCKET);
  EXPECT_EQ(c.ssl, nullptr);
  EXPECT_EQ(c.iobuf, nullptr);
  EXPECT_EQ(c.x509, nullptr);
  EXPECT_EQ(c.tls_ready, 0);
  tq_conn_close(&c);
  tq_conn_close(&c);
}

// A cancelled search must give its thread back at once: whichever wait the
// exchange is in (connect, TLS handshake, reading the answer), signalling
// the thread's wake-up handle ends it long before its deadline, and the
// handle, once cleared, lets the next exchange wait normally.
TEST_F(TqConnLoopback, WakeUpHandleEndsEveryWaitOfItsThread) {
  ws_test::loopback_script stalled;
  stalled.stall();
  ws_test::loopback_server srv(stalled, 3);
  ASSERT_TRUE(srv.ok());
  ws_test::silent_listener sl;

  struct row {
    const char *stage;
    std::function<int(char *, size_t)> op;  // 0 would mean it succeeded
  };
  const row rows[] = {
      {"connect",
       [&](char *err, size_t n) {
         if (!sl.ok()) return -1;  // this kernel completes every connect
         tq_socket s = tq_connect_timeout("127.0.0.1", sl.port(), 60000, err, n);
         tq_plat_close(s);
         return s == TQ_NO_SOCKET ? -1 : 0;
       }},
      {"tls handshake",
       [&](char *err, size_t n) {
         tq_url u = make_url("127.0.0.1", srv.port(), 1);
         tq_conn c;
         int rc = tq_conn_open(&c, &u, 60000, err, n);
         tq_conn_close(&c);
         return rc;
       }},
      {"read",
       [&](char *err, size_t n) {
         tq_url u = make_url("127.0.0.1", srv.port(), 0);
         tq_conn c;
         if (tq_conn_open(&c, &u, 60000, err, n) != 0) return 0;
         int rc = tq_fill(&c, tq_now_ms() + 60000);
         tq_conn_close(&c);
         return rc;
       }},
  };
  tq_plat_wake *wake = tq_plat_wake_new();
  ASSERT_NE(wake, nullptr);
  for (const row &r : rows) {
    SCOPED_TRACE(r.stage);
    int rc = 0;
    int64_t took = 0;
    char err[256] = "";
    std::thread worker([&] {
      tq_plat_wake_adopt(wake);
      const int64_t t0 = tq_now_ms();
      rc = r.op(err, sizeof err);
      took = tq_now_ms() - t0;
      tq_plat_wake_adopt(nullptr);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    tq_plat_wake_signal(wake);
    worker.join();
    EXPECT_EQ(rc, -1);
    EXPECT_LT(took, 10000) << "the wait ran on to its deadline";
    tq_plat_wake_clear(wake);
  }
  // Cleared, the handle no longer ends waits: a live peer answers.
  ws_test::loopback_script answer;
  answer.send("ok").close();
  ws_test::loopback_server live(answer);
  tq_plat_wake_adopt(wake);
  tq_url u = make_url("127.0.0.1", live.port(), 0);
  tq_conn c;
  char err[256] = "";
  ASSERT_EQ(tq_conn_open(&c, &u, 2000, err, sizeof err), 0) << err;
  EXPECT_EQ(tq_fill(&c, tq_now_ms() + 2000), 1);
  tq_conn_close(&c);
  tq_plat_wake_adopt(nullptr);
  tq_plat_wake_free(wake);
  srv.stop();
}

}  // namespace
