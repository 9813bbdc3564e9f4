#include "support/process_probe.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace ws_test {

int open_fd_count() {
  DIR *d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int n = 0;
  while (const dirent *e = readdir(d)) {
    if (e->d_name[0] != '.') n++;
  }
  closedir(d);
  return n - 1;  // the directory stream itself
}

stderr_capture::stderr_capture() {
  fflush(stderr);
  FILE *tmp = tmpfile();
  if (tmp == nullptr) return;
  file_fd_ = fcntl(fileno(tmp), F_DUPFD_CLOEXEC, 3);
  fclose(tmp);
  saved_fd_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
  if (file_fd_ < 0 || saved_fd_ < 0 || dup2(file_fd_, 2) < 0) {
    if (saved_fd_ >= 0) close(saved_fd_);
    if (file_fd_ >= 0) close(file_fd_);
    saved_fd_ = file_fd_ = -1;
  }
}

stderr_capture::~stderr_capture() {
  finish();
}

std::string stderr_capture::finish() {
  if (saved_fd_ < 0) return "";
  fflush(stderr);
  dup2(saved_fd_, 2);
  close(saved_fd_);
  saved_fd_ = -1;

  std::string out;
  char buf[4096];
  off_t at = 0;
  for (;;) {
    ssize_t r = pread(file_fd_, buf, sizeof buf, at);
    if (r <= 0) break;
    out.append(buf, static_cast<size_t>(r));
    at += r;
  }
  close(file_fd_);
  file_fd_ = -1;
  return out;
}

}  // namespace ws_test
