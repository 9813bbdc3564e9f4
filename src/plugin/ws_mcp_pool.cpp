// The worker pool and cancellation of the MCP server.
//
// One mutex guards the queue and the table of running calls; a second one,
// the output lock, guards standard output alone, so a slow host that reads
// replies late never holds up the queue. A cancel signals the wake-up
// handle of the worker that runs the call, which every socket wait of that
// thread watches: the exchange fails at once, its connection is closed on
// the way out, and the reply is dropped.
#include "plugin/ws_mcp_pool.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "sdk/platform.h"
#include "util/ws_buf.h"

namespace {

struct pool_job {
  mcp_call call = {};
  std::shared_ptr<const ws_config> cfg;
  pool_job() = default;
  pool_job(const pool_job &) = delete;
  pool_job &operator=(const pool_job &) = delete;
  ~pool_job() { mcp_call_free(&call); }
};

using job_ptr = std::unique_ptr<pool_job>;

// One worker thread and what it runs. The wake-up handle is the thread's
// own; it is signalled only while `running` is the cancelled job, and
// cleared under the pool mutex before the next job starts, so a late
// signal can never abort the wrong search.
struct worker {
  std::thread thread;
  tq_plat_wake *wake = nullptr;
  const pool_job *running = nullptr;
  bool cancelled = false;
};

bool same_id(const mcp_call &call, const char *id, size_t id_len) {
  return call.id != nullptr && call.id_len == id_len && memcmp(call.id, id, id_len) == 0;
}

}  // namespace

struct mcp_pool {
  FILE *out = nullptr;
  std::mutex out_lock;  // standard output: one whole reply line at a time

  std::mutex lock;                // everything below
  std::condition_variable work;   // a job was queued, or the pool closes
  std::condition_variable space;  // a waiting job left the queue
  std::deque<job_ptr> waiting;
  worker workers[WS_MCP_WORKERS];
  size_t started = 0;
  size_t idle = 0;
  bool closing = false;
};

namespace {

void run_job(mcp_pool *pool, const pool_job *job, worker *self) {
  ws_buf reply;
  ws_buf_init(&reply);
  ws_buf_guard guard(&reply);
  const int rc = mcp_run_search(job->cfg.get(), &job->call, &reply);
  bool drop;
  {
    std::lock_guard<std::mutex> hold(pool->lock);
    drop = self != nullptr && self->cancelled;
    if (self != nullptr) self->running = nullptr;  // from here a cancel finds nothing
  }
  if (!drop && rc == 0 && reply.len > 0) mcp_pool_write(pool, reply.data, reply.len);
}

void worker_main(mcp_pool *pool, worker *self) {
  tq_plat_wake_adopt(self->wake);
  std::unique_lock<std::mutex> hold(pool->lock);
  for (;;) {
    pool->idle++;
    pool->work.wait(hold, [pool] { return pool->closing || !pool->waiting.empty(); });
    pool->idle--;
    if (pool->waiting.empty()) break;  // closing, and nothing left to do
    job_ptr job = std::move(pool->waiting.front());
    pool->waiting.pop_front();
    pool->space.notify_one();
    self->running = job.get();
    self->cancelled = false;
    tq_plat_wake_clear(self->wake);
    hold.unlock();
    run_job(pool, job.get(), self);
    job.reset();
    hold.lock();
  }
  hold.unlock();
  tq_plat_wake_adopt(nullptr);
}

// Starts one more worker when the idle ones are all spoken for by waiting
// jobs (a woken worker counts as idle until it takes its job). Called with
// the pool mutex held, before a job is queued. false when none could be
// started.
bool grow(mcp_pool *pool) {
  if (pool->idle > pool->waiting.size() || pool->started >= WS_MCP_WORKERS) return true;
  worker *w = &pool->workers[pool->started];
  // Without a handle the worker still runs; a cancel then only drops the
  // reply and the exchange ends by its own time-outs.
  w->wake = tq_plat_wake_new();
  try {
    w->thread = std::thread(worker_main, pool, w);
  } catch (const std::system_error &) {
    tq_plat_wake_free(w->wake);
    w->wake = nullptr;
    return pool->started > 0;
  }
  pool->started++;
  return true;
}

}  // namespace

mcp_pool *mcp_pool_new(FILE *out) {
  auto *pool = new (std::nothrow) mcp_pool;
  if (pool == nullptr) return nullptr;
  pool->out = out;
  return pool;
}

void mcp_pool_write(mcp_pool *pool, const char *data, size_t len) {
  std::lock_guard<std::mutex> hold(pool->out_lock);
  // A host that stopped reading makes these fail; there is nobody left to
  // tell, and the next line fails the same way.
  (void)fwrite(data, 1, len, pool->out);
  (void)fflush(pool->out);
}

void mcp_pool_submit(mcp_pool *pool, mcp_call *call, std::shared_ptr<const ws_config> cfg) {
  job_ptr job(new (std::nothrow) pool_job);
  if (!job) {
    mcp_call_free(call);
    return;
  }
  job->call = *call;
  *call = {};
  job->cfg = std::move(cfg);

  std::unique_lock<std::mutex> hold(pool->lock);
  if (!grow(pool)) {
    // Not a single thread: the call runs here, as in the serial loop.
    hold.unlock();
    run_job(pool, job.get(), nullptr);
    return;
  }
  pool->space.wait(hold, [pool] { return pool->waiting.size() < WS_MCP_QUEUE_MAX; });
  pool->waiting.push_back(std::move(job));
  pool->work.notify_one();
}

void mcp_pool_cancel(mcp_pool *pool, const char *id, size_t id_len) {
  if (id == nullptr) return;
  std::deque<job_ptr> dropped;  // freed after the mutex is released
  {
    std::lock_guard<std::mutex> hold(pool->lock);
    for (auto it = pool->waiting.begin(); it != pool->waiting.end();) {
      if (same_id((*it)->call, id, id_len)) {
        dropped.push_back(std::move(*it));
        it = pool->waiting.erase(it);
      } else {
        ++it;
      }
    }
    if (!dropped.empty()) pool->space.notify_all();
    for (size_t i = 0; i < pool->started; i++) {
      worker *w = &pool->workers[i];
      if (w->running != nullptr && !w->cancelled && same_id(w->running->call, id, id_len)) {
        w->cancelled = true;
        tq_plat_wake_signal(w->wake);
      }
    }
  }
}

void mcp_pool_finish(mcp_pool *pool) {
  if (pool == nullptr) return;
  {
    std::lock_guard<std::mutex> hold(pool->lock);
    pool->closing = true;
  }
  pool->work.notify_all();
  for (size_t i = 0; i < pool->started; i++) {
    pool->workers[i].thread.join();
    tq_plat_wake_free(pool->workers[i].wake);
    pool->workers[i].wake = nullptr;
  }
  delete pool;
}
