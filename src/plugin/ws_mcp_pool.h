// The MCP server's worker pool: web_search calls run on up to
// WS_MCP_WORKERS threads while the reader goes on answering everything
// else; waiting calls start in arrival order. Replies share one output
// lock, so every line reaches the host whole.
#pragma once

#include <cstddef>
#include <cstdio>
#include <memory>

#include "config/ws_config.h"
#include "plugin/ws_mcp.h"

// Searches that run at once.
constexpr size_t WS_MCP_WORKERS = 8;
// Calls that may wait for a worker; with this many waiting the reader
// waits too, so memory stays bounded however fast lines arrive.
constexpr size_t WS_MCP_QUEUE_MAX = 64;

struct mcp_pool;

// A pool writing its replies to out. NULL when memory runs out. Threads are
// started as calls arrive, never more than WS_MCP_WORKERS.
mcp_pool *mcp_pool_new(FILE *out);
// Writes one whole reply line (or several) under the output lock and
// flushes, so that the host sees it at once and lines never interleave.
void mcp_pool_write(mcp_pool *pool, const char *data, size_t len);
// Queues a call; it runs with cfg, which it keeps however the settings
// change later. Takes the call's id (call is emptied). Blocks while
// WS_MCP_QUEUE_MAX calls wait. When no worker can be started at all, the
// call runs here on the caller's thread.
void mcp_pool_submit(mcp_pool *pool, mcp_call *call, std::shared_ptr<const ws_config> cfg);
// Cancels every waiting or running call whose id text equals id: none of
// them will ever be answered, and a running exchange is woken at once.
// Unknown or finished ids change nothing.
void mcp_pool_cancel(mcp_pool *pool, const char *id, size_t id_len);
// Lets every queued and running call finish, writes their replies, joins
// all threads and frees the pool. NULL is accepted.
void mcp_pool_finish(mcp_pool *pool);
