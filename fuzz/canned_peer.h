// A peer that has already said everything: the fuzz input waits in a socket
// pair's buffer, followed by the end of the stream, and the connection under
// test reads it as a server's answer. Shared by the targets that feed a
// connection (HTTP responses, proxy answers).
#pragma once

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "sdk/tq_conn.h"

namespace fuzz {

// Inputs are cut to this, so the whole answer fits the socket buffer and
// nothing ever waits on the writer.
constexpr size_t kMaxCannedAnswer = 65536;

struct canned_peer {
  int writer = -1;
  tq_conn conn;

  // Sets conn up to read the first kMaxCannedAnswer bytes of data, then the
  // end of the stream; false (nothing open) when the pair cannot be made.
  bool open(const uint8_t *data, size_t size, int port) {
    memset(&conn, 0, sizeof conn);
    conn.sock = -1;
    if (size > kMaxCannedAnswer) size = kMaxCannedAnswer;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return false;
    int sndbuf = 4 * static_cast<int>(kMaxCannedAnswer);
    setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    size_t put = 0;
    while (put < size) {
      ssize_t w = write(fds[1], data + put, size - put);
      if (w <= 0) break;
      put += static_cast<size_t>(w);
    }
    shutdown(fds[1], SHUT_WR);  // the answer ends where the input ends
    writer = fds[1];
    conn.sock = fds[0];
    snprintf(conn.host, sizeof conn.host, "fuzz.test");
    conn.port = port;
    return true;
  }

  canned_peer() = default;
  canned_peer(const canned_peer &) = delete;
  canned_peer &operator=(const canned_peer &) = delete;
  // The connection is the caller's to close (its guard); the writer is ours.
  ~canned_peer() {
    if (writer >= 0) close(writer);
  }
};

}  // namespace fuzz
