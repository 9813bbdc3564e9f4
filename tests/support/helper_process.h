// A Linux helper program of the tests (python3 running mock_upstream.py or
// tls_server.py, node running ws_peer.mjs) as a child of the test, its
// standard input and output connected to the test, its standard error shared
// with the test's.
//
//   ws_test::helper_process h;
//   std::string why;
//   ASSERT_TRUE(h.start({"python3", script, "serve"}, &why)) << why;
//   std::string line;
//   ASSERT_TRUE(h.read_line(&line, tq_now_ms() + 10000));   // e.g. "PORT 40123"
//   ...
//   EXPECT_EQ(h.finish(3000), 0);   // also done, bounded, by the destructor
//
// The helpers leave when their standard input ends, so finish() first closes
// it. On POSIX the helper is spawned directly. A Windows test binary runs
// under Wine, which cannot hand a Linux program its standard streams; there
// the helper is started by tests/support/helper_broker.py (the emulator the
// Windows test binaries run under, port in $WS_HELPER_BROKER) and one
// loopback connection to it stands for the helper's standard input and
// output. The helper's environment is then the broker's, not the test's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ws_test {

class helper_process {
 public:
  helper_process() = default;
  ~helper_process();
  helper_process(const helper_process &) = delete;
  helper_process &operator=(const helper_process &) = delete;

  // Starts argv (argv[0] looked up on PATH). False with a reason in *why.
  bool start(const std::vector<std::string> &argv, std::string *why);
  bool running() const;
  // The next line of the helper's output, without its newline. False at
  // the end of its output, or when deadline_ms (tq_now_ms's clock) passes
  // before a whole line came.
  bool read_line(std::string *line, int64_t deadline_ms);
  // Ends the helper's input and waits up to timeout_ms for it to leave,
  // reading and dropping what it still writes; kills it after that. Its
  // exit code, or -1 when it was killed, ended by a signal or never ran.
  // Safe to call twice.
  int finish(int timeout_ms);

 private:
#ifdef _WIN32
  // Reads one frame of the broker's answer; false at its end or time-out.
  bool read_frame(int64_t deadline_ms);
  intptr_t sock_ = -1;
  int exit_code_ = -1;
  bool exited_ = false;
#else
  int pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
#endif
  std::string buffered_;
};

}  // namespace ws_test
