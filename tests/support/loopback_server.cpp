#include "support/loopback_server.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <utility>

#include "support/test_sockets.h"

namespace ws_test {

namespace {

// How long an orderly close waits for the client's last bytes and its FIN.
constexpr int kDrainMs = 1000;

// Whether a failed send or recv may succeed once the socket is ready.
bool transient_failure() {
  return tq_plat_error_is_transient(tq_platform_last_error());
}

// Case-insensitive search for a header name at the start of a head line.
size_t content_length_of(const std::string &head) {
  static const char kName[] = "\ncontent-length:";
  std::string lower = head;
  for (char &c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  size_t at = lower.find(kName);
  if (at == std::string::npos) return 0;
  size_t i = at + sizeof kName - 1;
  while (i < lower.size() && (lower[i] == ' ' || lower[i] == '\t')) i++;
  size_t v = 0;
  for (; i < lower.size() && lower[i] >= '0' && lower[i] <= '9' && v < (1u << 30); i++) {
    v = v * 10 + static_cast<size_t>(lower[i] - '0');
  }
  return v;
}

}  // namespace

// --- script ------------------------------------------------------------------

loopback_script &loopback_script::send(std::string bytes) {
  steps.push_back({loopback_step::SEND, std::move(bytes), 0, 0});
  return *this;
}

loopback_script &loopback_script::trickle(std::string bytes, size_t chunk, int delay_ms) {
  steps.push_back({loopback_step::TRICKLE, std::move(bytes), chunk == 0 ? 1 : chunk, delay_ms});
  return *this;
}

loopback_script &loopback_script::sleep(int ms) {
  steps.push_back({loopback_step::SLEEP, {}, 0, ms});
  return *this;
}

loopback_script &loopback_script::read_request() {
  steps.push_back({loopback_step::READ_REQUEST, {}, 0, 0});
  return *this;
}

loopback_script &loopback_script::close() {
  steps.push_back({loopback_step::CLOSE, {}, 0, 0});
  return *this;
}

loopback_script &loopback_script::reset() {
  steps.push_back({loopback_step::RESET, {}, 0, 0});
  return *this;
}

loopback_script &loopback_script::stall() {
  steps.push_back({loopback_step::STALL, {}, 0, 0});
  return *this;
}

loopback_script &loopback_script::await_close() {
  steps.push_back({loopback_step::AWAIT_CLOSE, {}, 0, 0});
  return *this;
}

// --- server ------------------------------------------------------------------

loopback_server::loopback_server(loopback_script script, int max_connections)
    : max_connections_(max_connections) {
  scripts_.push_back(std::move(script));
  start();
}

loopback_server::loopback_server(std::vector<loopback_script> per_connection)
    : scripts_(std::move(per_connection)),
      concurrent_(true),
      max_connections_(static_cast<int>(scripts_.size())) {
  start();
}

void loopback_server::start() {
  int port = 0;
  listen_fd_ = sock_bind_loopback(&port);
  if (listen_fd_ == TQ_NO_SOCKET || !sock_listen(listen_fd_, 16) || !sock_pair(wake_)) {
    tq_plat_close(listen_fd_);
    listen_fd_ = TQ_NO_SOCKET;
    finished_ = true;
    return;
  }
  port_ = port;
  thread_ = std::thread([this] { run(); });
}

loopback_server::~loopback_server() {
  stop();
}

std::string loopback_server::url(const char *path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void loopback_server::stop() {
  if (thread_.joinable()) {
    // Closing the writing end wakes the thread as well as a byte would, and
    // cannot fail on a full buffer.
    tq_plat_close(wake_[1]);
    wake_[1] = TQ_NO_SOCKET;
    thread_.join();
  }
  tq_plat_close(listen_fd_);
  tq_plat_close(wake_[0]);
  tq_plat_close(wake_[1]);
  listen_fd_ = wake_[0] = wake_[1] = TQ_NO_SOCKET;
  std::lock_guard<std::mutex> lock(mu_);
  finished_ = true;
  cv_.notify_all();
}

bool loopback_server::wait_finished(int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [this] { return finished_; });
}

std::vector<std::string> loopback_server::requests() const {
  std::lock_guard<std::mutex> lock(mu_);
  return requests_;
}

int loopback_server::connections_accepted() const {
  std::lock_guard<std::mutex> lock(mu_);
  return accepted_;
}

int loopback_server::client_closes() const {
  std::lock_guard<std::mutex> lock(mu_);
  return client_closes_;
}

bool loopback_server::wait_client_closes(int n, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                      [this, n] { return client_closes_ >= n; });
}

int loopback_server::wait_fd(tq_socket fd, short events, int timeout_ms) const {
  sock_waiter w[2] = {{wake_[0], SOCK_IN, false}, {fd, events, false}};
  int r = sock_wait(w, 2, timeout_ms);
  if (r < 0 || w[0].ready) return -1;
  return r == 0 ? 0 : 1;
}

bool loopback_server::pause(int ms) const {
  return ms <= 0 || wait_fd(TQ_NO_SOCKET, 0, ms) == 0;
}

bool loopback_server::send_bytes(tq_socket fd, const char *p, size_t n) const {
  while (n > 0) {
    ptrdiff_t w = tq_plat_send(fd, p, n);
    if (w > 0) {
      p += w;
      n -= static_cast<size_t>(w);
    } else if (w < 0 && transient_failure()) {
      if (wait_fd(fd, SOCK_OUT, -1) != 1) return false;
    } else {
      return false;
    }
  }
  return true;
}

void loopback_server::read_request(tq_socket fd) {
  std::string got;
  size_t want = std::string::npos;  // total bytes once the head is complete
  char buf[65536];
  while (want == std::string::npos || got.size() < want) {
    if (wait_fd(fd, SOCK_IN, -1) != 1) break;
    ptrdiff_t r = tq_plat_recv(fd, buf, sizeof buf);
    if (r < 0 && transient_failure()) continue;
    if (r <= 0) break;
    // Bytes past the announced body belong to nobody; keep them anyway so a
    // test sees everything the client sent.
    got.append(buf, static_cast<size_t>(r));
    if (want == std::string::npos) {
      size_t end = got.find("\r\n\r\n");
      if (end != std::string::npos) want = end + 4 + content_length_of(got.substr(0, end + 2));
    }
  }
  std::lock_guard<std::mutex> lock(mu_);
  requests_.push_back(std::move(got));
}

void loopback_server::close_orderly(tq_socket fd) const {
  sock_shutdown_send(fd);
  char buf[4096];
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDrainMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    until - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0 || wait_fd(fd, SOCK_IN, static_cast<int>(left)) != 1) break;
    ptrdiff_t r = tq_plat_recv(fd, buf, sizeof buf);
    if (r == 0 || (r < 0 && !transient_failure())) break;
  }
  tq_plat_close(fd);
}

void loopback_server::serve(tq_socket fd, const loopback_script &script) {
  for (const loopback_step &s : script.steps) {
    switch (s.kind) {
      case loopback_step::SEND:
        if (!send_bytes(fd, s.bytes.data(), s.bytes.size())) goto abort;
        break;
      case loopback_step::TRICKLE:
        for (size_t at = 0; at < s.bytes.size(); at += s.chunk) {
          size_t n = std::min(s.chunk, s.bytes.size() - at);
          if (!send_bytes(fd, s.bytes.data() + at, n) || !pause(s.delay_ms)) goto abort;
        }
        break;
      case loopback_step::SLEEP:
        if (!pause(s.delay_ms)) goto abort;
        break;
      case loopback_step::READ_REQUEST:
        read_request(fd);
        break;
      case loopback_step::CLOSE:
        close_orderly(fd);
        return;
      case loopback_step::RESET:
        sock_close_reset(fd);
        return;
      case loopback_step::STALL:
        wait_fd(TQ_NO_SOCKET, 0, -1);
        goto abort;
      case loopback_step::AWAIT_CLOSE:
        for (;;) {
          char buf[4096];
          if (wait_fd(fd, SOCK_IN, -1) != 1) goto abort;
          ptrdiff_t r = tq_plat_recv(fd, buf, sizeof buf);
          if (r < 0 && transient_failure()) continue;
          if (r > 0) continue;
          std::lock_guard<std::mutex> lock(mu_);
          client_closes_++;
          cv_.notify_all();
          break;
        }
        goto abort;
    }
  }
  close_orderly(fd);
  return;
abort:
  tq_plat_close(fd);
}

void loopback_server::run() {
  std::vector<std::thread> workers;
  for (int served = 0; served < max_connections_;) {
    if (wait_fd(listen_fd_, SOCK_IN, -1) != 1) break;
    tq_socket fd = sock_accept(listen_fd_);
    if (fd == TQ_NO_SOCKET) continue;
    {
      std::lock_guard<std::mutex> lock(mu_);
      accepted_++;
    }
    const loopback_script &script =
        scripts_[std::min(static_cast<size_t>(served), scripts_.size() - 1)];
    if (concurrent_) {
      workers.emplace_back([this, fd, &script] { serve(fd, script); });
    } else {
      serve(fd, script);
    }
    served++;
  }
  for (std::thread &t : workers) t.join();
  std::lock_guard<std::mutex> lock(mu_);
  finished_ = true;
  cv_.notify_all();
}

// --- refused_port ----------------------------------------------------------

refused_port::refused_port() {
  int port = 0;
  fd_ = sock_bind_loopback(&port);
  if (fd_ != TQ_NO_SOCKET) port_ = port;
}

refused_port::~refused_port() {
  tq_plat_close(fd_);
}

// --- silent_listener ---------------------------------------------------------

silent_listener::silent_listener() {
  int port = 0;
  listen_fd_ = sock_bind_loopback(&port);
  if (listen_fd_ == TQ_NO_SOCKET || !sock_listen(listen_fd_, 0)) return;
  port_ = port;

  // Fill the accept queue until a connect stays pending: from then on the
  // kernel drops every new SYN.
  for (int attempt = 0; attempt < 8 && !ok_; attempt++) {
    tq_socket fd = sock_connect_loopback(port);
    if (fd == TQ_NO_SOCKET) return;
    sock_waiter w = {fd, SOCK_OUT, false};
    if (sock_wait(&w, 1, 300) == 0) {
      ok_ = true;
      tq_plat_close(fd);
    } else {
      fillers_.push_back(fd);
    }
  }
}

silent_listener::~silent_listener() {
  for (tq_socket fd : fillers_) tq_plat_close(fd);
  tq_plat_close(listen_fd_);
}

}  // namespace ws_test
