// Minimal WebSocket client (RFC 6455) over the SDK's connections.
#pragma once

#include <cstddef>

#include "sdk/tq_conn.h"

struct tq_ws {
  tq_conn conn;  // first member: the handle is passed wherever a tq_conn is expected
  int closed;    // 1 once a close frame has been sent or received
};

int tq_ws_connect(tq_ws *ws, const tq_url *url, const char *extra_headers, int timeout_ms, char *err,
                  size_t err_size);
int tq_ws_send(tq_ws *ws, int opcode, const void *data, size_t len, int timeout_ms, char *err,
               size_t err_size);
int tq_ws_recv(tq_ws *ws, char *dst, size_t dst_size, size_t *out_len, int timeout_ms, char *err,
               size_t err_size);
void tq_ws_close(tq_ws *ws);
