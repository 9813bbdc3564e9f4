// The process-wide trust-anchor table: the embedded root bundle, one PEM
// file named by TQ_CA_BUNDLE or else the system's roots (its store, on
// Windows, and a bundle found at a system path), and whatever the caller
// adds. Filled at the first handshake; the process never shrinks or
// frees it (only tests and fuzzing empty it, through tq_anchor_reset).
//
// Handshakes run on several threads at once: the table is guarded by a
// mutex (entries are only ever appended, and a connection copies the
// records it needs), and the bundles are loaded by the first handshake
// while any other waits for that load to end.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "sdk/platform_roots.h"
#include "sdk/tq_ca_bundle.h"
#include "sdk/tq_tls.h"
#include "sdk/tq_tls_internal.h"

namespace {

// One table entry: the anchor handed to BearSSL and the heap copies it
// points to, kept beside it so that ownership is plain to see.
struct tq_anchor_entry {
  br_x509_trust_anchor ta;
  unsigned char *dn;
  unsigned char *key1;  // RSA modulus or EC point
  unsigned char *key2;  // RSA exponent; NULL for EC
};

// g_table_lock guards the table and the placeholder index. g_load_lock
// makes the bundle load happen once, with every other caller waiting for
// it; it is taken before g_table_lock, never after.
std::mutex g_table_lock;
tq_anchor_entry g_anchors[TQ_MAX_ANCHORS];
size_t g_anchor_count = 0;
int g_insecure_anchor_idx = -1;
std::mutex g_load_lock;
std::atomic<bool> g_env_ca_loaded{false};

const char *const paths[] = {
    "/etc/ssl/certs/ca-certificates.crt",
    "/etc/pki/tls/certs/ca-bundle.crt",
    "/etc/ssl/ca-bundle.pem",
    "/etc/pki/ca-trust/extracted/pem/tls-ca-bundle.pem",
    "/etc/ssl/cert.pem",
};

// The sink of the first object starts at a size that holds a typical root
// certificate whole, so most objects need a single allocation.
constexpr size_t TQ_SINK_FIRST = 2048;

void sink_append(tq_sink *s, const void *src, size_t len) {
  if (len == 0) return;
  if (len > TQ_SINK_MAX - s->len) {
    s->dropped = 1;
    return;
  }
  const size_t need = s->len + len + 1;  // at most TQ_SINK_MAX + 1
  if (need > s->cap) {
    size_t cap = s->cap ? s->cap : TQ_SINK_FIRST;
    while (cap < need) cap *= 2;
    void *grown = realloc(s->data, cap);
    if (!grown) {
      s->dropped = 1;
      return;
    }
    s->data = static_cast<unsigned char *>(grown);
    s->cap = cap;
  }
  memcpy(s->data + s->len, src, len);
  s->len += len;
  s->data[s->len] = 0;
}

void sink_free(tq_sink *s) {
  free(s->data);
  *s = {};
}

unsigned char *dup_bytes(const unsigned char *src, size_t len) {
  if (!src || len == 0) return nullptr;
  auto *copy = static_cast<unsigned char *>(malloc(len));
  if (copy) memcpy(copy, src, len);
  return copy;
}

void entry_free(tq_anchor_entry *e) {
  free(e->dn);
  free(e->key1);
  free(e->key2);
  *e = {};
}

// Copies the decoded key into the entry. 0 for other key types or when
// memory runs out; the entry then holds nothing.
int entry_set_key(tq_anchor_entry *e, const br_x509_pkey *pk) {
  if (pk->key_type == BR_KEYTYPE_RSA) {
    const br_rsa_public_key &rsa = pk->key.rsa;
    e->key1 = dup_bytes(rsa.n, rsa.nlen);
    e->key2 = dup_bytes(rsa.e, rsa.elen);
    if (!e->key1 || !e->key2) return 0;
    e->ta.pkey.key_type = BR_KEYTYPE_RSA;
    e->ta.pkey.key.rsa = {e->key1, rsa.nlen, e->key2, rsa.elen};
    return 1;
  }
  if (pk->key_type == BR_KEYTYPE_EC) {
    const br_ec_public_key &ec = pk->key.ec;
    e->key1 = dup_bytes(ec.q, ec.qlen);
    if (!e->key1) return 0;
    e->ta.pkey.key_type = BR_KEYTYPE_EC;
    e->ta.pkey.key.ec = {ec.curve, e->key1, ec.qlen};
    return 1;
  }
  return 0;
}

// Decodes one DER certificate into the next free entry. 1 when added.
// The decoding runs outside the lock; only the append holds it.
int add_anchor_der(const unsigned char *der, size_t len) {
  if (len < 1 || len > TQ_MAX_ANCHOR_DER || tq_anchor_count() >= TQ_MAX_ANCHORS) return 0;
  tq_sink dn = {};
  br_x509_decoder_context dc;
  br_x509_decoder_init(&dc, tq_collect_dn, &dn);
  br_x509_decoder_push(&dc, der, len);
  const br_x509_pkey *pk = br_x509_decoder_get_pkey(&dc);
  if (!pk || dn.len == 0 || dn.dropped) {
    sink_free(&dn);
    return 0;
  }
  tq_anchor_entry e = {};
  if (!entry_set_key(&e, pk)) {
    entry_free(&e);
    sink_free(&dn);
    return 0;
  }
  e.dn = dn.data;  // the entry owns the DN bytes from here on
  e.ta.dn.data = dn.data;
  e.ta.dn.len = dn.len;
  e.ta.flags = BR_X509_TA_CA;
  std::lock_guard<std::mutex> hold(g_table_lock);
  if (g_anchor_count >= TQ_MAX_ANCHORS) {  // filled meanwhile by another thread
    entry_free(&e);
    return 0;
  }
  g_anchors[g_anchor_count++] = e;
  return 1;
}

// Reads a bundle file whole (1 to TQ_MAX_BUNDLE_FILE - 1 bytes) and adds
// its certificates. Other sizes are left unread.
void add_pem_file(FILE *f) {
  if (fseek(f, 0, SEEK_END) != 0) return;
  const long size = ftell(f);
  if (size < 1 || size >= TQ_MAX_BUNDLE_FILE) return;
  if (fseek(f, 0, SEEK_SET) != 0) return;
  const size_t want = static_cast<size_t>(size);
  auto *text = static_cast<char *>(malloc(want + 1));
  if (!text) return;
  const size_t got = fread(text, 1, want, f);
  text[got] = 0;
  if (got > 0) (void)tq_add_pem_bundle(text, got);
  free(text);
}

// The embedded bundle, then TQ_CA_BUNDLE, or else the system's own roots
// (its certificate store, where it has one) and the first system path that
// opens.
void load_bundles(void) {
  (void)tq_add_pem_bundle(TQ_CA_BUNDLE_PEM, TQ_CA_BUNDLE_PEM_LEN);

  bool named = false;
  FILE *f = tq_platform_open_named_file("TQ_CA_BUNDLE", &named);
  // A named bundle that cannot be opened leaves the embedded roots alone:
  // no system path stands in for it.
  if (!named) {
    tq_platform_store_roots(
        [](void *, const unsigned char *der, size_t len) { (void)add_anchor_der(der, len); },
        nullptr);
    for (const char *path : paths) {
      f = fopen(path, "rb");
      if (f) break;
    }
  }
  if (!f) return;
  add_pem_file(f);
  fclose(f);
}

}  // namespace

void tq_dest_cert(void *ctx, const void *src, size_t len) {
  sink_append(static_cast<tq_sink *>(ctx), src, len);
}

void tq_collect_dn(void *ctx, const void *src, size_t len) {
  sink_append(static_cast<tq_sink *>(ctx), src, len);
}

int tq_add_pem_mem(const char *data, size_t len) {
  if (!data || len == 0) return -1;
  br_pem_decoder_context pc;
  br_pem_decoder_init(&pc);
  int added = 0;
  // The decoder's output for the object at hand; one per call, so calls on
  // several threads never share it.
  tq_sink sink = {};
  const auto *p = reinterpret_cast<const unsigned char *>(data);
  size_t left = len;
  // A file whose last line lacks its newline would otherwise never finish
  // its last object: one newline is pushed after the input.
  static const unsigned char final_newline[1] = {'\n'};
  bool tail_pushed = false;
  for (;;) {
    if (left == 0) {
      if (tail_pushed) break;
      tail_pushed = true;
      p = final_newline;
      left = 1;
    }
    const size_t used = br_pem_decoder_push(&pc, p, left);
    p += used;
    left -= used;
    const int event = br_pem_decoder_event(&pc);
    if (event == BR_PEM_BEGIN_OBJ) {
      sink_free(&sink);
      br_pem_decoder_setdest(&pc, tq_dest_cert, &sink);
    } else if (event == BR_PEM_END_OBJ) {
      if (!sink.dropped) added += add_anchor_der(sink.data, sink.len);
      sink_free(&sink);
    } else if (event == BR_PEM_ERROR) {
      break;
    } else if (used == 0) {
      break;  // no progress and nothing to report: the decoder is stuck
    }
  }
  sink_free(&sink);
  return added > 0 ? added : -1;
}

int tq_http_add_ca_pem(const char *pem, size_t len) {
  if (!pem || len == 0) return -1;
  return tq_add_pem_mem(pem, len);
}

void tq_load_env_ca(void) {
  if (g_env_ca_loaded.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> once(g_load_lock);
  if (g_env_ca_loaded.load(std::memory_order_relaxed)) return;  // loaded while this one waited
  load_bundles();
  g_env_ca_loaded.store(true, std::memory_order_release);
}

int tq_anchor_add_der(const unsigned char *der, size_t len) {
  return add_anchor_der(der, len);
}

size_t tq_anchor_count(void) {
  std::lock_guard<std::mutex> hold(g_table_lock);
  return g_anchor_count;
}

br_x509_trust_anchor *tq_anchor_copy(size_t *count) {
  *count = 0;
  std::lock_guard<std::mutex> hold(g_table_lock);
  if (g_anchor_count == 0) return nullptr;
  auto *copy =
      static_cast<br_x509_trust_anchor *>(malloc(g_anchor_count * sizeof(br_x509_trust_anchor)));
  if (!copy) return nullptr;
  for (size_t i = 0; i < g_anchor_count; i++) copy[i] = g_anchors[i].ta;
  *count = g_anchor_count;
  return copy;
}

void tq_anchor_add_placeholder(void) {
  std::lock_guard<std::mutex> hold(g_table_lock);
  if (g_insecure_anchor_idx != -1 || g_anchor_count >= TQ_MAX_ANCHORS) return;
  // DN "CN=tqde" and a 3-byte RSA modulus: no real server ever matches it.
  static const unsigned char dn[17] = {0x30, 0x0F, 0x31, 0x0D, 0x30, 0x0B, 0x06, 0x03, 0x55,
                                       0x04, 0x03, 0x0C, 0x04, 't',  'q',  'd',  'e'};
  static const unsigned char modulus[3] = {0x7A, 0x71, 0x64};
  static const unsigned char exponent[3] = {0x01, 0x00, 0x01};
  tq_anchor_entry *e = &g_anchors[g_anchor_count];
  *e = {};
  e->dn = dup_bytes(dn, sizeof dn);
  e->key1 = dup_bytes(modulus, sizeof modulus);
  e->key2 = dup_bytes(exponent, sizeof exponent);
  if (!e->dn || !e->key1 || !e->key2) {
    entry_free(e);
    return;
  }
  e->ta.dn = {e->dn, sizeof dn};
  e->ta.flags = 0;
  e->ta.pkey.key_type = BR_KEYTYPE_RSA;
  e->ta.pkey.key.rsa = {e->key1, sizeof modulus, e->key2, sizeof exponent};
  g_insecure_anchor_idx = static_cast<int>(g_anchor_count);
  g_anchor_count++;
}

void tq_anchor_reset(void) {
  std::lock_guard<std::mutex> once(g_load_lock);
  std::lock_guard<std::mutex> hold(g_table_lock);
  for (size_t i = 0; i < g_anchor_count; i++) entry_free(&g_anchors[i]);
  g_anchor_count = 0;
  g_insecure_anchor_idx = -1;
  g_env_ca_loaded.store(false);
}
