// tests/support/mock_upstream.py as a child process of a C++ test.
//
//   ws_test::mock_upstream_process mock;
//   ASSERT_TRUE(mock.start()) << mock.error();
//   mock.script(R"({"prefix":"/brave","status":401,"body":"{\"message\":\"bad key\"}"})");
//   ... point a backend at mock.base() + "/brave" and search ...
//   std::vector<ws_test::mock_request> seen = mock.requests();
//   mock.stop();   // also done by the destructor
//
// The script is found through $WS_SOURCE_DIR (else beside this helper's source). The child reads
// the pipe that is its standard input and exits when that closes, so even a test process that dies
// leaves no mock behind. Control requests (script, reset, requests) speak plain HTTP, so they work
// only with a mock started without
// --tls-cert; drive a TLS mock from Python instead.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "support/helper_process.h"

namespace ws_test {

struct mock_request {
  std::string method;
  std::string target;
  std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
  std::string body;
  std::string raw;  // the exact request bytes, head and body
};

class mock_upstream_process {
 public:
  mock_upstream_process() = default;
  ~mock_upstream_process();
  mock_upstream_process(const mock_upstream_process &) = delete;
  mock_upstream_process &operator=(const mock_upstream_process &) = delete;

  // Starts the mock with extra command-line arguments and waits up to
  // timeout_ms for its "PORT <n>" line. False with a reason in error().
  bool start(const std::vector<std::string> &args = {}, int timeout_ms = 15000);
  // Closes the child's standard input, then kills it if it has not gone
  // within a second, and reaps it. Bounded; safe to call twice.
  void stop();

  bool running() const { return helper_.running(); }
  int port() const { return port_; }
  // "http://127.0.0.1:<port>"
  std::string base() const;
  const std::string &error() const { return error_; }

  // POST /__script with a JSON object as documented in mock_upstream.py.
  bool script(const std::string &json);
  // POST /__reset.
  bool reset();
  // GET /__requests, decoded; empty (with error() set) when it fails.
  std::vector<mock_request> requests();

 private:
  // One control exchange; the answer's status and body.
  bool control(const std::string &method, const std::string &target, const std::string &body,
               int *status, std::string *answer);

  helper_process helper_;
  int port_ = 0;
  std::string error_;
};

// Standard base64 decoding (with "=" padding); false on a malformed text.
bool base64_decode(const std::string &in, std::string *out);

}  // namespace ws_test
