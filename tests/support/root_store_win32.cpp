#include <windows.h>
// wincrypt.h needs the types of windows.h.
#include <wincrypt.h>

#include "support/root_store_win32.h"

namespace ws_test {

std::vector<unsigned char> der_from_base64(const std::string &text) {
  DWORD len = 0;
  if (!CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64_ANY, nullptr, &len, nullptr,
                            nullptr)) {
    return {};
  }
  std::vector<unsigned char> der(len);
  if (!CryptStringToBinaryA(text.c_str(), 0, CRYPT_STRING_BASE64_ANY, der.data(), &len, nullptr,
                            nullptr)) {
    return {};
  }
  der.resize(len);
  return der;
}

machine_root::machine_root(const std::vector<unsigned char> &der) {
  if (der.empty()) return;
  HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_REGISTRY_W, 0, 0,
                                   CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
  if (store == nullptr) return;
  store_ = store;
  PCCERT_CONTEXT added = nullptr;
  if (!CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(),
                                        static_cast<DWORD>(der.size()),
                                        CERT_STORE_ADD_REPLACE_EXISTING, &added)) {
    return;
  }
  added_ = added;
  // A registry store writes its changes back when told to (or closed);
  // the next process must see the root.
  if (!CertControlStore(store, 0, CERT_STORE_CTRL_COMMIT, nullptr)) remove();
}

void machine_root::remove() {
  if (added_ == nullptr) return;
  CertDeleteCertificateFromStore(static_cast<PCCERT_CONTEXT>(added_));  // frees the context too
  added_ = nullptr;
  CertControlStore(static_cast<HCERTSTORE>(store_), 0, CERT_STORE_CTRL_COMMIT, nullptr);
}

machine_root::~machine_root() {
  remove();
  if (store_ != nullptr) CertCloseStore(static_cast<HCERTSTORE>(store_), 0);
}

}  // namespace ws_test
