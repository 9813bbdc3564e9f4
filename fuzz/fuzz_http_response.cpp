// Arbitrary bytes as a server's whole answer to one request: the head parser
// and the body readers must never read out of bounds, must always terminate
// what they hand out, and must never hand out more than the body limit.
//
// Input: one control byte, then the response. Bit 0 of the control byte
// picks tq_read_all (set) or tq_read_line; the other bits pick the line
// buffer's size.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sdk/tq_http.h"

#include "canned_peer.h"

namespace {

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
  fuzz::canned_peer peer;
  if (!peer.open(data, size, 80)) return 0;
  tq_conn &c = peer.conn;
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
  return 0;
}
