// The Windows twin of the platform layer: binary standard streams, Winsock's
// connect, wait, send and receive through the SDK on loopback, Winsock's
// codes in the diagnostics, the clock and the random source.
#include <fcntl.h>
#include <io.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "sdk/platform.h"
#include "sdk/platform_peer.h"
#include "sdk/platform_random.h"
#include "sdk/tq_conn.h"
#include "search/ws_http.h"

namespace {

// A Winsock socket on 127.0.0.1 with a kernel-chosen port; listening or not.
struct loopback_socket {
  SOCKET s = INVALID_SOCKET;
  int port = 0;
  explicit loopback_socket(bool listening) {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
    s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr *>(&a), &len) != 0 ||
        (listening && listen(s, 4) != 0)) {
      return;
    }
    port = ntohs(a.sin_port);
  }
  ~loopback_socket() {
    if (s != INVALID_SOCKET) closesocket(s);
  }
  loopback_socket(const loopback_socket &) = delete;
  loopback_socket &operator=(const loopback_socket &) = delete;
};

// Standard error of this process into a file for the scope's duration.
class stderr_capture {
 public:
  stderr_capture() {
    char dir[MAX_PATH];
    GetTempPathA(sizeof dir, dir);
    GetTempFileNameA(dir, "wst", 0, path_);
    fflush(stderr);
    saved_ = _dup(_fileno(stderr));
    FILE *f = fopen(path_, "wb");
    if (f != nullptr) {
      _dup2(_fileno(f), _fileno(stderr));
      fclose(f);
    }
  }
  // Restores standard error and returns what was written to it.
  std::string finish() {
    fflush(stderr);
    _dup2(saved_, _fileno(stderr));
    _close(saved_);
    std::string out;
    if (FILE *f = fopen(path_, "rb")) {
      char buf[4096];
      size_t n;
      while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
      fclose(f);
    }
    DeleteFileA(path_);
    return out;
  }

 private:
  char path_[MAX_PATH] = {};
  int saved_ = -1;
};

TEST(PlatformWin32, StartupPutsTheStandardStreamsInBinaryMode) {
  // Text mode first, so that the start-up routine has something to change.
  for (FILE *f : {stdin, stdout, stderr}) _setmode(_fileno(f), _O_TEXT);
  tq_platform_startup();
  for (FILE *f : {stdin, stdout, stderr}) {
    SCOPED_TRACE(f == stdin ? "stdin" : f == stdout ? "stdout" : "stderr");
    // _setmode answers with the mode the stream had.
    EXPECT_EQ(_setmode(_fileno(f), _O_BINARY), _O_BINARY);
  }
}

TEST(PlatformWin32, ExchangeOverLoopbackRefillsTheBufferUntilTheWholeBodyArrived) {
  loopback_socket listener(true);
  ASSERT_NE(listener.port, 0);
  // Larger than the 16384-byte receive buffer and than one socket write.
  std::string body(100000, 'x');
  for (size_t i = 0; i < body.size(); i += 997) body[i] = static_cast<char>('a' + i % 26);
  std::string request;
  std::thread server([&] {
    SOCKET c = accept(listener.s, nullptr, nullptr);
    if (c == INVALID_SOCKET) return;
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      int n = recv(c, buf, sizeof buf, 0);
      if (n <= 0) break;
      request.append(buf, static_cast<size_t>(n));
    }
    std::string answer =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    for (size_t sent = 0; sent < answer.size();) {
      int n = send(c, answer.data() + sent, static_cast<int>(answer.size() - sent), 0);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    shutdown(c, SD_SEND);
    closesocket(c);
  });
  std::string url = "http://127.0.0.1:" + std::to_string(listener.port) + "/probe?q=1";
  ws_resp resp = {};
  int rc = ws_http_do("GET", url.c_str(), nullptr, nullptr, 0, 10000, &resp);
  server.join();
  EXPECT_EQ(rc, 0) << resp.error;
  EXPECT_EQ(resp.status, 200);
  ASSERT_NE(resp.body, nullptr);
  EXPECT_EQ(std::string(resp.body, resp.body_len), body);
  EXPECT_EQ(request.rfind("GET /probe?q=1 HTTP/1.1\r\n", 0), 0u) << request;
  ws_resp_free(&resp);
}

TEST(PlatformWin32, RefusedConnectIsSeenAtOnceAndReportedWithWinsockCodes) {
  // Bound but not listening: every connect to it is refused. Winsock shows
  // that only in select's exception set; watching the write set alone would
  // wait out the candidate's whole 1500 ms instead and say "timed out".
  loopback_socket bound(false);
  ASSERT_NE(bound.port, 0);
  _putenv_s("TQ_VERBOSE", "1");
  stderr_capture capture;
  char err[512] = "";
  tq_socket s = tq_connect_timeout("127.0.0.1", bound.port, 2000, err, sizeof err);
  std::string diag = capture.finish();
  _putenv_s("TQ_VERBOSE", "");  // an empty value removes it
  EXPECT_EQ(s, TQ_NO_SOCKET);
  EXPECT_EQ(std::string(err), "connect to 127.0.0.1:" + std::to_string(bound.port) + " failed");
  // AF_INET is 2 and WSAECONNREFUSED 10061 on Windows.
  EXPECT_EQ(diag, "tq_http_tls: connect 127.0.0.1:" + std::to_string(bound.port) +
                      " family 2 refused (so_error 10061), 0 candidate(s) left\n");
}

TEST(PlatformWin32, LastErrorIsWinsocksOwn) {
  WSASetLastError(WSAEWOULDBLOCK);
  EXPECT_EQ(tq_platform_last_error(), 10035);
  EXPECT_TRUE(tq_plat_error_is_transient(WSAEWOULDBLOCK));
  EXPECT_TRUE(tq_plat_error_is_transient(WSAEINTR));
  EXPECT_FALSE(tq_plat_error_is_transient(WSAECONNRESET));
}

TEST(PlatformWin32, WaitOnAPassedDeadlineReportsNotReadyWithoutWaiting) {
  loopback_socket listener(true);
  ASSERT_NE(listener.port, 0);
  EXPECT_EQ(
      tq_plat_wait(static_cast<tq_socket>(listener.s), TQ_PLAT_READABLE, tq_platform_now_ms() - 1),
      0);
}

TEST(PlatformWin32, WakeUpHandleEndsTheWaitsOfTheThreadThatAdoptedIt) {
  loopback_socket listener(true);
  ASSERT_NE(listener.port, 0);
  // A connected socket: always writable, readable never (the peer is quiet).
  SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<u_short>(listener.port));
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
  const auto sock = static_cast<tq_socket>(client);
  tq_plat_wake *wake = tq_plat_wake_new();
  ASSERT_NE(wake, nullptr);

  // A wait under way ends when another thread signals.
  int rc = 1;
  std::thread worker([&] {
    tq_plat_wake_adopt(wake);
    rc = tq_plat_wait(sock, TQ_PLAT_READABLE, tq_platform_now_ms() + 600000);
    tq_plat_wake_adopt(nullptr);
  });
  Sleep(100);
  tq_plat_wake_signal(wake);
  worker.join();
  EXPECT_EQ(rc, 0);

  // Signalled many times over: every wait of the adopting thread reports
  // not ready, a writable socket too; one clear takes every signal back.
  for (int i = 0; i < 1000; i++) tq_plat_wake_signal(wake);
  const int64_t later = tq_platform_now_ms() + 600000;
  EXPECT_EQ(tq_plat_wait(sock, TQ_PLAT_WRITABLE, later), 1) << "not adopted by this thread";
  tq_plat_wake_adopt(wake);
  EXPECT_EQ(tq_plat_wait(sock, TQ_PLAT_WRITABLE, later), 0);
  EXPECT_EQ(tq_plat_wait(sock, TQ_PLAT_READABLE, later), 0);
  tq_plat_wake_clear(wake);
  EXPECT_EQ(tq_plat_wait(sock, TQ_PLAT_WRITABLE, later), 1);
  tq_plat_wake_adopt(nullptr);
  tq_plat_wake_free(wake);
  tq_plat_wake_free(nullptr);
  closesocket(client);
}

TEST(PlatformWin32, PeerProbeTellsQuietFromSentAndClosedWithoutTakingBytes) {
  loopback_socket listener(true);
  ASSERT_NE(listener.port, 0);
  SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in to = {};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(static_cast<u_short>(listener.port));
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr *>(&to), sizeof to), 0);
  SOCKET server = accept(listener.s, nullptr, nullptr);
  ASSERT_NE(server, INVALID_SOCKET);
  u_long on = 1;
  ASSERT_EQ(ioctlsocket(client, FIONBIO, &on), 0);
  const auto sock = static_cast<tq_socket>(client);
  EXPECT_EQ(tq_plat_peer_probe(sock), TQ_PLAT_PEER_QUIET);
  ASSERT_EQ(send(server, "x", 1, 0), 1);
  // Once the byte is there (the wait ends when it is), the probe sees it
  // and leaves it for the reader, however often it looks.
  ASSERT_EQ(tq_plat_wait(sock, TQ_PLAT_READABLE, tq_platform_now_ms() + 60000), 1);
  EXPECT_EQ(tq_plat_peer_probe(sock), TQ_PLAT_PEER_SENT);
  EXPECT_EQ(tq_plat_peer_probe(sock), TQ_PLAT_PEER_SENT);
  char byte = 0;
  EXPECT_EQ(recv(client, &byte, 1, 0), 1);
  EXPECT_EQ(byte, 'x');
  closesocket(server);
  ASSERT_EQ(tq_plat_wait(sock, TQ_PLAT_READABLE, tq_platform_now_ms() + 60000), 1);
  EXPECT_EQ(tq_plat_peer_probe(sock), TQ_PLAT_PEER_CLOSED);
  closesocket(client);
  EXPECT_EQ(tq_plat_peer_probe(TQ_NO_SOCKET), TQ_PLAT_PEER_CLOSED);
}

TEST(PlatformWin32, AddressLiteralsAndCandidateAddresses) {
  unsigned char ip[16];
  EXPECT_EQ(tq_plat_parse_ip("127.0.0.1", ip), 4u);
  EXPECT_EQ(memcmp(ip, "\x7f\x00\x00\x01", 4), 0);
  EXPECT_EQ(tq_plat_parse_ip("::1", ip), 16u);
  EXPECT_EQ(memcmp(ip, "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x01", 16), 0);
  EXPECT_EQ(tq_plat_parse_ip("[::1]", ip), 0u);
  EXPECT_EQ(tq_plat_parse_ip("localhost", ip), 0u);
  EXPECT_EQ(tq_plat_parse_ip(nullptr, ip), 0u);
  tq_plat_addrs *addrs = nullptr;
  ASSERT_EQ(tq_plat_resolve("127.0.0.1", 80, &addrs), 0);
  ASSERT_EQ(tq_plat_addrs_count(addrs), 1u);
  EXPECT_EQ(tq_plat_addrs_ip(addrs, 0, ip), 4u);
  EXPECT_EQ(memcmp(ip, "\x7f\x00\x00\x01", 4), 0);
  EXPECT_EQ(tq_plat_addrs_ip(addrs, 1, ip), 0u);
  tq_plat_addrs_free(addrs);
}

TEST(PlatformWin32, DiagnosticLineIsCutToOneWriteKeepingItsNewline) {
  stderr_capture capture;
  tq_platform_diag("short %d %zu\n", -1, static_cast<size_t>(7));
  tq_platform_diag("%s\n", std::string(2000, 'x').c_str());
  const std::string out = capture.finish();
  EXPECT_EQ(out, "short -1 7\n" + std::string(1022, 'x') + "\n");
}

TEST(PlatformWin32, ClockIsMonotonicMilliseconds) {
  int64_t prev = tq_platform_now_ms();
  for (int i = 0; i < 1000; i++) {
    int64_t now = tq_platform_now_ms();
    ASSERT_GE(now, prev);
    prev = now;
  }
  const int64_t before = tq_platform_now_ms();
  Sleep(50);
  // A lower bound only: the sleep lasts at least this long.
  EXPECT_GE(tq_platform_now_ms() - before, 40);
}

TEST(PlatformWin32, RandomBytesFillTheWholeBufferAndDiffer) {
  unsigned char a[300];
  unsigned char b[300];
  memset(a, 0, sizeof a);
  memset(b, 0, sizeof b);
  ASSERT_EQ(tq_platform_random(a, sizeof a), 0);
  ASSERT_EQ(tq_platform_random(b, sizeof b), 0);
  EXPECT_NE(memcmp(a, b, sizeof a), 0);
  // The last bytes are written too (all 32 zero: 2^-256).
  unsigned char tail_or = 0;
  for (size_t i = sizeof a - 32; i < sizeof a; i++) tail_or |= a[i];
  EXPECT_NE(tail_or, 0);
  EXPECT_EQ(tq_platform_random(a, 0), 0);
}

}  // namespace
