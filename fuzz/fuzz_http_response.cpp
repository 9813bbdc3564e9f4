// Arbitrary bytes as a server's whole answer to one request: the head parser
// and the body readers must never read out of bounds, must always terminate
// what they hand out, and must never hand out more than the body limit.
//
// Input: one control byte, then the response. Bit 0 of the control byte
// picks tq_read_all (set) or tq_read_line; the other bits pick the line
// buffer's size.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sdk/tq_http.h"

namespace {

constexpr size_t kMaxResponse = 65536;  // fits the socket buffer whole
constexpr size_t kBodyMax = 4194304;

void check(bool ok, const char *what) {
  if (!ok) {
    fprintf(stderr, "fuzz_http_response: %s\n", what);
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t control = data[0];
  data++;
  size--;
  if (size > kMaxResponse) size = kMaxResponse;

  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) return 0;
  int sndbuf = 4 * static_cast<int>(kMaxResponse);
  setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
  size_t put = 0;
  while (put < size) {
    ssize_t w = write(fds[1], data + put, size - put);
    if (w <= 0) break;
    put += static_cast<size_t>(w);
  }
  shutdown(fds[1], SHUT_WR);  // the answer ends where the input ends

  tq_conn c;
  memset(&c, 0, sizeof c);
  c.sock = fds[0];
  snprintf(c.host, sizeof c.host, "fuzz.test");
  c.port = 80;
  tq_conn_guard guard(&c);

  char err[512];
  memset(err, 'E', sizeof err);
  if (tq_http_request(&c, "GET", "/", nullptr, nullptr, nullptr, 0, 1000, err, sizeof err) != 0) {
    check(memchr(err, '\0', sizeof err) != nullptr && err[0] != '\0', "message missing");
  } else if (control & 1) {
    char *out = nullptr;
    size_t len = 0;
    if (tq_read_all(&c, &out, &len, 1000) == 1) {
      check(out != nullptr, "no buffer");
      check(len <= kBodyMax, "body over the limit");
      check(out[len] == '\0', "body not terminated");
      free(out);
    } else {
      check(out == nullptr, "buffer handed out on failure");
    }
  } else {
    const size_t line_size = 1 + (control >> 1) % 48;
    std::vector<char> buf(line_size + 1, '#');
    buf[line_size] = '!';  // guard byte just past what the reader may touch
    for (int i = 0; i < 100000; i++) {
      int rc = tq_read_line(&c, buf.data(), line_size, 1000);
      check(buf[line_size] == '!', "line reader wrote past its buffer");
      if (rc != 1) break;
      check(strlen(buf.data()) < line_size, "line not terminated inside the buffer");
    }
  }
  close(fds[1]);
  return 0;
}
