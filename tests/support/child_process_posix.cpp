#include "support/child_process.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#define WS_TEST_LSAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define WS_TEST_LSAN 1
#endif
#endif
#ifdef WS_TEST_LSAN
#include <sanitizer/lsan_interface.h>
#endif

namespace ws_test {

namespace {

[[noreturn]] void child_main(int err_fd, std::initializer_list<env_setting> env,
                             const std::function<void()> &body) {
  dup2(err_fd, 2);
  close(err_fd);
  for (const char *name : kTqVars) unsetenv(name);
  for (const auto &kv : env) setenv(kv.first, kv.second.c_str(), 1);
  body();
  int code = ::testing::Test::HasFailure() ? 1 : 0;
#ifdef WS_TEST_LSAN
  if (__lsan_do_recoverable_leak_check() != 0) code = 2;
#endif
  fflush(stdout);
  fflush(stderr);
  _exit(code);  // no static destructors of the parent's copy
}

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

child_process::child_process(std::initializer_list<env_setting> env,
                             const std::function<void()> &body) {
  int fds[2];
  if (pipe(fds) != 0) {
    result_.err = "pipe failed";
    return;
  }
  fflush(stdout);
  fflush(stderr);
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    result_.err = "fork failed";
    return;
  }
  if (pid == 0) {
    close(fds[0]);
    child_main(fds[1], env, body);
  }
  close(fds[1]);
  pid_ = pid;
  err_fd_ = fds[0];
}

child_process::~child_process() {
  wait();
}

child_result child_process::wait(int timeout_ms) {
  if (waited_ || pid_ < 0) return result_;
  waited_ = true;
  child_result &r = result_;
  const pid_t pid = pid_;
  const int64_t deadline = now_ms() + timeout_ms;
  char buf[4096];
  for (;;) {
    const int64_t left = deadline - now_ms();
    if (left <= 0) {
      r.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    pollfd p = {err_fd_, POLLIN, 0};
    const int ready = poll(&p, 1, static_cast<int>(left));
    if (ready < 0) continue;  // EINTR: the deadline is checked again
    if (ready == 0) continue;
    const ssize_t n = read(err_fd_, buf, sizeof buf);
    if (n <= 0) break;  // end of file: the child is done with stderr
    r.err.append(buf, static_cast<size_t>(n));
  }
  close(err_fd_);
  err_fd_ = -1;

  int status = 0;
  // After end of file the child is exiting; a child that closed stderr
  // early and then hangs is bounded by the same deadline.
  for (;;) {
    const pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (w < 0) return r;
    if (now_ms() > deadline && !r.timed_out) {
      r.timed_out = true;
      kill(pid, SIGKILL);
    }
    usleep(2000);
  }
  if (WIFEXITED(status)) {
    r.exited = true;
    r.code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    r.signal = WTERMSIG(status);
  }
  return r;
}

child_result run_in_child(std::initializer_list<env_setting> env, const std::function<void()> &body,
                          int timeout_ms) {
  child_process child(env, body);
  return child.wait(timeout_ms);
}

}  // namespace ws_test
