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
// call runs body and ends the child. So the test's code up to the call must
// give the same values in both processes (ports of servers the test starts
// differ, but the child starts its own), and the checks on earlier results
// see placeholders. Exit code 0 when body raised no new GoogleTest failure;
// there is no leak check and signal is always 0 (a timed-out child is ended
// with TerminateProcess).
#pragma once

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

}  // namespace ws_test
