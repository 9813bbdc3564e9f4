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
