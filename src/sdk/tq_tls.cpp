// Interim: TLS is not wired in yet; every https:// open fails clearly.
#include "sdk/tq_tls.h"

int tq_tls_handshake(tq_conn *, int, char *err, size_t err_size) {
  set_err(err, err_size, "TLS is not available in this build");
  return -1;
}
int tq_http_add_ca_pem(const char *, size_t) { return -1; }
void tq_http_set_pins(const char *const *, size_t) {}
int tq_tls_insecure(void) { return 0; }
int tq_add_pem_mem(const char *, size_t) { return -1; }
void tq_load_env_ca(void) {}
size_t tq_key_spki(const br_x509_pkey *, unsigned char *) { return 0; }
int tq_pin_matches_hex(const char *) { return 0; }
