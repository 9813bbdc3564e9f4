// The WebSocket client against a real WebSocket server (Node's `ws`) and a
// raw-socket peer for the frames that library refuses to send, on loopback.
// tests/support/ws_peer.mjs reports every frame it receives on its stdout.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sdk/platform.h"
#include "sdk/tq_url.h"
#include "sdk/tq_ws.h"
#include "support/child_process.h"
#include "support/helper_process.h"
#include "support/process_probe.h"
#include "support/test_sockets.h"
#include "support/tls_fixture.h"
#include "support/ws_env_scope.h"

namespace {

int64_t now_ms() {
  return tq_now_ms();
}

int open_fds() {
  return ws_test::open_fd_count();
}

void pause_ms(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// WS_SOURCE_DIR, or the tree this file was compiled from.
std::string source_dir() {
  const char *s = getenv("WS_SOURCE_DIR");
  if (s != nullptr && s[0] != '\0') return s;
  const std::string self = __FILE__;
  const size_t cut = self.rfind("/tests/integration/");
  return cut == std::string::npos ? "." : self.substr(0, cut);
}

// Byte i of the peer's pattern payloads.
std::string pattern(size_t size, bool text) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) {
    s[i] = static_cast<char>(text ? 'a' + (i % 26) : ((i * 7 + 3) & 0xFF));
  }
  return s;
}

std::string sha256_hex(const std::string &s) {
  char out[65];
  tq_sha256_hex(s.data(), s.size(), out);
  return out;
}

// One node process running ws_peer.mjs; stopped (and reaped) on destruction.
class Peer {
 public:
  bool start(const std::vector<std::string> &extra) {
    std::vector<std::string> args = {"node", source_dir() + "/tests/support/ws_peer.mjs"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::string why;
    if (!helper_.start(args, &why)) return false;
    std::string line;
    if (!read_line(&line, now_ms() + 10000) || line.rfind("port ", 0) != 0) return false;
    port_ = atoi(line.c_str() + 5);
    return port_ > 0;
  }
  // The helper's destructor ends its input (the peer exits) and reaps it.
  int port() const { return port_; }

  // The next event of connection id that is not an "upgrade" line, or ""
  // when none came within timeout_ms.
  std::string next_event(const std::string &id, int timeout_ms = 5000) {
    const std::string prefix = "event " + id + " ";
    const int64_t deadline = now_ms() + timeout_ms;
    for (;;) {
      for (size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].rfind(prefix, 0) != 0) continue;
        std::string rest = lines_[i].substr(prefix.size());
        lines_.erase(lines_.begin() + static_cast<long>(i));
        if (rest.rfind("upgrade ", 0) == 0) {
          --i;
          continue;
        }
        return rest;
      }
      std::string line;
      if (!read_line(&line, deadline)) return "";
      lines_.push_back(line);
    }
  }

 private:
  bool read_line(std::string *line, int64_t deadline) { return helper_.read_line(line, deadline); }
  ws_test::helper_process helper_;
  int port_ = 0;
  std::vector<std::string> lines_;
};

// tinyproxy from Debian on a loopback port of its own, in the foreground;
// stopped and reaped on destruction. Without a ConnectPort line it tunnels
// to any port. It does not leave when its input ends, so a shell stands
// between: it writes the configuration, ends the proxy when the test closes
// its input, and hands on what the proxy logs.
class Tinyproxy {
 public:
  bool start() {
    for (int attempt = 0; attempt < 3; ++attempt) {
      port_ = free_port();
      const std::string conf = "Port " + std::to_string(port_) +
                               "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\n"
                               "LogLevel Connect\nDisableViaHeader Yes\n";
      std::string why;
      if (!helper_.start({"sh", "-c",
                          "f=$(mktemp) || exit 1; printf '%s' \"$1\" >\"$f\"; "
                          "tinyproxy -d -c \"$f\" 2>&1 & p=$!; "
                          "cat >/dev/null; kill $p; wait $p; rm -f \"$f\"",
                          "sh", conf},
                         &why)) {
        return false;
      }
      // Ready once it accepts; not within 10 s when its port was taken.
      for (int64_t until = now_ms() + 10000; now_ms() < until; pause_ms(20)) {
        if (accepts()) return true;
      }
      helper_.finish(3000);
    }
    return false;
  }
  int port() const { return port_; }
  // What it logged so far.
  std::string log() {
    std::string line;
    while (helper_.read_line(&line, now_ms() + 300)) log_ += line + "\n";
    return log_;
  }

 private:
  // A port the kernel just handed out; taken meanwhile, it costs a retry.
  static int free_port() {
    int port = 0;
    const tq_socket s = ws_test::sock_bind_loopback(&port);
    tq_plat_close(s);
    return s == TQ_NO_SOCKET ? 0 : port;
  }
  bool accepts() const {
    const tq_socket s = ws_test::sock_connect_loopback(port_);
    int so_error = 0;
    const bool ok = s != TQ_NO_SOCKET && tq_plat_wait(s, TQ_PLAT_WRITABLE, now_ms() + 1000) == 1 &&
                    tq_plat_socket_error(s, &so_error) == 0 && so_error == 0;
    tq_plat_close(s);
    return ok;
  }
  ws_test::helper_process helper_;
  int port_ = 0;
  std::string log_;
};

// "frame fin=1 rsv=0 op=1 ..." as a map; {"kind": first word} included.
std::map<std::string, std::string> parse_event(const std::string &ev) {
  std::map<std::string, std::string> m;
  std::istringstream in(ev);
  std::string word;
  in >> word;
  m["kind"] = word;
  while (in >> word) {
    size_t eq = word.find('=');
    if (eq != std::string::npos) m[word.substr(0, eq)] = word.substr(eq + 1);
  }
  return m;
}

class WsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    peer_ = new Peer;
    if (!peer_->start({})) {
      delete peer_;
      peer_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete peer_;
    peer_ = nullptr;
  }
  void SetUp() override {
    fds_before_ = open_fds();
    ASSERT_NE(peer_, nullptr) << "ws_peer.mjs did not start (node needed)";
  }
  void TearDown() override { EXPECT_EQ(fds_before_, open_fds()) << "a descriptor leaked"; }

  std::string fresh_id() {
    return std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
           std::to_string(++counter_);
  }
  std::string url(const std::string &path, const std::string &id) const {
    return "ws://127.0.0.1:" + std::to_string(peer_->port()) + path +
           (path.find('?') == std::string::npos ? "?" : "&") + "id=" + id;
  }
  // Connects ws to path; "" on success, else the client's message.
  std::string open(tq_ws *ws, const std::string &path, const std::string &id,
                   const char *extra = nullptr, int timeout_ms = 5000) {
    tq_url u;
    char err[512] = "";
    if (tq_url_parse(url(path, id).c_str(), &u, err, sizeof err) != 0) return err;
    if (tq_ws_connect(ws, &u, extra, timeout_ms, err, sizeof err) != 0) return err;
    return "";
  }
  // The next message as a string, or "<rc>:<message>" when recv did not return 1.
  static std::string recv_text(tq_ws *ws, size_t dst_size = 2 * 1048576, int timeout_ms = 5000) {
    std::vector<char> dst(dst_size);
    size_t len = 12345;
    char err[512] = "";
    int rc = tq_ws_recv(ws, dst.data(), dst.size(), &len, timeout_ms, err, sizeof err);
    if (rc != 1) {
      EXPECT_EQ(0u, len);
      return std::to_string(rc) + ":" + err;
    }
    EXPECT_EQ('\0', dst[len]);
    return std::string(dst.data(), len);
  }
  static std::string send(tq_ws *ws, int opcode, const std::string &data) {
    char err[512] = "";
    if (tq_ws_send(ws, opcode, data.data(), data.size(), 5000, err, sizeof err) != 0) return err;
    return "";
  }
  // Expects the next client frame reported for id to be a payload-less close.
  void expect_close_frame(const std::string &id) {
    auto f = parse_event(peer_->next_event(id));
    EXPECT_EQ("frame", f["kind"]);
    EXPECT_EQ("8", f["op"]);
    EXPECT_EQ("0", f["len"]);
    EXPECT_EQ("6", f["hdr"]);
  }
  // A closed handle: receives return 0 and sends are refused.
  static void expect_closed(tq_ws *ws) {
    EXPECT_EQ("0:", recv_text(ws));
    EXPECT_EQ("websocket closed", send(ws, TQ_WS_TEXT, "late"));
  }

  static Peer *peer_;
  int fds_before_ = 0;
  int counter_ = 0;
};
Peer *WsTest::peer_ = nullptr;

// --- handshake -------------------------------------------------------------

TEST_F(WsTest, UpgradeRequestCarriesFixedLinesThenUpgradeLinesAndAFreshKey) {
  std::string keys[2];
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    tq_ws ws;
    tq_ws_guard g(&ws);
    const std::string id = fresh_id();
    ASSERT_EQ("", open(&ws, "/headers", id, round == 0 ? "X-One: 1\r\nX-Two: two" : nullptr));
    std::string got = recv_text(&ws);
    size_t k = got.find("Sec-WebSocket-Key: ");
    ASSERT_NE(std::string::npos, k);
    keys[round] = got.substr(k + 19, got.find('\n', k) - k - 19);
    std::string expected = "GET /headers?id=" + id +
                           " HTTP/1.1\nHost: 127.0.0.1:" + std::to_string(peer_->port()) +
                           "\nUser-Agent: tq-connector-sdk/1.0\nAccept: */*\nConnection: close\n"
                           "Upgrade: websocket\nConnection: Upgrade\nSec-WebSocket-Version: 13\n"
                           "Sec-WebSocket-Key: " +
                           keys[round] + "\n" + (round == 0 ? "X-One: 1\nX-Two: two\n" : "");
    EXPECT_EQ(expected, got);
    // 16 bytes in Base64: 22 characters, the last carrying 2 bits, then "==".
    ASSERT_EQ(24u, keys[round].size());
    EXPECT_EQ("==", keys[round].substr(22));
    EXPECT_NE(std::string::npos, std::string("AQgw").find(keys[round][21]));
    EXPECT_EQ("", send(&ws, TQ_WS_TEXT, "still open"));
    EXPECT_EQ("still open", recv_text(&ws));
  }
  EXPECT_NE(keys[0], keys[1]);
}

TEST_F(WsTest, UpgradeBlockOf4095CharactersPassesAnd4096IsRefused) {
  const size_t fixed =
      strlen(
          "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
          "Sec-WebSocket-Key: ") +
      24 + 2 + 2;  // key, its CR LF, the CR LF after the extra lines
  for (size_t block : {4095u, 4096u}) {
    SCOPED_TRACE(block);
    std::string extra = "X-Pad: " + std::string(block - fixed - 7, 'p');
    tq_ws ws;
    tq_ws_guard g(&ws);
    const std::string id = fresh_id();
    if (block == 4095) {
      ASSERT_EQ("", open(&ws, "/echo", id, extra.c_str()));
      EXPECT_EQ("", send(&ws, TQ_WS_TEXT, "big head"));
      EXPECT_EQ("big head", recv_text(&ws));
    } else {
      EXPECT_EQ("headers too large", open(&ws, "/echo", id, extra.c_str()));
      expect_closed(&ws);
    }
  }
}

TEST_F(WsTest, FailedHandshakesCloseTheConnectionWithTheirMessage) {
  struct Case {
    const char *path;
    int timeout_ms;
    const char *message;
  } cases[] = {
      {"/status?code=403", 5000, "websocket handshake returned 403, expected 101"},
      {"/status?code=200", 5000, "websocket handshake returned 200, expected 101"},
      {"/badstatus", 5000, "bad status line"},
      {"/hangup", 5000, "timeout reading response headers"},
      {"/noanswer", 400, "timeout reading response headers"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    tq_ws ws;
    const int64_t start = now_ms();
    EXPECT_EQ(c.message, open(&ws, c.path, fresh_id(), nullptr, c.timeout_ms));
    EXPECT_LT(now_ms() - start, 3000);
    EXPECT_EQ(fds_before_, open_fds());
    expect_closed(&ws);
    tq_ws_close(&ws);
    tq_ws_close(&ws);
  }
}

TEST_F(WsTest, RefusedConnectionReportsTheConnectFailure) {
  // A port that was free a moment ago: bind it, read it, release it.
  int port = 0;
  const tq_socket s = ws_test::sock_bind_loopback(&port);
  ASSERT_NE(s, TQ_NO_SOCKET);
  tq_plat_close(s);
  tq_url u;
  char err[512] = "";
  const std::string target = "ws://127.0.0.1:" + std::to_string(port) + "/";
  ASSERT_EQ(0, tq_url_parse(target.c_str(), &u, err, sizeof err));
  tq_ws ws;
  ASSERT_EQ(-1, tq_ws_connect(&ws, &u, nullptr, 2000, err, sizeof err));
  EXPECT_EQ("connect to 127.0.0.1:" + std::to_string(port) + " failed", std::string(err));
  expect_closed(&ws);
  tq_ws_close(&ws);
}

// --- sending ---------------------------------------------------------------

TEST_F(WsTest, FramesOnTheWireUseTheShortestLengthFormAndFreshMasks) {
  struct Case {
    size_t len;
    int opcode;
    const char *hdr;
  } cases[] = {{0, TQ_WS_TEXT, "6"},          {1, TQ_WS_BINARY, "6"},
               {125, TQ_WS_TEXT, "6"},        {126, TQ_WS_BINARY, "8"},
               {65535, TQ_WS_BINARY, "8"},    {65536, TQ_WS_BINARY, "14"},
               {1048576, TQ_WS_BINARY, "14"}, {300, 0x10 | TQ_WS_TEXT, "8"}};
  tq_ws ws;
  tq_ws_guard g(&ws);
  const std::string id = fresh_id();
  ASSERT_EQ("", open(&ws, "/raw?script=none", id));
  std::vector<std::string> masks;
  for (const Case &c : cases) {
    SCOPED_TRACE(c.len);
    const std::string payload = pattern(c.len, c.opcode == TQ_WS_TEXT);
    ASSERT_EQ("", send(&ws, c.opcode, payload));
    auto f = parse_event(peer_->next_event(id));
    EXPECT_EQ("frame", f["kind"]);
    EXPECT_EQ("1", f["fin"]);
    EXPECT_EQ("0", f["rsv"]);
    EXPECT_EQ(std::to_string(c.opcode & 0x0F), f["op"]);
    EXPECT_EQ("1", f["masked"]);
    EXPECT_EQ(c.hdr, f["hdr"]);
    EXPECT_EQ(std::to_string(c.len), f["len"]);
    EXPECT_EQ(sha256_hex(payload), f["sha"]);
    masks.push_back(f["key"]);
    EXPECT_EQ(payload, recv_text(&ws));  // the peer echoes it unmasked
  }
  for (size_t i = 0; i < masks.size(); ++i) {
    for (size_t j = i + 1; j < masks.size(); ++j) EXPECT_NE(masks[i], masks[j]);
  }
}

// --- control frames ----------------------------------------------------------

TEST_F(WsTest, PingsAreAnsweredWithTheSamePayloadAndReadingGoesOn) {
  for (std::string hex : {std::string(""), std::string("68656c6c6f"), std::string(250, 'e')}) {
    SCOPED_TRACE(hex.size());
    tq_ws ws;
    tq_ws_guard g(&ws);
    ASSERT_EQ("", open(&ws, "/ping?hex=" + hex, fresh_id()));
    EXPECT_EQ("pong:" + hex, recv_text(&ws));
  }
  struct Case {
    const char *script;
    const char *then;
    const char *pong_data;  // nullptr: no pong may be sent
  } raw[] = {{"smallping", "after-ping", "616263"},
             {"emptyping", "after-ping", "-"},
             {"bigping", "after-bigping", nullptr}};
  for (const Case &c : raw) {
    SCOPED_TRACE(c.script);
    tq_ws ws;
    tq_ws_guard g(&ws);
    const std::string id = fresh_id();
    ASSERT_EQ("", open(&ws, std::string("/raw?script=") + c.script, id));
    EXPECT_EQ(c.then, recv_text(&ws));
    ASSERT_EQ("", send(&ws, TQ_WS_TEXT, "done"));
    auto f = parse_event(peer_->next_event(id));
    if (c.pong_data) {
      EXPECT_EQ("10", f["op"]);
      EXPECT_EQ("1", f["fin"]);
      EXPECT_EQ("1", f["masked"]);
      EXPECT_EQ("6", f["hdr"]);
      EXPECT_EQ(c.pong_data, f["data"]);
      f = parse_event(peer_->next_event(id));
    }
    EXPECT_EQ("1", f["op"]);
    EXPECT_EQ("646f6e65", f["data"]);
  }
}

TEST_F(WsTest, PongsFromTheServerAreIgnored) {
  for (const char *path : {"/pong", "/raw?script=pong"}) {
    SCOPED_TRACE(path);
    tq_ws ws;
    tq_ws_guard g(&ws);
    ASSERT_EQ("", open(&ws, path, fresh_id()));
    EXPECT_EQ("after-pong", recv_text(&ws));
  }
}

TEST_F(WsTest, ServerCloseIsAnsweredOnceAndReportedAsZero) {
  {
    tq_ws ws;
    const std::string id = fresh_id();
    ASSERT_EQ("", open(&ws, "/close", id));
    EXPECT_EQ("0:", recv_text(&ws));
    expect_closed(&ws);
    tq_ws_close(&ws);
    EXPECT_EQ("closed 1005", peer_->next_event(id));  // our answer carried no status
  }
  for (const char *script : {"closecode", "bigclose", "fragclose"}) {
    SCOPED_TRACE(script);
    tq_ws ws;
    const std::string id = fresh_id();
    ASSERT_EQ("", open(&ws, std::string("/raw?script=") + script, id));
    EXPECT_EQ("0:", recv_text(&ws));
    expect_close_frame(id);
    expect_closed(&ws);
    tq_ws_close(&ws);
    EXPECT_EQ("eof", peer_->next_event(id));  // and no second close frame before it
  }
}

TEST_F(WsTest, ClientCloseSendsOneCloseFrameAndClosesTheSocket) {
  tq_ws ws;
  const std::string id = fresh_id();
  ASSERT_EQ("", open(&ws, "/raw?script=none", id));
  tq_ws_close(&ws);
  expect_close_frame(id);
  EXPECT_EQ("eof", peer_->next_event(id));
  tq_ws_close(&ws);
  expect_closed(&ws);

  tq_ws lib;
  const std::string lib_id = fresh_id();
  ASSERT_EQ("", open(&lib, "/echo", lib_id));
  tq_ws_close(&lib);
  EXPECT_EQ("closed 1005", peer_->next_event(lib_id));
}

// --- receiving -------------------------------------------------------------

TEST_F(WsTest, FragmentsStrayContinuationsAndUnknownOpcodesAreDiscarded) {
  struct Case {
    const char *path;
    const char *expect;
  } cases[] = {{"/fragments", "whole"},
               {"/raw?script=fragments", "whole"},
               {"/raw?script=stray", "ok"},
               {"/raw?script=opcode3", "after-reserved"},
               {"/fragclose", "0:"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.path);
    tq_ws ws;
    tq_ws_guard g(&ws);
    ASSERT_EQ("", open(&ws, c.path, fresh_id()));
    EXPECT_EQ(c.expect, recv_text(&ws));
  }
}

TEST_F(WsTest, ServerFramesAreReadMaskedOrNotInEveryLengthForm) {
  struct Case {
    const char *script;
    std::string expect;
  } cases[] = {{"unmasked", "Hello"},
               {"masked", "Hello"},
               {"len16", pattern(0xFF80, false)},
               {"len64small", "long form"},
               {"limit", pattern(1048576, false)},
               {"twomessages", "first"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.script);
    tq_ws ws;
    tq_ws_guard g(&ws);
    ASSERT_EQ("", open(&ws, std::string("/raw?script=") + c.script, fresh_id()));
    EXPECT_EQ(c.expect, recv_text(&ws));
  }
  tq_ws ws;
  tq_ws_guard g(&ws);
  ASSERT_EQ("", open(&ws, "/raw?script=empty", fresh_id()));
  EXPECT_EQ("", recv_text(&ws));
  EXPECT_EQ("next", recv_text(&ws));
}

TEST_F(WsTest, MessagesAreCutToTheCallersBufferAndTheStreamStaysInStep) {
  tq_ws ws;
  tq_ws_guard g(&ws);
  ASSERT_EQ("", open(&ws, "/message?size=100&count=2", fresh_id()));
  EXPECT_EQ("abcdefghi", recv_text(&ws, 10));
  EXPECT_EQ(pattern(100, true), recv_text(&ws));

  // Text is never cut inside a character; binary is cut at the byte.
  tq_ws u;
  tq_ws_guard gu(&u);
  ASSERT_EQ("", open(&u, "/raw?script=utf8", fresh_id()));
  EXPECT_EQ("aaaaaaaa", recv_text(&u, 10));
  EXPECT_EQ("aaaaaaaa\xE2", recv_text(&u, 10));

  tq_ws t;
  tq_ws_guard gt(&t);
  ASSERT_EQ("", open(&t, "/raw?script=twomessages", fresh_id()));
  EXPECT_EQ("", recv_text(&t, 1));
  char none[1] = {'x'};
  size_t len = 7;
  EXPECT_EQ(1, tq_ws_recv(&t, none, 0, &len, 5000, nullptr, 0));  // consumed, nothing written
  EXPECT_EQ(0u, len);
  EXPECT_EQ('x', none[0]);
}

TEST_F(WsTest, FramesAboveOneMebibyteFailTheConnection) {
  for (const char *script : {"overlimit", "twomib", "topbit"}) {
    SCOPED_TRACE(script);
    tq_ws ws;
    tq_ws_guard g(&ws);
    const std::string id = fresh_id();
    ASSERT_EQ("", open(&ws, std::string("/raw?script=") + script, id));
    EXPECT_EQ("-1:frame too large", recv_text(&ws));
    expect_close_frame(id);
    expect_closed(&ws);
  }
}

TEST_F(WsTest, BrokenStreamsGiveTheirMessages) {
  struct Case {
    const char *script;
    const char *message;
  } cases[] = {{"lie", "-1:websocket frame truncated"},
               {"cuthead", "-1:websocket closed by peer"},
               {"cutext", "-1:websocket closed by peer"},
               {"cutmask", "-1:websocket closed by peer"},
               {"eof", "-1:websocket closed by peer"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.script);
    tq_ws ws;
    tq_ws_guard g(&ws);
    ASSERT_EQ("", open(&ws, std::string("/raw?script=") + c.script, fresh_id()));
    EXPECT_EQ(c.message, recv_text(&ws));
  }
}

TEST_F(WsTest, TimeOutBetweenFramesKeepsTheConnectionInsideAFrameEndsIt) {
  tq_ws quiet;
  tq_ws_guard gq(&quiet);
  ASSERT_EQ("", open(&quiet, "/raw?script=none", fresh_id()));
  int64_t start = now_ms();
  EXPECT_EQ("-1:websocket read error", recv_text(&quiet, 64, 300));
  EXPECT_GE(now_ms() - start, 250);
  EXPECT_LT(now_ms() - start, 3000);
  ASSERT_EQ("", send(&quiet, TQ_WS_TEXT, "wake"));
  EXPECT_EQ("wake", recv_text(&quiet));

  tq_ws stall;
  tq_ws_guard gs(&stall);
  const std::string id = fresh_id();
  ASSERT_EQ("", open(&stall, "/raw?script=stall", id));
  start = now_ms();
  EXPECT_EQ("-1:websocket frame truncated", recv_text(&stall, 64, 300));
  EXPECT_LT(now_ms() - start, 3000);
  expect_close_frame(id);
  expect_closed(&stall);
}

TEST_F(WsTest, ZeroOrNegativeTimeOutsWaitTheDefault) {
  for (int timeout_ms : {0, -1}) {
    SCOPED_TRACE(timeout_ms);
    tq_ws ws;
    tq_ws_guard g(&ws);
    ASSERT_EQ("", open(&ws, "/raw?script=late", fresh_id(), nullptr, timeout_ms));
    EXPECT_EQ("late", recv_text(&ws, 64, timeout_ms));
    char err[64] = "";
    EXPECT_EQ(0, tq_ws_send(&ws, TQ_WS_TEXT, "x", 1, timeout_ms, err, sizeof err)) << err;
  }
}

// A WebSocket needs a stream of its own to the server: behind an HTTP proxy
// a ws:// URL goes through a CONNECT tunnel, never forwarded requests.
TEST_F(WsTest, PlainSocketsGoThroughAProxyTunnel) {
  Tinyproxy proxy;
  ASSERT_TRUE(proxy.start());
  ws_test::EnvScope env;
  env.set("http_proxy", "http://127.0.0.1:" + std::to_string(proxy.port()));
  tq_ws ws;
  tq_ws_guard g(&ws);
  ASSERT_EQ("", open(&ws, "/echo", fresh_id()));
  ASSERT_EQ("", send(&ws, TQ_WS_TEXT, "through the tunnel"));
  EXPECT_EQ("through the tunnel", recv_text(&ws));
  EXPECT_NE(std::string::npos,
            proxy.log().find("CONNECT 127.0.0.1:" + std::to_string(peer_->port()) + " HTTP/1.1"))
      << proxy.log();
}

TEST_F(WsTest, MoreThanFourMebibytesFlowOverOneConnection) {
  tq_ws ws;
  tq_ws_guard g(&ws);
  ASSERT_EQ("", open(&ws, "/echo", fresh_id()));
  for (int i = 0; i < 6; ++i) {
    SCOPED_TRACE(i);
    std::string msg = pattern(1048576, false);
    msg[0] = static_cast<char>(i);
    ASSERT_EQ("", send(&ws, TQ_WS_BINARY, msg));
    ASSERT_EQ(msg, recv_text(&ws));
  }
  tq_ws many;
  tq_ws_guard gm(&many);
  ASSERT_EQ("", open(&many, "/message?type=binary&size=65536&count=80", fresh_id()));
  const std::string one = pattern(65536, false);
  for (int i = 0; i < 80; ++i) ASSERT_EQ(one, recv_text(&many)) << i;
}

// --- wss:// ------------------------------------------------------------------

// Runs fn in a child process (trust anchors are read once per process) and
// returns what it reported: "" for success. A Windows child runs the test
// again, servers included, so fn takes what it needs of this process's state
// from the settings (its environment), not from captured variables.
template <typename Fn>
std::string in_child(std::initializer_list<ws_test::env_setting> settings, Fn fn) {
  const ws_test::child_result r = ws_test::run_in_child(settings, [&] {
    const std::string out = fn();
    fwrite(out.data(), 1, out.size(), stderr);
    fflush(stderr);
  });
  return r.err + (r.passed() ? "" : " (child failed)");
}

TEST(WsTlsTest, SecureSocketsCarryFramesPingsAndCloses) {
  // The certificates of the TLS tests: ec.pem is issued for localhost by ca.pem.
  std::string why;
  const std::string d = ws_test::tls_cert_dir(&why);
  ASSERT_NE(d, "") << why;
  Peer peer;
  ASSERT_TRUE(peer.start({"--tls-cert", d + "/ec.pem", "--tls-key", d + "/ec.key"}));
  const std::string base = "wss://localhost:" + std::to_string(peer.port());
  std::string proxy;

  auto session = [&](const std::string &path, const std::string &ca) {
    return in_child(
        {{"TQ_CA_BUNDLE", ca}, {"WS_TEST_URL", base + path}, {"WS_TEST_PROXY", proxy}},
        []() -> std::string {
          const std::string url = getenv("WS_TEST_URL");
          const std::string path = url.substr(url.find('/', strlen("wss://")));
          const char *through = getenv("WS_TEST_PROXY");
          ws_test::EnvScope env;
          if (through != nullptr && *through != '\0') {
            env.set("https_proxy", through);
          } else {
            env.unset("https_proxy");
          }
          tq_url u;
          char err[512] = "";
          if (tq_url_parse(url.c_str(), &u, err, sizeof err) != 0) return err;
          tq_ws ws;
          if (tq_ws_connect(&ws, &u, nullptr, 5000, err, sizeof err) != 0) return err;
          tq_ws_guard g(&ws);
          std::vector<char> buf(1048577);
          size_t len = 0;
          if (path.rfind("/echo", 0) == 0) {
            for (int i = 0; i < 5; ++i) {
              std::string msg = pattern(1048576, false);
              msg[5] = static_cast<char>(i);
              if (tq_ws_send(&ws, TQ_WS_BINARY, msg.data(), msg.size(), 5000, err, sizeof err) != 0)
                return err;
              if (tq_ws_recv(&ws, buf.data(), buf.size(), &len, 5000, err, sizeof err) != 1)
                return std::string("recv: ") + err;
              if (std::string(buf.data(), len) != msg) return "echo differs";
            }
            return "";
          }
          if (path.rfind("/ping", 0) == 0) {
            if (tq_ws_recv(&ws, buf.data(), buf.size(), &len, 5000, err, sizeof err) != 1)
              return err;
            return std::string(buf.data(), len) == "pong:6869" ? "" : "wrong pong";
          }
          int rc = tq_ws_recv(&ws, buf.data(), buf.size(), &len, 5000, err, sizeof err);
          return rc == 0 ? "" : "close not seen";
        });
  };
  const std::string ca = d + "/ca.pem";
  EXPECT_EQ("", session("/echo?id=tls", ca));
  EXPECT_EQ("", session("/ping?hex=6869&id=tls", ca));
  EXPECT_EQ("", session("/close?id=tls-close", ca));
  // Without the private CA the handshake must fail, whatever its wording.
  EXPECT_NE("", session("/echo?id=untrusted", "/nonexistent/ca.pem"));

  // Through a CONNECT tunnel, TLS runs end to end with the server's name.
  Tinyproxy tinyproxy;
  ASSERT_TRUE(tinyproxy.start());
  proxy = "http://127.0.0.1:" + std::to_string(tinyproxy.port());
  EXPECT_EQ("", session("/echo?id=tunnel", ca));
  EXPECT_NE(std::string::npos,
            tinyproxy.log().find("CONNECT localhost:" + std::to_string(peer.port())));
  EXPECT_NE("", session("/echo?id=tunnel-untrusted", "/nonexistent/ca.pem"));
  // Checked last: a re-run child on Windows, whose peer sees no close,
  // would wait out the time-out here before its own session.
  EXPECT_EQ("closed 1005", peer.next_event("tls-close"));
}

}  // namespace
