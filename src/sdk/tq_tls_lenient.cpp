// The validator of insecure mode (TQ_TLS_INSECURE=1): BearSSL's minimal
// validator does the work, its verdict is recorded, and the chain is
// reported as accepted whatever it was. Only for debugging self-hosted
// relays; the connection's `trusted` still tells the truth.
#include <cstdio>
#include <cstdlib>

#include "sdk/platform.h"
#include "sdk/tq_tls_internal.h"

namespace {

tq_x509_lenient *lenient_of(const br_x509_class **ctx) {
  return reinterpret_cast<tq_x509_lenient *>(ctx);
}

const br_x509_class **inner_of(const br_x509_class **ctx) {
  return &lenient_of(ctx)->inner.vtable;
}

void tq_len_start_chain(const br_x509_class **ctx, const char *server_name) {
  if (getenv("TQ_DEBUG")) tq_platform_diag("tq_http_tls: [lenient] start_chain\n");
  tq_x509_lenient *self = lenient_of(ctx);
  self->inner.err = 0;
  self->certs_seen = 0;
  br_x509_decoder_init(&self->ee, nullptr, nullptr);
  const br_x509_class **inner = inner_of(ctx);
  (*inner)->start_chain(inner, server_name);
}

void tq_len_start_cert(const br_x509_class **ctx, uint32_t length) {
  const br_x509_class **inner = inner_of(ctx);
  (*inner)->start_cert(inner, length);
}

void tq_len_append(const br_x509_class **ctx, const unsigned char *buf, size_t len) {
  tq_x509_lenient *self = lenient_of(ctx);
  if (self->certs_seen == 0) br_x509_decoder_push(&self->ee, buf, len);
  const br_x509_class **inner = inner_of(ctx);
  (*inner)->append(inner, buf, len);
}

void tq_len_end_cert(const br_x509_class **ctx) {
  tq_x509_lenient *self = lenient_of(ctx);
  self->certs_seen++;
  const br_x509_class **inner = inner_of(ctx);
  (*inner)->end_cert(inner);
}

unsigned tq_len_end_chain(const br_x509_class **ctx) {
  tq_x509_lenient *self = lenient_of(ctx);
  const br_x509_class **inner = inner_of(ctx);
  const unsigned r = (*inner)->end_chain(inner);
  self->last_err = static_cast<int>(r);
  // The minimal validator hands out the end-entity key only for a chain it
  // considers good; marking the verdict as good releases that key.
  if (r >= BR_ERR_X509_OK && r <= BR_ERR_X509_NOT_TRUSTED) self->inner.err = BR_ERR_X509_OK;
  if (getenv("TQ_VERBOSE") || getenv("TQ_DEBUG")) {
    tq_platform_diag(
        "tq_http_tls: TQ_TLS_INSECURE=1 ignoring certificate error (%d) -- debugging only\n",
        static_cast<int>(r));
  }
  return 0;
}

const br_x509_pkey *tq_len_get_pkey(const br_x509_class *const *ctx, unsigned *usages) {
  auto *self = const_cast<tq_x509_lenient *>(reinterpret_cast<const tq_x509_lenient *>(ctx));
  const br_x509_class *const *inner = &self->inner.vtable;
  const br_x509_pkey *pk = (*inner)->get_pkey(inner, usages);
  if (pk && pk->key_type != 0) return pk;
  // The validator gave up before the end-entity key: the side decoder has it.
  const br_x509_pkey *ee = br_x509_decoder_get_pkey(&self->ee);
  if (ee && usages) *usages = BR_KEYTYPE_KEYX | BR_KEYTYPE_SIGN;
  return ee;
}

}  // namespace

const br_x509_class tq_x509_lenient_vtable = {
    sizeof(tq_x509_lenient), tq_len_start_chain, tq_len_start_cert, tq_len_append,
    tq_len_end_cert,         tq_len_end_chain,   tq_len_get_pkey,
};

void tq_x509_lenient_init(tq_x509_lenient *ctx, const br_x509_trust_anchor *anchors, size_t count) {
  ctx->vtable = &tq_x509_lenient_vtable;
  br_x509_minimal_init_full(&ctx->inner, anchors, count);
  ctx->last_err = 0;
  br_x509_decoder_init(&ctx->ee, nullptr, nullptr);
  ctx->certs_seen = 0;
}
