// Secrets replaced in bounded texts, whole or cut short at the end.
#include "util/ws_redact.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

TEST(Redact, EveryOccurrenceAndACutTail) {
  const ws_secrets keys = {{"SECRET-KEY-1", "other-key-22", "short", "8charkey"}, 4};
  const struct {
    const char *text;
    size_t size;
    int cut;
    const char *want;
  } cases[] = {
      {"no secret here", 64, 0, "no secret here"},
      {"bad key SECRET-KEY-1", 64, 0, "bad key [redacted]"},
      {"SECRET-KEY-1SECRET-KEY-1 and other-key-22.", 64, 0, "[redacted][redacted] and [redacted]."},
      {"a short key stays", 64, 0, "a short key stays"},  // under WS_REDACT_MIN
      {"cut: SECRET-K", 64, 1, "cut: [redacted]"},
      {"cut: SECRET-K", 64, 0, "cut: SECRET-K"},  // not cut: not a secret
      {"ends in S", 64, 1, "ends in [redacted]"},
      {"SECRET-KEY-1 then oth", 64, 1, "[redacted] then [redacted]"},
      {"xx 8charkey", 12, 0, "xx [redacte"},  // the replacement itself is cut
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    char buf[64];
    std::string text(c.text);
    text.resize(std::min(text.size(), c.size - 1));
    snprintf(buf, sizeof buf, "%s", text.c_str());
    ASSERT_EQ(ws_redact(buf, c.size, &keys, c.cut), 0);
    EXPECT_STREQ(buf, c.want);
  }
}

}  // namespace
