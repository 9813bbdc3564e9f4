// A scriptable TCP server on 127.0.0.1 for tests of network clients.
//
// The server listens on a kernel-chosen port and runs in its own thread. For
// every accepted connection (one at a time, up to max_connections) it plays
// the same script of steps, then closes the connection in an orderly way
// unless the script already closed, reset or stalled it. Given one script per
// connection instead, it serves those connections at the same time.
//
//   ws_test::loopback_script s;
//   s.read_request().send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhi");
//   ws_test::loopback_server srv(s);
//   ... connect to 127.0.0.1:srv.port() ...
//   srv.wait_finished(5000);               // every connection served
//   EXPECT_EQ(srv.requests()[0], "GET / HTTP/1.1\r\n...");
//
// stop() (also run by the destructor) interrupts any step, closes every
// socket and joins the thread; it never hangs.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sdk/platform.h"

namespace ws_test {

struct loopback_step {
  enum kind_t { SEND, TRICKLE, SLEEP, READ_REQUEST, CLOSE, RESET, STALL, AWAIT_CLOSE };
  kind_t kind;
  std::string bytes;  // SEND, TRICKLE
  size_t chunk;       // TRICKLE: bytes per write
  int delay_ms;       // TRICKLE: pause after each write; SLEEP: the pause
};

class loopback_script {
 public:
  // Writes bytes whole (waiting while the client does not read).
  loopback_script &send(std::string bytes);
  // Writes bytes chunk bytes at a time with a pause of delay_ms after each.
  loopback_script &trickle(std::string bytes, size_t chunk, int delay_ms);
  loopback_script &sleep(int ms);
  // Reads up to and including the first blank line ("\r\n\r\n"), then as many
  // body bytes as a Content-Length header announces, and records all of it
  // (also when the client closes early: then what arrived is recorded).
  loopback_script &read_request();
  // Orderly close: FIN after everything sent, then the client's remaining
  // bytes are drained so that the kernel does not answer them with a reset.
  loopback_script &close();
  // Abortive close (SO_LINGER 0): the client sees a connection reset.
  loopback_script &reset();
  // Keeps the connection open and silent until stop().
  loopback_script &stall();
  // Waits, silent, until the client closes its end (counted in
  // client_closes()) or stop(); then the connection is closed.
  loopback_script &await_close();

  std::vector<loopback_step> steps;
};

class loopback_server {
 public:
  explicit loopback_server(loopback_script script, int max_connections = 1);
  // One script per connection, in the order they are accepted; connections
  // are served at the same time, each in a thread of its own.
  explicit loopback_server(std::vector<loopback_script> per_connection);
  ~loopback_server();
  loopback_server(const loopback_server &) = delete;
  loopback_server &operator=(const loopback_server &) = delete;

  // False when the listening socket could not be set up (port() is then 0).
  bool ok() const { return port_ != 0; }
  int port() const { return port_; }
  // "http://127.0.0.1:<port><path>"
  std::string url(const char *path = "/") const;

  // True once max_connections connections were served to the end of the
  // script (or stop() was called); false when timeout_ms passed first.
  bool wait_finished(int timeout_ms);
  // Requests recorded by READ_REQUEST steps, in the order they were read.
  std::vector<std::string> requests() const;
  int connections_accepted() const;
  // Connections whose client closed its end during an await_close() step.
  int client_closes() const;
  // True once client_closes() reached n; false when timeout_ms passed first.
  bool wait_client_closes(int n, int timeout_ms);

  void stop();

 private:
  void start();
  void run();
  void serve(tq_socket fd, const loopback_script &script);
  // 1 ready, 0 timed out, -1 stopped or failed. events: SOCK_IN, SOCK_OUT.
  int wait_fd(tq_socket fd, short events, int timeout_ms) const;
  bool send_bytes(tq_socket fd, const char *p, size_t n) const;
  bool pause(int ms) const;
  void read_request(tq_socket fd);
  void close_orderly(tq_socket fd) const;

  std::vector<loopback_script> scripts_;  // one, or one per connection
  bool concurrent_ = false;
  int max_connections_;
  tq_socket listen_fd_ = TQ_NO_SOCKET;
  // A connected pair: stop() writes to [1], so [0] turns readable.
  tq_socket wake_[2] = {TQ_NO_SOCKET, TQ_NO_SOCKET};
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mu_;
  std::condition_variable cv_;
  bool finished_ = false;
  int accepted_ = 0;
  int client_closes_ = 0;
  std::vector<std::string> requests_;
};

// A port on 127.0.0.1 that is bound but never listens, so every connect to it
// is refused; nobody else can take the port while this object lives.
class refused_port {
 public:
  refused_port();
  ~refused_port();
  refused_port(const refused_port &) = delete;
  refused_port &operator=(const refused_port &) = delete;
  bool ok() const { return port_ != 0; }
  int port() const { return port_; }

 private:
  tq_socket fd_ = TQ_NO_SOCKET;
  int port_ = 0;
};

// A listening socket on 127.0.0.1 whose accept queue is already full: the
// kernel drops new connection attempts, so a connect to port() stays pending
// until the client gives up. Nothing is ever accepted.
class silent_listener {
 public:
  silent_listener();
  ~silent_listener();
  silent_listener(const silent_listener &) = delete;
  silent_listener &operator=(const silent_listener &) = delete;
  // False when the queue could not be shown to be full (the test should skip).
  bool ok() const { return ok_; }
  int port() const { return port_; }

 private:
  tq_socket listen_fd_ = TQ_NO_SOCKET;
  std::vector<tq_socket> fillers_;
  int port_ = 0;
  bool ok_ = false;
};

}  // namespace ws_test
