// POSIX: the helper is spawned directly, two pipes for its standard streams.
#include "support/helper_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "sdk/tq_conn.h"

extern char **environ;

namespace ws_test {

namespace {

void close_fd(int *fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

}  // namespace

helper_process::~helper_process() {
  finish(3000);
}

bool helper_process::running() const {
  return pid_ > 0;
}

bool helper_process::start(const std::vector<std::string> &args, std::string *why) {
  finish(3000);
  buffered_.clear();
  if (args.empty()) {
    *why = "no program named";
    return false;
  }
  int in_pipe[2], out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0) {
    *why = "pipe failed";
    return false;
  }
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    close(in_pipe[0]);
    close(in_pipe[1]);
    *why = "pipe failed";
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);

  std::vector<std::string> argv_s = args;
  std::vector<char *> argv;
  for (std::string &a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(out_pipe[1]);
  if (rc != 0) {
    close(in_pipe[1]);
    close(out_pipe[0]);
    *why = "cannot start " + args[0] + ": " + strerror(rc);
    return false;
  }
  pid_ = pid;
  stdin_fd_ = in_pipe[1];
  stdout_fd_ = out_pipe[0];
  return true;
}

bool helper_process::read_line(std::string *line, int64_t deadline_ms) {
  for (;;) {
    const size_t nl = buffered_.find('\n');
    if (nl != std::string::npos) {
      *line = buffered_.substr(0, nl);
      buffered_.erase(0, nl + 1);
      return true;
    }
    const int64_t left = deadline_ms - tq_now_ms();
    if (left <= 0 || stdout_fd_ < 0) return false;
    pollfd p{stdout_fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[4096];
    const ssize_t n = read(stdout_fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    buffered_.append(buf, static_cast<size_t>(n));
  }
}

int helper_process::finish(int timeout_ms) {
  // End of input tells the helper to leave; a signal follows if it lingers.
  close_fd(&stdin_fd_);
  int code = -1;
  if (pid_ > 0) {
    const int64_t deadline = tq_now_ms() + timeout_ms;
    int status = 0;
    bool reaped = false;
    while (!reaped && tq_now_ms() < deadline) {
      const pid_t r = waitpid(pid_, &status, WNOHANG);
      if (r == pid_) {
        reaped = true;
        code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      } else if (r < 0 && errno != EINTR) {
        reaped = true;
      } else if (stdout_fd_ >= 0) {
        // Drained, so a helper that still writes never blocks on a full pipe.
        pollfd p{stdout_fd_, POLLIN, 0};
        if (poll(&p, 1, 10) > 0) {
          char buf[4096];
          if (read(stdout_fd_, buf, sizeof buf) == 0) close_fd(&stdout_fd_);
        }
      } else {
        usleep(10000);
      }
    }
    if (!reaped) {
      kill(pid_, SIGKILL);
      while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
      }
    }
    pid_ = -1;
  }
  close_fd(&stdout_fd_);
  return code;
}

}  // namespace ws_test
