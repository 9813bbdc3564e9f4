// TLS session resumption: the parameters of a full handshake kept in memory
// per host, port and trust settings, offered on the next connection there.
// A resumed handshake shows no certificate, so the entry also keeps what
// the full handshake found (peer pin, trusted, pin matched) and hands it to
// the resumed connection: the session is only ever used under the settings
// it was checked under.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "sdk/tq_tls.h"
#include "sdk/tq_tls_internal.h"
#include "sdk/tq_url.h"

namespace {

constexpr size_t kTrustDigestSize = 96;

struct session_slot {
  int used;
  char host[256];
  int port;
  char trust[kTrustDigestSize];
  br_ssl_session_parameters params;
  char peer_pin[65];
  int trusted;
  int pin_ok;
  uint64_t last_use;  // cache clock: larger is more recent
};

struct session_cache {
  std::mutex mu;
  session_slot slots[TQ_TLS_SESSION_SLOTS];
  uint64_t clock = 0;
};

std::atomic<int> g_enabled{0};

// Never destroyed: a connection closing late at exit may still look here.
session_cache &cache() {
  static session_cache *c = new session_cache();
  return *c;
}

// Master secrets must not linger in freed or reused memory.
void wipe(void *p, size_t n) {
  volatile auto *b = static_cast<volatile unsigned char *>(p);
  for (size_t i = 0; i < n; i++) b[i] = 0;
}

bool same_origin(const session_slot &s, const tq_conn *conn, const char *trust) {
  return s.used && s.port == conn->port && strcmp(s.host, conn->host) == 0 &&
         strcmp(s.trust, trust) == 0;
}

bool verbose(void) {
  return getenv("TQ_VERBOSE") != nullptr;
}

}  // namespace

void tq_tls_session_cache(int on) {
  g_enabled.store(on ? 1 : 0);
  if (on) return;
  session_cache &c = cache();
  std::lock_guard<std::mutex> lock(c.mu);
  wipe(c.slots, sizeof c.slots);
}

void tq_tls_trust_digest(char *out, size_t size) {
  tq_parse_env_pins();
  tq_load_env_ca();
  const int insecure = tq_tls_insecure();
  if (insecure) tq_anchor_add_placeholder();
  char pins[65];
  tq_pins_fingerprint(pins);
  // The anchor table only grows, so its size tells one set of anchors from
  // another within a process.
  snprintf(out, size, "insecure=%d anchors=%zu pins=%s", insecure, tq_anchor_count(), pins);
}

int tq_tls_session_offer(tq_conn *conn, br_ssl_session_parameters *offered) {
  if (!g_enabled.load()) return 0;
  char trust[kTrustDigestSize];
  tq_tls_trust_digest(trust, sizeof trust);
  session_cache &c = cache();
  std::lock_guard<std::mutex> lock(c.mu);
  for (session_slot &s : c.slots) {
    if (!same_origin(s, conn, trust)) continue;
    s.last_use = ++c.clock;
    *offered = s.params;
    br_ssl_engine_set_session_parameters(&conn->ssl->eng, &s.params);
    return 1;
  }
  return 0;
}

int tq_tls_session_resumed(tq_conn *conn, const br_ssl_session_parameters *offered) {
  br_ssl_session_parameters now;
  br_ssl_engine_get_session_parameters(&conn->ssl->eng, &now);
  // A server that resumes echoes the session ID; the master secret then
  // stays the one of the first handshake.
  const bool resumed =
      offered->session_id_len != 0 && now.session_id_len == offered->session_id_len &&
      memcmp(now.session_id, offered->session_id, now.session_id_len) == 0 &&
      memcmp(now.master_secret, offered->master_secret, sizeof now.master_secret) == 0;
  wipe(&now, sizeof now);
  if (!resumed) return 0;

  char trust[kTrustDigestSize];
  tq_tls_trust_digest(trust, sizeof trust);
  session_cache &c = cache();
  std::lock_guard<std::mutex> lock(c.mu);
  for (const session_slot &s : c.slots) {
    if (!same_origin(s, conn, trust) ||
        memcmp(s.params.session_id, offered->session_id, offered->session_id_len) != 0) {
      continue;
    }
    memcpy(conn->peer_pin, s.peer_pin, sizeof conn->peer_pin);
    conn->trusted = s.trusted;
    conn->pin_ok = s.pin_ok;
    conn->resumed = 1;
    if (verbose()) {
      fprintf(stderr, "tq_http_tls: session resumed for %s:%d (peer pin %s)\n", conn->host,
              conn->port, conn->peer_pin);
    }
    return 1;
  }
  return 0;
}

void tq_tls_session_keep(const tq_conn *conn) {
  if (!g_enabled.load() || conn->ssl == nullptr) return;
  br_ssl_session_parameters params;
  br_ssl_engine_get_session_parameters(&conn->ssl->eng, &params);
  if (params.session_id_len == 0) return;  // the server keeps no sessions
  char trust[kTrustDigestSize];
  tq_tls_trust_digest(trust, sizeof trust);

  session_cache &c = cache();
  std::lock_guard<std::mutex> lock(c.mu);
  session_slot *slot = nullptr;
  for (session_slot &s : c.slots) {
    if (same_origin(s, conn, trust)) {
      slot = &s;
      break;
    }
    if (slot == nullptr || !s.used || (slot->used && s.last_use < slot->last_use)) slot = &s;
  }
  wipe(slot, sizeof *slot);
  slot->used = 1;
  tq_copy(slot->host, sizeof slot->host, conn->host);
  slot->port = conn->port;
  tq_copy(slot->trust, sizeof slot->trust, trust);
  slot->params = params;
  memcpy(slot->peer_pin, conn->peer_pin, sizeof slot->peer_pin);
  slot->trusted = conn->trusted;
  slot->pin_ok = conn->pin_ok;
  slot->last_use = ++c.clock;
  wipe(&params, sizeof params);
}
