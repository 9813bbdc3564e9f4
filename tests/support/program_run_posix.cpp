// POSIX: posix_spawn with three pipes.
#include "support/program_run.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace ws_test {

bool run_program(const std::string &binary, const std::vector<std::string> &args,
                 const std::map<std::string, std::string> &env, const std::string &input,
                 int timeout_ms, program_result *r, std::string *why) {
  std::vector<std::string> env_text;
  for (const auto &kv : env) env_text.push_back(kv.first + "=" + kv.second);
  std::vector<char *> envp;
  for (std::string &s : env_text) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_text = {binary};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &s : argv_text) argv.push_back(s.data());
  argv.push_back(nullptr);

  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
    *why = std::string("pipe2: ") + strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, in[0], 0);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, binary.c_str(), &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (rc != 0) {
    *why = "posix_spawn " + binary + ": " + strerror(rc);
    close(in[1]);
    close(out[0]);
    close(err[0]);
    return false;
  }
  // Small inputs fit in the pipe, so this never waits on the child.
  if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {
    // The child may have ended without reading; that is its business.
  }
  close(in[1]);

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  std::string *sinks[2] = {&r->out, &r->err};
  int open_fds = 2;
  while (open_fds > 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) {
      r->timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    const int n = poll(fds, 2, static_cast<int>(left));
    if (n < 0 && errno != EINTR) break;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[8192];
      const ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got > 0) {
        sinks[i]->append(buf, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  for (const pollfd &p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  r->exited = WIFEXITED(status);
  r->status = r->exited ? WEXITSTATUS(status) : -1;
  return true;
}

}  // namespace ws_test
