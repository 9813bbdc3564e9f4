// Running a piece of a test in a forked child process, for code whose
// process-wide state (read once per process) must start fresh.
//
//   auto r = ws_test::run_in_child({{"TQ_TLS_PIN", pin}}, [&] {
//     EXPECT_EQ(tq_pin_matches_hex(pin.c_str()), 1);
//   });
//   EXPECT_TRUE(r.passed()) << r.err;
//
// The child starts from a copy of the parent: it unsets every variable named
// in ws_test::kTqVars, applies the given settings, runs body, then (in ASan
// builds) runs the leak checker. Its exit code is 0 when body raised no
// GoogleTest failure and nothing leaked. Failures print on standard output
// as usual; what the child writes to standard error is captured instead.
//
// Windows has no fork: the child is the test binary started again with
// --gtest_filter naming the running test, its environment the parent's with
// the same changes. It runs the test from the start; its run_in_child calls
// before the one it was started for return a passed result at once, and that
// call runs body and ends the child (status 3 when the re-run never gets
// there). So body must find what it needs the same in both processes: what
// differs (a scratch folder, the port of a server the test started) it takes
// from the settings; a tls_server is the parent's in the child too. Children
// are numbered in the order the test starts them, which must not vary from
// one run to the next (so never from threads). The child's output before its
// own call is dropped; its TMP and TEMP name a fresh folder, removed when it
// has ended. Exit code 0 when body raised no new GoogleTest failure; there
// is no leak check, and signal is always 0 (a child past its time-out is
// ended with TerminateProcess).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>

namespace ws_test {

// The connector SDK's own environment variables.
inline constexpr const char *kTqVars[] = {"TQ_CA_BUNDLE", "TQ_TLS_PIN", "TQ_TLS_INSECURE",
                                          "TQ_VERBOSE", "TQ_DEBUG"};

struct child_result {
  bool exited = false;  // ended with exit(); code holds the status
  int code = -1;
  int signal = 0;          // the signal that ended it, when it did not exit
  bool timed_out = false;  // killed after timeout_ms
  std::string err;         // everything it wrote to standard error
  bool passed() const { return exited && code == 0; }
};

using env_setting = std::pair<const char *, std::string>;

child_result run_in_child(std::initializer_list<env_setting> env, const std::function<void()> &body,
                          int timeout_ms = 60000);

// The same child, running while the test goes on (several at once, for
// tests of processes racing one another). The destructor waits as wait()
// does, with the default time-out, when wait() was not called.
class child_process {
 public:
  child_process(std::initializer_list<env_setting> env, const std::function<void()> &body);
  ~child_process();
  child_process(const child_process &) = delete;
  child_process &operator=(const child_process &) = delete;
  // Collects standard error until the child ends, then reaps it; a child
  // still running after timeout_ms (from this call) is killed. Once only:
  // later calls return the same result.
  child_result wait(int timeout_ms = 60000);

 private:
  child_result result_;
  bool waited_ = false;
#ifdef _WIN32
  void *process_ = nullptr;  // HANDLE of the child; null when none was started
  void *err_pipe_ = nullptr;
  std::string temp_dir_;  // the child's TMP and TEMP, removed after it
#else
  int pid_ = -1;
  int err_fd_ = -1;
#endif
};

}  // namespace ws_test
