// Certificates and loopback TLS peers for the TLS tests, both provided by
// tests/support/tls_server.py (which drives the openssl command-line tool).
//
//   std::string why;
//   const std::string dir = ws_test::tls_cert_dir(&why);   // "" on failure
//   ws_test::tls_server srv({{"rsa", "http", dir + "/rsa.pem", dir + "/rsa.key"}});
//   ... connect to srv.url("rsa") ...
//   EXPECT_EQ(srv.handshakes("rsa"), 1);
//
// Every server is stopped by its destructor, bounded in time.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/helper_process.h"

namespace ws_test {

// Directory holding the generated certificates, keys and pins (see
// tls_server.py). Generated once per build directory (WS_BUILD_DIR, else the
// folder of WS_BINARY) and per version of the generator, so parallel test
// processes share one set; without either, into a temporary directory removed
// at exit. "" with a reason.
std::string tls_cert_dir(std::string *why);

// Contents of <dir>/<name>.pin: the 64 hex digits the SDK computes for that key.
std::string tls_pin(const std::string &dir, const std::string &name);

// Bytes the "http" and "bare" peers answer every request with.
extern const char kTlsResponse[];

// One listening socket of a tls_server (the keys of tls_server.py --listen).
struct tls_listener {
  std::string name;
  std::string mode;  // "http", "bare", "keep", "garbage", "hangup" or "stall"
  std::string cert;  // PEM files, TLS modes only
  std::string key;
  std::string alt_cert;  // served on every second connection when set
  std::string alt_key;
  int max_accept = 0;  // > 0: the socket closes after that many connections
};

// One server process with several listeners: python starts slowly, so a
// test suite starts one and addresses its listeners by name.
class tls_server {
 public:
  explicit tls_server(const std::vector<tls_listener> &listeners);
  ~tls_server();
  tls_server(const tls_server &) = delete;
  tls_server &operator=(const tls_server &) = delete;

  bool ok() const { return !ports_.empty(); }
  // 0 for a name that was not set up.
  int port(const std::string &name) const;
  // "https://localhost:<port>/"
  std::string url(const std::string &name) const;
  // Events logged so far for that listener: TCP connections accepted, TLS
  // handshakes completed.
  int accepts(const std::string &name) const;
  int handshakes(const std::string &name) const;
  // "keep" listeners only: handshakes that resumed a session, and
  // connections the client ended with a TLS close_notify.
  int resumed(const std::string &name) const;
  int close_notifies(const std::string &name) const;
  void stop();

 private:
  int count(const std::string &line) const;
  // Fills ports_ from a "PORTS name=<port> ..." line; true when every
  // listener has its port.
  bool read_ports(const std::string &line, size_t listeners);

  helper_process helper_;
  std::vector<std::pair<std::string, int>> ports_;
  std::string log_dir_;  // holds the event log, removed by stop()
  std::string log_;
  std::string shared_var_;  // Windows: names this server to run_in_child children
  bool attached_ = false;   // a child's handle on its parent's server
};

}  // namespace ws_test
