// The MCP server over standard input and output: JSON-RPC 2.0, one message
// per line in, one reply line per request out.
//
// Standard output is the protocol channel: nothing but complete reply lines
// may ever reach it, each written in one piece and flushed at once so that
// the host sees it the moment it is complete.
//
// By default the reader answers every line at once except web_search
// calls, which go to the worker pool; their replies come in the order the
// searches finish, each with its request's id. WEBSEARCH_MCP_SERIAL=1 keeps
// the strict loop for hosts that rely on request order: each line is
// handled completely, search included, before the next one is read.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "config/ws_config.h"
#include "plugin/ws_mcp.h"
#include "plugin/ws_mcp_pool.h"
#include "plugin/ws_modes.h"
#include "search/ws_http.h"
#include "util/ws_buf.h"

namespace {

struct free_deleter {
  void operator()(void *p) const { free(p); }
};

using line_ptr = std::unique_ptr<mcp_line, void (*)(mcp_line *)>;

// The settings of the conversation. config.json is looked at again before
// each tools/call and read anew when it changed, so a key saved on the page
// is used by the next call. A search keeps the record it started with.
struct live_settings {
  std::shared_ptr<const ws_config> cfg;
  ws_config_stamp stamp = {};
};

// Loads the record; the stamp is taken first, so a save that lands during
// the load shows as a change at the next look. false when memory ran out
// (the previous record stays in use).
bool load_settings(live_settings *s) {
  ws_config_stamp stamp;
  ws_config_stamp_now(&stamp);
  try {
    auto cfg = std::make_shared<ws_config>();
    ws_config_load(cfg.get());
    s->cfg = std::move(cfg);
  } catch (const std::bad_alloc &) {
    return false;
  }
  s->stamp = stamp;
  return true;
}

void refresh_settings(live_settings *s) {
  ws_config_stamp now;
  ws_config_stamp_now(&now);
  if (!ws_config_stamp_equal(&now, &s->stamp)) (void)load_settings(s);
}

// The next non-empty line into buf (at most WS_MCP_LINE_MAX bytes kept; the
// rest of a longer line is read and dropped). End of input ends a last line
// that lacks its newline. false at end of input with nothing read.
bool next_line(char *buf, size_t *len) {
  size_t n = 0;
  for (;;) {
    // stdio reads the pipe in blocks and hands out what has arrived, so a
    // request is taken as soon as its newline is in.
    const int c = getc(stdin);
    if (c == EOF) {
      *len = n;
      return n > 0;
    }
    if (c == '\n') {
      if (n == 0) continue;  // an empty line draws no reply
      *len = n;
      return true;
    }
    if (n < WS_MCP_LINE_MAX) buf[n++] = static_cast<char>(c);
  }
}

void write_reply(const ws_buf *reply) {
  if (reply->len == 0) return;
  fwrite(reply->data, 1, reply->len, stdout);
  fflush(stdout);
}

// Reads lines to the end of input. Without a pool every line, search
// included, is answered completely before the next is read; with one,
// searches go to its workers and everything else is answered here at once.
void serve(live_settings *s, char *buf, mcp_pool *pool) {
  size_t len = 0;
  while (next_line(buf, &len)) {
    line_ptr line(mcp_line_parse(buf, len), mcp_line_free);
    if (!line) continue;
    if (mcp_line_is_tools_call(line.get())) refresh_settings(s);
    ws_buf reply;
    ws_buf_init(&reply);
    ws_buf_guard guard(&reply);
    mcp_call call;
    mcp_step step;
    // No call record: a search runs right here, and a cancellation is a
    // plain notification, since nothing else is ever running.
    const int rc = mcp_line_route(s->cfg.get(), line.get(), &reply, pool ? &call : nullptr, &step);
    line.reset();  // the call holds copies of what it needs
    if (rc != 0) continue;
    if (pool == nullptr) {
      write_reply(&reply);
      continue;
    }
    switch (step) {
      case MCP_STEP_ANSWERED:
        if (reply.len > 0) mcp_pool_write(pool, reply.data, reply.len);
        break;
      case MCP_STEP_SEARCH:
        mcp_pool_submit(pool, &call, s->cfg);
        break;
      case MCP_STEP_CANCEL:
        mcp_pool_cancel(pool, call.id, call.id_len);
        break;
    }
    mcp_call_free(&call);
  }
}

bool serial_requested(void) {
  const char *v = getenv("WEBSEARCH_MCP_SERIAL");
  return v != nullptr && strcmp(v, "1") == 0;
}

}  // namespace

int mode_mcp(void) {
  std::unique_ptr<char, free_deleter> buffer(static_cast<char *>(malloc(WS_MCP_LINE_MAX + 1)));
  if (!buffer) return 1;
  live_settings settings;
  if (!load_settings(&settings)) return 1;

  // Serial mode is today's behaviour exactly: one connection per exchange.
  // Otherwise a session makes many requests to the same few services, so
  // connections and TLS sessions are kept between them, and closed properly
  // once every search has ended.
  const bool serial = serial_requested();
  if (!serial) ws_http_keep_connections();
  mcp_pool *pool = serial ? nullptr : mcp_pool_new(stdout);
  serve(&settings, buffer.get(), pool);
  // End of input: the queued and running searches finish and answer, every
  // thread is joined, and only then does the process end.
  if (pool != nullptr) mcp_pool_finish(pool);
  if (!serial) ws_http_close_kept();
  return 0;
}
