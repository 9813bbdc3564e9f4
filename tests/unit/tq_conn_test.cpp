// The connection layer's pieces that need no server: the clock, the waits,
// the low-level transfers, sending, refilling and closing, over a socket pair.
#include "sdk/tq_conn.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "support/process_probe.h"
#include "support/test_sockets.h"

namespace {

// Both ends non-blocking, as the SDK's own sockets are.
struct sock_pair {
  tq_socket a = TQ_NO_SOCKET;  // handed to the SDK
  tq_socket b = TQ_NO_SOCKET;  // the test's end
  sock_pair() {
    tq_socket fds[2];
    if (ws_test::sock_pair(fds)) {
      a = fds[0];
      b = fds[1];
    }
  }
  ~sock_pair() {
    tq_plat_close(a);
    tq_plat_close(b);
  }
  void close_b() {
    tq_plat_close(b);
    b = TQ_NO_SOCKET;
  }
};

// The test's end of a pair: one send or recv, as the SDK's own calls make it.
ptrdiff_t put(tq_socket s, const std::string &bytes) {
  return tq_plat_send(s, bytes.data(), bytes.size());
}
ptrdiff_t get(tq_socket s, char *buf, size_t n) {
  return tq_plat_recv(s, buf, n);
}

// A plain record around an existing socket; the pair keeps ownership.
void plain_conn(tq_conn *c, tq_socket sock) {
  memset(c, 0, sizeof *c);
  c->sock = sock;
}

TEST(TqClock, MonotonicAndInMilliseconds) {
  int64_t t0 = tq_now_ms();
  int64_t prev = t0;
  for (int i = 0; i < 1000; i++) {
    int64_t t = tq_now_ms();
    ASSERT_GE(t, prev);
    prev = t;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  int64_t t1 = tq_now_ms();
  // Milliseconds, not seconds or microseconds; loose on a loaded machine.
  EXPECT_GE(t1 - t0, 45);
  EXPECT_LT(t1 - t0, 5000);
}

TEST(TqWait, ReadinessAndDeadlines) {
  sock_pair p;
  ASSERT_NE(p.a, TQ_NO_SOCKET);

  // An empty stream is writable at once and not readable.
  EXPECT_EQ(tq_wait_writable(p.a, tq_now_ms() + 1000), 1);
  int64_t t0 = tq_now_ms();
  EXPECT_EQ(tq_wait_readable(p.a, t0 + 80), 0);
  int64_t waited = tq_now_ms() - t0;
  EXPECT_GE(waited, 70);
  EXPECT_LT(waited, 3000);

  ASSERT_EQ(put(p.b, "x"), 1);
  EXPECT_EQ(tq_wait_readable(p.a, tq_now_ms() + 1000), 1);
  // A deadline that has passed reports "not ready" even for a ready socket.
  EXPECT_EQ(tq_wait_readable(p.a, tq_now_ms() - 1), 0);
  EXPECT_EQ(tq_wait_writable(p.a, tq_now_ms()), 0);
  // No socket, no wait.
  EXPECT_EQ(tq_wait_readable(TQ_NO_SOCKET, tq_now_ms() + 1000), 0);
  EXPECT_EQ(tq_wait_writable(TQ_NO_SOCKET, tq_now_ms() + 1000), 0);
}

TEST(TqWait, PeerCloseCountsAsReadable) {
  sock_pair p;
  ASSERT_NE(p.a, TQ_NO_SOCKET);
  p.close_b();
  EXPECT_EQ(tq_wait_readable(p.a, tq_now_ms() + 1000), 1);
}

TEST(TqLowIo, TransfersAndFailures) {
  sock_pair p;
  ASSERT_NE(p.a, TQ_NO_SOCKET);
  tq_conn c;
  plain_conn(&c, p.a);
  c.deadline_ms = tq_now_ms() + 1000;

  EXPECT_EQ(tq_low_write(&c, reinterpret_cast<const unsigned char *>("hello"), 5), 5);
  char got[8] = {};
  ASSERT_EQ(get(p.b, got, sizeof got), 5);
  EXPECT_STREQ(got, "hello");

  ASSERT_EQ(put(p.b, "abc"), 3);
  unsigned char buf[16];
  EXPECT_EQ(tq_low_read(&c, buf, 2), 2);  // one call, at most the requested length
  EXPECT_EQ(tq_low_read(&c, buf, sizeof buf), 1);
  EXPECT_EQ(buf[0], 'c');

  // Nothing arrives before the deadline.
  c.deadline_ms = tq_now_ms() + 50;
  EXPECT_EQ(tq_low_read(&c, buf, sizeof buf), -1);
  // A clean close by the peer reaches the TLS engine as a failure.
  p.close_b();
  c.deadline_ms = tq_now_ms() + 1000;
  EXPECT_EQ(tq_low_read(&c, buf, sizeof buf), -1);

  tq_conn none;
  plain_conn(&none, TQ_NO_SOCKET);
  none.deadline_ms = tq_now_ms() + 1000;
  EXPECT_EQ(tq_low_read(&none, buf, sizeof buf), -1);
  EXPECT_EQ(tq_low_write(&none, buf, 1), -1);
}

TEST(TqSendAll, PlainPaths) {
  sock_pair p;
  ASSERT_NE(p.a, TQ_NO_SOCKET);
  tq_conn c;
  plain_conn(&c, p.a);
  char err[128] = "untouched";

  EXPECT_EQ(tq_send_all(&c, "GET", 3, 1000, err, sizeof err), 0);
  EXPECT_STREQ(err, "untouched");
  char got[8] = {};
  ASSERT_EQ(get(p.b, got, sizeof got), 3);
  EXPECT_STREQ(got, "GET");

  // Nothing to send succeeds even without a socket; something to send does not.
  tq_conn none;
  plain_conn(&none, TQ_NO_SOCKET);
  EXPECT_EQ(tq_send_all(&none, "", 0, 1000, err, sizeof err), 0);
  EXPECT_STREQ(err, "untouched");
  EXPECT_EQ(tq_send_all(&none, "x", 1, 1000, err, sizeof err), -1);
  EXPECT_STREQ(err, "send timeout");

  // The peer never reads: the socket buffer fills and the deadline ends it.
  std::string big(8 << 20, 'z');
  int64_t t0 = tq_now_ms();
  EXPECT_EQ(tq_send_all(&c, big.data(), big.size(), 150, err, sizeof err), -1);
  EXPECT_STREQ(err, "send timeout");
  EXPECT_LT(tq_now_ms() - t0, 5000);

  // The default budget is set when the caller passes none.
  int64_t before = tq_now_ms();
  EXPECT_EQ(tq_send_all(&c, "", 0, 0, err, sizeof err), 0);
  EXPECT_GE(c.deadline_ms, before + 15000);
  EXPECT_LE(c.deadline_ms, tq_now_ms() + 15000);
}

TEST(TqSendAll, ClosedPeerFailsAtOnceInsteadOfSpinning) {
  sock_pair p;
  ASSERT_NE(p.a, TQ_NO_SOCKET);
  tq_conn c;
  plain_conn(&c, p.a);
#ifdef _WIN32
  // Winsock has no socket pairs, and a TCP peer that closed in order still
  // takes a few bytes; one that reset the connection fails the next send.
  ws_test::sock_close_reset(p.b);
  p.b = TQ_NO_SOCKET;
  const int closed_peer = ws_test::SOCK_ERR_CONNRESET;
#else
  p.close_b();
  const int closed_peer = ws_test::SOCK_ERR_PIPE;
#endif
  char err[128] = "";
  int64_t t0 = tq_now_ms();
  EXPECT_EQ(tq_send_all(&c, "data", 4, 10000, err, sizeof err), -1);
  EXPECT_EQ(std::string(err), "send failed (errno " + std::to_string(closed_peer) + ")");
  EXPECT_LT(tq_now_ms() - t0, 5000);
}

TEST(TqFill, DataCleanEndTimeoutAndNoSocket) {
  sock_pair p;
  ASSERT_NE(p.a, TQ_NO_SOCKET);
  tq_conn c;
  plain_conn(&c, p.a);
  c.rpos = 7;

  EXPECT_EQ(tq_fill(&c, tq_now_ms() + 50), -1);  // nothing yet: time-out

  ASSERT_EQ(put(p.b, "abcd"), 4);
  EXPECT_EQ(tq_fill(&c, tq_now_ms() + 1000), 1);
  EXPECT_EQ(c.rpos, 0u);
  EXPECT_EQ(c.rlen, 4u);
  EXPECT_EQ(std::string(reinterpret_cast<char *>(c.rbuf), c.rlen), "abcd");

  // More than the buffer holds arrives in buffer-sized refills.
  std::string big(20000, 'q');
  ASSERT_EQ(put(p.b, big), static_cast<ptrdiff_t>(big.size()));
  EXPECT_EQ(tq_fill(&c, tq_now_ms() + 1000), 1);
  EXPECT_EQ(c.rlen, sizeof c.rbuf);
  EXPECT_EQ(tq_fill(&c, tq_now_ms() + 1000), 1);
  EXPECT_EQ(c.rlen, big.size() - sizeof c.rbuf);

  p.close_b();
  EXPECT_EQ(tq_fill(&c, tq_now_ms() + 1000), 0);

  tq_conn none;
  plain_conn(&none, TQ_NO_SOCKET);
  EXPECT_EQ(tq_fill(&none, tq_now_ms() + 1000), -1);
}

TEST(TqConnClose, ClosesOnceFreesEverythingAndIsSafeTwice) {
  int before = ws_test::open_fd_count();
  {
    tq_socket fds[2];
    ASSERT_TRUE(ws_test::sock_pair(fds));
    // The probe sees both new sockets, so it can see one that is left open.
    ASSERT_EQ(ws_test::open_fd_count(), before + 2);
    tq_conn c;
    plain_conn(&c, fds[0]);
    // TLS memory that a handshake left behind without finishing: freed
    // without a close notification (the sanitizer build reports any leak).
    c.tls = 1;
    c.ssl = static_cast<br_ssl_client_context *>(malloc(sizeof(br_ssl_client_context)));
    c.x509 = malloc(64);
    c.knownkey = static_cast<br_x509_knownkey_context *>(malloc(sizeof(br_x509_knownkey_context)));
    c.iobuf = static_cast<unsigned char *>(malloc(BR_SSL_BUFSIZE_BIDI));
    c.anchors = static_cast<br_x509_trust_anchor *>(malloc(sizeof(br_x509_trust_anchor) * 2));
    c.anchor_count = 2;

    tq_conn_close(&c);
    EXPECT_EQ(c.sock, TQ_NO_SOCKET);
    EXPECT_EQ(c.ssl, nullptr);
    EXPECT_EQ(c.x509, nullptr);
    EXPECT_EQ(c.knownkey, nullptr);
    EXPECT_EQ(c.iobuf, nullptr);
    EXPECT_EQ(c.anchors, nullptr);
    EXPECT_EQ(c.anchor_count, 0u);
    EXPECT_EQ(c.tls_ready, 0);
    // The peer sees the end of the stream: the socket really was closed.
    char b;
    EXPECT_EQ(get(fds[1], &b, 1), 0);

    // A socket opened meanwhile must survive a second close of the record.
    int port = 0;
    tq_socket other = ws_test::sock_bind_loopback(&port);
    ASSERT_NE(other, TQ_NO_SOCKET);
    tq_conn_close(&c);
    EXPECT_TRUE(ws_test::sock_is_open(other));
    EXPECT_EQ(c.sock, TQ_NO_SOCKET);
    tq_plat_close(other);
    tq_plat_close(fds[1]);
  }
  EXPECT_EQ(ws_test::open_fd_count(), before);
}

TEST(TqConnClose, GuardClosesOnScopeExit) {
  tq_socket fds[2];
  ASSERT_TRUE(ws_test::sock_pair(fds));
  tq_conn c;
  plain_conn(&c, fds[0]);
  { tq_conn_guard g(&c); }
  EXPECT_EQ(c.sock, TQ_NO_SOCKET);
  char b;
  EXPECT_EQ(get(fds[1], &b, 1), 0);
  tq_plat_close(fds[1]);
}

}  // namespace
