// The DuckDuckGo page scan over arbitrary bytes: it must stay inside the
// page, never add more results than asked, and leave every field of every
// record NUL-terminated within its capacity.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "search/ws_ddg_scan.h"
#include "search/ws_results.h"

namespace {

template <size_t N>
void check_field(const char (&field)[N]) {
  if (memchr(field, '\0', N) == nullptr) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the count (1..20, or 0 and 21 just past the range).
  const int count = data[0] % 22;
  // An exact-size copy so that any read past the page is caught.
  std::vector<char> page(data + 1, data + size);
  ws_results list;
  ws_results_init(&list);
  char err[512];
  err[0] = '\0';
  int rc = ws_ddg_page(page.data(), page.size(), count, &list, err, sizeof err);
  if (rc != 0 && rc != -1) abort();
  if (list.count < 0 || list.count > list.capacity) abort();
  if (list.count > (count > 0 ? count : 0)) abort();
  if (memchr(err, '\0', sizeof err) == nullptr) abort();
  if (rc == -1 && list.count != 0 && strcmp(err, "out of memory") != 0) abort();
  for (int i = 0; i < list.count; ++i) {
    const ws_result &r = list.items[i];
    check_field(r.title);
    check_field(r.url);
    check_field(r.snippet);
    check_field(r.published);
    check_field(r.site);
    if (r.published[0] != '\0') abort();
  }

  // The anchor finder on its own, from every kind of start.
  char href[64];
  const char *inner = nullptr;
  size_t inner_len = 0;
  const size_t start = size > 1 ? data[size - 1] % size : 0;
  if (next_anchor(page.data(), page.size(), start, "result__a", href, sizeof href, &inner,
                  &inner_len)) {
    if (inner < page.data() || inner_len > page.size() ||
        static_cast<size_t>(inner - page.data()) > page.size() - inner_len) {
      abort();
    }
  }
  if (memchr(href, '\0', sizeof href) == nullptr) abort();
  ws_results_free(&list);
  return 0;
}
