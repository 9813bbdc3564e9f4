// TLS connections against real loopback servers (tls_server.py) with
// certificates made by openssl at test time: trusted chains, refused
// certificates, pins and the pinned second handshake, insecure mode, broken
// peers and the end of a TLS stream. The SDK reads its environment once per
// process, so every scenario runs in a child process of its own.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sdk/platform_roots.h"
#include "sdk/tq_ca_bundle.h"
#include "sdk/tq_conn.h"
#include "sdk/tq_pool.h"
#include "sdk/tq_tls.h"
#include "sdk/tq_url.h"
#include "search/ws_http.h"
#include "support/child_process.h"
#include "support/process_probe.h"
#ifdef _WIN32
#include "support/root_store_win32.h"
#endif
#include "support/tls_fixture.h"
#include "support/ws_env_scope.h"

namespace {

using ws_test::run_in_child;
using ws_test::tls_server;
#ifdef _WIN32
using ws_test::setenv;
#endif

const char kHint[] = "; TQ_TLS_INSECURE=1 exists for debugging self-hosted relays only";
const char kRequest[] = "GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n";
const std::string kNoPin(64, '0');

std::string handshake_failed(int code, bool normal_mode = true) {
  return "TLS handshake failed (code " + std::to_string(code) + (normal_mode ? kHint : "") + ")";
}

std::string upper(std::string s) {
  for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

size_t certificates_in(const std::string &text) {
  size_t n = 0;
  const std::string marker = "-----BEGIN CERTIFICATE-----";
  for (size_t at = text.find(marker); at != std::string::npos; at = text.find(marker, at + 1)) n++;
  return n;
}

size_t embedded_roots() {
  return certificates_in(std::string(TQ_CA_BUNDLE_PEM, TQ_CA_BUNDLE_PEM_LEN));
}

// tq_url_parse and tq_conn_open; the message lands in *err.
int open_url(tq_conn *c, const std::string &url, int timeout_ms, std::string *err) {
  char buf[512] = "";
  tq_url u;
  if (tq_url_parse(url.c_str(), &u, buf, sizeof buf) != 0) {
    *err = buf;
    return -1;
  }
  const int rc = tq_conn_open(c, &u, timeout_ms, buf, sizeof buf);
  *err = buf;
  return rc;
}

// Sends one request, then reads until tq_fill stops; *last is its final result.
std::string exchange(tq_conn *c, int *last) {
  char err[512] = "";
  *last = 99;
  if (tq_send_all(c, kRequest, sizeof kRequest - 1, 5000, err, sizeof err) != 0) {
    ADD_FAILURE() << "send: " << err;
    return "";
  }
  std::string got;
  for (int i = 0; i < 100; i++) {
    *last = tq_fill(c, tq_now_ms() + 5000);
    if (*last != 1) break;
    got.append(reinterpret_cast<const char *>(c->rbuf), c->rlen);
  }
  return got;
}

void expect_released(const tq_conn &c) {
  EXPECT_EQ(c.sock, TQ_NO_SOCKET);
  EXPECT_EQ(c.ssl, nullptr);
  EXPECT_EQ(c.x509, nullptr);
  EXPECT_EQ(c.knownkey, nullptr);
  EXPECT_EQ(c.iobuf, nullptr);
  EXPECT_EQ(c.anchors, nullptr);
  EXPECT_EQ(c.anchor_count, 0u);
  EXPECT_EQ(c.tls_ready, 0);
}

// An open that must fail with exactly `message`, leaving nothing behind.
void expect_refused(const std::string &url, const std::string &message, int timeout_ms = 5000) {
  const int fds = ws_test::open_fd_count();
  tq_conn c;
  std::string err;
  EXPECT_EQ(open_url(&c, url, timeout_ms, &err), -1);
  EXPECT_EQ(err, message);
  expect_released(c);
  tq_conn_close(&c);  // harmless on a record that open left closed
  EXPECT_EQ(ws_test::open_fd_count(), fds) << "no socket may stay open";
}

class TqTls : public ::testing::Test {
 public:
  static tls_server &srv() { return *server_; }

 protected:
  static void SetUpTestSuite() {
    dir_ = ws_test::tls_cert_dir(&why_);
    if (dir_.empty()) return;
    const auto tls = [](const char *name, const char *mode, const std::string &cert,
                        const std::string &key) {
      ws_test::tls_listener l;
      l.name = name;
      l.mode = mode;
      l.cert = path(cert + ".pem");
      l.key = path(key + ".key");
      return l;
    };
    std::vector<ws_test::tls_listener> ls = {
        tls("rsa", "http", "rsa", "rsa"),
        tls("ec", "http", "ec", "ec"),
        tls("bare", "bare", "rsa", "rsa"),
        tls("self", "http", "self", "self"),
        tls("self_ec", "http", "self_ec", "self_ec"),
        tls("other", "http", "other", "rsa"),
        tls("expired", "http", "expired", "rsa"),
        tls("swap", "http", "self", "self"),
        tls("once", "http", "self", "self"),
        tls("keep", "keep", "rsa", "rsa"),
        tls("keep_self", "keep", "self", "self"),
    };
    ls[7].alt_cert = path("rsa.pem");  // the second connection shows another key
    ls[7].alt_key = path("rsa.key");
    ls[8].max_accept = 1;  // the second connection is refused
    for (const char *mode : {"garbage", "hangup", "stall"}) {
      ws_test::tls_listener plain;
      plain.name = mode;
      plain.mode = mode;
      ls.push_back(plain);
    }
    server_ = new tls_server(ls);
    if (!server_->ok()) why_ = "the TLS server did not start";
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_FALSE(dir_.empty()) << why_;
    ASSERT_TRUE(server_ && server_->ok()) << why_;
  }
  static std::string path(const std::string &name) { return dir_ + "/" + name; }
  static std::string pin(const std::string &key) { return ws_test::tls_pin(dir_, key); }
  static std::string url(const std::string &listener) { return server_->url(listener); }
  // The private CA as the one bundle file; most scenarios start from it.
  static ws_test::env_setting ca() { return {"TQ_CA_BUNDLE", path("ca.pem")}; }

  static inline std::string dir_;
  static inline std::string why_;
  static inline tls_server *server_ = nullptr;
};

// Accept and handshake counts of one listener since the object was made.
struct peer_events {
  std::string name;
  int accepts0;
  int handshakes0;
  int resumed0;
  int close_notifies0;
  explicit peer_events(const std::string &listener)
      : name(listener),
        accepts0(TqTls::srv().accepts(listener)),
        handshakes0(TqTls::srv().handshakes(listener)),
        resumed0(TqTls::srv().resumed(listener)),
        close_notifies0(TqTls::srv().close_notifies(listener)) {}
  int accepts() const { return TqTls::srv().accepts(name) - accepts0; }
  int handshakes() const { return TqTls::srv().handshakes(name) - handshakes0; }
  int resumed() const { return TqTls::srv().resumed(name) - resumed0; }
  int close_notifies() const { return TqTls::srv().close_notifies(name) - close_notifies0; }
};

// Opens url, which must succeed, and hands the open record to check.
void with_open(const std::string &url, const std::function<void(tq_conn &)> &check) {
  tq_conn c;
  std::string err;
  ASSERT_EQ(open_url(&c, url, 5000, &err), 0) << err;
  check(c);
  tq_conn_close(&c);
  expect_released(c);
}

TEST_F(TqTls, TrustedChainCarriesDataAndEndsWithCloseNotify) {
  for (const char *key : {"rsa", "ec"}) {
    SCOPED_TRACE(key);
    const peer_events events(key);
    const auto r = run_in_child({ca()}, [&] {
      with_open(url(key), [&](tq_conn &c) {
        EXPECT_EQ(c.tls_ready, 1);
        EXPECT_EQ(c.trusted, 1);
        EXPECT_EQ(c.pin_ok, 0);
        EXPECT_EQ(std::string(c.peer_pin), pin(key));
        EXPECT_EQ(c.anchor_count, embedded_roots() + 1) << "embedded roots, then the bundle file";
        EXPECT_EQ(c.knownkey, nullptr);
        int last = 0;
        EXPECT_EQ(exchange(&c, &last), ws_test::kTlsResponse);
        EXPECT_EQ(last, 0) << "close_notify is a clean end of stream";
      });
    });
    EXPECT_TRUE(r.passed()) << r.err;
    EXPECT_EQ(r.err, "") << "nothing on stderr without TQ_VERBOSE";
    EXPECT_EQ(events.accepts(), 1);
    EXPECT_EQ(events.handshakes(), 1);
  }
}

TEST_F(TqTls, BareTcpCloseAfterTheDataIsAnError) {
  const auto r = run_in_child({ca()}, [&] {
    with_open(url("bare"), [](tq_conn &c) {
      int last = 0;
      EXPECT_EQ(exchange(&c, &last), ws_test::kTlsResponse);
      EXPECT_EQ(last, -1) << "a cut-off stream must not look like its end";
    });
  });
  EXPECT_TRUE(r.passed()) << r.err;
}

TEST_F(TqTls, RefusedCertificatesGiveTheValidatorsCode) {
  const struct {
    const char *name;
    const char *listener;
    std::string bundle;
    std::string pins;
    int code;
  } rows[] = {
      {"self-signed", "self", path("ca.pem"), "", 62},
      {"self-signed, another key pinned", "self", path("ca.pem"), kNoPin, 62},
      {"issued for another name", "other", path("ca.pem"), "", 56},
      {"expired", "expired", path("ca.pem"), "", 54},
      {"expired, its key pinned", "expired", path("ca.pem"), pin("rsa"), 54},
      {"misnamed, its key pinned", "other", path("ca.pem"), pin("rsa"), 56},
      {"issuer unknown: TQ_CA_BUNDLE missing", "rsa", path("missing.pem"), "", 62},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    const peer_events events(row.listener);
    const auto r = run_in_child({{"TQ_CA_BUNDLE", row.bundle}, {"TQ_TLS_PIN", row.pins}}, [&] {
      expect_refused(url(row.listener), handshake_failed(row.code));
    });
    EXPECT_TRUE(r.passed()) << r.err;
    EXPECT_EQ(events.accepts(), 1) << "a pin rescues nothing but an unknown issuer";
  }
}

TEST_F(TqTls, PinnedServerIsReachedThroughASecondHandshake) {
  std::string nine_eighth;
  std::string nine_ninth;
  for (int i = 1; i <= 9; i++) {
    const std::string other = std::string(63, 'b') + static_cast<char>('0' + i);
    nine_eighth += (i == 8 ? pin("self") : other) + (i < 9 ? "," : "");
    nine_ninth += (i == 9 ? pin("self") : other) + (i < 9 ? "," : "");
  }
  const struct {
    const char *name;
    const char *key;
    std::string pins;
    bool reached;
  } rows[] = {
      {"lower-case pin", "self", pin("self"), true},
      {"upper-case pin", "self", upper(pin("self")), true},
      {"EC key", "self_ec", pin("self_ec"), true},
      {"two pins, comma and space", "self", kNoPin + ", " + pin("self"), true},
      {"eighth of nine pins", "self", nine_eighth, true},
      {"ninth of nine pins is dropped", "self", nine_ninth, false},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.name);
    const peer_events events(row.key);
    const auto r = run_in_child({ca(), {"TQ_TLS_PIN", row.pins}}, [&] {
      if (!row.reached) {
        expect_refused(url(row.key), handshake_failed(62));
        return;
      }
      with_open(url(row.key), [&](tq_conn &c) {
        EXPECT_EQ(c.tls_ready, 1);
        EXPECT_EQ(c.trusted, 0);
        EXPECT_EQ(c.pin_ok, 1);
        EXPECT_EQ(std::string(c.peer_pin), pin(row.key)) << "always lower case";
        EXPECT_NE(c.knownkey, nullptr);
        int last = 0;
        EXPECT_EQ(exchange(&c, &last), ws_test::kTlsResponse);
        EXPECT_EQ(last, 0);
      });
    });
    EXPECT_TRUE(r.passed()) << r.err;
    EXPECT_EQ(events.accepts(), row.reached ? 2 : 1);
    EXPECT_EQ(events.handshakes(), row.reached ? 1 : 0) << "the first handshake always fails";
  }
}

TEST_F(TqTls, ProgrammaticPinsReplaceTheEnvironmentList) {
  static std::string pins_storage[2];
  pins_storage[0] = kNoPin;
  pins_storage[1] = upper(pin("self"));
  const auto shadowed = run_in_child({ca(), {"TQ_TLS_PIN", pin("self")}}, [&] {
    static const char *const list[] = {pins_storage[0].c_str()};
    tq_http_set_pins(list, 1);
    expect_refused(url("self"), handshake_failed(62));
  });
  EXPECT_TRUE(shadowed.passed()) << shadowed.err;
  const auto rescued = run_in_child({ca(), {"TQ_TLS_PIN", kNoPin}}, [&] {
    static const char *const list[] = {pins_storage[0].c_str(), pins_storage[1].c_str()};
    tq_http_set_pins(list, 2);
    with_open(url("self"), [](tq_conn &c) {
      EXPECT_EQ(c.pin_ok, 1);
      EXPECT_EQ(c.trusted, 0);
    });
  });
  EXPECT_TRUE(rescued.passed()) << rescued.err;
}

TEST_F(TqTls, PinnedSecondHandshakeFailures) {
  const peer_events swap("swap");
  const auto other_key = run_in_child({ca(), {"TQ_TLS_PIN", pin("self")}}, [&] {
    expect_refused(url("swap"), "pinned TLS handshake failed (code 27)");
  });
  EXPECT_TRUE(other_key.passed()) << other_key.err;
  EXPECT_EQ(swap.accepts(), 2);

  const auto refused = run_in_child({ca(), {"TQ_TLS_PIN", pin("self")}}, [&] {
    const std::string port = std::to_string(srv().port("once"));
    expect_refused(url("once"), "connect to localhost:" + port + " failed");
  });
  EXPECT_TRUE(refused.passed()) << refused.err;
}

TEST_F(TqTls, InsecureModeNeedsExactlyTheCharacterOne) {
  for (const char *value : {"1 ", "01", "yes", "", "true"}) {
    SCOPED_TRACE(std::string("TQ_TLS_INSECURE=\"") + value + "\"");
    const auto r = run_in_child({ca(), {"TQ_TLS_INSECURE", value}},
                                [&] { expect_refused(url("self"), handshake_failed(62)); });
    EXPECT_TRUE(r.passed()) << r.err;
  }
  const auto on = run_in_child({ca(), {"TQ_TLS_INSECURE", "1"}}, [&] {
    with_open(url("self"), [](tq_conn &c) {
      EXPECT_EQ(c.trusted, 0);
      EXPECT_EQ(c.pin_ok, 0);
    });
  });
  EXPECT_TRUE(on.passed()) << on.err;
  EXPECT_EQ(on.err, "");
}

TEST_F(TqTls, InsecureModeAcceptsEveryVerdictAndReportsIt) {
  const struct {
    const char *listener;
    const char *key;
    int verdict;
  } rows[] = {
      {"rsa", "rsa", 0}, {"self", "self", 62}, {"other", "rsa", 56}, {"expired", "rsa", 54}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.listener);
    const auto r = run_in_child({ca(), {"TQ_TLS_INSECURE", "1"}, {"TQ_VERBOSE", ""}}, [&] {
      with_open(url(row.listener), [&](tq_conn &c) {
        EXPECT_EQ(c.trusted, row.verdict == 0 ? 1 : 0);
        EXPECT_EQ(std::string(c.peer_pin), pin(row.key));
        EXPECT_EQ(c.anchor_count, embedded_roots() + 2) << "roots, bundle file, placeholder";
        int last = 0;
        EXPECT_EQ(exchange(&c, &last), ws_test::kTlsResponse);
      });
    });
    EXPECT_TRUE(r.passed()) << r.err;
    EXPECT_EQ(r.err, "tq_http_tls: TQ_TLS_INSECURE=1 ignoring certificate error (" +
                         std::to_string(row.verdict) +
                         ") -- debugging only\n"
                         "tq_http_tls: peer pin " +
                         pin(row.key) + " for localhost\n");
  }
}

TEST_F(TqTls, InsecureModeDebugLinesPinsAndFailures) {
  const auto debug = run_in_child({ca(), {"TQ_TLS_INSECURE", "1"}, {"TQ_DEBUG", "1"}},
                                  [&] { with_open(url("self"), [](tq_conn &) {}); });
  EXPECT_TRUE(debug.passed()) << debug.err;
  EXPECT_EQ(debug.err,
            "tq_http_tls: [lenient] start_chain\n"
            "tq_http_tls: TQ_TLS_INSECURE=1 ignoring certificate error (62) -- debugging only\n");

  const peer_events events("self");
  const auto pinned =
      run_in_child({ca(), {"TQ_TLS_INSECURE", "1"}, {"TQ_TLS_PIN", pin("self")}}, [&] {
        with_open(url("self"), [](tq_conn &c) {
          EXPECT_EQ(c.trusted, 0);
          EXPECT_EQ(c.pin_ok, 1);
          EXPECT_EQ(c.knownkey, nullptr) << "insecure mode needs no second handshake";
        });
      });
  EXPECT_TRUE(pinned.passed()) << pinned.err;
  EXPECT_EQ(events.accepts(), 1);

  const auto failed = run_in_child({ca(), {"TQ_TLS_INSECURE", "1"}}, [&] {
    expect_refused(url("garbage"), handshake_failed(3, false));
  });
  EXPECT_TRUE(failed.passed()) << failed.err;
}

TEST_F(TqTls, VerboseNamesThePeersPinAndNeverTheConfiguredOnes) {
  const std::string configured = std::string(64, 'c');
  const auto r = run_in_child(
      {ca(), {"TQ_VERBOSE", ""}, {"TQ_TLS_PIN", configured + "," + upper(pin("rsa"))}}, [&] {
        with_open(url("rsa"), [](tq_conn &c) {
          EXPECT_EQ(c.trusted, 1);
          EXPECT_EQ(c.pin_ok, 1);
        });
      });
  EXPECT_TRUE(r.passed()) << r.err;
  EXPECT_EQ(r.err, "tq_http_tls: peer pin " + pin("rsa") + " for localhost\n");
}

TEST_F(TqTls, BrokenPeersFailTheHandshakeWithinTheTimeOut) {
  const struct {
    const char *listener;
    int timeout_ms;
    int code;
  } rows[] = {{"garbage", 5000, 3}, {"hangup", 5000, 31}, {"stall", 1000, 31}};
  for (const auto &row : rows) {
    SCOPED_TRACE(row.listener);
    const auto r = run_in_child({ca()}, [&] {
      const auto start = std::chrono::steady_clock::now();
      expect_refused(url(row.listener), handshake_failed(row.code), row.timeout_ms);
      const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
      if (row.timeout_ms == 1000) {
        EXPECT_GE(ms, 900);
        EXPECT_LT(ms, 3000) << "the handshake's deadline bounds the wait";
      }
    });
    EXPECT_TRUE(r.passed()) << r.err;
  }
}

#ifdef _WIN32
// A company's own root installed the Windows way, into the machine's ROOT
// store, is trusted with no TQ_CA_BUNDLE: a real handshake succeeds, and
// fails again once the root is removed. A fresh process each time, since a
// process reads the store once. (A re-run child adds the root as well; the
// second one removes it again before its own check.)
TEST_F(TqTls, ARootInTheWindowsStoreIsTrustedUntilItIsRemoved) {
  const std::string pem = ws_test::read_file(path("ca.pem"));  // signed the "rsa" certificate
  ws_test::machine_root root(ws_test::der_from_base64(pem));
  ASSERT_TRUE(root.ok());
  const auto installed = run_in_child({}, [&] {
    with_open(url("rsa"), [](tq_conn &c) {
      EXPECT_EQ(c.trusted, 1);
      int last = 0;
      EXPECT_EQ(exchange(&c, &last), ws_test::kTlsResponse);
    });
  });
  root.remove();
  EXPECT_TRUE(installed.passed()) << installed.err;

  const auto removed = run_in_child({}, [&] { expect_refused(url("rsa"), handshake_failed(62)); });
  EXPECT_TRUE(removed.passed()) << removed.err;
}
#endif

TEST_F(TqTls, AnchorsLoadOnceAtTheFirstHandshake) {
  const std::string ca_pem = ws_test::read_file(path("ca.pem"));
  const auto added_first = run_in_child({{"TQ_CA_BUNDLE", path("missing.pem")}}, [&] {
    EXPECT_EQ(tq_http_add_ca_pem(ca_pem.data(), ca_pem.size()), 1) << "the table starts empty";
    with_open(url("rsa"), [](tq_conn &c) {
      EXPECT_EQ(c.trusted, 1);
      EXPECT_EQ(c.anchor_count, 1 + embedded_roots()) << "the added anchor, then the roots";
    });
  });
  EXPECT_TRUE(added_first.passed()) << added_first.err;

  const auto read_once = run_in_child({{"TQ_CA_BUNDLE", path("missing.pem")}}, [&] {
    expect_refused(url("rsa"), handshake_failed(62));
    setenv("TQ_CA_BUNDLE", path("ca.pem").c_str(), 1);
    expect_refused(url("rsa"), handshake_failed(62));
    EXPECT_EQ(tq_http_add_ca_pem(ca_pem.data(), ca_pem.size()), 1);
    with_open(url("rsa"), [](tq_conn &c) { EXPECT_EQ(c.trusted, 1); });
  });
  EXPECT_TRUE(read_once.passed()) << read_once.err;

  // Without TQ_CA_BUNDLE the system's certificate store (Windows) and the
  // first system bundle that opens are read; the build embeds Debian's, which
  // is the first path tried (Wine opens it too). Insecure mode lets the
  // handshake finish so that the table can be counted.
  size_t store_roots = 0;
  tq_platform_store_roots(
      [](void *ctx, const unsigned char *, size_t) { ++*static_cast<size_t *>(ctx); },
      &store_roots);
  const size_t system_roots =
      store_roots + certificates_in(ws_test::read_file("/etc/ssl/certs/ca-certificates.crt"));
  ASSERT_GT(system_roots, store_roots);
  const auto from_system = run_in_child({{"TQ_CA_BUNDLE", ""}, {"TQ_TLS_INSECURE", "1"}}, [&] {
    with_open(url("rsa"), [&](tq_conn &c) {
      EXPECT_EQ(c.trusted, 0) << "the private CA is in no system bundle";
      EXPECT_EQ(c.anchor_count, embedded_roots() + system_roots + 1);
    });
  });
  EXPECT_TRUE(from_system.passed()) << from_system.err;
}

// Searches run on several threads: first handshakes that start together
// load the bundles once between them, and all of them trust the chain.
TEST_F(TqTls, ConcurrentFirstHandshakesLoadTheAnchorsOnce) {
  const auto r = run_in_child({ca()}, [&] {
    constexpr int kThreads = 6;
    size_t counts[kThreads] = {};
    int trusted[kThreads] = {};
    std::string errors[kThreads];
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; i++) {
      threads.emplace_back([&, i] {
        tq_conn c;
        if (open_url(&c, url(i % 2 ? "rsa" : "ec"), 5000, &errors[i]) != 0) return;
        counts[i] = c.anchor_count;
        trusted[i] = c.trusted;
        tq_conn_close(&c);
      });
    }
    for (std::thread &t : threads) t.join();
    for (int i = 0; i < kThreads; i++) {
      SCOPED_TRACE(i);
      EXPECT_EQ(errors[i], "");
      EXPECT_EQ(trusted[i], 1);
      EXPECT_EQ(counts[i], embedded_roots() + 1);
    }
  });
  EXPECT_TRUE(r.passed()) << r.err;
}

// Opens url (which must succeed) and closes it again; what the handshake
// found, as "resumed=R trusted=T pin_ok=P pin=<peer pin>".
std::string handshake_of(const std::string &url) {
  tq_conn c;
  std::string err;
  if (open_url(&c, url, 5000, &err) != 0) return "failed: " + err;
  const std::string seen = "resumed=" + std::to_string(c.resumed) +
                           " trusted=" + std::to_string(c.trusted) +
                           " pin_ok=" + std::to_string(c.pin_ok) + " pin=" + c.peer_pin;
  tq_conn_close(&c);
  return seen;
}

TEST_F(TqTls, KeptSessionsResumeOnlyUnderTheTrustSettingsTheyWereMadeUnder) {
  const peer_events events("keep");
  const std::string rsa = pin("rsa");
  const auto r = run_in_child({ca(), {"TQ_VERBOSE", ""}}, [&] {
    tq_pool_enable();
    const std::string u = url("keep");
    static const char *pins[1];
    pins[0] = rsa.c_str();
    const struct {
      const char *what;
      std::function<void()> settings;
      std::string want;
    } steps[] = {
        {"first: a full handshake", [] {}, "resumed=0 trusted=1 pin_ok=0 pin=" + rsa},
        {"second: resumed, same checks", [] {}, "resumed=1 trusted=1 pin_ok=0 pin=" + rsa},
        {"a pin list: not offered", [] { tq_http_set_pins(pins, 1); },
         "resumed=0 trusted=1 pin_ok=1 pin=" + rsa},
        {"the same pins again", [] {}, "resumed=1 trusted=1 pin_ok=1 pin=" + rsa},
        {"back without pins", [] { tq_http_set_pins(nullptr, 0); },
         "resumed=1 trusted=1 pin_ok=0 pin=" + rsa},
        {"insecure mode: not offered", [] { setenv("TQ_TLS_INSECURE", "1", 1); },
         "resumed=0 trusted=1 pin_ok=0 pin=" + rsa},
    };
    for (const auto &step : steps) {
      SCOPED_TRACE(step.what);
      step.settings();
      EXPECT_EQ(handshake_of(u), step.want);
    }
    tq_pool_shutdown();
    EXPECT_EQ(handshake_of(u), "resumed=0 trusted=1 pin_ok=0 pin=" + rsa) << "sessions wiped";
  });
  EXPECT_TRUE(r.passed()) << r.err;
  EXPECT_EQ(events.handshakes(), 7);
  EXPECT_EQ(events.resumed(), 3) << "the server saw every resumption";
  const std::string line =
      "tq_http_tls: session resumed for localhost:" + std::to_string(srv().port("keep"));
  size_t lines = 0;
  for (size_t at = r.err.find(line); at != std::string::npos; at = r.err.find(line, at + 1)) {
    lines++;
  }
  EXPECT_EQ(lines, 3u) << r.err;
}

TEST_F(TqTls, ASessionMadeThroughAPinResumesWithThePinsVerdict) {
  const peer_events events("keep_self");
  const std::string self = pin("self");
  const auto r = run_in_child({ca(), {"TQ_TLS_PIN", self}}, [&] {
    tq_pool_enable();
    EXPECT_EQ(handshake_of(url("keep_self")), "resumed=0 trusted=0 pin_ok=1 pin=" + self);
    EXPECT_EQ(handshake_of(url("keep_self")), "resumed=1 trusted=0 pin_ok=1 pin=" + self);
    tq_pool_shutdown();
  });
  EXPECT_TRUE(r.passed()) << r.err;
  EXPECT_EQ(events.accepts(), 3) << "refused chain, pinned handshake, resumed one";
  EXPECT_EQ(events.resumed(), 1);
}

TEST_F(TqTls, AKeptConnectionCarriesTwoSearchesAndEndsWithCloseNotify) {
  const peer_events events("keep");
  const auto r = run_in_child({ca(), {"TQ_VERBOSE", ""}}, [&] {
    ws_http_keep_connections();
    for (int i = 0; i < 2; i++) {
      ws_resp resp;
      EXPECT_EQ(ws_http_do("GET", url("keep").c_str(), nullptr, nullptr, 0, 5000, &resp), 0)
          << resp.error;
      EXPECT_EQ(std::string(resp.body ? resp.body : ""), "hello over tls");
      ws_resp_free(&resp);
    }
    ws_http_close_kept();
  });
  EXPECT_TRUE(r.passed()) << r.err;
  EXPECT_NE(r.err.find("tq_http_tls: reusing connection to localhost:" +
                       std::to_string(srv().port("keep")) + "\n"),
            std::string::npos)
      << r.err;
  EXPECT_EQ(events.accepts(), 1);
  EXPECT_EQ(events.handshakes(), 1);
  // The server logs the close_notify once it has read it.
  for (int i = 0; i < 100 && events.close_notifies() == 0; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(events.close_notifies(), 1);
}

}  // namespace
