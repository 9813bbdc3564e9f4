// HTTP/1.1 exchanges against a scripted loopback server: the request bytes
// as they leave, every way a response head and body can be framed, every
// limit at its boundary and one past it, time-outs, and the line reader.
#include "sdk/tq_http.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/loopback_server.h"
#include "support/process_probe.h"

namespace {

constexpr size_t kMiB4 = 4194304;

std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

std::string hex(size_t v) {
  char b[32];
  snprintf(b, sizeof b, "%zx", v);
  return b;
}

const char kOk200[] = "HTTP/1.1 200 OK\r\n";

struct body_result {
  int rc;
  std::string body;
  bool nul_terminated;
};

class TqHttp : public ::testing::Test {
 protected:
  void SetUp() override {
    fds_before_ = ws_test::open_fd_count();
    memset(&c_, 0, sizeof c_);
    c_.sock = TQ_NO_SOCKET;
  }
  void TearDown() override {
    tq_conn_close(&c_);
    srv_.reset();
    EXPECT_EQ(ws_test::open_fd_count(), fds_before_) << "descriptor leak";
  }

  // Starts a server that plays script and opens a plain connection to it.
  void serve(ws_test::loopback_script script) {
    tq_conn_close(&c_);
    srv_.reset();
    srv_ = std::make_unique<ws_test::loopback_server>(std::move(script));
    ASSERT_TRUE(srv_->ok());
    tq_url u;
    memset(&u, 0, sizeof u);
    snprintf(u.host, sizeof u.host, "127.0.0.1");
    u.port = srv_->port();
    char err[256] = "";
    ASSERT_EQ(tq_conn_open(&c_, &u, 2000, err, sizeof err), 0) << err;
  }

  int request(const char *method = "GET", const char *path = "/", const char *extra = nullptr,
              const char *bearer = nullptr, const void *body = nullptr, size_t body_len = 0,
              int timeout_ms = 3000) {
    err_[0] = '\0';
    return tq_http_request(&c_, method, path, extra, bearer, body, body_len, timeout_ms, err_,
                           sizeof err_);
  }

  // One GET answered by response, the server then closing in order.
  int get(const std::string &response, int timeout_ms = 3000) {
    ws_test::loopback_script s;
    s.read_request().send(response).close();
    serve(s);
    if (HasFatalFailure()) return -2;
    return request("GET", "/", nullptr, nullptr, nullptr, 0, timeout_ms);
  }

  body_result read_all(int timeout_ms = 3000) {
    char sentinel = 0;
    char *out = &sentinel;
    size_t len = 12345;
    body_result r{tq_read_all(&c_, &out, &len, timeout_ms), "", false};
    if (r.rc == 1) {
      r.body.assign(out, len);
      r.nul_terminated = out[len] == '\0';
      free(out);
    } else {
      EXPECT_EQ(out, &sentinel) << "output touched on failure";
      EXPECT_EQ(len, 12345u) << "length touched on failure";
    }
    return r;
  }

  // What the server read, once it has finished with the connection.
  std::string recorded() {
    tq_conn_close(&c_);
    EXPECT_TRUE(srv_->wait_finished(5000));
    std::vector<std::string> r = srv_->requests();
    return r.empty() ? "<no request step ran>" : r[0];
  }

  std::string host_line() const { return "Host: 127.0.0.1:" + std::to_string(srv_->port()); }

  tq_conn c_;
  char err_[512];
  std::unique_ptr<ws_test::loopback_server> srv_;
  int fds_before_ = 0;
};

// --- the request ---------------------------------------------------------------

TEST_F(TqHttp, RequestBytesInTheirOrder) {
  const std::string fixed =
      "\r\nUser-Agent: tq-connector-sdk/1.0\r\nAccept: */*\r\nConnection: close\r\n";
  struct row {
    const char *name;
    const char *method;
    const char *path;
    const char *extra;
    const char *bearer;
    const char *body;
    size_t body_len;
    std::string tail;  // everything after the fixed lines
  };
  const row rows[] = {
      {"plain get", "GET", "/search?q=a%20b", nullptr, nullptr, nullptr, 0, "\r\n"},
      {"post with everything", "POST", "/v1", "X-A: 1\r\nX-B: 2\r\n", "tok", "hello", 5,
       "Authorization: Bearer tok\r\nX-A: 1\r\nX-B: 2\r\nContent-Length: 5\r\n\r\nhello"},
      {"empty bearer and headers add nothing", "GET", "/", "", "", nullptr, 0, "\r\n"},
      {"body of length 0 sends no Content-Length", "POST", "/", nullptr, nullptr, "hello", 0,
       "\r\n"},
      {"null body sends no Content-Length", "POST", "/", nullptr, nullptr, nullptr, 5, "\r\n"},
      {"binary body is sent whole", "PUT", "/b", nullptr, nullptr, "a\0b\r\n", 5,
       std::string("Content-Length: 5\r\n\r\na\0b\r\n", 26)},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    ws_test::loopback_script s;
    s.read_request().send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    serve(s);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_EQ(request(r.method, r.path, r.extra, r.bearer, r.body, r.body_len), 0) << err_;
    EXPECT_EQ(c_.status, 200);
    EXPECT_EQ(recorded(), std::string(r.method) + " " + r.path + " HTTP/1.1\r\n" + host_line() +
                              fixed + r.tail);
  }
}

TEST_F(TqHttp, HostCarriesThePortOnlyWhenItIsNotTheSchemeDefault) {
  struct row {
    int tls;
    int port;
    const char *host;
  };
  const row rows[] = {{0, 80, "127.0.0.1"},        {1, 443, "127.0.0.1"},
                      {1, 8443, "127.0.0.1:8443"}, {0, 443, "127.0.0.1:443"},
                      {1, 80, "127.0.0.1:80"},     {0, 8080, "127.0.0.1:8080"}};
  for (const row &r : rows) {
    SCOPED_TRACE(r.host);
    ws_test::loopback_script s;
    s.read_request().send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    serve(s);
    ASSERT_FALSE(HasFatalFailure());
    // The record as an open to that URL would leave it; the bytes still go
    // out in the clear because no TLS session was set up.
    c_.tls = r.tls;
    c_.port = r.port;
    ASSERT_EQ(request(), 0) << err_;
    EXPECT_EQ(recorded(), std::string("GET / HTTP/1.1\r\nHost: ") + r.host +
                              "\r\nUser-Agent: tq-connector-sdk/1.0\r\nAccept: */*\r\n"
                              "Connection: close\r\n\r\n");
  }
}

TEST_F(TqHttp, RequestHeadLimitAndNothingSentWhenTooLarge) {
  // Head length without extra lines; the filler line makes it exactly n.
  auto base_len = [this](bool with_body) {
    std::string b = "GET / HTTP/1.1\r\n" + host_line() +
                    "\r\nUser-Agent: tq-connector-sdk/1.0\r\nAccept: */*\r\nConnection: close\r\n";
    return b.size() + (with_body ? strlen("Content-Length: 3\r\n\r\n") : 2);
  };
  struct row {
    size_t head_len;
    bool with_body;
    bool fits;
  };
  for (const row &r : {row{8191, false, true}, row{8192, false, false}, row{8191, true, true},
                       row{8192, true, false}, row{20000, false, false}}) {
    SCOPED_TRACE(std::to_string(r.head_len) + (r.with_body ? " with body" : ""));
    ws_test::loopback_script s;
    s.read_request().send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n");
    serve(s);
    ASSERT_FALSE(HasFatalFailure());
    size_t pad = r.head_len - base_len(r.with_body) - strlen("X-Pad: \r\n");
    std::string extra = "X-Pad: " + std::string(pad, 'p') + "\r\n";
    int rc = request("GET", "/", extra.c_str(), nullptr, r.with_body ? "abc" : nullptr,
                     r.with_body ? 3 : 0);
    if (r.fits) {
      EXPECT_EQ(rc, 0) << err_;
      std::string got = recorded();
      EXPECT_EQ(got.size(), r.head_len + (r.with_body ? 3 : 0));
      EXPECT_NE(got.find(extra), std::string::npos);
    } else {
      EXPECT_EQ(rc, -1);
      EXPECT_STREQ(err_, "request too large");
      EXPECT_EQ(recorded(), "");  // not one byte reached the server
    }
  }
}

TEST_F(TqHttp, LineBreakInRequestLineOrTokenIsRefusedBeforeSending) {
  struct row {
    const char *method;
    const char *path;
    const char *bearer;
  };
  for (const row &r :
       {row{"GET", "/a\r\nX-Injected: 1", nullptr}, row{"GET", "/a\nX-Injected: 1", nullptr},
        row{"GET\r\nX: y\r\n", "/", nullptr}, row{"GET", "/", "tok\r\nX-Injected: 1"}}) {
    SCOPED_TRACE(r.path);
    ws_test::loopback_script s;
    s.read_request();
    serve(s);
    ASSERT_FALSE(HasFatalFailure());
    EXPECT_EQ(request(r.method, r.path, nullptr, r.bearer), -1);
    EXPECT_STREQ(err_, "line break in request");
    EXPECT_EQ(recorded(), "");
  }
}

// --- the response head and body framing ----------------------------------------

struct response_row {
  const char *name;
  std::string response;  // sent after the request was read, then an orderly close
  int request_rc;
  const char *err;  // for request_rc -1
  int status;
  int body_rc;
  std::string body;
};

std::vector<response_row> response_rows() {
  const std::string te = std::string(kOk200) + "Transfer-Encoding: chunked\r\n\r\n";
  const std::string pad31 = std::string(30, '0') + "5";
  return {
      {"content-length, extra bytes ignored",
       std::string(kOk200) + "Content-Length: 5\r\n\r\nhelloEXTRA", 0, "", 200, 1, "hello"},
      {"http/1.0 and another status", "HTTP/1.0 404 Not Found\r\nContent-Length: 2\r\n\r\nno", 0,
       "", 404, 1, "no"},
      {"bare LF lines, CR dropped anywhere, blanks before the value",
       "HTTP/1.1 2\r00 OK\nContent-Le\rngth:\t 2\n\nhi", 0, "", 200, 1, "hi"},
      {"header names ignore case", "HTTP/1.1 201 Created\r\ncontent-LENGTH: 3\r\n\r\nabc", 0, "",
       201, 1, "abc"},
      {"line without colon ignored", std::string(kOk200) + "junk\r\nContent-Length: 2\r\n\r\nok", 0,
       "", 200, 1, "ok"},
      {"content-length 0", std::string(kOk200) + "Content-Length: 0\r\n\r\nignored", 0, "", 200, 1,
       ""},
      {"until close", std::string(kOk200) + "Server: t\r\n\r\nall of it\r\nand more", 0, "", 200, 1,
       "all of it\r\nand more"},
      {"204 with content-length is empty",
       "HTTP/1.1 204 No Content\r\nContent-Length: 5\r\n\r\nhello", 0, "", 204, 1, ""},
      {"304 with chunked is empty",
       "HTTP/1.1 304 Not Modified\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", 0,
       "", 304, 1, ""},
      {"chunked", te + "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", 0, "", 200, 1, "hello world"},
      {"chunk extension, upper and lower hex",
       te + "A;name=v\r\n0123456789\r\na\r\nabcdefghij\r\n0\r\n\r\n", 0, "", 200, 1,
       "0123456789abcdefghij"},
      {"chunked last in a list",
       std::string(kOk200) + "Transfer-Encoding: gzip, chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", 0, "",
       200, 1, "ok"},
      {"Chunked capitalised",
       std::string(kOk200) + "Transfer-Encoding: Chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", 0, "", 200,
       1, "ok"},
      {"CHUNKED is not recognised: raw body",
       std::string(kOk200) + "Transfer-Encoding: CHUNKED\r\n\r\n2\r\nok\r\n0\r\n\r\n", 0, "", 200,
       1, "2\r\nok\r\n0\r\n\r\n"},
      {"chunked then content-length: content-length wins",
       std::string(kOk200) +
           "Transfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       0, "", 200, 1, "5\r\n"},
      {"content-length then chunked: chunked wins",
       std::string(kOk200) +
           "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
       0, "", 200, 1, "hello"},
      {"trailer after the last chunk", te + "3\r\nabc\r\n0\r\nX-Trailer: 1\r\n\r\n", 0, "", 200, 1,
       "abc"},
      {"last chunk missing, clean end between chunks", te + "5\r\nhello\r\n", 0, "", 200, 1,
       "hello"},
      {"size line without digits ends the body", te + "zz\r\n\r\n", 0, "", 200, 1, ""},
      {"31-character size line", te + pad31 + "\r\nhello\r\n0\r\n\r\n", 0, "", 200, 1, "hello"},
      {"31 characters and CRs, which do not count", te + pad31 + "\r\r\r\nhello\r\n0\r\n\r\n", 0,
       "", 200, 1, "hello"},
      {"31 characters with an extension",
       te + "5;" + std::string(29, 'x') + "\r\nhello\r\n0\r\n\r\n", 0, "", 200, 1, "hello"},
      {"32-character size line", te + "0" + pad31 + "\r\nhello\r\n0\r\n\r\n", 0, "", 200, -1, ""},
      {"size that would wrap around 64 bits", te + "10000000000000005\r\nhello\r\n0\r\n\r\n", 0, "",
       200, -1, ""},
      {"chunk over 4 MiB", te + "400001\r\nhello\r\n0\r\n\r\n", 0, "", 200, -1, ""},
      {"stream ends inside chunk data", te + "5\r\nhel", 0, "", 200, -1, ""},
      {"stream ends before the CRLF after data", te + "5\r\nhello\r", 0, "", 200, -1, ""},
      {"content-length body cut short", std::string(kOk200) + "Content-Length: 10\r\n\r\nhello", 0,
       "", 200, -1, ""},
      {"content-length beyond 32 bits saturates",
       std::string(kOk200) + "Content-Length: 99999999999\r\n\r\nabc", 0, "", 200, -1, ""},
      {"HTTP/2", "HTTP/2 200 OK\r\n\r\n", -1, "bad status line", 0, 0, ""},
      {"lower-case protocol", "http/1.1 200 OK\r\n\r\n", -1, "bad status line", 0, 0, ""},
      {"no space after the version", "HTTP/1.1200 OK\r\n\r\n", -1, "bad status line", 0, 0, ""},
      {"HTTP/1.2", "HTTP/1.2 200 OK\r\n\r\n", -1, "bad status line", 0, 0, ""},
      {"status without a reason", "HTTP/1.1 200\r\nContent-Length: 2\r\n\r\nok", 0, "", 200, 1,
       "ok"},
      {"lowest status", "HTTP/1.0 100 Continue\r\nContent-Length: 0\r\n\r\n", 0, "", 100, 1, ""},
      {"highest status", "HTTP/1.1 599 X\r\nContent-Length: 0\r\n\r\n", 0, "", 599, 1, ""},
      {"reason without a status", "HTTP/1.1 OK\r\nContent-Length: 0\r\n\r\n", -1, "bad status line",
       0, 0, ""},
      {"letters for a status", "HTTP/1.1 abc\r\n\r\nbody", -1, "bad status line", 0, 0, ""},
      {"negative status", "HTTP/1.1 -500 X\r\n\r\n", -1, "bad status line", 0, 0, ""},
      {"no status", "HTTP/1.1 \r\n\r\n", -1, "bad status line", 0, 0, ""},
      {"two digits", "HTTP/1.1 20 OK\r\n\r\n", -1, "bad status line", 0, 0, ""},
      {"four digits", "HTTP/1.1 2000 OK\r\n\r\n", -1, "bad status line", 0, 0, ""},
      {"digits run into the reason", "HTTP/1.1 200OK\r\n\r\n", -1, "bad status line", 0, 0, ""},
      {"status 099", "HTTP/1.1 099 X\r\n\r\n", -1, "bad status line", 0, 0, ""},
      {"status 600", "HTTP/1.1 600 X\r\n\r\n", -1, "bad status line", 0, 0, ""},
      {"space before the status", "HTTP/1.1  200 OK\r\n\r\n", -1, "bad status line", 0, 0, ""},
      {"blank line before the status line", "\r\nHTTP/1.1 200 OK\r\n\r\n", -1, "bad status line", 0,
       0, ""},
      {"close inside the head", std::string(kOk200) + "Content-Length: 5\r\n", -1,
       "timeout reading response headers", 0, 0, ""},
      {"close before any byte", "", -1, "timeout reading response headers", 0, 0, ""},
  };
}

TEST_F(TqHttp, ResponseFramingTable) {
  for (const response_row &r : response_rows()) {
    SCOPED_TRACE(r.name);
    ASSERT_EQ(get(r.response), r.request_rc) << err_;
    if (r.request_rc != 0) {
      EXPECT_STREQ(err_, r.err);
      continue;
    }
    EXPECT_EQ(c_.status, r.status);
    body_result b = read_all();
    EXPECT_EQ(b.rc, r.body_rc);
    if (b.rc == 1) {
      EXPECT_EQ(b.body, r.body);
      EXPECT_TRUE(b.nul_terminated);
      EXPECT_EQ(c_.eof, 1);
      // A finished body reads as empty, again and again.
      body_result again = read_all();
      EXPECT_EQ(again.rc, 1);
      EXPECT_EQ(again.body, "");
    }
  }
}

TEST_F(TqHttp, ResponseFramingSurvivesATrickle) {
  // Every byte in its own segment: the head and the chunked decoder must
  // carry their state across refills.
  const std::string resp =
      std::string(kOk200) +
      "Transfer-Encoding: chunked\r\n\r\n5;x=1\r\nhello\r\n1\r\n!\r\n0\r\n\r\n";
  ws_test::loopback_script s;
  s.read_request().trickle(resp, 1, 1).close();
  serve(s);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(request(), 0) << err_;
  EXPECT_EQ(c_.status, 200);
  body_result b = read_all();
  EXPECT_EQ(b.rc, 1);
  EXPECT_EQ(b.body, "hello!");
}

TEST_F(TqHttp, HeadLinesKeep8191Bytes) {
  // "chunked" as the last 7 bytes of a line of 8191 bytes is seen; one byte
  // later its "d" is cut off and the body is read raw.
  const std::string framing = "3\r\nabc\r\n0\r\n\r\n";
  const std::string name = "Transfer-Encoding: ";
  for (size_t line_len : {size_t{8191}, size_t{8192}}) {
    SCOPED_TRACE(line_len);
    std::string line = name + std::string(line_len - name.size() - 7, 'x') + "chunked";
    ASSERT_EQ(line.size(), line_len);
    ASSERT_EQ(get(std::string(kOk200) + line + "\r\n\r\n" + framing), 0) << err_;
    body_result b = read_all();
    EXPECT_EQ(b.rc, 1);
    EXPECT_EQ(b.body, line_len == 8191 ? "abc" : framing);
  }
  // A far longer line is cut, not refused, and the head goes on after it.
  ASSERT_EQ(get(std::string(kOk200) + "X-Big: " + std::string(100000, 'b') +
                "\r\nContent-Length: 2\r\n\r\nok"),
            0)
      << err_;
  EXPECT_EQ(read_all().body, "ok");
}

// --- limits of the body ----------------------------------------------------------

TEST_F(TqHttp, BodyLimitAtFourMebibytesAndOneByteMore) {
  struct row {
    const char *name;
    std::string response;
    int rc;
    size_t len;
  };
  const std::string exact = pattern(kMiB4);
  const std::string over = pattern(kMiB4 + 1);
  // One chunk whose framing brings the raw count through "0\r\n" to n bytes:
  // 8 bytes of size line, the data, CRLF, "0\r\n".
  auto chunked = [](size_t data_len) {
    return std::string(kOk200) + "Transfer-Encoding: chunked\r\n\r\n" + hex(data_len) + "\r\n" +
           pattern(data_len) + "\r\n0\r\n\r\n";
  };
  const size_t chunk_fits = kMiB4 - 8 - 2 - 3;  // 4194291: raw bytes exactly at the limit
  const row rows[] = {
      {"content-length exactly 4 MiB",
       std::string(kOk200) + "Content-Length: " + std::to_string(kMiB4) + "\r\n\r\n" + exact, 1,
       kMiB4},
      {"content-length one more",
       std::string(kOk200) + "Content-Length: " + std::to_string(kMiB4 + 1) + "\r\n\r\n" + over, -1,
       0},
      {"until close exactly 4 MiB", std::string(kOk200) + "\r\n" + exact, 1, kMiB4},
      {"until close one more", std::string(kOk200) + "\r\n" + over, -1, 0},
      {"chunk framing counts: at the limit", chunked(chunk_fits), 1, chunk_fits},
      {"chunk framing counts: one more", chunked(chunk_fits + 1), -1, 0},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    ASSERT_EQ(get(r.response, 10000), 0) << err_;
    body_result b = read_all(20000);
    EXPECT_EQ(b.rc, r.rc);
    if (r.rc == 1) {
      EXPECT_EQ(b.body.size(), r.len);
      EXPECT_TRUE(b.body == pattern(r.len)) << "body differs";
      EXPECT_TRUE(b.nul_terminated);
    }
  }
}

TEST_F(TqHttp, ChunkOfExactly4MiBIsAcceptedAndOneMoreRefused) {
  // Told apart by the line reader: the accepted chunk delivers its first
  // line before the stream ends inside it.
  for (const char *size : {"400000", "400001"}) {
    SCOPED_TRACE(size);
    ASSERT_EQ(get(std::string(kOk200) + "Transfer-Encoding: chunked\r\n\r\n" + size +
                  "\r\nfirst\nsecond"),
              0)
        << err_;
    char line[64];
    int rc = tq_read_line(&c_, line, sizeof line, 3000);
    if (strcmp(size, "400000") == 0) {
      EXPECT_EQ(rc, 1);
      EXPECT_STREQ(line, "first");
      EXPECT_EQ(tq_read_line(&c_, line, sizeof line, 3000), -1);  // ends inside the chunk
    } else {
      EXPECT_EQ(rc, -1);
    }
  }
}

TEST_F(TqHttp, RawBodyByteCountsAndStopsAtContentLength) {
  ASSERT_EQ(get(std::string(kOk200) + "Content-Length: 3\r\n\r\nabcdef"), 0) << err_;
  EXPECT_EQ(c_.body_mode, 1);
  EXPECT_EQ(c_.remaining, 3u);
  std::string got;
  unsigned char ch = 0;
  int64_t deadline = tq_now_ms() + 3000;
  while (tq_raw_body_byte(&c_, deadline, &ch) == 1) got.push_back(static_cast<char>(ch));
  EXPECT_EQ(got, "abc");
  EXPECT_EQ(c_.remaining, 0u);
  EXPECT_EQ(c_.body_bytes, 3u);
  EXPECT_EQ(tq_raw_body_byte(&c_, deadline, &ch), 0);
}

// --- time-outs ----------------------------------------------------------------------

TEST_F(TqHttp, TimeOutsWithShortBudgets) {
  struct row {
    const char *name;
    ws_test::loopback_script script;
    bool head_fails;
  };
  std::vector<row> rows;
  {
    ws_test::loopback_script s;
    s.read_request().send(kOk200).stall();
    rows.push_back({"head never completes", s, true});
  }
  {
    // Each byte comes well within the budget, the whole head does not: one
    // deadline covers all of it.
    ws_test::loopback_script s;
    s.read_request().trickle(std::string(kOk200) + "Content-Length: 0\r\n\r\n", 1, 25).stall();
    rows.push_back({"head trickles past the deadline", s, true});
  }
  {
    ws_test::loopback_script s;
    s.read_request().send(std::string(kOk200) + "Content-Length: 10\r\n\r\nabc").stall();
    rows.push_back({"body never completes", s, false});
  }
  {
    ws_test::loopback_script s;
    s.read_request()
        .send(std::string(kOk200) + "\r\n")
        .trickle(std::string(40, 'b'), 2, 25)
        .stall();
    rows.push_back({"body trickles past the deadline", s, false});
  }
  for (row &r : rows) {
    SCOPED_TRACE(r.name);
    serve(r.script);
    ASSERT_FALSE(HasFatalFailure());
    int64_t t0 = tq_now_ms();
    int rc = request("GET", "/", nullptr, nullptr, nullptr, 0, 300);
    if (r.head_fails) {
      EXPECT_EQ(rc, -1);
      EXPECT_STREQ(err_, "timeout reading response headers");
    } else {
      ASSERT_EQ(rc, 0) << err_;
      t0 = tq_now_ms();
      EXPECT_EQ(read_all(300).rc, -1);
    }
    int64_t took = tq_now_ms() - t0;
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 3000);
  }

  // The line reader gives up the same way.
  ws_test::loopback_script s;
  s.read_request().send(std::string(kOk200) + "\r\npartial line").stall();
  serve(s);
  ASSERT_FALSE(HasFatalFailure());
  ASSERT_EQ(request(), 0) << err_;
  char line[64];
  EXPECT_EQ(tq_read_line(&c_, line, sizeof line, 300), -1);
}

// --- the line reader ------------------------------------------------------------------

TEST_F(TqHttp, ReadLineTable) {
  struct expect_line {
    int rc;
    const char *text;
  };
  struct row {
    const char *name;
    std::string body_framing;  // head lines after the status line, blank line, body
    size_t size;
    std::vector<expect_line> calls;
  };
  const std::string raw = "\r\n";
  const std::vector<row> rows = {
      {"LF, CRLF, empty line, last line without LF",
       raw + "one\r\ntwo\n\r\nlast",
       64,
       {{1, "one"}, {1, "two"}, {1, ""}, {1, "last"}, {0, ""}, {0, ""}}},
      {"10-byte buffer and a 25-byte line",
       raw + "abcdefghijklmnopqrstuvwxy\nnext\n",
       10,
       {{1, "abcdefghi"}, {1, "next"}, {0, ""}}},
      {"9 bytes fit a 10-byte buffer", raw + "123456789\nx\n", 10, {{1, "123456789"}, {1, "x"}}},
      {"CR after 9 bytes is dropped with the rest",
       raw + "123456789\r\nx\n",
       10,
       {{1, "123456789"}, {1, "x"}}},
      {"CR before LF removed", raw + "12345678\r\nx\n", 10, {{1, "12345678"}, {1, "x"}}},
      {"only one CR removed", raw + "a\r\r\n", 10, {{1, "a\r"}, {0, ""}}},
      {"1-byte buffer keeps nothing", raw + "ab\ncd\n", 1, {{1, ""}, {1, ""}, {0, ""}}},
      {"cut line ending with the body", raw + "abcdefg", 4, {{1, "abc"}, {0, ""}}},
      {"lines across chunks",
       "Transfer-Encoding: chunked\r\n\r\n3\r\nab\n\r\n4\r\ncd\ne\r\n0\r\n\r\n",
       64,
       {{1, "ab"}, {1, "cd"}, {1, "e"}, {0, ""}}},
      {"content-length body",
       "Content-Length: 5\r\n\r\nab\ncdEXTRA",
       64,
       {{1, "ab"}, {1, "cd"}, {0, ""}}},
      {"body cut short fails", "Content-Length: 60\r\n\r\nab\ncd", 64, {{1, "ab"}, {-1, ""}}},
      {"empty 204", "\r\n", 64, {{0, ""}}},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    std::string status =
        r.name == std::string("empty 204") ? "HTTP/1.1 204 No Content\r\n" : std::string(kOk200);
    ASSERT_EQ(get(status + r.body_framing), 0) << err_;
    for (size_t i = 0; i < r.calls.size(); i++) {
      SCOPED_TRACE("call " + std::to_string(i));
      std::vector<char> buf(r.size, '#');
      int rc = tq_read_line(&c_, buf.data(), buf.size(), 3000);
      EXPECT_EQ(rc, r.calls[i].rc);
      if (rc == 1) {
        EXPECT_STREQ(buf.data(), r.calls[i].text);
      }
    }
  }

  // A buffer of size 0 is refused outright.
  ASSERT_EQ(get(std::string(kOk200) + "\r\nline\n"), 0) << err_;
  char one = 'x';
  EXPECT_EQ(tq_read_line(&c_, &one, 0, 3000), -1);
  EXPECT_EQ(one, 'x');
}

TEST_F(TqHttp, ReadLineKeepsAtMost1048575Bytes) {
  const size_t cap = 1048575;
  const std::string exact = pattern(cap);
  const std::string longer = pattern(cap + 1);
  ASSERT_EQ(get(std::string(kOk200) + "\r\n" + exact + "\n" + longer + "tail\nend\n"), 0) << err_;
  std::vector<char> buf(2 * cap);
  ASSERT_EQ(tq_read_line(&c_, buf.data(), buf.size(), 10000), 1);
  EXPECT_EQ(strlen(buf.data()), cap);
  EXPECT_TRUE(std::string(buf.data()) == exact);
  // The larger buffer does not lift the cap: the rest of the line is dropped.
  ASSERT_EQ(tq_read_line(&c_, buf.data(), buf.size(), 10000), 1);
  EXPECT_EQ(strlen(buf.data()), cap);
  EXPECT_TRUE(std::string(buf.data()) == exact);
  ASSERT_EQ(tq_read_line(&c_, buf.data(), buf.size(), 10000), 1);
  EXPECT_STREQ(buf.data(), "end");
  EXPECT_EQ(tq_read_line(&c_, buf.data(), buf.size(), 10000), 0);
}

}  // namespace
