// The growable buffer, the JSON string literal and the small string helpers.
#include "util/ws_buf.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string contents(const ws_buf &b) {
  return std::string(b.data, b.len);
}

// A record that claims to be nearly full of the address space: every growth
// request on it overflows, so failure paths run without allocating.
struct huge_record {
  char store[16] = "kept";
  ws_buf b{store, SIZE_MAX - 8, 16};
  void expect_untouched() const {
    EXPECT_EQ(b.data, store);
    EXPECT_EQ(b.len, SIZE_MAX - 8);
    EXPECT_EQ(b.cap, 16u);
    EXPECT_STREQ(store, "kept");
  }
};

TEST(WsBuf, FreshBufferIsEmptyAndUnallocated) {
  ws_buf b;
  b.data = reinterpret_cast<char *>(0x1);
  b.len = 7;
  b.cap = 9;
  ws_buf_init(&b);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.len, 0u);
  EXPECT_EQ(b.cap, 0u);
  EXPECT_STREQ(ws_buf_str(&b), "");
  EXPECT_EQ(b.data, nullptr) << "ws_buf_str must never allocate";
}

TEST(WsBuf, AppendingNothingAllocatesTheFirstBlock) {
  struct appender {
    const char *name;
    int (*run)(ws_buf *);
  };
  const appender cases[] = {
      {"puts NULL", [](ws_buf *b) { return ws_buf_puts(b, nullptr); }},
      {"add NULL", [](ws_buf *b) { return ws_buf_add(b, nullptr, 5); }},
      {"add 0 bytes", [](ws_buf *b) { return ws_buf_add(b, "xyz", 0); }},
      {"puts empty", [](ws_buf *b) { return ws_buf_puts(b, ""); }},
  };
  for (const appender &c : cases) {
    SCOPED_TRACE(c.name);
    ws_buf b{};
    ws_buf_guard g(&b);
    ASSERT_EQ(c.run(&b), 0);
    ASSERT_NE(b.data, nullptr);
    EXPECT_EQ(b.cap, 256u);
    EXPECT_EQ(b.len, 0u);
    EXPECT_STREQ(b.data, "");
  }
}

TEST(WsBuf, CapacityAfterFirstAppend) {
  const struct {
    size_t n;
    size_t cap;
  } cases[] = {{1, 256},     {255, 256},   {256, 512},   {511, 512},  {512, 1024},
               {1000, 1024}, {1023, 1024}, {1024, 2048}, {5000, 8192}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.n);
    ws_buf b{};
    ws_buf_guard g(&b);
    const std::string text(c.n, 'x');
    ASSERT_EQ(ws_buf_add(&b, text.data(), text.size()), 0);
    EXPECT_EQ(b.cap, c.cap);
    EXPECT_EQ(b.len, c.n);
    EXPECT_EQ(b.data[c.n], '\0');
    EXPECT_EQ(contents(b), text);
  }
}

TEST(WsBuf, GrowsByDoublingFromItsOwnCapacity) {
  ws_buf b{};
  ws_buf_guard g(&b);
  ASSERT_EQ(ws_buf_add(&b, std::string(200, 'a').data(), 200), 0);
  ASSERT_EQ(b.cap, 256u);
  ASSERT_EQ(ws_buf_add(&b, std::string(55, 'b').data(), 55), 0);
  EXPECT_EQ(b.cap, 256u) << "255 bytes and the terminator still fit";
  ASSERT_EQ(ws_buf_putc(&b, 'c'), 0);
  EXPECT_EQ(b.cap, 512u);
  EXPECT_EQ(contents(b), std::string(200, 'a') + std::string(55, 'b') + "c");

  ws_buf c{};
  ws_buf_guard gc(&c);
  ASSERT_EQ(ws_buf_add(&c, std::string(200, 'a').data(), 200), 0);
  ASSERT_EQ(ws_buf_add(&c, std::string(100, 'b').data(), 100), 0);
  EXPECT_EQ(c.cap, 512u);
  EXPECT_EQ(c.len, 300u);
}

TEST(WsBuf, NeedReservesWithoutChangingContents) {
  ws_buf b{};
  ws_buf_guard g(&b);
  ASSERT_EQ(ws_buf_puts(&b, "abc"), 0);
  ASSERT_EQ(ws_buf_need(&b, 252), 0);
  EXPECT_EQ(b.cap, 256u);
  ASSERT_EQ(ws_buf_need(&b, 253), 0);
  EXPECT_EQ(b.cap, 512u);
  EXPECT_EQ(b.len, 3u);
  EXPECT_STREQ(b.data, "abc");
}

TEST(WsBuf, GrowthPolicyNearTheTop) {
  constexpr size_t GiB = size_t{1} << 30;
  const struct {
    size_t cap, need, want;
  } cases[] = {
      {0, 1, 256},
      {0, 256, 256},
      {0, 257, 512},
      {256, 301, 512},
      {300, 301, 600},  // a capacity that is no power of two keeps doubling from itself
      {GiB / 2, GiB / 2 + 1, GiB},
      {GiB, GiB + 1, 2 * GiB},  // 1 GiB itself still doubles
      {GiB, 2 * GiB, 2 * GiB},
      {GiB, 2 * GiB + 1, 2 * GiB + 1},  // past 1 GiB: exactly the requirement
      {0, 5 * GiB, 5 * GiB},
      {3 * GiB, 3 * GiB + 1, 3 * GiB + 1},
      {GiB + 2, GiB + 3, GiB + 3},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "cap " << c.cap << " need " << c.need);
    EXPECT_EQ(ws_buf_grow_cap(c.cap, c.need), c.want);
  }
}

TEST(WsBuf, OverflowingRequirementFailsAndLeavesTheBufferAlone) {
  {
    huge_record h;
    EXPECT_EQ(ws_buf_need(&h.b, 8), -1);  // len + 8 + 1 wraps
    h.expect_untouched();
  }
  {
    huge_record h;
    EXPECT_EQ(ws_buf_add(&h.b, "abcdefghijk", 11), -1);
    h.expect_untouched();
  }
  {
    huge_record h;
    EXPECT_EQ(ws_buf_puts(&h.b, "abcdefghijk"), -1);
    h.expect_untouched();
  }
  {
    huge_record h;
    h.b.len = SIZE_MAX - 1;
    EXPECT_EQ(ws_buf_putc(&h.b, 'x'), -1);
    EXPECT_EQ(h.b.len, SIZE_MAX - 1);
  }
  {
    huge_record h;
    EXPECT_EQ(ws_buf_printf(&h.b, "%s", "abcdefghijk"), -1);
    h.expect_untouched();
  }
  ws_buf e{};
  EXPECT_EQ(ws_buf_need(&e, SIZE_MAX), -1);
  EXPECT_EQ(e.data, nullptr);
  EXPECT_EQ(e.cap, 0u);
}

TEST(WsBuf, PutcStoresTheLowByteIncludingNul) {
  ws_buf b{};
  ws_buf_guard g(&b);
  ASSERT_EQ(ws_buf_putc(&b, 'a'), 0);
  ASSERT_EQ(ws_buf_putc(&b, 0), 0);
  ASSERT_EQ(ws_buf_putc(&b, 0x1E9), 0);
  ASSERT_EQ(ws_buf_putc(&b, -1), 0);
  ASSERT_EQ(b.len, 4u);
  EXPECT_EQ(contents(b), std::string("a\0\xE9\xFF", 4));
  EXPECT_EQ(b.data[4], '\0');
  EXPECT_STREQ(ws_buf_str(&b), "a") << "the C-string view ends at the stored NUL";
}

TEST(WsBuf, AddKeepsEmbeddedNulBytes) {
  ws_buf b{};
  ws_buf_guard g(&b);
  ASSERT_EQ(ws_buf_add(&b, "x\0y", 3), 0);
  ASSERT_EQ(ws_buf_puts(&b, "z"), 0);
  EXPECT_EQ(contents(b), std::string("x\0yz", 4));
}

TEST(WsBuf, PrintfAppendsFormattedText) {
  ws_buf b{};
  ws_buf_guard g(&b);
  ASSERT_EQ(ws_buf_printf(&b, "%d", 42), 0);
  EXPECT_EQ(b.len, 2u);
  EXPECT_STREQ(b.data, "42");
  ASSERT_EQ(ws_buf_printf(&b, ",%s,%ld,%lld", "x", -7L, 1LL << 40), 0);
  EXPECT_STREQ(b.data, "42,x,-7,1099511627776");
  ASSERT_EQ(ws_buf_printf(&b, "%s", ""), 0);
  EXPECT_EQ(b.len, 21u);
}

TEST(WsBuf, PrintfGrowsAcrossTheBlockBoundary) {
  ws_buf b{};
  ws_buf_guard g(&b);
  const std::string head(250, 'h');
  const std::string tail(300, 't');
  ASSERT_EQ(ws_buf_puts(&b, head.c_str()), 0);
  ASSERT_EQ(ws_buf_printf(&b, "[%s]", tail.c_str()), 0);
  EXPECT_EQ(b.cap, 1024u);
  EXPECT_EQ(contents(b), head + "[" + tail + "]");
}

TEST(WsBuf, PrintfFormattingErrorAppendsNothing) {
  ws_buf b{};
  ws_buf_guard g(&b);
  ASSERT_EQ(ws_buf_puts(&b, "keep"), 0);
  // A wide character the C locale cannot convert makes glibc's formatter
  // fail; MinGW's converts it anyway, so there the failure cannot be caused.
  if (snprintf(nullptr, 0, "%ls", L"\x20AC") >= 0) {
    GTEST_SKIP() << "this C library formats L\"\\x20AC\" with %ls without failing";
  }
  EXPECT_EQ(ws_buf_printf(&b, "%ls", L"\x20AC"), -1);
  EXPECT_EQ(b.len, 4u);
  EXPECT_STREQ(b.data, "keep");
  EXPECT_EQ(ws_buf_puts(&b, "!"), 0) << "a failure is not remembered";
  EXPECT_STREQ(b.data, "keep!");
}

TEST(WsBuf, FreeResetsAndTheBufferCanBeReused) {
  ws_buf b{};
  ASSERT_EQ(ws_buf_puts(&b, "hello"), 0);
  ws_buf_free(&b);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.len, 0u);
  EXPECT_EQ(b.cap, 0u);
  ws_buf_free(&b);  // freeing an empty buffer is harmless
  ASSERT_EQ(ws_buf_puts(&b, "again"), 0);
  EXPECT_STREQ(b.data, "again");
  ws_buf_free(&b);
}

TEST(WsBuf, HandedOverDataIsReleasedByTheReceiver) {
  ws_buf b{};
  ASSERT_EQ(ws_buf_puts(&b, "owned"), 0);
  ws_heap_text t(b.data);  // the record is abandoned; t frees the block
  EXPECT_STREQ(t.p, "owned");
  ws_heap_text other(strdup("released"));
  char *raw = other.release();
  EXPECT_EQ(other.p, nullptr);
  EXPECT_STREQ(raw, "released");
  free(raw);
}

TEST(WsJsonStr, EscapesExactly) {
  const struct {
    const char *in;
    const char *out;
  } cases[] = {
      {"a\"b\\\t\x01\xC3\xA9", "\"a\\\"b\\\\\\t\\u0001\xC3\xA9\""},
      {nullptr, "\"\""},
      {"", "\"\""},
      {"line\nbreak\r", "\"line\\nbreak\\r\""},
      {"\x08\x0C\x1B\x1F", "\"\\u0008\\u000c\\u001b\\u001f\""},
      {"\x7F\xFF\xC3", "\"\x7F\xFF\xC3\""},  // neither validated nor repaired
      {"a/b", "\"a/b\""},
      {"</script><!--", "\"</script><!--\""},
      {" ~", "\" ~\""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.out);
    ws_buf b{};
    ws_buf_guard g(&b);
    ASSERT_EQ(ws_json_str(&b, c.in), 0);
    EXPECT_STREQ(ws_buf_str(&b), c.out);
  }
}

TEST(WsJsonStr, EveryControlByteUsesItsEscape) {
  for (int c = 1; c < 0x20; ++c) {
    SCOPED_TRACE(c);
    const char in[2] = {static_cast<char>(c), '\0'};
    ws_buf b{};
    ws_buf_guard g(&b);
    ASSERT_EQ(ws_json_str(&b, in), 0);
    std::string want;
    if (c == '\n') {
      want = "\"\\n\"";
    } else if (c == '\r') {
      want = "\"\\r\"";
    } else if (c == '\t') {
      want = "\"\\t\"";
    } else {
      static const char hex[] = "0123456789abcdef";
      want = std::string("\"\\u00") + hex[c >> 4] + hex[c & 15] + "\"";
    }
    EXPECT_EQ(ws_buf_str(&b), want);
  }
}

TEST(WsJsonStr, AppendsAfterExistingText) {
  ws_buf b{};
  ws_buf_guard g(&b);
  ASSERT_EQ(ws_buf_puts(&b, "{\"k\":"), 0);
  ASSERT_EQ(ws_json_str(&b, std::string(300, 'v').c_str()), 0);
  ASSERT_EQ(ws_buf_putc(&b, '}'), 0);
  EXPECT_EQ(contents(b), "{\"k\":\"" + std::string(300, 'v') + "\"}");
}

TEST(WsJsonStr, FailureIsReported) {
  huge_record h;
  h.b.len = SIZE_MAX - 1;  // not even the opening quote fits
  EXPECT_EQ(ws_json_str(&h.b, "x"), -1);
  EXPECT_EQ(h.b.len, SIZE_MAX - 1);
  EXPECT_STREQ(h.store, "kept");
}

// "é" is C3 A9, "€" E2 82 AC, "😀" F0 9F 98 80.
TEST(WsUtf8Cut, MovesBackToTheStartOfAnUnfinishedCharacter) {
  const struct {
    const char *s;
    size_t n, want;
  } cases[] = {
      {"", 0, 0},
      {"abc", 2, 2},
      {"abc", 3, 3},
      {"\xC3\xA9", 1, 0},
      {"\xC3\xA9", 2, 2},
      {"a\xC3\xA9", 2, 1},
      {"a\xC3\xA9", 3, 3},
      {"\xE2\x82\xAC", 1, 0},
      {"\xE2\x82\xAC", 2, 0},
      {"\xE2\x82\xAC", 3, 3},
      {"x\xF0\x9F\x98\x80", 2, 1},
      {"x\xF0\x9F\x98\x80", 3, 1},
      {"x\xF0\x9F\x98\x80", 4, 1},
      {"x\xF0\x9F\x98\x80", 5, 5},
      {"\xC3\xA9\xE2\x82\xAC", 4, 2},
      // Bytes that are not UTF-8 are left as they are.
      {"\x80\x80\x80\x80", 4, 4},
      {"a\xFF", 2, 2},
      {"a\xC3\xA9\xA9", 4, 4},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "n=" << c.n << " of " << testing::PrintToString(c.s));
    EXPECT_EQ(ws_utf8_cut(c.s, c.n), c.want);
  }
  EXPECT_EQ(ws_utf8_cut(nullptr, 3), 0u);
}

TEST(WsCopy, CutsAtSizeMinusOne) {
  const struct {
    const char *src;
    size_t size;
    const char *want;
  } cases[] = {
      {"abcdef", 4, "abc"},
      {"abc", 4, "abc"},
      {"abcd", 4, "abc"},
      {"abcdef", 1, ""},
      {"", 4, ""},
      {nullptr, 4, ""},
      // Never half a character: the cut moves back to its first byte.
      {"a\xC3\xA9", 3, "a"},
      {"a\xC3\xA9", 4, "a\xC3\xA9"},
      {"\xE2\x82\xAC", 3, ""},
      {"ab\xE2\x82\xAC", 5, "ab"},
      {"ab\xE2\x82\xAC", 6, "ab\xE2\x82\xAC"},
      {"\xF0\x9F\x98\x80x", 5, "\xF0\x9F\x98\x80"},
      {"\xF0\x9F\x98\x80x", 4, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << testing::PrintToString(c.src) << " into " << c.size);
    char dst[16];
    memset(dst, '#', sizeof dst);
    ws_copy(dst, c.size, c.src);
    EXPECT_STREQ(dst, c.want);
    for (size_t i = c.size; i < sizeof dst; ++i)
      ASSERT_EQ(dst[i], '#') << "wrote past size at " << i;
  }
}

TEST(WsCopy, NothingHappensWithoutADestination) {
  char dst[4] = {'x', 'y', 'z', '\0'};
  ws_copy(dst, 0, "abc");
  EXPECT_STREQ(dst, "xyz");
  ws_copy(nullptr, 4, "abc");  // must not crash
}

TEST(WsIeq, ComparesIgnoringAsciiCase) {
  const struct {
    const char *a, *b;
    int want;
  } cases[] = {
      {"Brave", "brave", 1},  {"brave", "brave2", 0},
      {"brave2", "brave", 0}, {"", "", 1},
      {"", "a", 0},           {"a", "", 0},
      {"ABC", "abd", 0},      {"a-Z", "A-z", 1},
      {nullptr, nullptr, 0},  {nullptr, "", 0},
      {"", nullptr, 0},       {"\xC3\x89", "\xC3\xA9", 0},  // only A to Z fold
      {"[", "{", 0},                                        // nor do neighbours of the letters
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << testing::PrintToString(c.a) << " vs " << testing::PrintToString(c.b));
    EXPECT_EQ(ws_ieq(c.a, c.b), c.want);
  }
}

TEST(WsIprefix, TestsThePrefixIgnoringAsciiCase) {
  const struct {
    const char *text, *prefix;
    int want;
  } cases[] = {
      {"<SCRIPT type=x>", "<script", 1},
      {"<scr", "<script", 0},
      {"anything", "", 1},
      {"", "", 1},
      {"", "a", 0},
      {"<style", "<script", 0},
      {"ABC", "abc", 1},
      {nullptr, "a", 0},
      {"a", nullptr, 0},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message()
                 << testing::PrintToString(c.text) << " / " << testing::PrintToString(c.prefix));
    EXPECT_EQ(ws_iprefix(c.text, c.prefix), c.want);
  }
}

TEST(WsMemmem, FindsTheFirstWholeWindowInsideTheRange) {
  const char hay[] = {'a', 'b', 'a', 'b', '\0', 'c', 'x', 'y', 'Z'};  // no terminator
  const size_t len = 8;  // the 'Z' lies outside the range
  EXPECT_EQ(ws_memmem(hay, len, "ab"), hay);
  EXPECT_EQ(ws_memmem(hay, len, "ba"), hay + 1);
  EXPECT_EQ(ws_memmem(hay, len, "xy"), hay + 6) << "a needle that ends at the range end";
  EXPECT_EQ(ws_memmem(hay, len, "c"), hay + 5) << "NUL bytes inside the range are searched over";
  EXPECT_EQ(ws_memmem(hay, len, "yZ"), nullptr) << "the window must lie inside the range";
  EXPECT_EQ(ws_memmem(hay, len, ""), nullptr);
  EXPECT_EQ(ws_memmem(hay, 2, "abc"), nullptr);
  EXPECT_EQ(ws_memmem(hay, 0, "a"), nullptr);
  EXPECT_EQ(ws_memmem(nullptr, 4, "a"), nullptr);
  EXPECT_EQ(ws_memmem(hay, 3, "aba"), hay) << "a needle exactly as long as the range";
}

}  // namespace
