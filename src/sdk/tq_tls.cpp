// The TLS handshake of a connection: BearSSL's full client profile over the
// connection's socket, the chain checked against the anchor table and the
// URL's host, with two escapes: a pinned key (reached through a second
// handshake that trusts exactly that key) and the lenient validator of
// insecure mode. All TLS memory hangs off the tq_conn and is released with
// free() by tq_conn_close.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sdk/tq_proxy.h"
#include "sdk/tq_tls.h"
#include "sdk/tq_tls_internal.h"
#include "sdk/tq_url.h"

namespace {

// Key material of a pinned peer, copied out of the first handshake's
// validator before that validator is freed.
struct tq_saved_key {
  unsigned char key_type;
  int curve;
  size_t len1;  // RSA modulus or EC point length
  size_t len2;  // RSA exponent length; 0 for EC
  unsigned char bytes[TQ_SPKI_MAX];
};

// The known-key validator and the key it points to live in one block, so
// the key outlives every use BearSSL makes of it (renegotiation included)
// and tq_conn_close frees both with one free() of conn->knownkey.
struct tq_knownkey_block {
  br_x509_knownkey_context ctx;  // first member: its address is the block's
  tq_saved_key key;
};

const char *const TQ_INSECURE_HINT =
    "; TQ_TLS_INSECURE=1 exists for debugging self-hosted relays only";

// Frees the TLS allocations of a connection whose socket stays with the
// caller (failures before any BearSSL state was set up).
void tls_release(tq_conn *conn) {
  free(conn->ssl);
  free(conn->x509);
  free(conn->knownkey);
  free(conn->iobuf);
  free(conn->anchors);
  conn->ssl = nullptr;
  conn->x509 = nullptr;
  conn->knownkey = nullptr;
  conn->iobuf = nullptr;
  conn->anchors = nullptr;
  conn->anchor_count = 0;
  conn->tls_ready = 0;
}

int engine_error(const tq_conn *conn) {
  return br_ssl_engine_last_error(&conn->ssl->eng);
}

// 1 when the key was copied; keys that cannot be pinned are never saved.
int save_key(const br_x509_pkey *pk, tq_saved_key *out) {
  *out = {};
  out->key_type = pk->key_type;
  if (pk->key_type == BR_KEYTYPE_RSA) {
    const br_rsa_public_key &rsa = pk->key.rsa;
    if (rsa.nlen > sizeof out->bytes || rsa.elen > sizeof out->bytes - rsa.nlen) return 0;
    memcpy(out->bytes, rsa.n, rsa.nlen);
    memcpy(out->bytes + rsa.nlen, rsa.e, rsa.elen);
    out->len1 = rsa.nlen;
    out->len2 = rsa.elen;
    return 1;
  }
  if (pk->key_type == BR_KEYTYPE_EC) {
    const br_ec_public_key &ec = pk->key.ec;
    if (ec.qlen > sizeof out->bytes) return 0;
    memcpy(out->bytes, ec.q, ec.qlen);
    out->curve = ec.curve;
    out->len1 = ec.qlen;
    return 1;
  }
  return 0;
}

// Runs BearSSL until application data can flow. 0 when the handshake is
// done; -1 with the engine's error code in *code.
int run_handshake(tq_conn *conn, int *code) {
  br_sslio_init(&conn->sslio, &conn->ssl->eng, tq_low_read, conn, tq_low_write, conn);
  if (br_sslio_flush(&conn->sslio) == 0) return 0;
  *code = engine_error(conn);
  return -1;
}

// Second connection to a server whose key matched a pin: the only thing
// checked is that the server presents that same key.
int pinned_rehandshake(tq_conn *conn, const tq_saved_key *key, const char *pin, int timeout_ms,
                       char *err, size_t err_size) {
  const int64_t deadline = conn->deadline_ms;
  tq_conn_close(conn);
  // The second connection takes the same road as the first, proxy included.
  if (tq_conn_dial(conn, timeout_ms, 1, err, err_size) != 0) return -1;
  conn->deadline_ms = deadline;

  conn->ssl = static_cast<br_ssl_client_context *>(calloc(1, sizeof(br_ssl_client_context)));
  conn->x509 = calloc(1, sizeof(br_x509_minimal_context));
  conn->iobuf = static_cast<unsigned char *>(malloc(BR_SSL_BUFSIZE_BIDI));
  auto *block = static_cast<tq_knownkey_block *>(calloc(1, sizeof(tq_knownkey_block)));
  conn->knownkey = block ? &block->ctx : nullptr;
  if (!conn->ssl || !conn->x509 || !conn->iobuf || !block) {
    tq_conn_close(conn);
    set_err(err, err_size, "out of memory");
    return -1;
  }

  block->key = *key;
  tq_saved_key &k = block->key;
  const unsigned usages = BR_KEYTYPE_KEYX | BR_KEYTYPE_SIGN;
  if (k.key_type == BR_KEYTYPE_RSA) {
    const br_rsa_public_key rsa = {k.bytes, k.len1, k.bytes + k.len1, k.len2};
    br_x509_knownkey_init_rsa(&block->ctx, &rsa, usages);
  } else {
    const br_ec_public_key ec = {k.curve, k.bytes, k.len1};
    br_x509_knownkey_init_ec(&block->ctx, &ec, usages);
  }

  auto *minimal = static_cast<br_x509_minimal_context *>(conn->x509);
  br_ssl_client_init_full(conn->ssl, minimal, nullptr, 0);
  br_ssl_engine_set_x509(&conn->ssl->eng, &block->ctx.vtable);
  br_ssl_engine_set_buffer(&conn->ssl->eng, conn->iobuf, BR_SSL_BUFSIZE_BIDI, 1);
  if (!br_ssl_client_reset(conn->ssl, conn->host, 0)) {
    tq_conn_close(conn);
    set_err(err, err_size, "bad SNI hostname");
    return -1;
  }
  int code = 0;
  if (run_handshake(conn, &code) != 0) {
    tq_conn_close(conn);
    set_err(err, err_size, "pinned TLS handshake failed (code %d)", code);
    return -1;
  }
  conn->tls_ready = 1;
  memcpy(conn->peer_pin, pin, sizeof conn->peer_pin);
  conn->trusted = 0;
  conn->pin_ok = 1;
  tq_tls_session_keep(conn);
  return 0;
}

}  // namespace

int tq_tls_insecure(void) {
  const char *v = getenv("TQ_TLS_INSECURE");
  return v && strcmp(v, "1") == 0;
}

int tq_tls_handshake(tq_conn *conn, int timeout_ms, char *err, size_t err_size) {
  const int insecure = tq_tls_insecure();
  const int budget = timeout_ms > 0 ? timeout_ms : TQ_HANDSHAKE_DEFAULT_MS;
  conn->deadline_ms = tq_now_ms() + budget;

  conn->ssl = static_cast<br_ssl_client_context *>(calloc(1, sizeof(br_ssl_client_context)));
  conn->x509 = calloc(1, sizeof(br_x509_minimal_context));
  conn->iobuf = static_cast<unsigned char *>(malloc(BR_SSL_BUFSIZE_BIDI));
  if (!conn->ssl || !conn->x509 || !conn->iobuf) {
    tls_release(conn);
    set_err(err, err_size, "out of memory");
    return -1;
  }

  tq_parse_env_pins();
  tq_load_env_ca();
  if (insecure) tq_anchor_add_placeholder();
  if (tq_anchor_count() == 0) {
    tls_release(conn);
    set_err(err, err_size, "no trust anchors available");
    return -1;
  }
  conn->anchors = tq_anchor_copy(&conn->anchor_count);
  if (!conn->anchors) {
    tls_release(conn);
    set_err(err, err_size, "out of memory");
    return -1;
  }

  auto *minimal = static_cast<br_x509_minimal_context *>(conn->x509);
  br_ssl_client_init_full(conn->ssl, minimal, conn->anchors, conn->anchor_count);
  const br_x509_class *const *validator = &minimal->vtable;
  tq_x509_lenient *lenient = nullptr;
  if (insecure) {
    lenient = static_cast<tq_x509_lenient *>(calloc(1, sizeof(tq_x509_lenient)));
    if (!lenient) {
      tq_conn_close(conn);
      set_err(err, err_size, "out of memory");
      return -1;
    }
    tq_x509_lenient_init(lenient, conn->anchors, conn->anchor_count);
    br_ssl_engine_set_x509(&conn->ssl->eng, &lenient->vtable);
    free(conn->x509);  // the wrapper carries its own minimal validator
    conn->x509 = lenient;
    // The wrapper answers for its inner validator, and also knows the key of
    // a certificate that the inner one stopped reading early.
    validator = &lenient->vtable;
  }

  br_ssl_engine_set_buffer(&conn->ssl->eng, conn->iobuf, BR_SSL_BUFSIZE_BIDI, 1);
  br_ssl_session_parameters offered;
  const int offering = tq_tls_session_offer(conn, &offered);
  if (!br_ssl_client_reset(conn->ssl, conn->host, offering)) {
    tq_conn_close(conn);
    set_err(err, err_size, "bad SNI hostname");
    return -1;
  }

  int code = 0;
  if (run_handshake(conn, &code) == 0) {
    conn->tls_ready = 1;
    // A resumed handshake shows no certificate: the checks are those of the
    // handshake that made the session, under these same trust settings.
    if (offering && tq_tls_session_resumed(conn, &offered)) return 0;
    tq_key_pin_hex((*validator)->get_pkey(validator, nullptr), conn->peer_pin);
    if (getenv("TQ_VERBOSE")) {
      tq_platform_diag("tq_http_tls: peer pin %s for %s\n", conn->peer_pin, conn->host);
    }
    conn->pin_ok = tq_pin_matches_hex(conn->peer_pin);
    if (insecure) {
      conn->trusted = lenient->last_err == 0;
      tq_tls_session_keep(conn);
      return 0;
    }
    const unsigned state = br_ssl_engine_current_state(&conn->ssl->eng);
    conn->trusted = engine_error(conn) == BR_ERR_OK && !(state & BR_SSL_CLOSED);
    if (conn->trusted || conn->pin_ok) {
      tq_tls_session_keep(conn);
      return 0;
    }
    tq_conn_close(conn);
    set_err(err, err_size, "TLS certificate not trusted and no SPKI pin matched");
    return -1;
  }

  // Only a chain that merely fails to reach an anchor may be rescued by a
  // pin; an expired, misnamed or badly signed certificate never is.
  if (code == BR_ERR_X509_NOT_TRUSTED && tq_pins_configured()) {
    const br_x509_pkey *pk = (*validator)->get_pkey(validator, nullptr);
    char pin[65];
    tq_key_pin_hex(pk, pin);
    tq_saved_key saved;
    if (pin[0] && tq_pin_matches_hex(pin) && save_key(pk, &saved)) {
      return pinned_rehandshake(conn, &saved, pin, budget, err, err_size);
    }
  }
  tq_conn_close(conn);
  set_err(err, err_size, "TLS handshake failed (code %d%s)", code,
          insecure ? "" : TQ_INSECURE_HINT);
  return -1;
}
