// The Windows certificate store's trusted roots, read-only.
#include <windows.h>
// wincrypt.h needs the types of windows.h.
#include <wincrypt.h>

#include "sdk/platform_roots.h"

namespace {

void read_store(DWORD location, tq_root_sink sink, void *ctx) {
  HCERTSTORE store =
      CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                    location | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG, L"ROOT");
  if (store == nullptr) return;
  PCCERT_CONTEXT cert = nullptr;
  // Each call frees the previous context; the last one returns NULL.
  while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
    if (cert->dwCertEncodingType & X509_ASN_ENCODING) {
      sink(ctx, cert->pbCertEncoded, cert->cbCertEncoded);
    }
  }
  CertCloseStore(store, 0);
}

}  // namespace

void tq_platform_store_roots(tq_root_sink sink, void *ctx) {
  if (sink == nullptr) return;
  read_store(CERT_SYSTEM_STORE_CURRENT_USER, sink, ctx);
  read_store(CERT_SYSTEM_STORE_LOCAL_MACHINE, sink, ctx);
}
