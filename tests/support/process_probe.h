// Looking at the test process itself: its open descriptors and what it writes
// to standard error.
#pragma once

#include <string>

namespace ws_test {

// Number of entries in /proc/self/fd (the listing's own descriptor excluded);
// on Windows the number of open socket handles. -1 when it cannot be read.
// Compare before and after a scenario to catch leaked sockets.
int open_fd_count();

// Sends everything written to descriptor 2 into a temporary file from
// construction until finish() (or destruction), which puts the old stderr back.
class stderr_capture {
 public:
  stderr_capture();
  ~stderr_capture();
  stderr_capture(const stderr_capture &) = delete;
  stderr_capture &operator=(const stderr_capture &) = delete;
  // Restores stderr and returns what was written meanwhile; "" on a second call.
  std::string finish();

 private:
  int saved_fd_ = -1;
  int file_fd_ = -1;
};

}  // namespace ws_test
