// tests/support/mock_upstream.py as a child process of a C++ test.
#include "support/mock_upstream_process.h"

#include <yyjson.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "sdk/platform.h"
#include "sdk/tq_conn.h"

namespace ws_test {

namespace {

constexpr int kControlTimeoutMs = 10000;

struct socket_closer {
  tq_socket sock;
  ~socket_closer() { tq_plat_close(sock); }
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

  std::vector<std::string> argv = {"python3", script};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!helper_.start(argv, &error_)) return false;

  // The first line is "PORT <n>".
  std::string line;
  if (!helper_.read_line(&line, tq_now_ms() + timeout_ms)) {
    error_ = helper_.running() ? "the mock did not report its port in time"
                               : "the mock ended before reporting its port";
    stop();
    return false;
  }
  if (line.compare(0, 5, "PORT ") != 0 || (port_ = atoi(line.c_str() + 5)) <= 0) {
    error_ = "unexpected first line from the mock: " + line;
    stop();
    return false;
  }
  return true;
}

void mock_upstream_process::stop() {
  // End of input tells the mock to leave; it is killed if it lingers.
  helper_.finish(1000);
  port_ = 0;
}

bool mock_upstream_process::control(const std::string &method, const std::string &target,
                                    const std::string &body, int *status, std::string *answer) {
  if (port_ <= 0) {
    error_ = "the mock is not running";
    return false;
  }
  const int64_t deadline = tq_now_ms() + kControlTimeoutMs;
  tq_plat_addrs *addrs = nullptr;
  if (tq_plat_resolve("127.0.0.1", port_, &addrs) != 0) {
    error_ = "cannot resolve 127.0.0.1";
    return false;
  }
  tq_plat_addrs_guard addrs_guard(addrs);
  socket_closer s{tq_plat_socket_for(addrs, 0)};
  if (s.sock == TQ_NO_SOCKET) {
    error_ = "socket failed";
    return false;
  }
  int so_error = 0;
  if (tq_plat_connect_start(s.sock, addrs, 0) != 0 ||
      tq_plat_wait(s.sock, TQ_PLAT_WRITABLE, deadline) != 1 ||
      tq_plat_socket_error(s.sock, &so_error) != 0 || so_error != 0) {
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
    if (tq_plat_wait(s.sock, TQ_PLAT_WRITABLE, deadline) != 1) {
      error_ = "sending to the mock timed out";
      return false;
    }
    ptrdiff_t n = tq_plat_send(s.sock, req.data() + sent, req.size() - sent);
    if (n < 0 && tq_plat_error_is_transient(tq_platform_last_error())) continue;
    if (n <= 0) {
      error_ = "sending to the mock failed";
      return false;
    }
    sent += static_cast<size_t>(n);
  }
  std::string reply;
  while (true) {
    if (tq_plat_wait(s.sock, TQ_PLAT_READABLE, deadline) != 1) {
      error_ = "the mock did not answer in time";
      return false;
    }
    char buf[4096];
    ptrdiff_t n = tq_plat_recv(s.sock, buf, sizeof buf);
    if (n < 0 && tq_plat_error_is_transient(tq_platform_last_error())) continue;
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
