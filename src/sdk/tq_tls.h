// TLS trust and handshake: trust anchors (embedded bundle plus one PEM file),
// SPKI pins and the insecure debugging switch, over BearSSL.
#pragma once

#include <bearssl.h>

#include <cstddef>

#include "sdk/tq_conn.h"

// Runs the handshake on conn->sock. 0 with tls_ready set; -1 with a message
// (TLS state freed; the caller closes the socket).
int tq_tls_handshake(tq_conn *conn, int timeout_ms, char *err, size_t err_size);
// Turns the in-memory TLS session cache on or off (off by default). On, a
// new connection offers the session of the last full handshake with the same
// host and port made under the same trust settings (anchors, pins, insecure
// mode), so the server may skip the certificate and key exchange. Off, every
// kept session is wiped. Never written to disk.
void tq_tls_session_cache(int on);
// The trust settings in force now as a short text ("" never): what a kept
// session or connection must have been made under to be used again. Loads
// the anchors and pins first, as the handshake would.
void tq_tls_trust_digest(char *out, size_t size);
// Anchors added from a PEM text, or -1 when none (or pem NULL, len 0).
int tq_http_add_ca_pem(const char *pem, size_t len);
// Programmatic pin list (hex strings); non-empty, it is the only list consulted.
// The SDK keeps the caller's pointer: the array must outlive all connections.
void tq_http_set_pins(const char *const *pins, size_t count);
// 1 when TQ_TLS_INSECURE is exactly "1".
int tq_tls_insecure(void);
int tq_add_pem_mem(const char *data, size_t len);
void tq_load_env_ca(void);
// Serialises a public key for pinning into out (1200 bytes); 0 when refused.
size_t tq_key_spki(const br_x509_pkey *key, unsigned char *out);
int tq_pin_matches_hex(const char *hex);

// Growable byte buffer filled by the decoders' append callbacks. data stays
// NUL-terminated once allocated; the owner releases it with free(data).
struct tq_sink {
  unsigned char *data;
  size_t len;
  size_t cap;
  int dropped;  // 1 once a chunk was dropped: the collected bytes are incomplete
};
// Largest size one sink grows to; a chunk that would pass it is dropped.
constexpr size_t TQ_SINK_MAX = 262144;
// Append callbacks for the PEM decoder's output (tq_dest_cert) and the X.509
// decoder's subject DN (tq_collect_dn); ctx is a tq_sink.
void tq_dest_cert(void *ctx, const void *src, size_t len);
void tq_collect_dn(void *ctx, const void *src, size_t len);
