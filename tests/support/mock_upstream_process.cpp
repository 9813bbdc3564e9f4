// tests/support/mock_upstream.py as a child process of a C++ test.
#include "support/mock_upstream_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <yyjson.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

extern char **environ;

namespace ws_test {

namespace {

constexpr int kControlTimeoutMs = 10000;

using clock_type = std::chrono::steady_clock;

int ms_left(clock_type::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits for fd to become ready for events; false on time-out or error.
bool wait_fd(int fd, short events, clock_type::time_point deadline) {
  while (true) {
    pollfd p{fd, events, 0};
    int rc = poll(&p, 1, ms_left(deadline));
    if (rc > 0) return true;
    if (rc == 0) return false;
    if (errno != EINTR) return false;
  }
}

void close_fd(int *fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

struct fd_closer {
  int fd;
  ~fd_closer() {
    if (fd >= 0) close(fd);
  }
};

}  // namespace

bool base64_decode(const std::string &in, std::string *out) {
  out->clear();
  unsigned value = 0;
  int bits = 0;
  size_t pad = 0;
  for (char c : in) {
    int v;
    if (c >= 'A' && c <= 'Z') {
      v = c - 'A';
    } else if (c >= 'a' && c <= 'z') {
      v = c - 'a' + 26;
    } else if (c >= '0' && c <= '9') {
      v = c - '0' + 52;
    } else if (c == '+') {
      v = 62;
    } else if (c == '/') {
      v = 63;
    } else if (c == '=') {
      ++pad;
      continue;
    } else {
      return false;
    }
    if (pad != 0) return false;  // data after padding
    value = (value << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out->push_back(static_cast<char>((value >> bits) & 0xFF));
    }
  }
  return (in.size() % 4) == 0 && pad <= 2;
}

mock_upstream_process::~mock_upstream_process() {
  stop();
}

std::string mock_upstream_process::base() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

bool mock_upstream_process::start(const std::vector<std::string> &args, int timeout_ms) {
  stop();
  error_.clear();
  // $WS_SOURCE_DIR names the tree; without it, the script lies beside this
  // file, whose path the build hands to the compiler.
  std::string script;
  const char *src = getenv("WS_SOURCE_DIR");
  if (src != nullptr && src[0] != '\0') {
    script = std::string(src) + "/tests/support/mock_upstream.py";
  } else {
    std::string here = __FILE__;
    size_t slash = here.rfind('/');
    if (slash == std::string::npos) {
      error_ = "WS_SOURCE_DIR is not set";
      return false;
    }
    script = here.substr(0, slash + 1) + "mock_upstream.py";
  }

  int in_pipe[2], out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0) {
    error_ = "pipe failed";
    return false;
  }
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    close(in_pipe[0]);
    close(in_pipe[1]);
    error_ = "pipe failed";
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);

  std::vector<std::string> argv_s = {"python3", script};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char *> argv;
  for (std::string &a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);

  pid_t pid = -1;
  int rc = posix_spawnp(&pid, "python3", &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(in_pipe[0]);
  close(out_pipe[1]);
  if (rc != 0) {
    close(in_pipe[1]);
    close(out_pipe[0]);
    error_ = std::string("cannot start python3: ") + strerror(rc);
    return false;
  }
  pid_ = pid;
  stdin_fd_ = in_pipe[1];
  stdout_fd_ = out_pipe[0];

  // The first line is "PORT <n>".
  auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  std::string line;
  while (line.find('\n') == std::string::npos) {
    if (!wait_fd(stdout_fd_, POLLIN, deadline)) {
      error_ = "the mock did not report its port in time";
      stop();
      return false;
    }
    char buf[64];
    ssize_t n = read(stdout_fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = "the mock ended before reporting its port";
      stop();
      return false;
    }
    line.append(buf, static_cast<size_t>(n));
  }
  if (line.compare(0, 5, "PORT ") != 0 || (port_ = atoi(line.c_str() + 5)) <= 0) {
    error_ = "unexpected first line from the mock: " + line;
    stop();
    return false;
  }
  return true;
}

void mock_upstream_process::stop() {
  // End of input tells the mock to leave; a signal follows if it lingers.
  close_fd(&stdin_fd_);
  if (pid_ > 0) {
    auto deadline = clock_type::now() + std::chrono::milliseconds(1000);
    bool reaped = false;
    while (!reaped && clock_type::now() < deadline) {
      pid_t r = waitpid(pid_, nullptr, WNOHANG);
      if (r == pid_ || (r < 0 && errno != EINTR)) {
        reaped = true;
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
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
  port_ = 0;
}

bool mock_upstream_process::control(const std::string &method, const std::string &target,
                                    const std::string &body, int *status, std::string *answer) {
  if (port_ <= 0) {
    error_ = "the mock is not running";
    return false;
  }
  auto deadline = clock_type::now() + std::chrono::milliseconds(kControlTimeoutMs);
  fd_closer s{socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)};
  if (s.fd < 0) {
    error_ = "socket failed";
    return false;
  }
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port_));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(s.fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
    error_ = "cannot connect to the mock";
    return false;
  }
  std::string req = method + " " + target +
                    " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                    "\r\nConnection: close\r\n";
  if (!body.empty()) req += "Content-Type: application/json\r\n";
  req += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  size_t sent = 0;
  while (sent < req.size()) {
    if (!wait_fd(s.fd, POLLOUT, deadline)) {
      error_ = "sending to the mock timed out";
      return false;
    }
    ssize_t n = send(s.fd, req.data() + sent, req.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = "sending to the mock failed";
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  std::string reply;
  while (true) {
    if (!wait_fd(s.fd, POLLIN, deadline)) {
      error_ = "the mock did not answer in time";
      return false;
    }
    char buf[4096];
    ssize_t n = recv(s.fd, buf, sizeof buf, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error_ = "reading from the mock failed";
      return false;
    }
    if (n == 0) break;
    reply.append(buf, static_cast<size_t>(n));
  }
  size_t head_end = reply.find("\r\n\r\n");
  if (reply.compare(0, 9, "HTTP/1.1 ") != 0 || head_end == std::string::npos) {
    error_ = "malformed answer from the mock";
    return false;
  }
  *status = atoi(reply.c_str() + 9);
  *answer = reply.substr(head_end + 4);
  return true;
}

bool mock_upstream_process::script(const std::string &json) {
  int status = 0;
  std::string answer;
  if (!control("POST", "/__script", json, &status, &answer)) return false;
  if (status != 200) {
    error_ = "the mock refused the script: " + answer;
    return false;
  }
  return true;
}

bool mock_upstream_process::reset() {
  int status = 0;
  std::string answer;
  return control("POST", "/__reset", "", &status, &answer) && status == 200;
}

std::vector<mock_request> mock_upstream_process::requests() {
  std::vector<mock_request> out;
  int status = 0;
  std::string answer;
  if (!control("GET", "/__requests", "", &status, &answer) || status != 200) return out;
  struct doc_free {
    void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
  };
  std::unique_ptr<yyjson_doc, doc_free> doc(
      yyjson_read(answer.data(), answer.size(), YYJSON_READ_NOFLAG));
  yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
  if (!yyjson_is_arr(root)) {
    error_ = "the request log is not a JSON array";
    return out;
  }
  auto text = [](yyjson_val *obj, const char *key) {
    const char *s = yyjson_get_str(yyjson_obj_get(obj, key));
    return std::string(s != nullptr ? s : "");
  };
  size_t idx, max;
  yyjson_val *entry;
  yyjson_arr_foreach(root, idx, max, entry) {
    mock_request r;
    r.method = text(entry, "method");
    r.target = text(entry, "target");
    size_t hidx, hmax;
    yyjson_val *pair;
    yyjson_arr_foreach(yyjson_obj_get(entry, "headers"), hidx, hmax, pair) {
      const char *name = yyjson_get_str(yyjson_arr_get(pair, 0));
      const char *value = yyjson_get_str(yyjson_arr_get(pair, 1));
      r.headers.emplace_back(name != nullptr ? name : "", value != nullptr ? value : "");
    }
    if (!base64_decode(text(entry, "body_b64"), &r.body) ||
        !base64_decode(text(entry, "raw_b64"), &r.raw)) {
      error_ = "bad base64 in the request log";
      return {};
    }
    out.push_back(std::move(r));
  }
  return out;
}

}  // namespace ws_test
