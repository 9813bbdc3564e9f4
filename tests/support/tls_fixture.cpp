// Paths are written with forward slashes throughout (generic_string): on
// Windows they are handed to a Linux helper, which knows no backslashes.
#include "support/tls_fixture.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "sdk/tq_conn.h"
#include "support/ws_env_scope.h"

namespace ws_test {

const char kTlsResponse[] =
    "HTTP/1.1 200 OK\r\nContent-Length: 14\r\nConnection: close\r\n\r\nhello over tls";

namespace {

namespace fs = std::filesystem;

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
  return fs::path(binary).parent_path().generic_string();
}

// Runs the generator into dir; true on exit code 0.
bool generate(const std::string &dir, std::string *why) {
  helper_process gen;
  if (!gen.start({"python3", script_path(), "certs", dir}, why)) return false;
  if (gen.finish(180000) != 0) {
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
    std::string tmpl = (fs::temp_directory_path() / "ws_tls_XXXXXX").generic_string();
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
  if (fs::exists(final_dir / "self_ec.pin")) return cached = final_dir.generic_string();
  fs::create_directories(base, ec);
  std::string tmpl = (base / (name.str() + ".tmp-XXXXXX")).generic_string();
  if (!mkdtemp(tmpl.data())) {
    *why = "mkdtemp failed under " + base.generic_string();
    return "";
  }
  if (!generate(tmpl, why)) {
    fs::remove_all(tmpl, ec);
    return "";
  }
  // Whole sets only: the rename is atomic, and a process that loses the race
  // uses the winner's set.
  if (rename(tmpl.c_str(), final_dir.generic_string().c_str()) != 0) fs::remove_all(tmpl, ec);
  if (!fs::exists(final_dir / "self_ec.pin")) {
    *why = "certificate set incomplete in " + final_dir.generic_string();
    return "";
  }
  return cached = final_dir.generic_string();
}

std::string tls_pin(const std::string &dir, const std::string &name) {
  return slurp(dir + "/" + name + ".pin");
}

tls_server::tls_server(const std::vector<tls_listener> &listeners) {
  std::vector<std::string> plans;
  for (const tls_listener &l : listeners) {
    std::string plan = "name=" + l.name + ",mode=" + l.mode;
    if (!l.cert.empty()) plan += ",cert=" + l.cert + ",key=" + l.key;
    if (!l.alt_cert.empty()) plan += ",alt_cert=" + l.alt_cert + ",alt_key=" + l.alt_key;
    if (l.max_accept > 0) plan += ",max_accept=" + std::to_string(l.max_accept);
    plans.push_back(plan);
  }
#ifdef _WIN32
  // A Windows run_in_child child runs the test again from its start, so it
  // would start a server of its own, whose events the parent never counts.
  // It uses its parent's instead, which the parent names in the environment
  // the child inherits: "<log> PORTS name=<port> ...".
  std::string all_plans;
  for (const std::string &plan : plans) all_plans += plan + " ";
  shared_var_ = "WS_TEST_TLS_SERVER_" + std::to_string(std::hash<std::string>{}(all_plans));
  if (const char *shared = getenv(shared_var_.c_str())) {
    std::istringstream in(shared);
    std::string line;
    if (in >> log_ && std::getline(in, line) && read_ports(line, listeners.size())) {
      attached_ = true;
      return;
    }
    ports_.clear();
    log_.clear();
    return;
  }
#endif
  // The event log lies where the server can open it too: under the build
  // folder, whose path the helper (a Linux program on Windows) understands.
  const std::string build = build_dir();
  const fs::path base = build.empty() ? fs::temp_directory_path() : fs::path(build) / "test-data";
  std::error_code ec;
  fs::create_directories(base, ec);
  std::string tmpl = (base / "ws_tls_log_XXXXXX").generic_string();
  if (!mkdtemp(tmpl.data())) return;
  log_dir_ = tmpl;
  log_ = log_dir_ + "/events";

  std::vector<std::string> args = {"python3", script_path(), "serve", "--log", log_};
  for (const std::string &plan : plans) args.insert(args.end(), {"--listen", plan});
  std::string why;
  if (!helper_.start(args, &why)) {
    fprintf(stderr, "tls_server: %s\n", why.c_str());
    stop();
    return;
  }

  // "PORTS name=<port> ...\n", within 30 s (python starts slowly on a busy machine).
  std::string line;
  helper_.read_line(&line, tq_now_ms() + 30000);
  if (!read_ports(line, listeners.size())) {
    ports_.clear();
    stop();
    return;
  }
#ifdef _WIN32
  _putenv_s(shared_var_.c_str(), (log_ + " " + line).c_str());
#endif
}

bool tls_server::read_ports(const std::string &line, size_t listeners) {
  std::istringstream words(line);
  std::string word;
  if (!(words >> word) || word != "PORTS") return false;
  while (words >> word) {
    const size_t eq = word.find('=');
    if (eq == std::string::npos) continue;
    const int port = atoi(word.c_str() + eq + 1);
    if (port > 0 && port < 65536) ports_.emplace_back(word.substr(0, eq), port);
  }
  return ports_.size() == listeners;
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
  if (attached_) return;  // the parent's server, stopped by the parent
#ifdef _WIN32
  if (!shared_var_.empty()) _putenv_s(shared_var_.c_str(), "");
#endif
  helper_.finish(3000);  // the server leaves at the end of its input
  if (!log_dir_.empty()) {
    std::error_code ec;
    fs::remove_all(log_dir_, ec);
    log_dir_.clear();
    log_.clear();
  }
}

}  // namespace ws_test
