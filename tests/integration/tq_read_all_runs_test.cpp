// tq_read_all copies Content-Length and until-close bodies a receive buffer
// at a time. It must end exactly where the byte reader (tq_raw_body_byte)
// ends: same body, same verdict, same counters, whether the bytes arrive
// with the head, in pieces, or past the limit.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "sdk/tq_http.h"
#include "support/loopback_server.h"
#include "support/process_probe.h"
#include "support/test_sockets.h"

namespace {

constexpr size_t kMiB4 = 4194304;

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('a' + i % 23);
  return s;
}

struct outcome {
  int rc = 0;  // 1 read whole, -1 refused
  std::string body;
  uint64_t body_bytes = 0;
  uint64_t remaining = 0;
  int eof = 0;
};

enum class reader { runs, bytes };

// One GET against a server that plays script; the body read by `how`.
outcome exchange(const ws_test::loopback_script &script, reader how) {
  outcome o;
  ws_test::loopback_server srv(script);
  EXPECT_TRUE(srv.ok());
  tq_url u;
  memset(&u, 0, sizeof u);
  snprintf(u.host, sizeof u.host, "127.0.0.1");
  u.port = srv.port();
  tq_conn c;
  char err[256] = "";
  if (tq_conn_open(&c, &u, 3000, err, sizeof err) != 0) {
    ADD_FAILURE() << err;
    return o;
  }
  tq_conn_guard closer(&c);
  if (tq_http_request(&c, "GET", "/", nullptr, nullptr, nullptr, 0, 5000, err, sizeof err) != 0) {
    ADD_FAILURE() << err;
    return o;
  }
  if (how == reader::runs) {
    char *out = nullptr;
    size_t len = 0;
    o.rc = tq_read_all(&c, &out, &len, 10000);
    if (o.rc == 1) {
      o.body.assign(out, len);
      EXPECT_EQ(out[len], '\0');
      free(out);
    }
  } else {
    const int64_t deadline = tq_now_ms() + 10000;
    unsigned char ch = 0;
    int r;
    while ((r = tq_raw_body_byte(&c, deadline, &ch)) == 1) o.body.push_back(static_cast<char>(ch));
    o.rc = r == 0 ? 1 : -1;
    if (r == 0) c.eof = 1;
    if (o.rc != 1) o.body.clear();
  }
  o.body_bytes = c.body_bytes;
  o.remaining = c.remaining;
  o.eof = c.eof;
  srv.stop();
  return o;
}

TEST(TqReadAllRuns, EndsWhereTheByteReaderEnds) {
  const std::string ok = "HTTP/1.1 200 OK\r\n";
  const std::string exact = pattern(kMiB4);
  const std::string over = pattern(kMiB4 + 1);
  struct row {
    const char *name;
    ws_test::loopback_script script;
    int rc;
    size_t len;  // body length when rc is 1
  };
  auto whole = [](const std::string &bytes) {
    return ws_test::loopback_script().read_request().send(bytes).close();
  };
  row rows[] = {
      {"length 0", whole(ok + "Content-Length: 0\r\n\r\n"), 1, 0},
      {"length with the head", whole(ok + "Content-Length: 5\r\n\r\nhello"), 1, 5},
      {"extra bytes after the length are not ours", whole(ok + "Content-Length: 3\r\n\r\nabcdefgh"),
       1, 3},
      {"length across many receives",
       whole(ok + "Content-Length: 100000\r\n\r\n" + pattern(100000)), 1, 100000},
      {"length in trickled pieces",
       ws_test::loopback_script()
           .read_request()
           .send(ok + "Content-Length: 40\r\n\r\n")
           .trickle(pattern(40), 7, 2)
           .close(),
       1, 40},
      {"short length body is refused", whole(ok + "Content-Length: 10\r\n\r\nabc"), -1, 0},
      {"length exactly 4 MiB", whole(ok + "Content-Length: 4194304\r\n\r\n" + exact), 1, kMiB4},
      {"length one past 4 MiB", whole(ok + "Content-Length: 4194305\r\n\r\n" + over), -1, 0},
      {"until close", whole(ok + "\r\n" + pattern(70000)), 1, 70000},
      {"until close, nothing", whole(ok + "\r\n"), 1, 0},
      {"until close exactly 4 MiB", whole(ok + "\r\n" + exact), 1, kMiB4},
      {"until close one past 4 MiB", whole(ok + "\r\n" + over), -1, 0},
      {"until a reset", ws_test::loopback_script().read_request().send(ok + "\r\nabc").reset(), -1,
       0},
  };
  for (row &r : rows) {
    SCOPED_TRACE(r.name);
    if (strcmp(r.name, "until a reset") == 0 && !ws_test::sock_recv_sees_reset()) {
      std::cout << "row \"" << r.name << "\" skipped: recv does not see resets here (Wine)\n";
      continue;
    }
    const outcome runs = exchange(r.script, reader::runs);
    const outcome bytes = exchange(r.script, reader::bytes);
    EXPECT_EQ(runs.rc, r.rc);
    EXPECT_EQ(bytes.rc, r.rc);
    if (r.rc == 1) {
      EXPECT_EQ(runs.body.size(), r.len);
      EXPECT_TRUE(runs.body == bytes.body) << "the bodies differ";
      EXPECT_EQ(runs.eof, 1);
    }
    // A reset may arrive before or after the bytes it follows; everything
    // else is read to the same point by both readers.
    if (strcmp(r.name, "until a reset") != 0) {
      EXPECT_EQ(runs.body_bytes, bytes.body_bytes);
      EXPECT_EQ(runs.remaining, bytes.remaining);
    }
  }
}

}  // namespace
