// The results list (growth, clearing, release) and fill_result.
#include "search/ws_results.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(Results, InitClearsEverythingAndAllocatesNothing) {
  ws_results l;
  memset(&l, 0x7F, sizeof l);
  ws_results_init(&l);
  EXPECT_STREQ(l.query, "");
  EXPECT_STREQ(l.provider, "");
  EXPECT_EQ(l.took_ms, 0);
  EXPECT_EQ(l.items, nullptr);
  EXPECT_EQ(l.count, 0);
  EXPECT_EQ(l.capacity, 0);
  EXPECT_EQ(l.answer.data, nullptr);
  EXPECT_EQ(l.answer.len, 0u);
  ws_results_free(&l);
  ws_results_free(nullptr);  // ignored
}

TEST(Results, CapacityGrowsEightSixteenThirtyTwoAndKeepsEarlierRecords) {
  ws_results l;
  ws_results_init(&l);
  ws_results_guard guard(&l);
  const struct {
    int pushes;
    int capacity;
  } steps[] = {{1, 8}, {8, 8}, {9, 16}, {16, 16}, {17, 32}, {20, 32}, {33, 64}};
  int done = 0;
  for (const auto &s : steps) {
    for (; done < s.pushes; done++) {
      ws_result *r = ws_results_push(&l);
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(r, &l.items[done]);
      // A new slot is all zero bytes.
      ws_result zero;
      memset(&zero, 0, sizeof zero);
      EXPECT_EQ(memcmp(r, &zero, sizeof zero), 0);
      fill_result(r, ("t" + std::to_string(done)).c_str(), "http://x/", nullptr, nullptr);
    }
    SCOPED_TRACE(s.pushes);
    EXPECT_EQ(l.count, s.pushes);
    EXPECT_EQ(l.capacity, s.capacity);
  }
  for (int i = 0; i < l.count; i++)
    EXPECT_EQ(std::string(l.items[i].title), "t" + std::to_string(i));
}

TEST(Results, FreeReleasesItemsAndAnswerButKeepsTheTexts) {
  ws_results l;
  ws_results_init(&l);
  ws_copy(l.query, sizeof l.query, "q");
  ASSERT_NE(ws_results_push(&l), nullptr);
  ASSERT_EQ(ws_buf_puts(&l.answer, "an answer"), 0);
  ws_results_free(&l);
  EXPECT_EQ(l.items, nullptr);
  EXPECT_EQ(l.count, 0);
  EXPECT_EQ(l.capacity, 0);
  EXPECT_EQ(l.answer.data, nullptr);
  EXPECT_STREQ(l.query, "q");
  // The list can be used again after release.
  ASSERT_NE(ws_results_push(&l), nullptr);
  EXPECT_EQ(l.capacity, 8);
  ws_results_free(&l);
}

TEST(FillResult, SiteIsTheHostPartOfTheLink) {
  const struct {
    const char *url;
    const char *site;
  } rows[] = {
      {"HTTP://10.0.0.1:8443/a?b", "10.0.0.1:8443"},
      {"10.0.0.2/x", "10.0.0.2"},
      {"https://", ""},
      {"https:///x", ""},
      {"", ""},
      {"https://Example.COM", "Example.COM"},
      {"HtTpS://h.example?q=1", "h.example"},
      {"http://h.example#frag", "h.example"},
      {"https://user:pw@h.example:81/p", "user:pw@h.example:81"},
      {"ftp://files.example/x", "ftp:"},
      {"//cdn.example/x", ""},
      {"https://http://x/y", "http:"},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.url);
    ws_result res;
    memset(&res, 0x41, sizeof res);
    fill_result(&res, nullptr, r.url, nullptr, nullptr);
    EXPECT_STREQ(res.url, r.url);
    EXPECT_STREQ(res.site, r.site);
  }
}

TEST(FillResult, SiteIsCutAt127BytesOnACharacterBoundary) {
  ws_result res;
  std::string host(127, 'h');
  fill_result(&res, nullptr, ("https://" + host + "x/p").c_str(), nullptr, nullptr);
  EXPECT_EQ(std::string(res.site), host);
  std::string wide = std::string(126, 'h') + "\xC3\xA9";
  fill_result(&res, nullptr, ("https://" + wide).c_str(), nullptr, nullptr);
  EXPECT_EQ(std::string(res.site), std::string(126, 'h'));
}

TEST(FillResult, TitleAndSnippetAreTextWhileUrlAndPublishedAreVerbatim) {
  ws_result res;
  fill_result(&res, "<b>A &amp; B</b>\n  C", "https://h/?a=1&amp;b=<2>", "  x <i>y</i>  z ",
              "2 days &amp; <ago>");
  EXPECT_STREQ(res.title, "A & B C");
  EXPECT_STREQ(res.url, "https://h/?a=1&amp;b=<2>");
  EXPECT_STREQ(res.snippet, "x y z");
  EXPECT_STREQ(res.published, "2 days &amp; <ago>");
  EXPECT_STREQ(res.site, "h");
  fill_result(&res, nullptr, nullptr, nullptr, nullptr);
  for (const char *f : {res.title, res.url, res.snippet, res.published, res.site}) {
    EXPECT_STREQ(f, "");
  }
}

TEST(FillResult, FieldsAreCutToTheirCapacities) {
  ws_result res;
  std::string long_text(5000, 'a');
  fill_result(&res, long_text.c_str(), ("https://h/" + long_text).c_str(), long_text.c_str(),
              long_text.c_str());
  EXPECT_EQ(strlen(res.title), 511u);
  EXPECT_EQ(strlen(res.url), 1023u);
  EXPECT_EQ(strlen(res.snippet), 2047u);
  EXPECT_EQ(strlen(res.published), 63u);
  std::string wide;
  while (wide.size() < 600) wide += "\xE2\x82\xAC";  // three-byte characters
  fill_result(&res, wide.c_str(), nullptr, nullptr, wide.c_str());
  EXPECT_EQ(std::string(res.title), wide.substr(0, 510));
  EXPECT_EQ(std::string(res.published), wide.substr(0, 63));
}

}  // namespace
