// The Windows certificate store's trusted roots, read-only.
#include <windows.h>
// wincrypt.h needs the types of windows.h.
#include <wincrypt.h>

#include <cstdlib>

#include "sdk/platform_roots.h"

namespace {

HCERTSTORE open_root(DWORD location) {
  return CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0,
                       location | CERT_STORE_READONLY_FLAG | CERT_STORE_OPEN_EXISTING_FLAG,
                       L"ROOT");
}

// Hands over the certificates of store that seen (when open) does not hold.
void read_store(HCERTSTORE store, HCERTSTORE seen, tq_root_sink sink, void *ctx) {
  PCCERT_CONTEXT cert = nullptr;
  // Each call frees the previous context; the last one returns NULL.
  while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
    if ((cert->dwCertEncodingType & X509_ASN_ENCODING) == 0) continue;
    if (seen != nullptr) {
      PCCERT_CONTEXT dup =
          CertFindCertificateInStore(seen, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, cert, nullptr);
      if (dup != nullptr) {
        CertFreeCertificateContext(dup);
        continue;
      }
    }
    sink(ctx, cert->pbCertEncoded, cert->cbCertEncoded);
  }
}

}  // namespace

void tq_platform_store_roots(tq_root_sink sink, void *ctx) {
  if (sink == nullptr) return;
  // The user's ROOT usually shows the machine's roots as well; each root is
  // handed over once, so duplicates never crowd the anchor table.
  HCERTSTORE user = open_root(CERT_SYSTEM_STORE_CURRENT_USER);
  HCERTSTORE machine = open_root(CERT_SYSTEM_STORE_LOCAL_MACHINE);
  if (user != nullptr) read_store(user, nullptr, sink, ctx);
  if (machine != nullptr) read_store(machine, user, sink, ctx);
  if (machine != nullptr) CertCloseStore(machine, 0);
  if (user != nullptr) CertCloseStore(user, 0);
}

FILE *tq_platform_open_named_file(const char *name, bool *named) {
  *named = false;
  // Variable names are ASCII; 64 units hold any this program reads.
  wchar_t wide_name[64];
  if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide_name, 64) <= 0) {
    return nullptr;
  }
  const wchar_t *path = _wgetenv(wide_name);
  *named = path != nullptr && path[0] != L'\0';
  return *named ? _wfopen(path, L"rb") : nullptr;
}
