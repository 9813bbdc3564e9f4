// The Windows certificate store as the tests change it: a root installed
// the Windows way, into the machine's ROOT store, for the life of an object.
#pragma once

#include <string>
#include <vector>

namespace ws_test {

// The DER bytes of a certificate given in base64, with or without the PEM
// lines around it; empty when the text does not decode.
std::vector<unsigned char> der_from_base64(const std::string &text);

// Adds a certificate to the local machine's ROOT store (the registry store
// behind it, written back at once) and removes it again on destruction, so
// that no failing test leaves a trusted root behind for the next.
class machine_root {
 public:
  explicit machine_root(const std::vector<unsigned char> &der);
  ~machine_root();
  machine_root(const machine_root &) = delete;
  machine_root &operator=(const machine_root &) = delete;
  // False when the certificate could not be added.
  bool ok() const { return added_ != nullptr; }
  // Takes the certificate out of the store now; safe to call twice.
  void remove();

 private:
  void *store_ = nullptr;        // HCERTSTORE
  const void *added_ = nullptr;  // PCCERT_CONTEXT
};

}  // namespace ws_test
