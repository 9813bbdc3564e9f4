// WebSocket client: the upgrade over tq_http_request, then frames read one
// byte at a time from the connection's receive buffer.
#include "sdk/tq_ws.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "sdk/platform_random.h"
#include "sdk/tq_http.h"

namespace {

constexpr char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr size_t kUpgradeBlockSize = 4096;
constexpr uint64_t kMaxPayload = 1048576;  // larger frames are refused, not buffered
constexpr size_t kMaxControlPayload = 125;
constexpr int kRecvDefaultMs = 60000;
constexpr int kControlFrameMs = 200;  // answers must not stall the caller's read

struct free_deleter {
  void operator()(unsigned char *p) const { free(p); }
};
using heap_bytes = std::unique_ptr<unsigned char, free_deleter>;

// 16 bytes into 24 Base64 characters ("==" at the end) and a NUL.
void base64_key(const unsigned char in[16], char out[25]) {
  size_t o = 0;
  size_t i = 0;
  for (; i + 3 <= 16; i += 3) {
    uint32_t v = (uint32_t{in[i]} << 16) | (uint32_t{in[i + 1]} << 8) | in[i + 2];
    out[o++] = kBase64[(v >> 18) & 63];
    out[o++] = kBase64[(v >> 12) & 63];
    out[o++] = kBase64[(v >> 6) & 63];
    out[o++] = kBase64[v & 63];
  }
  uint32_t v = uint32_t{in[i]} << 16;  // the sixteenth byte alone
  out[o++] = kBase64[(v >> 18) & 63];
  out[o++] = kBase64[(v >> 12) & 63];
  out[o++] = '=';
  out[o++] = '=';
  out[o] = '\0';
}

// Builds one masked frame with FIN and sends it whole. err may be NULL for
// the client's own answers, whose failures nobody reports.
int send_frame(tq_ws *ws, int opcode, const void *data, size_t len, int timeout_ms, char *err,
               size_t err_size) {
  size_t header = len <= 125 ? 6 : (len <= 65535 ? 8 : 14);
  if (len > SIZE_MAX - header - 1) {
    set_err(err, err_size, "out of memory");
    return -1;
  }
  unsigned char mask[4];
  if (tq_platform_random(mask, sizeof mask) != 0) {
    set_err(err, err_size, "random source failed");
    return -1;
  }
  heap_bytes frame(static_cast<unsigned char *>(malloc(header + (len ? len : 1))));
  if (!frame) {
    set_err(err, err_size, "out of memory");
    return -1;
  }
  unsigned char *f = frame.get();
  f[0] = static_cast<unsigned char>(0x80 | (opcode & 0x0F));
  if (header == 6) {
    f[1] = static_cast<unsigned char>(0x80 | len);
  } else if (header == 8) {
    f[1] = 0x80 | 126;
    f[2] = static_cast<unsigned char>(len >> 8);
    f[3] = static_cast<unsigned char>(len);
  } else {
    f[1] = 0x80 | 127;
    uint64_t n = len;
    for (int i = 0; i < 8; ++i) f[2 + i] = static_cast<unsigned char>(n >> (8 * (7 - i)));
  }
  memcpy(f + header - 4, mask, 4);
  const unsigned char *src = static_cast<const unsigned char *>(data);
  for (size_t i = 0; i < len; ++i) f[header + i] = src[i] ^ mask[i & 3];
  return tq_send_all(&ws->conn, f, header + len, timeout_ms, err, err_size);
}

// Where a receive failed: before the first byte of a frame the stream is
// still in step; anywhere later the next frame boundary is lost.
enum frame_result { FRAME_OK = 0, FRAME_FAILED_AT_BOUNDARY = -1, FRAME_FAILED_INSIDE = -2 };

struct ws_frame {
  unsigned char b0;
  uint64_t len;
  heap_bytes payload;
};

// One byte of a frame header: the two failure texts of the header.
int header_byte(tq_ws *ws, int64_t deadline, unsigned char *out, char *err, size_t err_size) {
  int r = tq_raw_body_byte(&ws->conn, deadline, out);
  if (r == 1) return 0;
  set_err(err, err_size, r == 0 ? "websocket closed by peer" : "websocket read error");
  return -1;
}

int read_frame(tq_ws *ws, int64_t deadline, ws_frame *fr, char *err, size_t err_size) {
  // The body reader's 4 MiB counter guards one HTTP body; on a socket that
  // lives for many messages it is a per-frame budget instead.
  ws->conn.body_bytes = 0;
  unsigned char b0 = 0;
  unsigned char b1 = 0;
  if (header_byte(ws, deadline, &b0, err, err_size) != 0) return FRAME_FAILED_AT_BOUNDARY;
  if (header_byte(ws, deadline, &b1, err, err_size) != 0) return FRAME_FAILED_INSIDE;
  uint64_t len = b1 & 0x7F;
  if (len >= 126) {
    int bytes = len == 126 ? 2 : 8;
    len = 0;
    for (int i = 0; i < bytes; ++i) {
      unsigned char c = 0;
      if (header_byte(ws, deadline, &c, err, err_size) != 0) return FRAME_FAILED_INSIDE;
      len = (len << 8) | c;  // unsigned: a set top bit is a huge length, not a negative one
    }
  }
  unsigned char mask[4] = {0, 0, 0, 0};
  const bool masked = (b1 & 0x80) != 0;
  if (masked) {
    for (unsigned char &m : mask) {
      if (header_byte(ws, deadline, &m, err, err_size) != 0) return FRAME_FAILED_INSIDE;
    }
  }
  if (len > kMaxPayload) {
    set_err(err, err_size, "frame too large");
    return FRAME_FAILED_INSIDE;
  }
  heap_bytes payload(static_cast<unsigned char *>(malloc(len ? static_cast<size_t>(len) : 1)));
  if (!payload) {
    set_err(err, err_size, "out of memory");
    return FRAME_FAILED_INSIDE;
  }
  unsigned char *p = payload.get();
  for (uint64_t i = 0; i < len; ++i) {
    if (tq_raw_body_byte(&ws->conn, deadline, &p[i]) != 1) {
      set_err(err, err_size, "websocket frame truncated");
      return FRAME_FAILED_INSIDE;
    }
  }
  if (masked) {
    for (uint64_t i = 0; i < len; ++i) p[i] ^= mask[i & 3];
  }
  fr->b0 = b0;
  fr->len = len;
  fr->payload = std::move(payload);
  return FRAME_OK;
}

// Length of the prefix of p that fits in n bytes without splitting a UTF-8
// sequence; p[n] exists and is the first byte left out.
size_t utf8_cut_before(const unsigned char *p, size_t n) {
  size_t j = n;
  for (int back = 0; back < 3 && j > 0 && (p[j] & 0xC0) == 0x80; ++back) --j;
  if (j == n) return n;  // p[n] starts a character: nothing is split
  size_t need = p[j] >= 0xF0 ? 4 : (p[j] >= 0xE0 ? 3 : (p[j] >= 0xC0 ? 2 : 1));
  return j + need > n ? j : n;  // stray continuation bytes are kept as they are
}

}  // namespace

int tq_ws_connect(tq_ws *ws, const tq_url *url, const char *extra_headers, int timeout_ms,
                  char *err, size_t err_size) {
  memset(ws, 0, sizeof *ws);
  ws->conn.sock = TQ_NO_SOCKET;
  ws->closed = 1;  // until the server has agreed to the upgrade
  if (tq_conn_open_tunnel(&ws->conn, url, timeout_ms, err, err_size) != 0) return -1;
  tq_conn_guard guard(&ws->conn);

  unsigned char raw_key[16];
  if (tq_platform_random(raw_key, sizeof raw_key) != 0) {
    set_err(err, err_size, "random source failed");
    return -1;
  }
  char key[25];
  base64_key(raw_key, key);

  const char *extra = extra_headers ? extra_headers : "";
  char block[kUpgradeBlockSize];
  int n = snprintf(block, sizeof block,
                   "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                   "Sec-WebSocket-Key: %s\r\n%s%s",
                   key, extra, extra[0] ? "\r\n" : "");
  if (n < 0 || static_cast<size_t>(n) >= sizeof block) {
    set_err(err, err_size, "headers too large");
    return -1;
  }
  if (tq_http_request(&ws->conn, "GET", url->path, block, nullptr, nullptr, 0, timeout_ms, err,
                      err_size) != 0) {
    return -1;
  }
  if (ws->conn.status != 101) {
    set_err(err, err_size, "websocket handshake returned %ld, expected 101",
            static_cast<long>(ws->conn.status));
    return -1;
  }
  // Everything after the head is frames, read raw until the peer closes;
  // bytes that came with the head are already the first of them.
  ws->conn.body_mode = 0;
  ws->conn.eof = 0;
  ws->conn.body_bytes = 0;
  ws->closed = 0;
  guard.c = nullptr;
  return 0;
}

int tq_ws_send(tq_ws *ws, int opcode, const void *data, size_t len, int timeout_ms, char *err,
               size_t err_size) {
  if (ws->closed) {
    set_err(err, err_size, "websocket closed");
    return -1;
  }
  return send_frame(ws, opcode, data, len, timeout_ms, err, err_size);
}

int tq_ws_recv(tq_ws *ws, char *dst, size_t dst_size, size_t *out_len, int timeout_ms, char *err,
               size_t err_size) {
  if (out_len) *out_len = 0;
  if (ws->closed) return 0;
  const int64_t deadline = tq_now_ms() + (timeout_ms > 0 ? timeout_ms : kRecvDefaultMs);
  for (;;) {
    ws_frame fr{};
    int r = read_frame(ws, deadline, &fr, err, err_size);
    if (r == FRAME_FAILED_INSIDE) {
      // Fail the connection: say goodbye while the write side may still work.
      send_frame(ws, TQ_WS_CLOSE, nullptr, 0, kControlFrameMs, nullptr, 0);
      ws->closed = 1;
    }
    if (r != FRAME_OK) return -1;

    const int opcode = fr.b0 & 0x0F;
    const bool fin = (fr.b0 & 0x80) != 0;
    const size_t len = static_cast<size_t>(fr.len);  // at most kMaxPayload
    if (opcode == TQ_WS_CLOSE) {
      send_frame(ws, TQ_WS_CLOSE, nullptr, 0, kControlFrameMs, nullptr, 0);
      ws->closed = 1;
      return 0;
    }
    if (opcode == TQ_WS_PING) {
      if (len <= kMaxControlPayload) {
        send_frame(ws, TQ_WS_PONG, fr.payload.get(), len, kControlFrameMs, nullptr, 0);
      }
      continue;
    }
    if ((opcode == TQ_WS_TEXT || opcode == TQ_WS_BINARY) && fin) {
      if (!dst || dst_size == 0) return 1;  // nowhere to copy: the message is consumed
      size_t n = len < dst_size - 1 ? len : dst_size - 1;
      if (opcode == TQ_WS_TEXT && n < len) n = utf8_cut_before(fr.payload.get(), n);
      memcpy(dst, fr.payload.get(), n);
      dst[n] = '\0';
      if (out_len) *out_len = n;
      return 1;
    }
    // Pongs, fragments of messages and unknown opcodes carry nothing for
    // the caller.
    if (ws->closed) return 0;
  }
}

void tq_ws_close(tq_ws *ws) {
  if (!ws) return;
  if (!ws->closed) send_frame(ws, TQ_WS_CLOSE, nullptr, 0, kControlFrameMs, nullptr, 0);
  ws->closed = 1;
  tq_conn_close(&ws->conn);
}
