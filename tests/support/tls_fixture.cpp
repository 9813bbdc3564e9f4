#include "support/tls_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

namespace ws_test {

const char kTlsResponse[] =
    "HTTP/1.1 200 OK\r\nContent-Length: 14\r\nConnection: close\r\n\r\nhello over tls";

namespace {

namespace fs = std::filesystem;

int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::string slurp(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// $WS_SOURCE_DIR names the tree; without it, the script lies beside this
// file, whose path the build hands to the compiler.
std::string script_path() {
  const char *src = getenv("WS_SOURCE_DIR");
  if (src && *src) return std::string(src) + "/tests/support/tls_server.py";
  const std::string here = __FILE__;
  const size_t slash = here.rfind('/');
  return slash == std::string::npos ? std::string() : here.substr(0, slash + 1) + "tls_server.py";
}

// $WS_BUILD_DIR, else the folder of $WS_BINARY (the executable sits at the
// top of the build tree); "" when neither is known.
std::string build_dir() {
  const char *build = getenv("WS_BUILD_DIR");
  if (build && *build) return build;
  const char *binary = getenv("WS_BINARY");
  if (!binary || !*binary) return "";
  return fs::path(binary).parent_path().string();
}

// Waits for pid at most timeout_ms, then kills it. Its exit code, or -1.
int reap(pid_t pid, int timeout_ms) {
  const int64_t deadline = now_ms() + timeout_ms;
  int status = 0;
  for (;;) {
    const pid_t w = waitpid(pid, &status, WNOHANG);
    if (w == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (w < 0) return -1;
    if (now_ms() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    usleep(5000);
  }
}

[[noreturn]] void exec_python(const std::vector<std::string> &args) {
  std::vector<char *> argv;
  argv.push_back(const_cast<char *>("python3"));
  for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
  argv.push_back(nullptr);
  execvp("python3", argv.data());
  _exit(127);
}

// Runs the generator into dir; true on exit code 0.
bool generate(const std::string &dir, std::string *why) {
  const pid_t pid = fork();
  if (pid < 0) {
    *why = "fork failed";
    return false;
  }
  if (pid == 0) exec_python({script_path(), "certs", dir});
  if (reap(pid, 180000) != 0) {
    *why = "certificate generation failed (see stderr)";
    return false;
  }
  return true;
}

struct temp_dir_remover {
  std::string dir;
  ~temp_dir_remover() {
    std::error_code ec;
    if (!dir.empty()) fs::remove_all(dir, ec);
  }
};

}  // namespace

std::string tls_cert_dir(std::string *why) {
  static std::string cached;
  static temp_dir_remover remover;
  if (!cached.empty()) return cached;
  const std::string script = script_path();
  if (script.empty() || !fs::exists(script)) {
    *why = "tests/support/tls_server.py not found (set WS_SOURCE_DIR)";
    return "";
  }
  const std::string build = build_dir();
  std::error_code ec;
  if (build.empty()) {
    std::string tmpl = (fs::temp_directory_path() / "ws_tls_XXXXXX").string();
    if (!mkdtemp(tmpl.data())) {
      *why = "mkdtemp failed";
      return "";
    }
    remover.dir = tmpl;
    if (!generate(tmpl, why)) return "";
    cached = tmpl;
    return cached;
  }

  // One set per version of the generator: a changed script makes a new set.
  std::ostringstream name;
  name << "tls-certs-" << std::hex << std::hash<std::string>{}(slurp(script));
  const fs::path base = fs::path(build) / "test-data";
  const fs::path final_dir = base / name.str();
  if (fs::exists(final_dir / "self_ec.pin")) return cached = final_dir.string();
  fs::create_directories(base, ec);
  std::string tmpl = (base / (name.str() + ".tmp-XXXXXX")).string();
  if (!mkdtemp(tmpl.data())) {
    *why = "mkdtemp failed under " + base.string();
    return "";
  }
  if (!generate(tmpl, why)) {
    fs::remove_all(tmpl, ec);
    return "";
  }
  // Whole sets only: the rename is atomic, and a process that loses the race
  // uses the winner's set.
  if (rename(tmpl.c_str(), final_dir.c_str()) != 0) fs::remove_all(tmpl, ec);
  if (!fs::exists(final_dir / "self_ec.pin")) {
    *why = "certificate set incomplete in " + final_dir.string();
    return "";
  }
  return cached = final_dir.string();
}

std::string tls_pin(const std::string &dir, const std::string &name) {
  return slurp(dir + "/" + name + ".pin");
}

tls_server::tls_server(const std::vector<tls_listener> &listeners) {
  char log_tmpl[] = "/tmp/ws_tls_log_XXXXXX";
  const int log_fd = mkstemp(log_tmpl);
  if (log_fd < 0) return;
  close(log_fd);
  log_ = log_tmpl;

  std::vector<std::string> args = {script_path(), "serve", "--log", log_};
  for (const tls_listener &l : listeners) {
    std::string plan = "name=" + l.name + ",mode=" + l.mode;
    if (!l.cert.empty()) plan += ",cert=" + l.cert + ",key=" + l.key;
    if (!l.alt_cert.empty()) plan += ",alt_cert=" + l.alt_cert + ",alt_key=" + l.alt_key;
    if (l.max_accept > 0) plan += ",max_accept=" + std::to_string(l.max_accept);
    args.insert(args.end(), {"--listen", plan});
  }

  int in_pipe[2];
  int out_pipe[2];
  if (pipe2(in_pipe, O_CLOEXEC) != 0) return;
  if (pipe2(out_pipe, O_CLOEXEC) != 0) {
    close(in_pipe[0]);
    close(in_pipe[1]);
    return;
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(in_pipe[0], 0);
    dup2(out_pipe[1], 1);
    exec_python(args);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  if (pid < 0) {
    close(in_pipe[1]);
    close(out_pipe[0]);
    return;
  }
  pid_ = pid;
  stdin_fd_ = in_pipe[1];

  // "PORTS name=<port> ...\n", within 30 s (python starts slowly on a busy machine).
  std::string line;
  const int64_t deadline = now_ms() + 30000;
  while (line.find('\n') == std::string::npos) {
    const int64_t left = deadline - now_ms();
    if (left <= 0) break;
    pollfd p = {out_pipe[0], POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    char buf[256];
    const ssize_t n = read(out_pipe[0], buf, sizeof buf);
    if (n <= 0) break;
    line.append(buf, static_cast<size_t>(n));
  }
  close(out_pipe[0]);

  std::istringstream words(line);
  std::string word;
  if (!(words >> word) || word != "PORTS") {
    stop();
    return;
  }
  while (words >> word) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos) continue;
    const int port = atoi(word.c_str() + eq + 1);
    if (port > 0 && port < 65536) ports_.emplace_back(word.substr(0, eq), port);
  }
  if (ports_.size() != listeners.size()) {
    ports_.clear();
    stop();
  }
}

tls_server::~tls_server() {
  stop();
}

int tls_server::port(const std::string &name) const {
  for (const auto &p : ports_) {
    if (p.first == name) return p.second;
  }
  return 0;
}

std::string tls_server::url(const std::string &name) const {
  return "https://localhost:" + std::to_string(port(name)) + "/";
}

int tls_server::count(const std::string &event) const {
  std::ifstream in(log_);
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    if (line == event) n++;
  }
  return n;
}

int tls_server::accepts(const std::string &name) const {
  return count("accept " + name);
}

int tls_server::handshakes(const std::string &name) const {
  return count("handshake " + name);
}

int tls_server::resumed(const std::string &name) const {
  return count("resumed " + name);
}

int tls_server::close_notifies(const std::string &name) const {
  return count("close_notify " + name);
}

void tls_server::stop() {
  if (stdin_fd_ >= 0) {
    close(stdin_fd_);  // the server leaves at the end of its input
    stdin_fd_ = -1;
  }
  if (pid_ > 0) {
    reap(pid_, 3000);  // kills it when it does not leave in time
    pid_ = -1;
  }
  if (!log_.empty()) {
    unlink(log_.c_str());
    log_.clear();
  }
}

}  // namespace ws_test
