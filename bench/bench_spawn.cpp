// Times whole processes for the benchmark driver: starts the command with
// posix_spawn (standard input from a file or /dev/null, standard output to
// /dev/null unless asked otherwise), waits for it and prints one line per
// run:
//
//   <wall microseconds> <peak RSS in KiB> <exit status>
//
//   bench_spawn [-n RUNS] [-i INPUT] [-o OUTPUT] -- PROGRAM [ARGS...]
//
// The clock runs from just before the spawn to just after the wait, so the
// driver's own start-up never enters a figure, and both sides of a
// comparison are started the same way.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern char **environ;

namespace {

long long now_us() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

}  // namespace

int main(int argc, char **argv) {
  int runs = 1;
  const char *input = "/dev/null";
  const char *output = "/dev/null";
  int i = 1;
  for (; i < argc; ++i) {
    if (strcmp(argv[i], "-n") == 0 && i + 1 < argc) {
      runs = atoi(argv[++i]);
    } else if (strcmp(argv[i], "-i") == 0 && i + 1 < argc) {
      input = argv[++i];
    } else if (strcmp(argv[i], "-o") == 0 && i + 1 < argc) {
      output = argv[++i];
    } else if (strcmp(argv[i], "--") == 0) {
      ++i;
      break;
    } else {
      break;
    }
  }
  if (i >= argc || runs < 1) {
    fprintf(stderr, "usage: bench_spawn [-n RUNS] [-i INPUT] [-o OUTPUT] -- PROGRAM [ARGS...]\n");
    return 2;
  }
  char **child_argv = argv + i;

  for (int r = 0; r < runs; ++r) {
    const int in = open(input, O_RDONLY | O_CLOEXEC);
    const int out = open(output, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (in < 0 || out < 0) {
      perror("bench_spawn: open");
      return 1;
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&fa, out, STDOUT_FILENO);

    const long long start = now_us();
    pid_t pid;
    const int rc = posix_spawnp(&pid, child_argv[0], &fa, nullptr, child_argv, environ);
    if (rc != 0) {
      fprintf(stderr, "bench_spawn: cannot start %s: %s\n", child_argv[0], strerror(rc));
      return 1;
    }
    int status = 0;
    rusage ru{};
    while (wait4(pid, &status, 0, &ru) < 0) {
    }
    const long long took = now_us() - start;
    posix_spawn_file_actions_destroy(&fa);
    close(in);
    close(out);
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    printf("%lld %ld %d\n", took, ru.ru_maxrss, code);
  }
  return 0;
}
