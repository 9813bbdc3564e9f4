// Minimal WebSocket client (RFC 6455) over the SDK's connections.
//
// One message is one frame: tq_ws_send writes a single masked frame with FIN
// set, tq_ws_recv returns the next unfragmented text or binary message and
// answers pings and close frames on its own. Fragmented messages and unknown
// opcodes are read and dropped. No extensions, no subprotocols.
//
// Choices this client makes:
// - Randomness: the handshake key (16 bytes) and every frame's masking key
//   come from the kernel (tq_platform_random, getrandom on Linux), so there
//   is no seed to keep and nothing a peer could predict. When the kernel
//   cannot deliver, connect and send fail with "random source failed".
// - Byte limit: frames are read through the HTTP body reader, whose raw byte
//   counter stops at 4 MiB. A long-lived socket would hit that total after a
//   few megabytes, so the counter is reset at the start of every frame: the
//   limit that applies is the per-frame one (1 MiB payload, "frame too
//   large"), however much traffic the connection carries.
// - Out of step: once a receive has consumed part of a frame and then fails
//   (too large, truncated, read error or time-out inside it), the next frame
//   boundary is unknown. The client sends a close frame (200 ms) and marks
//   the handle closed, so later receives return 0 instead of parsing payload
//   bytes as headers. A failure before the first byte of a frame (for
//   example a time-out while the server is quiet) leaves the handle usable.
// - Control frames: a ping longer than 125 bytes is not a valid control
//   frame and a pong echoing it would not be either, so it is dropped
//   unanswered.
// - Text messages cut to the caller's buffer are cut on a UTF-8 character
//   boundary; binary messages are cut at the exact byte.
#pragma once

#include <cstddef>

#include "sdk/tq_conn.h"

struct tq_ws {
  tq_conn conn;  // first member: the handle is passed wherever a tq_conn is expected
  int closed;    // 1 once a close frame has been sent or received (or the connection failed)
};

// Opcodes of RFC 6455 that this client sends or acts on.
constexpr int TQ_WS_TEXT = 1;
constexpr int TQ_WS_BINARY = 2;
constexpr int TQ_WS_CLOSE = 8;
constexpr int TQ_WS_PING = 9;
constexpr int TQ_WS_PONG = 10;

// Clears *ws, opens url (ws:// or wss://) and performs the upgrade.
// extra_headers: further header lines separated by CR LF, without a final
// CR LF (NULL or "" for none). 0 once the server answered 101; -1 with a
// message, the connection closed and the handle marked closed.
int tq_ws_connect(tq_ws *ws, const tq_url *url, const char *extra_headers, int timeout_ms,
                  char *err, size_t err_size);
// Sends data[0..len) as one masked frame with FIN and the opcode's low four
// bits. timeout_ms 0 or less: 15000. 0, or -1 with a message ("websocket
// closed" once the handle is closed). data may be NULL only when len is 0.
int tq_ws_send(tq_ws *ws, int opcode, const void *data, size_t len, int timeout_ms, char *err,
               size_t err_size);
// 1 with the next text or binary message in dst (cut to dst_size - 1 bytes,
// NUL-terminated) and the copied length in *out_len; 0 when the connection
// is closed, now or earlier; -1 with a message. *out_len is 0 unless 1 is
// returned. timeout_ms 0 or less: 60000, for all frames read in this call.
int tq_ws_recv(tq_ws *ws, char *dst, size_t dst_size, size_t *out_len, int timeout_ms, char *err,
               size_t err_size);
// Sends a close frame unless one was already exchanged (200 ms, without
// waiting for the answer), marks the handle closed and closes the
// connection. Safe to call again, and after a failed tq_ws_connect.
void tq_ws_close(tq_ws *ws);

// Calls tq_ws_close when the scope ends, on every path.
struct tq_ws_guard {
  tq_ws *w;
  explicit tq_ws_guard(tq_ws *ws) : w(ws) {}
  tq_ws_guard(const tq_ws_guard &) = delete;
  tq_ws_guard &operator=(const tq_ws_guard &) = delete;
  ~tq_ws_guard() {
    if (w) tq_ws_close(w);
  }
};
