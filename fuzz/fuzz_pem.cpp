// Any text offered as trust anchors, through BearSSL's PEM decoder
// (tq_add_pem_mem) and through the quick path for bundles: neither crashes,
// the anchor table never passes its 640 entries, each call reports exactly
// what it added, and both paths, each starting from an empty table, add the
// same number of anchors.
#include <cstddef>
#include <cstdint>

#include "sdk/tq_tls.h"
#include "sdk/tq_tls_internal.h"
#include "utf8_check.h"

namespace {

// Result of one add call checked against the table's growth.
void check_added(int result, size_t before, size_t after) {
  FUZZ_CHECK(after <= TQ_MAX_ANCHORS);
  FUZZ_CHECK(after >= before);
  if (result == -1) {
    FUZZ_CHECK(after == before);
  } else {
    FUZZ_CHECK(result > 0);
    FUZZ_CHECK(after - before == static_cast<size_t>(result));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const char *text = reinterpret_cast<const char *>(data);
  tq_anchor_reset();
  const int general = tq_add_pem_mem(text, size);
  check_added(general, 0, tq_anchor_count());
  tq_anchor_reset();
  const int quick = tq_add_pem_bundle(text, size);
  check_added(quick, 0, tq_anchor_count());
  FUZZ_CHECK(quick == general);
  // A second call on a table that is no longer empty must stay in bounds.
  const size_t before = tq_anchor_count();
  check_added(tq_add_pem_bundle(text, size), before, tq_anchor_count());
  return 0;
}
