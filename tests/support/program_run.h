// Runs a program of the build (the executable under test) to its end: given
// arguments, exactly the given environment, bytes on its standard input;
// what it writes to standard output and error is collected apart.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace ws_test {

struct program_result {
  bool exited = false;  // ended by itself (not killed, not by a signal)
  int status = -1;      // its exit code when it exited
  bool timed_out = false;
  std::string out;
  std::string err;
};

// False (and *why) when it could not be started; killed after timeout_ms.
bool run_program(const std::string &binary, const std::vector<std::string> &args,
                 const std::map<std::string, std::string> &env, const std::string &input,
                 int timeout_ms, program_result *r, std::string *why);

}  // namespace ws_test
