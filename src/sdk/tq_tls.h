// TLS trust and handshake: trust anchors (embedded bundle plus one PEM file),
// SPKI pins and the insecure debugging switch, over BearSSL.
#pragma once

#include <bearssl.h>

#include <cstddef>

#include "sdk/tq_conn.h"

// Runs the handshake on conn->sock. 0 with tls_ready set; -1 with a message
// (TLS state freed; the caller closes the socket).
int tq_tls_handshake(tq_conn *conn, int timeout_ms, char *err, size_t err_size);
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
