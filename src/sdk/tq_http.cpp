// One HTTP/1.1 exchange: the request head, the response head and the body
// readers (Content-Length, chunked, or until the server closes).
#include "sdk/tq_http.h"

#include <climits>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t kRequestHeadSize = 8192;   // 8191 bytes and the NUL
constexpr size_t kResponseLineSize = 8192;  // 8191 bytes kept per head line
constexpr size_t kChunkSizeLineMax = 31;    // characters, CRs not counted
constexpr uint64_t kBodyMax = 4194304;      // raw bytes after the head; also one chunk
constexpr size_t kReadLineMax = 1048575;    // bytes kept by tq_read_line
constexpr size_t kReadAllFirst = 4096;
constexpr int kDefaultTimeoutMs = 15000;

int64_t deadline_after(int timeout_ms) {
  return tq_now_ms() + (timeout_ms > 0 ? timeout_ms : kDefaultTimeoutMs);
}

// Formats one piece of the request head after what is already there. False
// when the piece does not fit whole together with the NUL.
__attribute__((format(WS_PRINTF_FORMAT, 4, 5))) bool head_add(char *head, size_t size, size_t *len,
                                                              const char *fmt, ...) {
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(head + *len, size - *len, fmt, ap);
  va_end(ap);
  if (n < 0 || static_cast<size_t>(n) >= size - *len) {
    head[*len] = '\0';
    return false;
  }
  *len += static_cast<size_t>(n);
  return true;
}

void wipe_bytes(void *p, size_t n) {
  volatile unsigned char *v = static_cast<volatile unsigned char *>(p);
  for (size_t i = 0; i < n; i++) v[i] = 0;
}

// CR or LF in the request line or in a header value would let the text end
// the line early and smuggle in headers of its own.
bool has_line_break(const char *s) {
  return s != nullptr && strpbrk(s, "\r\n") != nullptr;
}

// Leading decimal digits after blanks, saturating at max; 0 when there are none.
uint64_t parse_decimal(const char *s, uint64_t max) {
  while (*s == ' ' || *s == '\t') s++;
  uint64_t v = 0;
  for (; *s >= '0' && *s <= '9'; s++) {
    unsigned d = static_cast<unsigned>(*s - '0');
    v = v > (max - d) / 10 ? max : v * 10 + d;
  }
  return v;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Leading hexadecimal digits; saturates instead of wrapping, so an absurd
// size is refused rather than read as a small one.
uint64_t parse_hex(const char *s) {
  uint64_t v = 0;
  for (int d; (d = hex_value(*s)) >= 0; s++) {
    v = v > (UINT64_MAX >> 4) ? UINT64_MAX : (v << 4) | static_cast<uint64_t>(d);
  }
  return v;
}

// ASCII case-insensitive comparison of n bytes.
bool same_ascii(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; i++) {
    char x = a[i] >= 'A' && a[i] <= 'Z' ? static_cast<char>(a[i] - 'A' + 'a') : a[i];
    char y = b[i] >= 'A' && b[i] <= 'Z' ? static_cast<char>(b[i] - 'A' + 'a') : b[i];
    if (x != y) return false;
  }
  return true;
}

// True when the comma-separated list holds token, compared without case.
bool has_token(const char *list, const char *token) {
  const size_t n = strlen(token);
  for (const char *p = list; *p != '\0';) {
    while (*p == ' ' || *p == '\t' || *p == ',') p++;
    const char *start = p;
    while (*p != '\0' && *p != ',') p++;
    const char *end = p;
    while (end > start && (end[-1] == ' ' || end[-1] == '\t')) end--;
    if (static_cast<size_t>(end - start) == n && same_ascii(start, token, n)) return true;
  }
  return false;
}

// The seconds of "timeout=N" in a Keep-Alive value, or -1 without one.
int keep_alive_timeout(const char *value) {
  const size_t len = strlen(value);
  for (size_t i = 0; i + 8 <= len; i++) {
    const bool starts_item = i == 0 || value[i - 1] == ' ' || value[i - 1] == ',';
    if (starts_item && same_ascii(value + i, "timeout=", 8)) {
      return static_cast<int>(parse_decimal(value + i + 8, 86400));
    }
  }
  return -1;
}

void apply_header(tq_conn *conn, char *line) {
  char *colon = strchr(line, ':');
  if (colon == nullptr) return;
  *colon = '\0';
  const char *value = colon + 1;
  while (*value == ' ' || *value == '\t') value++;

  if (tq_strcasecmp(line, "Content-Length") == 0) {
    conn->remaining = parse_decimal(value, UINT32_MAX);
    conn->body_mode = 1;
  } else if (tq_strcasecmp(line, "Transfer-Encoding") == 0) {
    if (strstr(value, "chunked") != nullptr || strstr(value, "Chunked") != nullptr) {
      conn->body_mode = 2;
    }
  } else if (tq_strcasecmp(line, "Connection") == 0) {
    if (has_token(value, "close")) conn->server_close = 1;
  } else if (tq_strcasecmp(line, "Keep-Alive") == 0) {
    const int seconds = keep_alive_timeout(value);
    if (seconds == 0) conn->server_close = 1;  // it will not wait at all
    if (seconds > 0) conn->keep_alive_s = seconds;
  }
}

// The status of "HTTP/1.1 " or "HTTP/1.0 " followed by exactly three digits
// from 100 to 599 and then a space or the end of the line; 0 for any other
// line. "HTTP/1.1 abc" must not pass as a status of 0 and then as an answer.
int status_code(const char *line) {
  if (strncmp(line, "HTTP/1.1 ", 9) != 0 && strncmp(line, "HTTP/1.0 ", 9) != 0) return 0;
  const char *d = line + 9;
  for (int i = 0; i < 3; i++) {
    if (d[i] < '0' || d[i] > '9') return 0;
  }
  if (d[3] != ' ' && d[3] != '\0') return 0;
  const int status = (d[0] - '0') * 100 + (d[1] - '0') * 10 + (d[2] - '0');
  return status >= 100 && status <= 599 ? status : 0;
}

// Reads the status line and the headers up to the blank line.
int read_head(tq_conn *conn, int timeout_ms, char *err, size_t err_size) {
  conn->rpos = 0;
  conn->rlen = 0;
  conn->body_mode = 0;
  conn->chunk_state = 0;
  conn->remaining = 0;
  conn->status = 0;
  conn->body_bytes = 0;
  conn->eof = 0;
  conn->answer_started = 0;
  conn->http11 = 0;
  conn->server_close = 0;
  conn->keep_alive_s = 0;
  conn->framed_end = 0;
  conn->stray_bytes = 0;
  const int64_t deadline = deadline_after(timeout_ms);

  char line[kResponseLineSize];
  size_t n = 0;
  bool status_line = true;
  for (;;) {
    if (conn->rpos >= conn->rlen && tq_fill(conn, deadline) != 1) {
      set_err(err, err_size, "timeout reading response headers");
      return -1;
    }
    conn->answer_started = 1;
    unsigned char c = conn->rbuf[conn->rpos++];
    if (c == '\r') continue;
    if (c != '\n') {
      if (n < sizeof line - 1) line[n++] = static_cast<char>(c);
      continue;
    }
    line[n] = '\0';

    if (status_line) {
      const int status = status_code(line);
      if (status == 0) {
        set_err(err, err_size, "bad status line");
        return -1;
      }
      conn->status = status;
      conn->http11 = strncmp(line, "HTTP/1.1 ", 9) == 0;
      status_line = false;
    } else if (n == 0) {
      break;
    } else {
      apply_header(conn, line);
    }
    n = 0;
  }

  if (conn->status == 204 || conn->status == 304) {
    conn->body_mode = 1;
    conn->remaining = 0;
  }
  return 0;
}

// The chunked decoder: one body byte, 0 at the end, -1 on error.
int next_chunked_byte(tq_conn *conn, int64_t deadline, unsigned char *out) {
  for (;;) {
    unsigned char c = 0;
    int r = 0;
    switch (conn->chunk_state) {
      case 0: {
        char size_line[kChunkSizeLineMax + 1];
        size_t n = 0;
        for (;;) {
          r = tq_raw_body_byte(conn, deadline, &c);
          if (r < 0) return -1;
          if (r == 0) {
            conn->eof = 1;  // ended cleanly between chunks
            return 0;
          }
          if (c == '\r') continue;
          if (c == '\n') break;
          if (n == kChunkSizeLineMax) return -1;
          size_line[n++] = static_cast<char>(c);
        }
        size_line[n] = '\0';
        uint64_t size = parse_hex(size_line);
        if (size == 0) {
          conn->chunk_state = 3;
        } else if (size > kBodyMax) {
          return -1;
        } else {
          conn->remaining = size;
          conn->chunk_state = 1;
        }
        break;
      }
      case 1:
        if (tq_raw_body_byte(conn, deadline, &c) != 1) return -1;
        if (--conn->remaining == 0) conn->chunk_state = 2;
        *out = c;
        return 1;
      case 2:
        do {
          if (tq_raw_body_byte(conn, deadline, &c) != 1) return -1;
        } while (c != '\n');
        conn->chunk_state = 0;
        break;
      default: {  // 3: the trailer; its first line ends the body
        // Only an empty trailer leaves the stream exactly at the answer's
        // end, which a kept connection needs.
        size_t line_bytes = 0;
        do {
          r = tq_raw_body_byte(conn, deadline, &c);
          if (r == 1 && c != '\r' && c != '\n') line_bytes++;
        } while (r == 1 && c != '\n');
        conn->framed_end = r == 1 && line_bytes == 0;
        conn->eof = 1;
        return 0;
      }
    }
  }
}

// One body byte in whatever framing the head announced; the end sets eof.
int next_body_byte(tq_conn *conn, int64_t deadline, unsigned char *out) {
  if (conn->body_mode == 2) return next_chunked_byte(conn, deadline, out);
  int r = tq_raw_body_byte(conn, deadline, out);
  if (r == 0) conn->eof = 1;
  return r;
}

}  // namespace

int tq_http_request(tq_conn *conn, const char *method, const char *path, const char *extra_headers,
                    const char *bearer, const void *body, size_t body_len, int timeout_ms,
                    char *err, size_t err_size) {
  if (method == nullptr) method = "";
  if (path == nullptr) path = "";
  if (has_line_break(method) || has_line_break(path) || has_line_break(bearer)) {
    set_err(err, err_size, "line break in request");
    return -1;
  }
  const bool has_body = body != nullptr && body_len != 0;
  const int default_port = conn->tls ? 443 : 80;

  char head[kRequestHeadSize];
  size_t len = 0;
  // The authority: the Host header, and in a request through a forwarding
  // proxy also the absolute form of the target.
  char authority[300];
  const int an = conn->port != default_port
                     ? snprintf(authority, sizeof authority, "%s:%d", conn->host, conn->port)
                     : snprintf(authority, sizeof authority, "%s", conn->host);
  bool fits = an >= 0 && static_cast<size_t>(an) < sizeof authority;
  fits = fits && head_add(head, sizeof head, &len, "%s %s%s%s HTTP/1.1\r\nHost: %s", method,
                          conn->proxy_forward ? "http://" : "",
                          conn->proxy_forward ? authority : "", path, authority);
  if (fits) {
    fits = head_add(head, sizeof head, &len,
                    "\r\nUser-Agent: tq-connector-sdk/1.0\r\nAccept: */*\r\nConnection: %s\r\n",
                    conn->keep_alive ? "keep-alive" : "close");
  }
  if (fits && conn->proxy_forward && conn->proxy_auth[0] != '\0') {
    fits = head_add(head, sizeof head, &len, "Proxy-Authorization: %s\r\n", conn->proxy_auth);
  }
  if (fits && bearer != nullptr && bearer[0] != '\0') {
    fits = head_add(head, sizeof head, &len, "Authorization: Bearer %s\r\n", bearer);
  }
  if (fits && extra_headers != nullptr && extra_headers[0] != '\0') {
    fits = head_add(head, sizeof head, &len, "%s", extra_headers);
  }
  if (fits) {
    fits = has_body ? head_add(head, sizeof head, &len, "Content-Length: %zu\r\n\r\n", body_len)
                    : head_add(head, sizeof head, &len, "%s", "\r\n");
  }
  if (!fits) {
    set_err(err, err_size, "request too large");
    return -1;
  }

  const int sent = tq_send_all(conn, head, len, timeout_ms, err, err_size);
  // The head may hold the proxy's credentials.
  wipe_bytes(head, sizeof head);
  if (sent != 0) return -1;
  if (has_body && tq_send_all(conn, body, body_len, timeout_ms, err, err_size) != 0) return -1;
  if (read_head(conn, timeout_ms, err, err_size) != 0) return -1;
  // Through a forwarding proxy, 407 is the proxy's own refusal: its page is
  // not the target's answer.
  if (conn->proxy_forward && conn->status == 407) {
    set_err(err, err_size, "proxy authentication required");
    return -1;
  }
  return 0;
}

int tq_raw_body_byte(tq_conn *conn, int64_t deadline_ms, unsigned char *out) {
  if (conn->body_mode == 1 && conn->remaining == 0) return 0;
  if (conn->rpos >= conn->rlen) {
    int r = tq_fill(conn, deadline_ms);
    if (r < 0) return -1;
    // A Content-Length body that stops short is damaged, not complete.
    if (r == 0) return conn->body_mode == 1 ? -1 : 0;
    if (conn->body_mode == 1 && conn->rlen > conn->remaining) {
      conn->rlen = static_cast<size_t>(conn->remaining);  // extra bytes are not ours
      conn->stray_bytes = 1;
    }
  }
  *out = conn->rbuf[conn->rpos++];
  if (conn->body_mode == 1) conn->remaining--;
  conn->body_bytes++;
  return conn->body_bytes > kBodyMax ? -1 : 1;
}

namespace {

// Grows *buf so that it holds need bytes: doubling from its capacity, never
// past kBodyMax + 1 (the body and its NUL). False when that is not enough
// or memory runs out; *buf is then unchanged.
bool grow_body(char **buf, size_t *cap, size_t need) {
  if (need <= *cap) return true;
  size_t grown = *cap;
  while (grown < need && grown < kBodyMax + 1) {
    grown = grown * 2 > kBodyMax + 1 ? kBodyMax + 1 : grown * 2;
  }
  if (grown < need) return false;
  char *bigger = static_cast<char *>(realloc(*buf, grown));
  if (bigger == nullptr) return false;
  *buf = bigger;
  *cap = grown;
  return true;
}

// The Content-Length and until-close framings of tq_read_all, a run of the
// receive buffer at a time instead of a byte at a time. Ends in exactly the
// state the byte reader (tq_raw_body_byte) would: the same bytes consumed,
// the same counters, the same refusals (a short Content-Length body, one
// byte past kBodyMax). 1 with the body in buf[0..*len), -1 on failure.
int read_plain_body(tq_conn *conn, int64_t deadline, char **buf, size_t *cap, size_t *len) {
  while (!conn->eof) {
    if (conn->body_mode == 1 && conn->remaining == 0) {
      conn->eof = 1;
      break;
    }
    if (conn->rpos >= conn->rlen) {
      const int r = tq_fill(conn, deadline);
      if (r < 0) return -1;
      if (r == 0) {
        // A Content-Length body that stops short is damaged, not complete.
        if (conn->body_mode == 1) return -1;
        conn->eof = 1;
        break;
      }
      if (conn->body_mode == 1 && conn->rlen > conn->remaining) {
        conn->rlen = static_cast<size_t>(conn->remaining);  // extra bytes are not ours
        conn->stray_bytes = 1;
      }
    }
    size_t n = conn->rlen - conn->rpos;
    if (conn->body_mode == 1 && n > conn->remaining) n = static_cast<size_t>(conn->remaining);
    bool over = false;
    if (conn->body_bytes + n > kBodyMax) {
      // The byte reader takes bytes up to the first one past the limit.
      n = static_cast<size_t>(kBodyMax + 1 - conn->body_bytes);
      over = true;
    }
    if (!over && !grow_body(buf, cap, *len + n + 1)) return -1;
    if (!over) memcpy(*buf + *len, conn->rbuf + conn->rpos, n);
    conn->rpos += n;
    if (conn->body_mode == 1) conn->remaining -= n;
    conn->body_bytes += n;
    if (over) return -1;
    *len += n;
  }
  return 1;
}

}  // namespace

int tq_read_all(tq_conn *conn, char **out, size_t *out_len, int timeout_ms) {
  if (out == nullptr) return -1;
  const int64_t deadline = deadline_after(timeout_ms);

  size_t cap = kReadAllFirst;
  auto *buf = static_cast<char *>(malloc(cap));
  if (buf == nullptr) return -1;
  size_t len = 0;

  // Most bodies are framed by Content-Length or by the end of the stream:
  // those are copied in runs. Chunked bodies go through the decoder.
  if (conn->body_mode != 2 && read_plain_body(conn, deadline, &buf, &cap, &len) != 1) {
    free(buf);
    return -1;
  }
  while (!conn->eof) {
    unsigned char c = 0;
    int r = next_body_byte(conn, deadline, &c);
    if (r < 0) {
      free(buf);
      return -1;
    }
    if (r == 0) break;
    if (len + 2 > cap) {
      // The body never exceeds kBodyMax bytes, so the buffer never needs more.
      size_t grown = cap * 2 > kBodyMax + 1 ? kBodyMax + 1 : cap * 2;
      char *bigger = grown >= len + 2 ? static_cast<char *>(realloc(buf, grown)) : nullptr;
      if (bigger == nullptr) {
        free(buf);
        return -1;
      }
      buf = bigger;
      cap = grown;
    }
    buf[len++] = static_cast<char>(c);
  }

  buf[len] = '\0';
  *out = buf;
  if (out_len != nullptr) *out_len = len;
  return 1;
}

int tq_read_line(tq_conn *conn, char *buf, size_t size, int timeout_ms) {
  if (buf == nullptr || size == 0) return -1;
  if (conn->eof) return 0;
  const int64_t deadline = deadline_after(timeout_ms);
  const size_t keep = size - 1 < kReadLineMax ? size - 1 : kReadLineMax;

  size_t n = 0;
  bool got_any = false;
  for (;;) {
    unsigned char c = 0;
    int r = next_body_byte(conn, deadline, &c);
    if (r < 0) return -1;
    if (r == 0) {
      if (!got_any) return 0;
      buf[n] = '\0';
      return 1;
    }
    got_any = true;
    if (c == '\n') {
      if (n > 0 && buf[n - 1] == '\r') n--;
      buf[n] = '\0';
      return 1;
    }
    if (n < keep) {
      buf[n++] = static_cast<char>(c);
      continue;
    }
    // Line too long: the rest of it, through its LF, is consumed and lost.
    do {
      r = next_body_byte(conn, deadline, &c);
    } while (r == 1 && c != '\n');
    buf[n] = '\0';
    return 1;
  }
}

int tq_http_reusable(const tq_conn *conn) {
  if (!conn->keep_alive || !conn->http11 || conn->server_close || conn->stray_bytes) return 0;
  // An interim or switching answer is not the end of an exchange.
  if (conn->status < 200 || !conn->eof) return 0;
  if (conn->rpos != conn->rlen) return 0;  // bytes of something after the answer
  if (conn->body_mode == 1) {
    if (conn->remaining != 0) return 0;
  } else if (conn->body_mode != 2 || !conn->framed_end) {
    return 0;  // a body read until close, or a chunked one that stopped early
  }
  if (conn->tls) {
    if (!conn->tls_ready || conn->ssl == nullptr) return 0;
    const unsigned state = br_ssl_engine_current_state(&conn->ssl->eng);
    if (state & (BR_SSL_CLOSED | BR_SSL_RECVAPP)) return 0;
  }
  return 1;
}
