// One HTTP/1.1 exchange over an open connection: the request head, the
// response head, and the body readers (Content-Length, chunked, until close).
#pragma once

#include <cstddef>

#include "sdk/tq_conn.h"

// 0 when the request was sent and a well-formed response head was read
// (whatever the status; conn->status holds it); -1 with a message.
int tq_http_request(tq_conn *conn, const char *method, const char *path, const char *extra_headers,
                    const char *bearer, const void *body, size_t body_len, int timeout_ms,
                    char *err, size_t err_size);
// 1 with *out a malloc'ed NUL-terminated body (caller frees) and its length;
// -1 with nothing allocated and *out untouched.
int tq_read_all(tq_conn *conn, char **out, size_t *out_len, int timeout_ms);
// 1 with one line (LF and a CR before it removed), 0 at the end, -1 on error.
int tq_read_line(tq_conn *conn, char *buf, size_t size, int timeout_ms);
// The raw byte reader under the body readers (also used for WebSocket
// frames): 1 with a byte in *out, 0 at the end of the stream, -1 on error.
int tq_raw_body_byte(tq_conn *conn, int64_t deadline_ms, unsigned char *out);
// 1 when the exchange on conn ended exactly at the framed end of a complete
// HTTP/1.1 answer (Content-Length, or chunked with its last chunk) that the
// server did not close, on a request that asked to keep the connection: it
// may then carry another exchange. 0 for anything else (a body read until
// close or not to its end, "Connection: close", bytes past the answer).
int tq_http_reusable(const tq_conn *conn);
