// The DuckDuckGo page scanner: anchors, links and whole result pages.
#include "search/ws_ddg_scan.h"

#include <gtest/gtest.h>

#include <ostream>

#include <cstring>
#include <string>

#include "search/ws_results.h"

namespace {

constexpr char kBotMessage[] =
    "DuckDuckGo returned a bot-detection challenge instead of results. Retry later, or configure "
    "a keyed provider (Brave, Tavily, Exa, Perplexity) or your own SearXNG base URL.";

// One result block shaped like the HTML front end's; snippet nullptr leaves
// the snippet anchor out.
std::string result_block(const std::string &href, const std::string &title, const char *snippet,
                         const std::string &kind = "web-result ") {
  std::string s =
      "<div class=\"result results_links results_links_deep " + kind +
      "\">\n"
      "  <div class=\"links_main links_deep result__body\">\n"
      "    <h2 class=\"result__title\">\n"
      "      <a rel=\"nofollow\" class=\"result__a\" href=\"" +
      href + "\">" + title +
      "</a>\n"
      "    </h2>\n"
      "    <div class=\"result__extras\"><div class=\"result__extras__url\">\n"
      "      <span class=\"result__icon\"><a rel=\"nofollow\" href=\"" +
      href +
      "\">"
      "<img class=\"result__icon__img\" width=\"16\" height=\"16\" alt=\"\" /></a></span>\n"
      "      <a class=\"result__url\" href=\"" +
      href +
      "\">shown.example</a>\n"
      "    </div></div>\n";
  if (snippet != nullptr) {
    s += "    <a class=\"result__snippet\" href=\"" + href + "\">" + snippet + "</a>\n";
  }
  s += "    <div class=\"clear\"></div>\n  </div>\n</div>\n";
  return s;
}

std::string page(const std::string &results, const std::string &extra = "") {
  return "<!DOCTYPE html>\n<html><head><title>q at DuckDuckGo</title></head><body>\n"
         "<div id=\"header\"><a title=\"DuckDuckGo\" href=\"/html/\" class=\"header__logo-wrap\">"
         "<abbr title=\"DuckDuckGo\">DDG</abbr></a>\n"
         "<form action=\"/html/\" method=\"post\"><input name=\"q\" value=\"q\"></form></div>\n"
         "<div id=\"links\" class=\"results\">\n" +
         results + "</div>\n" + extra + "</body></html>\n";
}

std::string redirect(const std::string &encoded_target) {
  return "//duckduckgo.com/l/?uddg=" + encoded_target + "&amp;rut=7f3c0a";
}

std::string three_results() {
  return result_block(redirect("https%3A%2F%2Fexample.com%2Fdocs%2Finstall%3Flang%3Den%26v%3D2"),
                      "Install <b>Example</b> &amp; Configure",
                      "Step-by-step guide to <b>Example</b> &#8212; packages.") +
         result_block("/l/?uddg=https%3A%2F%2F10.0.0.9%2Fa%3Fb%3D1&amp;rut=x",
                      "Second <b>result</b>", "Second snippet.") +
         result_block("https://example.net:8443/p?a=1&amp;b=2", "Third result",
                      "Third &quot;snippet&quot;.");
}

struct Scan {
  ws_results list;
  char err[512];
  int rc;
  Scan(const std::string &html, int count) {
    ws_results_init(&list);
    strcpy(err, "untouched");
    rc = ws_ddg_page(html.data(), html.size(), count, &list, err, sizeof err);
  }
  ~Scan() { ws_results_free(&list); }
};

// ---------------------------------------------------------------------------
// next_anchor

struct AnchorCase {
  const char *name;
  std::string html;
  const char *cls;
  int found;
  const char *href;
  const char *inner;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const AnchorCase &c, std::ostream *os) {
  *os << c.name;
}

class NextAnchor : public ::testing::TestWithParam<AnchorCase> {};

TEST_P(NextAnchor, FindsTheAnchorItsClassNames) {
  const AnchorCase &c = GetParam();
  char href[64];
  strcpy(href, "stale");
  const char *inner = nullptr;
  size_t inner_len = 0;
  int found =
      next_anchor(c.html.data(), c.html.size(), 0, c.cls, href, sizeof href, &inner, &inner_len);
  ASSERT_EQ(found, c.found);
  if (!found) return;
  EXPECT_STREQ(href, c.href);
  ASSERT_GE(inner, c.html.data());
  ASSERT_LE(inner + inner_len, c.html.data() + c.html.size());
  EXPECT_EQ(std::string(inner, inner_len), c.inner);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NextAnchor,
    ::testing::Values(
        AnchorCase{"double_quoted", "<a class=\"result__a\" href=\"/x\">T</a>", "result__a", 1,
                   "/x", "T"},
        AnchorCase{"single_quoted", "<a class='result__a' href='/y?a=\"b\"'>T</a>", "result__a", 1,
                   "/y?a=\"b\"", "T"},
        AnchorCase{"unquoted_class", "<a class=result__a href=\"/x\">T</a>", "result__a", 1, "/x",
                   "T"},
        AnchorCase{"unquoted_href_without_later_quote", "<a class=\"result__a\" href=/x>T</a>",
                   "result__a", 1, "", "T"},
        AnchorCase{"unquoted_href_runs_to_next_double_quote",
                   "<a href=/x class=\"result__a\">T</a>", "result__a", 1, "/x class=", "T"},
        AnchorCase{"no_href", "<a class=\"result__a\">T</a>", "result__a", 1, "", "T"},
        AnchorCase{"class_is_substring", "<a class=\"result__a-x big\" href=\"/x\">T</a>",
                   "result__a", 1, "/x", "T"},
        AnchorCase{"one_of_several_classes", "<a class=\"big result__a\" href=\"/x\">T</a>",
                   "result__a", 1, "/x", "T"},
        AnchorCase{"unclosed_class_value_runs_to_tag_end", "<a class=\"big result__a>T</a>",
                   "result__a", 1, "", "T"},
        AnchorCase{"other_class_skipped",
                   "<a class=\"result__url\" href=\"/u\">U</a> <a class=\"result__a\" "
                   "href=\"/x\">T</a>",
                   "result__a", 1, "/x", "T"},
        AnchorCase{"anchor_without_class_skipped",
                   "<a href=\"/u\">U</a><a class=\"result__a\">T</a>", "result__a", 1, "", "T"},
        AnchorCase{"case_sensitive_class", "<a class=\"RESULT__A\">T</a>", "result__a", 0, "", ""},
        AnchorCase{"abbr_is_not_an_anchor",
                   "<abbr class=\"result__a\">A</abbr> <a class=\"result__a\" href=\"/x\">T</a>",
                   "result__a", 1, "/x", "T"},
        AnchorCase{"data_class_is_not_class", "<a data-class=\"result__a\" class=\"other\">U</a>",
                   "result__a", 0, "", ""},
        AnchorCase{"data_href_is_not_href",
                   "<a class=\"result__a\" data-href=\"/track\" href=\"/real\">T</a>", "result__a",
                   1, "/real", "T"},
        AnchorCase{"attributes_without_space", "<a href=\"/x\"class=\"result__a\">T</a>",
                   "result__a", 1, "/x", "T"},
        AnchorCase{"closing_abbr_does_not_end_anchor",
                   "<a class=\"result__a\" href=\"/x\">W <abbr>H</abbr> O</a>", "result__a", 1,
                   "/x", "W <abbr>H</abbr> O"},
        AnchorCase{"never_closed", "<a class=\"result__a\" href=\"/x\">T", "result__a", 0, "", ""},
        AnchorCase{"tag_never_ends", "<a class=\"result__a\" href=\"/x\"", "result__a", 0, "", ""},
        AnchorCase{"close_at_end_of_data", "<a class=\"result__a\" href=\"/x\">T</a", "result__a",
                   1, "/x", "T"},
        AnchorCase{"empty_inner", "<a class=\"result__a\" href=\"/x\"></a>", "result__a", 1, "/x",
                   ""},
        AnchorCase{"entities_stay_raw", "<a class=\"result__a\" href=\"/a?b=1&amp;c=2\">T</a>",
                   "result__a", 1, "/a?b=1&amp;c=2", "T"},
        AnchorCase{"too_short", "<a", "result__a", 0, "", ""},
        AnchorCase{"empty", "", "result__a", 0, "", ""}),
    [](const ::testing::TestParamInfo<AnchorCase> &info) { return std::string(info.param.name); });

TEST(NextAnchorBounds, ReadsOnlyInsideTheGivenLength) {
  // The closing tag lies beyond the length handed in: the anchor is open.
  const std::string html = "<a class=\"result__a\" href=\"/x\">Title</a>";
  const size_t cut = html.find("</a");
  const char *inner = nullptr;
  size_t inner_len = 0;
  char href[16];
  EXPECT_EQ(next_anchor(html.data(), cut, 0, "result__a", href, sizeof href, &inner, &inner_len),
            0);
  EXPECT_STREQ(href, "");
  // Start positions at and past the last two bytes find nothing.
  EXPECT_EQ(next_anchor(html.data(), html.size(), html.size() - 2, "result__a", href, sizeof href,
                        &inner, &inner_len),
            0);
  EXPECT_EQ(next_anchor(html.data(), html.size(), html.size() + 10, "result__a", href, sizeof href,
                        &inner, &inner_len),
            0);
}

TEST(NextAnchorBounds, HrefIsCutToItsCapacity) {
  const std::string html = "<a class=\"result__a\" href=\"/0123456789\">T</a>";
  for (size_t cap : {1u, 2u, 5u, 11u, 12u, 40u}) {
    SCOPED_TRACE(cap);
    char href[40];
    memset(href, 'z', sizeof href);
    const char *inner = nullptr;
    size_t inner_len = 0;
    ASSERT_EQ(next_anchor(html.data(), html.size(), 0, "result__a", href, cap, &inner, &inner_len),
              1);
    EXPECT_EQ(std::string(href), std::string("/0123456789").substr(0, cap - 1));
    EXPECT_EQ(std::string(inner, inner_len), "T");
  }
}

TEST(NextAnchorBounds, StartSkipsEarlierAnchors) {
  const std::string html =
      "<a class=\"result__a\" href=\"/1\">One</a><a class=\"result__a\" href=\"/2\">Two</a>";
  char href[16];
  const char *inner = nullptr;
  size_t inner_len = 0;
  ASSERT_EQ(
      next_anchor(html.data(), html.size(), 1, "result__a", href, sizeof href, &inner, &inner_len),
      1);
  EXPECT_STREQ(href, "/2");
  EXPECT_EQ(std::string(inner, inner_len), "Two");
}

// ---------------------------------------------------------------------------
// Links

struct LinkCase {
  const char *href;
  std::string link;
};

TEST(DdgLink, RedirectsSchemesAndEntities) {
  const LinkCase cases[] = {
      {"/l/?uddg=https%3A%2F%2F10.0.0.9%2Fa%3Fb%3D1&rut=x", "https://10.0.0.9/a?b=1"},
      // Protocol-relative redirects are redirects too.
      {"//duckduckgo.com/l/?uddg=https%3A%2F%2Fexample.com%2F&amp;rut=abc", "https://example.com/"},
      {"//10.0.0.9/l/?uddg=x", "x"},
      {"//10.0.0.9/p", "https://10.0.0.9/p"},
      {"//10.0.0.9/p?a=1&amp;b=2", "https://10.0.0.9/p?a=1&b=2"},
      // Entities are decoded before the link rules.
      {"https://10.0.0.9/p?a=1&amp;b=2", "https://10.0.0.9/p?a=1&b=2"},
      {"https://10.0.0.9/p", "https://10.0.0.9/p"},
      {"/relative", "/relative"},
      {"/l/?kh=-1&amp;uddg=https%3A%2F%2Fa.example%2F%3Fq%3Da%2Bb+c", "https://a.example/?q=a+b c"},
      {"/l/?uddg=", ""},
      {"/l/?uddg=&amp;rut=1", ""},
      {"", ""},
      {"javascript:void(0)", "javascript:void(0)"},
  };
  for (const LinkCase &c : cases) {
    SCOPED_TRACE(c.href);
    char out[2048];
    ws_ddg_link(c.href, out, sizeof out);
    EXPECT_EQ(std::string(out), c.link);
  }
}

TEST(DdgLink, LongValuesAreBounded) {
  char out[4096];
  const std::string host(3000, 'h');
  ws_ddg_link(("//" + host).c_str(), out, sizeof out);
  EXPECT_EQ(std::string(out), "https:" + ("//" + host).substr(0, 2030));

  const std::string target(3000, 'u');
  ws_ddg_link(("/l/?uddg=" + target + "&rut=1").c_str(), out, sizeof out);
  // The href itself holds at most 2047 bytes, "/l/?uddg=" included.
  EXPECT_EQ(std::string(out), target.substr(0, 2047 - 9));

  char small[8];
  ws_ddg_link("https://example.com/", small, sizeof small);
  EXPECT_STREQ(small, "https:/");
}

// ---------------------------------------------------------------------------
// Whole pages

TEST(DdgPage, MapsEveryResultWithItsOwnSnippet) {
  Scan s(page(three_results()), 20);
  ASSERT_EQ(s.rc, 0);
  EXPECT_STREQ(s.err, "untouched");
  ASSERT_EQ(s.list.count, 3);
  const ws_result *r = s.list.items;
  EXPECT_STREQ(r[0].title, "Install Example & Configure");
  EXPECT_STREQ(r[0].url, "https://example.com/docs/install?lang=en&v=2");
  EXPECT_STREQ(r[0].site, "example.com");
  EXPECT_STREQ(r[0].snippet, "Step-by-step guide to Example \xE2\x80\x94 packages.");
  EXPECT_STREQ(r[0].published, "");
  EXPECT_STREQ(r[1].title, "Second result");
  EXPECT_STREQ(r[1].url, "https://10.0.0.9/a?b=1");
  EXPECT_STREQ(r[1].site, "10.0.0.9");
  EXPECT_STREQ(r[1].snippet, "Second snippet.");
  EXPECT_STREQ(r[2].url, "https://example.net:8443/p?a=1&b=2");
  EXPECT_STREQ(r[2].site, "example.net:8443");
  EXPECT_STREQ(r[2].snippet, "Third \"snippet\".");
}

TEST(DdgPage, StopsAtTheCount) {
  const char *titles[] = {"Install Example & Configure", "Second result", "Third result"};
  for (int count : {1, 2, 3, 4}) {
    SCOPED_TRACE(count);
    Scan s(page(three_results()), count);
    ASSERT_EQ(s.rc, 0);
    ASSERT_EQ(s.list.count, count < 3 ? count : 3);
    EXPECT_STREQ(s.list.items[s.list.count - 1].title, titles[s.list.count - 1]);
  }
}

TEST(DdgPage, ResultWithoutSnippetDoesNotBorrowTheNext) {
  const std::string results = result_block("https://a.example/", "First", nullptr) +
                              result_block("https://b.example/", "Second", "Only mine.") +
                              result_block("https://c.example/", "Third", nullptr);
  Scan s(page(results), 10);
  ASSERT_EQ(s.rc, 0);
  ASSERT_EQ(s.list.count, 3);
  EXPECT_STREQ(s.list.items[0].snippet, "");
  EXPECT_STREQ(s.list.items[1].snippet, "Only mine.");
  EXPECT_STREQ(s.list.items[2].snippet, "");
}

TEST(DdgPage, SnippetBeforeTheFirstTitleIsNotTaken) {
  const std::string html = page("<a class=\"result__snippet\" href=\"/s\">Stray</a>\n" +
                                result_block("https://a.example/", "First", nullptr));
  Scan s(html, 5);
  ASSERT_EQ(s.list.count, 1);
  EXPECT_STREQ(s.list.items[0].snippet, "");
}

TEST(DdgPage, AnchorWithNeitherLinkNorTitleAddsNothing) {
  const std::string results =
      "<a class=\"result__a\" href=\"\"></a>\n"
      "<a class=\"result__a\"></a>\n" +
      result_block("https://a.example/", "Kept", "s") +
      "<a class=\"result__a\" href=\"https://b.example/\"></a>\n" +
      "<a class=\"result__a\" href=x>Title only</a>\n";
  Scan s(page(results), 2);
  ASSERT_EQ(s.rc, 0);
  ASSERT_EQ(s.list.count, 2);  // the empty anchors do not count towards the two
  EXPECT_STREQ(s.list.items[0].title, "Kept");
  EXPECT_STREQ(s.list.items[1].title, "");
  EXPECT_STREQ(s.list.items[1].url, "https://b.example/");
  EXPECT_STREQ(s.list.items[1].site, "b.example");

  Scan all(page(results), 10);
  ASSERT_EQ(all.list.count, 3);
  EXPECT_STREQ(all.list.items[2].title, "Title only");
  EXPECT_STREQ(all.list.items[2].url, "");
  EXPECT_STREQ(all.list.items[2].site, "");
}

TEST(DdgPage, TruncatedPagesKeepWhatIsComplete) {
  const std::string full = page(three_results());
  const size_t second_title = full.find("Second <b>result</b>");
  const size_t third_tag = full.find("<a rel=\"nofollow\" class=\"result__a\"", second_title);
  struct {
    const char *name;
    size_t cut;
    int results;
  } cases[] = {
      {"inside_first_tag", full.find("class=\"result__a\"") + 3, 0},
      {"inside_second_title", second_title + 4, 1},
      {"inside_third_tag", third_tag + 10, 2},
      {"after_third_close_bracketless", full.find("</a>", third_tag) + 3, 3},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    std::string cut = full.substr(0, c.cut);
    Scan s(cut, 10);
    EXPECT_EQ(s.rc, 0);
    EXPECT_EQ(s.list.count, c.results);
  }
}

TEST(DdgPage, BotChallengeOnlyWhenNothingWasFound) {
  const char *markers[] = {"<div class=\"anomaly-modal__modal\">",
                           "<form id=\"challenge-form\" action=\"/anomaly.js\">",
                           "<div class=\"g-recaptcha\" data-sitekey=\"k\"></div>"};
  for (const char *m : markers) {
    SCOPED_TRACE(m);
    Scan blocked(page("", m), 5);
    EXPECT_EQ(blocked.rc, -1);
    EXPECT_STREQ(blocked.err, kBotMessage);
    EXPECT_EQ(blocked.list.count, 0);

    Scan with_results(page(three_results(), m), 5);
    EXPECT_EQ(with_results.rc, 0);
    EXPECT_STREQ(with_results.err, "untouched");
    EXPECT_EQ(with_results.list.count, 3);
  }
  Scan empty(page("<div class=\"no-results\">No results.</div>"), 5);
  EXPECT_EQ(empty.rc, 0);
  EXPECT_STREQ(empty.err, "untouched");
  EXPECT_EQ(empty.list.count, 0);
  // Markers are case-sensitive.
  Scan upper(page("", "<div class=\"G-RECAPTCHA\"></div>"), 5);
  EXPECT_EQ(upper.rc, 0);
}

TEST(DdgPage, MarkerAfterANulByteIsStillSeen) {
  std::string html = page("", std::string("\0", 1) + "<div class=\"g-recaptcha\"></div>");
  Scan s(html, 5);
  EXPECT_EQ(s.rc, -1);
  EXPECT_STREQ(s.err, kBotMessage);
}

TEST(DdgPage, LongTitlesAndSnippetsAreCutToTheirFields) {
  const std::string title(3000, 't');
  const std::string snippet(5000, 's');
  Scan s(page(result_block("https://a.example/", title, snippet.c_str())), 1);
  ASSERT_EQ(s.list.count, 1);
  EXPECT_EQ(strlen(s.list.items[0].title), 511u);
  EXPECT_EQ(strlen(s.list.items[0].snippet), 2047u);
}

// Sponsored entries and the "EOF" marker of a page without hits are skipped
// and never count; lookalikes stay results.
TEST(DdgPage, SkipsAdsAndTheNoHitMarker) {
  const std::string real = result_block("https://real.example/", "<b>Cytoscape</b>.js", "Graph");
  const std::string ad_link = "https://duckduckgo.com/y.js?ad_domain=x.test&amp;ad_provider=bing";
  const std::string google = "https://www.google.com/search?q=zzqx";
  const struct {
    const char *name;
    std::string first;  // the block in front of `real`
    int results;        // with count 20
  } cases[] = {
      {"ad by its block", result_block("https://ad.example/", "Ad", "Buy", "result--ad "), 1},
      {"small ad", result_block("https://ad.example/", "Ad", "Buy", "result--ad result--ad--small"),
       1},
      {"ad by its link", result_block(ad_link, "Ad", "Buy"), 1},
      {"ad link on a subdomain", result_block("//links.duckduckgo.com/y.js?u3=x", "Ad", nullptr),
       1},
      {"ad link with upper-case host", result_block("HTTPS://DuckDuckGo.com/y.js", "Ad", nullptr),
       1},
      {"no-hit marker", result_block(google, "EOF", nullptr), 1},
      {"no-hit marker, other spellings",
       result_block("http://google.com/search?q=a", " <b>EOF</b> ", nullptr) +
           result_block("//www.google.com/search", "EOF", nullptr),
       1},
      {"no-hit page next to its no-result block",
       "<div class=\"result results_links results_links_deep result--no-result\">"
       "<div class=\"no-results\">No results.</div></div>" +
           result_block(google, "EOF", nullptr),
       1},
      {"class that only starts like an ad",
       result_block("https://a.example/", "A", nullptr, "result--adx web-result"), 2},
      {"y.js on another host", result_block("https://example.com/y.js?x=1", "Y", nullptr), 2},
      {"another duckduckgo path", result_block("https://duckduckgo.com/y.jsx", "Y", nullptr), 2},
      {"EOF that links elsewhere", result_block("https://eof.example/search", "EOF", nullptr), 2},
      {"google search with another title", result_block(google, "EOF file", nullptr), 2},
      {"google on another host", result_block("https://google.com.evil/search", "EOF", nullptr), 2},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    Scan s(page(c.first + real), 20);
    ASSERT_EQ(s.rc, 0);
    ASSERT_EQ(s.list.count, c.results);
    EXPECT_STREQ(s.list.items[c.results - 1].title, "Cytoscape.js");
    EXPECT_STREQ(s.list.items[c.results - 1].snippet, "Graph");
    // Skipped entries leave room for the real result within the count.
    Scan one(page(c.first + real), 1);
    ASSERT_EQ(one.list.count, 1);
    EXPECT_STREQ(one.list.items[0].title, c.results == 1 ? "Cytoscape.js" : s.list.items[0].title);
  }
  Scan no_hits(page(result_block(google, "EOF", nullptr)), 5);
  EXPECT_EQ(no_hits.rc, 0);
  EXPECT_STREQ(no_hits.err, "untouched");
  EXPECT_EQ(no_hits.list.count, 0);
}

TEST(DdgPage, ZeroCountAddsNothing) {
  Scan s(page(three_results()), 0);
  EXPECT_EQ(s.rc, 0);
  EXPECT_EQ(s.list.count, 0);
}

}  // namespace
