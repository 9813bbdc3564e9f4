// Windows: the helper is started by helper_broker.py, and one loopback
// connection to the broker stands for its standard streams (the protocol is
// described in the broker).
#include <cstdlib>
#include <cstring>

#include "sdk/platform.h"
#include "sdk/tq_conn.h"
#include "support/helper_process.h"

namespace ws_test {

namespace {

constexpr int kConnectTimeoutMs = 10000;
constexpr uint32_t kMaxFrame = 1u << 20;

// Waits for sock until deadline_ms, however far off (one wait of the
// platform layer lasts at most 30 s, and certificate generation may take
// longer on a busy machine).
bool wait_until(tq_socket s, tq_plat_wait_kind kind, int64_t deadline_ms) {
  while (tq_plat_wait(s, kind, deadline_ms) != 1) {
    if (tq_now_ms() >= deadline_ms) return false;
  }
  return true;
}

// Exactly len bytes, or false at the end of the stream or the deadline.
bool recv_all(tq_socket s, char *buf, size_t len, int64_t deadline_ms) {
  size_t got = 0;
  while (got < len) {
    if (!wait_until(s, TQ_PLAT_READABLE, deadline_ms)) return false;
    const ptrdiff_t n = tq_plat_recv(s, buf + got, len - got);
    if (n < 0 && tq_plat_error_is_transient(tq_platform_last_error())) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool send_all(tq_socket s, const std::string &bytes, int64_t deadline_ms) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    if (!wait_until(s, TQ_PLAT_WRITABLE, deadline_ms)) return false;
    const ptrdiff_t n = tq_plat_send(s, bytes.data() + sent, bytes.size() - sent);
    if (n < 0 && tq_plat_error_is_transient(tq_platform_last_error())) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

helper_process::~helper_process() {
  finish(3000);
}

bool helper_process::running() const {
  return sock_ != TQ_NO_SOCKET && !exited_;
}

bool helper_process::start(const std::vector<std::string> &args, std::string *why) {
  finish(3000);
  buffered_.clear();
  exited_ = false;
  exit_code_ = -1;
  if (args.empty()) {
    *why = "no program named";
    return false;
  }
  const char *port = getenv("WS_HELPER_BROKER");
  if (port == nullptr || atoi(port) <= 0) {
    *why =
        "WS_HELPER_BROKER is not set: run the Windows test binary under "
        "tests/support/helper_broker.py";
    return false;
  }
  tq_plat_addrs *addrs = nullptr;
  if (tq_plat_resolve("127.0.0.1", atoi(port), &addrs) != 0) {
    *why = "cannot resolve 127.0.0.1";
    return false;
  }
  tq_plat_addrs_guard guard(addrs);
  const int64_t deadline = tq_now_ms() + kConnectTimeoutMs;
  tq_socket s = tq_plat_socket_for(addrs, 0);
  int so_error = 0;
  if (s == TQ_NO_SOCKET || tq_plat_connect_start(s, addrs, 0) != 0 ||
      tq_plat_wait(s, TQ_PLAT_WRITABLE, deadline) != 1 || tq_plat_socket_error(s, &so_error) != 0 ||
      so_error != 0) {
    tq_plat_close(s);
    *why = "cannot connect to the helper broker on port " + std::string(port);
    return false;
  }
  std::string request;
  for (const std::string &a : args) {
    request += a;
    request += '\0';
  }
  request += '\0';
  if (!send_all(s, request, deadline)) {
    tq_plat_close(s);
    *why = "cannot send the command to the helper broker";
    return false;
  }
  sock_ = s;
  return true;
}

bool helper_process::read_frame(int64_t deadline_ms) {
  if (sock_ == TQ_NO_SOCKET || exited_) return false;
  unsigned char head[5];
  if (!recv_all(sock_, reinterpret_cast<char *>(head), sizeof head, deadline_ms)) return false;
  const uint32_t len = (uint32_t{head[1]} << 24) | (uint32_t{head[2]} << 16) |
                       (uint32_t{head[3]} << 8) | uint32_t{head[4]};
  if (len > kMaxFrame) return false;
  std::string payload(len, '\0');
  if (!recv_all(sock_, payload.data(), len, deadline_ms)) return false;
  if (head[0] == 'o') {
    buffered_ += payload;
  } else if (head[0] == 'x') {
    exited_ = true;
    const int code = atoi(payload.c_str());
    exit_code_ = code >= 0 ? code : -1;
  }
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
    if (!read_frame(deadline_ms)) return false;
  }
}

int helper_process::finish(int timeout_ms) {
  if (sock_ == TQ_NO_SOCKET) return -1;
  const int64_t deadline = tq_now_ms() + timeout_ms;
  send_all(sock_, "c", deadline);
  while (!exited_ && read_frame(deadline)) buffered_.clear();
  if (!exited_) {
    // Killed: its status is no exit code, whatever the broker reports.
    send_all(sock_, "k", tq_now_ms() + 1000);
    exit_code_ = -1;
  }
  tq_plat_close(sock_);
  sock_ = TQ_NO_SOCKET;
  const int code = exited_ ? exit_code_ : -1;
  exited_ = false;
  return code;
}

}  // namespace ws_test
