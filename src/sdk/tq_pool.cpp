// The pool of kept connections: idle connections by origin, bounded per
// origin and in all, each closed after its idle time by a reaper thread;
// the check that a kept connection is still open before it is used; and
// the one retry of a request whose kept connection the server had closed.
#include "sdk/tq_pool.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "sdk/platform_peer.h"
#include "sdk/tq_http.h"
#include "sdk/tq_proxy.h"
#include "sdk/tq_tls.h"
#include "sdk/tq_url.h"

namespace {

// Servers close at their own limit; a connection is dropped this much
// before, so a request rarely meets a connection closing under it.
constexpr int64_t kServerLimitMarginMs = 1000;

// The record handed out is the first member: its address is the block's.
struct pooled_conn {
  tq_conn conn;
  tq_pool_key key;
};

struct idle_entry {
  pooled_conn *pc;
  int64_t expires_ms;
};

struct pool_state {
  std::mutex mu;
  std::condition_variable wake;  // the reaper's: a new entry or the end
  std::vector<idle_entry> idle;  // oldest first
  std::thread reaper;            // runs from the first kept connection on
  bool reaper_stop = false;
};

std::atomic<int> g_enabled{0};

// Never destroyed: exit must not tear the pool down under a running thread;
// tq_pool_shutdown ends everything first.
pool_state &pool() {
  static pool_state *p = new pool_state();
  return *p;
}

bool verbose(void) {
  return getenv("TQ_VERBOSE") != nullptr;
}

pooled_conn *block_of(tq_conn *conn) {
  return reinterpret_cast<pooled_conn *>(conn);
}

void close_free(pooled_conn *pc) {
  tq_conn_close(&pc->conn);
  free(pc);
}

void close_all(const std::vector<pooled_conn *> &list) {
  for (pooled_conn *pc : list) close_free(pc);
}

void key_of(const tq_url *url, tq_pool_key *key) {
  memset(key, 0, sizeof *key);
  key->tls = url->tls;
  tq_copy(key->host, sizeof key->host, url->host);
  key->port = url->port;
  if (url->tls) tq_tls_trust_digest(key->trust, sizeof key->trust);
  // A connection through a proxy (a tunnel, or a socket to the proxy that
  // forwards plain requests) is another connection than a direct one. The
  // key names the proxy, never its credentials (they come from the
  // environment, which does not change within a process). A malformed
  // setting keys as direct; the open that follows reports it.
  tq_proxy p;
  char err[256];
  if (tq_proxy_for(url->tls, url->host, url->port, &p, err, sizeof err) == 1) {
    snprintf(key->proxy, sizeof key->proxy, "%d %s:%d", p.kind, p.host, p.port);
  }
  tq_proxy_wipe(&p);
}

bool same_key(const tq_pool_key &a, const tq_pool_key &b) {
  return a.tls == b.tls && a.port == b.port && strcmp(a.host, b.host) == 0 &&
         strcmp(a.trust, b.trust) == 0 && strcmp(a.proxy, b.proxy) == 0;
}

void reap(pool_state *p) {
  std::unique_lock<std::mutex> lock(p->mu);
  while (!p->reaper_stop) {
    const int64_t now = tq_now_ms();
    int64_t next = INT64_MAX;
    std::vector<pooled_conn *> expired;
    for (size_t i = 0; i < p->idle.size();) {
      if (p->idle[i].expires_ms <= now) {
        expired.push_back(p->idle[i].pc);
        p->idle.erase(p->idle.begin() + static_cast<ptrdiff_t>(i));
      } else {
        if (p->idle[i].expires_ms < next) next = p->idle[i].expires_ms;
        i++;
      }
    }
    if (!expired.empty()) {
      lock.unlock();  // a TLS close waits for the network: never under the lock
      close_all(expired);
      lock.lock();
      continue;
    }
    if (next == INT64_MAX) {
      p->wake.wait(lock);
    } else {
      p->wake.wait_for(lock, std::chrono::milliseconds(next - now));
    }
  }
}

// Under the lock. False when the thread cannot be started.
bool start_reaper(pool_state *p) {
  if (p->reaper.joinable()) return true;
  try {
    p->reaper = std::thread(reap, p);
  } catch (...) {
    return false;
  }
  return true;
}

// The newest kept connection for key that is still open, or NULL. Closed
// ones (the server's FIN or reset) and ones with unasked-for bytes waiting
// are dropped on the way.
pooled_conn *take_idle(const tq_pool_key &key) {
  pool_state &p = pool();
  for (;;) {
    pooled_conn *pc = nullptr;
    bool expired = false;
    {
      std::lock_guard<std::mutex> lock(p.mu);
      for (size_t i = p.idle.size(); i-- > 0;) {
        if (!same_key(p.idle[i].pc->key, key)) continue;
        pc = p.idle[i].pc;
        expired = p.idle[i].expires_ms <= tq_now_ms();
        p.idle.erase(p.idle.begin() + static_cast<ptrdiff_t>(i));
        break;
      }
    }
    if (pc == nullptr) return nullptr;
    if (!expired && tq_plat_peer_probe(pc->conn.sock) == TQ_PLAT_PEER_QUIET) {
      pc->conn.reused = 1;
      if (verbose()) {
        fprintf(stderr, "tq_http_tls: reusing connection to %s:%d\n", pc->conn.host, pc->conn.port);
      }
      return pc;
    }
    if (verbose() && !expired) {
      fprintf(stderr, "tq_http_tls: dropping a kept connection to %s:%d that the server closed\n",
              pc->conn.host, pc->conn.port);
    }
    close_free(pc);
  }
}

int open_new(const tq_url *url, const tq_pool_key &key, int keep_alive, int connect_ms,
             pooled_conn **out, char *err, size_t err_size) {
  auto *pc = static_cast<pooled_conn *>(malloc(sizeof(pooled_conn)));
  if (pc == nullptr) {
    set_err(err, err_size, "out of memory");
    return -1;
  }
  if (tq_conn_open(&pc->conn, url, connect_ms, err, err_size) != 0) {
    free(pc);  // a failed open leaves nothing open
    return -1;
  }
  pc->conn.keep_alive = keep_alive;
  pc->key = key;
  *out = pc;
  return 0;
}

}  // namespace

void tq_pool_enable(void) {
  g_enabled.store(1);
  tq_tls_session_cache(1);
}

int tq_pool_enabled(void) {
  return g_enabled.load();
}

void tq_pool_shutdown(void) {
  g_enabled.store(0);
  tq_tls_session_cache(0);
  pool_state &p = pool();
  std::vector<idle_entry> all;
  std::thread reaper;
  {
    std::lock_guard<std::mutex> lock(p.mu);
    all.swap(p.idle);
    p.reaper_stop = true;
    reaper = std::move(p.reaper);
    p.wake.notify_all();
  }
  if (reaper.joinable()) reaper.join();
  {
    std::lock_guard<std::mutex> lock(p.mu);
    p.reaper_stop = false;
  }
  for (const idle_entry &e : all) close_free(e.pc);  // TLS ones say close_notify
}

int tq_pool_request(const tq_url *url, const char *method, const char *extra_headers,
                    const void *body, size_t body_len, int connect_ms, int request_ms,
                    tq_conn **out, char *err, size_t err_size) {
  *out = nullptr;
  const int reuse = g_enabled.load();
  tq_pool_key key;
  if (reuse) {
    key_of(url, &key);
  } else {
    memset(&key, 0, sizeof key);
  }
  pooled_conn *pc = reuse ? take_idle(key) : nullptr;
  if (pc == nullptr && open_new(url, key, reuse, connect_ms, &pc, err, err_size) != 0) return -1;

  int rc = tq_http_request(&pc->conn, method, url->path, extra_headers, nullptr, body, body_len,
                           request_ms, err, err_size);
  // The server may close a kept connection just as the request goes out.
  // Only that is worth a second try: the request never reached an answer,
  // and the connection is really gone (a time-out or a cancelled wait
  // leaves it open and is never retried).
  if (rc != 0 && pc->conn.reused && !pc->conn.answer_started &&
      tq_plat_peer_probe(pc->conn.sock) == TQ_PLAT_PEER_CLOSED) {
    if (verbose()) {
      fprintf(stderr, "tq_http_tls: kept connection to %s:%d was closed; sending again\n",
              pc->conn.host, pc->conn.port);
    }
    close_free(pc);
    pc = nullptr;
    if (open_new(url, key, reuse, connect_ms, &pc, err, err_size) != 0) return -1;
    rc = tq_http_request(&pc->conn, method, url->path, extra_headers, nullptr, body, body_len,
                         request_ms, err, err_size);
  }
  if (rc != 0) {
    close_free(pc);
    return -2;
  }
  *out = &pc->conn;
  return 0;
}

void tq_pool_release(tq_conn *conn, int done_cleanly) {
  if (conn == nullptr) return;
  pooled_conn *pc = block_of(conn);
  int64_t idle_ms = TQ_POOL_IDLE_MS;
  if (conn->keep_alive_s > 0) {
    const int64_t server_ms =
        static_cast<int64_t>(conn->keep_alive_s) * 1000 - kServerLimitMarginMs;
    if (server_ms < idle_ms) idle_ms = server_ms;
  }
  if (!done_cleanly || !g_enabled.load() || !tq_http_reusable(conn) || idle_ms <= 0) {
    close_free(pc);
    return;
  }

  pool_state &p = pool();
  std::vector<pooled_conn *> evicted;
  {
    std::lock_guard<std::mutex> lock(p.mu);
    if (!g_enabled.load()) {
      evicted.push_back(pc);  // shut down meanwhile
    } else {
      size_t same = 0;
      size_t oldest_same = p.idle.size();
      for (size_t i = 0; i < p.idle.size(); i++) {
        if (!same_key(p.idle[i].pc->key, pc->key)) continue;
        if (same++ == 0) oldest_same = i;
      }
      if (same >= TQ_POOL_PER_ORIGIN) {
        evicted.push_back(p.idle[oldest_same].pc);
        p.idle.erase(p.idle.begin() + static_cast<ptrdiff_t>(oldest_same));
      }
      if (p.idle.size() >= TQ_POOL_TOTAL) {
        evicted.push_back(p.idle.front().pc);
        p.idle.erase(p.idle.begin());
      }
      if (start_reaper(&p)) {
        conn->reused = 0;
        p.idle.push_back({pc, tq_now_ms() + idle_ms});
        p.wake.notify_all();
      } else {
        evicted.push_back(pc);  // nobody would close it in time
      }
    }
  }
  close_all(evicted);
}

size_t tq_pool_idle(const tq_url *url) {
  tq_pool_key key;
  if (url != nullptr) key_of(url, &key);
  pool_state &p = pool();
  std::lock_guard<std::mutex> lock(p.mu);
  if (url == nullptr) return p.idle.size();
  size_t n = 0;
  for (const idle_entry &e : p.idle) n += same_key(e.pc->key, key) ? 1 : 0;
  return n;
}
