// Arbitrary bytes as the server's side of an open WebSocket: the first byte
// picks the caller's buffer size, the rest sits in the connection's receive
// buffer. There is no socket, so the stream ends in a read error once the
// buffer is used up, and every answer the client sends fails at once.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "sdk/tq_ws.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  auto ws = std::make_unique<tq_ws>();
  memset(ws.get(), 0, sizeof *ws);
  ws->conn.sock = TQ_NO_SOCKET;
  const size_t dst_size = 1 + data[0] % 64;
  ++data;
  --size;
  const size_t n = size < sizeof ws->conn.rbuf ? size : sizeof ws->conn.rbuf;
  memcpy(ws->conn.rbuf, data, n);
  ws->conn.rlen = n;

  char dst[64];
  char err[512] = "";
  for (int i = 0; i < 4096; ++i) {
    size_t len = 99;
    memset(dst, 0x5A, sizeof dst);
    int rc = tq_ws_recv(ws.get(), dst, dst_size, &len, 1000, err, sizeof err);
    if (rc != 1) {
      if (len != 0) abort();
      if (rc == 0 && !ws->closed) abort();  // 0 only ever means closed
      if (rc == -1 && err[0] == '\0') abort();
      if (rc != -1 || ws->closed) break;
      // A failure at a frame boundary leaves the handle open: here the
      // buffer is empty, so the next call must fail the same way.
      if (ws->conn.rpos < ws->conn.rlen) abort();
      break;
    }
    if (len >= dst_size || dst[len] != '\0') abort();
    err[0] = '\0';
  }
  tq_ws_close(ws.get());
  return 0;
}
