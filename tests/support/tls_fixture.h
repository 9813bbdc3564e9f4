// Certificates and loopback TLS peers for the TLS tests, both provided by
// tests/support/tls_server.py (which drives the openssl command-line tool).
//
//   std::string why;
//   const std::string dir = ws_test::tls_cert_dir(&why);   // "" on failure
//   ws_test::tls_server srv("http", dir + "/rsa.pem", dir + "/rsa.key");
//   ... connect to srv.url() ...
//   EXPECT_EQ(srv.handshakes(), 1);
//
// Every server is stopped by its destructor, bounded in time.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace ws_test {

// Directory holding the generated certificates, keys and pins (see
// tls_server.py). Generated once per build directory (WS_BUILD_DIR) and per
// version of the generator, so parallel test processes share one set; without
// WS_BUILD_DIR, into a temporary directory removed at exit. "" with a reason.
std::string tls_cert_dir(std::string *why);

// Contents of <dir>/<name>.pin: the 64 hex digits the SDK computes for that key.
std::string tls_pin(const std::string &dir, const std::string &name);

// Bytes the "http" and "bare" peers answer every request with.
extern const char kTlsResponse[];

class tls_server {
 public:
  // mode: "http", "bare", "garbage", "hangup" or "stall" (tls_server.py).
  // extra: further command-line arguments (--alternate C K, --max-accept N).
  tls_server(const std::string &mode, const std::string &cert = "", const std::string &key = "",
             const std::vector<std::string> &extra = {});
  ~tls_server();
  tls_server(const tls_server &) = delete;
  tls_server &operator=(const tls_server &) = delete;

  bool ok() const { return port_ != 0; }
  int port() const { return port_; }
  // "https://localhost:<port>/"
  std::string url() const;
  // Events logged so far: TCP connections accepted, TLS handshakes completed.
  int accepts() const;
  int handshakes() const;
  void stop();

 private:
  int count(const char *event) const;

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int port_ = 0;
  std::string log_;
};

}  // namespace ws_test
