// What the TLS source files share among themselves: bounds, the anchor
// table's accessors, the pin list's accessors and the lenient validator.
// Only the TLS sources and their tests include this header.
#pragma once

#include <bearssl.h>

#include <cstddef>
#include <cstdint>

#include "sdk/tq_conn.h"

// Entries of the process-wide trust-anchor table.
constexpr size_t TQ_MAX_ANCHORS = 640;
// Largest DER certificate accepted as an anchor.
constexpr size_t TQ_MAX_ANCHOR_DER = 8192;
// Largest bundle file read whole (bytes, exclusive).
constexpr long TQ_MAX_BUNDLE_FILE = 4194304;
// Size of the key serialisation buffer that pins are computed over.
constexpr size_t TQ_SPKI_MAX = 1200;
// Pins kept from TQ_TLS_PIN, and the characters of it that are read.
constexpr size_t TQ_MAX_ENV_PINS = 8;
constexpr size_t TQ_PIN_ENV_MAX = 639;
// Default bound of the whole handshake, pinned re-handshake included.
constexpr int TQ_HANDSHAKE_DEFAULT_MS = 15000;

// --- anchor table (tq_tls_anchors.cpp) ----------------------------------

// Adds one DER certificate of 1 to TQ_MAX_ANCHOR_DER bytes while the table
// has room: 1 when added, 0 when skipped (too large, full, not decodable,
// empty subject, unsupported key, out of memory).
int tq_anchor_add_der(const unsigned char *der, size_t len);
// Anchors in the table right now.
size_t tq_anchor_count(void);
// Heap copy (malloc) of the table's anchor records for one connection; the
// key and DN bytes they point to stay shared and are never freed. NULL when
// the table is empty or memory ran out; *count is then 0.
br_x509_trust_anchor *tq_anchor_copy(size_t *count);
// Appends the placeholder anchor of insecure mode, at most once per process
// and only while the table has room. Allocation failures add nothing.
void tq_anchor_add_placeholder(void);
// Empties the table and forgets that the bundles and the placeholder were
// loaded. For tests and fuzzing only: the process never shrinks the table,
// and anchor copies handed out before point into what this frees.
void tq_anchor_reset(void);

// --- bundles (tq_tls_pem_scan.cpp) --------------------------------------

// Adds the certificates of a bundle with the same result as tq_add_pem_mem:
// plain PEM (the shape of every system bundle) is split and decoded here in
// one quick pass; anything else goes to BearSSL's PEM decoder, whose
// byte-by-byte machine is many times slower on a bundle of 200 kB.
int tq_add_pem_bundle(const char *data, size_t len);

// --- pins (tq_tls_pins.cpp) ---------------------------------------------

// Reads TQ_TLS_PIN the first time it is called; later calls do nothing.
void tq_parse_env_pins(void);
// 1 when the active pin list (programmatic, else environment) is non-empty.
int tq_pins_configured(void);
// Hex SHA-256 of the key's serialisation into out; "" when the key cannot
// be serialised (so it matches no pin).
void tq_key_pin_hex(const br_x509_pkey *key, char out[65]);

// Hex SHA-256 over the active pin list (lower-cased, in order): equal lists
// give equal fingerprints.
void tq_pins_fingerprint(char out[65]);

// --- session cache (tq_tls_session.cpp) ----------------------------------

// Sessions kept at most; the least recently used one goes first.
constexpr size_t TQ_TLS_SESSION_SLOTS = 32;

// Puts the kept session of conn's origin, made under the trust settings in
// force now, into the engine and copies it to *offered: 1 then, 0 when
// there is none (or the cache is off).
int tq_tls_session_offer(tq_conn *conn, br_ssl_session_parameters *offered);
// After a handshake that offered *offered: 1 when the server resumed it; the
// checks of the handshake that made the session (peer_pin, trusted, pin_ok)
// are then restored into conn. 0 after a full handshake.
int tq_tls_session_resumed(tq_conn *conn, const br_ssl_session_parameters *offered);
// Keeps the session of a full handshake whose checks passed, with their
// results, for conn's origin under the trust settings in force now.
void tq_tls_session_keep(const tq_conn *conn);

// --- lenient validator of insecure mode (tq_tls_lenient.cpp) -------------

// Wraps the minimal validator, records its verdict in last_err and reports
// every chain as accepted. One record per connection, freed with free().
struct tq_x509_lenient {
  const br_x509_class *vtable;    // &tq_x509_lenient_vtable
  br_x509_minimal_context inner;  // the validator that does the real work
  int last_err;                   // inner end_chain verdict, 0 when trusted
  // The end-entity certificate, decoded on the side: the minimal validator
  // stops reading a certificate at its first fault (an expired one before
  // its key is reached), and insecure mode still needs that key.
  br_x509_decoder_context ee;
  uint32_t certs_seen;  // certificates of the chain ended so far
};

extern const br_x509_class tq_x509_lenient_vtable;

// Sets the class pointer and initialises the inner validator over anchors.
void tq_x509_lenient_init(tq_x509_lenient *ctx, const br_x509_trust_anchor *anchors, size_t count);
