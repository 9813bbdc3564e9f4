// HTML to text, entity decoding and white-space collapsing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "util/ws_text.h"

namespace {

struct io_case {
  const char *in;
  const char *want;
};

std::string unescape(const char *src, size_t size = 512) {
  std::string out(size, '#');
  ws_html_unescape(out.data(), size, src);
  return std::string(out.c_str());
}

std::string html_text(const char *src, size_t size = 512) {
  std::string out(size, '#');
  ws_html_text(out.data(), size, src);
  return std::string(out.c_str());
}

TEST(WsHtmlUnescape, DecodesNamedAndNumericEntities) {
  const io_case cases[] = {
      {"Tom &amp; Jerry&nbsp;&hellip;", "Tom & Jerry ..."},
      {"&amp;&lt;&gt;&quot;&apos;&nbsp;&ndash;&mdash;&hellip;", "&<>\"' ---..."},
      {"&lsquo;&rsquo;&ldquo;&rdquo;", "''\"\""},
      {"&AMP;&Lt;&HELLIP;", "&<..."},
      {"&#65;&#x42;&#X43;", "ABC"},
      {"&#x1F600;", "\xF0\x9F\x98\x80"},
      {"&#233;&#x20AC;", "\xC3\xA9\xE2\x82\xAC"},
      {"&#127;&#128;&#2047;&#2048;&#65535;&#65536;",
       "\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xEF\xBF\xBF\xF0\x90\x80\x80"},
      {"&#1114111;", "\xF4\x8F\xBF\xBF"},
      {"&#xD800;", "\xED\xA0\x80"},
      {"&#x10ffff;", "\xF4\x8F\xBF\xBF"},
      {"&#00065;", "A"},
      // Not references: only the ampersand is consumed as a plain byte.
      {"&#0;", "&#0;"},
      {"&#;", "&#;"},
      {"&#x;", "&#x;"},
      {"&#12a;", "&#12a;"},
      {"&#1114112;", "&#1114112;"},
      {"&#x110000;", "&#x110000;"},
      {"&#-5;", "&#-5;"},
      {"&#xG;", "&#xG;"},
      {"AT&T", "AT&T"},
      {"a & b; c", "a & b; c"},
      {"&unknown;", "&unknown;"},
      {"&;", "&;"},
      {"&", "&"},
      {"&amp", "&amp"},
      {"&&amp;", "&&"},
      // Single pass: a replacement is not decoded again.
      {"&amp;lt;", "&lt;"},
      // Names longer than eleven bytes are no entities.
      {"&#00000000065;", "&#00000000065;"},
      {"&#0000000065;", "A"},
      {"&abcdefghijkl;&amp;", "&abcdefghijkl;&"},
      {"", ""},
      {"\xC3\xA9 &amp; \xE2\x82\xAC", "\xC3\xA9 & \xE2\x82\xAC"},
  };
  for (const io_case &c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(unescape(c.in), c.want);
  }
}

TEST(WsHtmlUnescape, CutsBytewiseButWritesAReplacementWholeOrNotAtAll) {
  const struct {
    const char *src;
    size_t size;
    const char *want;
  } cases[] = {
      {"abc&hellip;", 5, "abc"},
      {"abcdef", 5, "abcd"},
      {"abcdef", 1, ""},
      {"abcdef", 2, "a"},
      {"a&amp;b&hellip;", 2, "a"},
      {"a&amp;b&hellip;", 3, "a&"},
      {"a&amp;b&hellip;", 4, "a&b"},
      {"a&amp;b&hellip;", 6, "a&b"},
      {"a&amp;b&hellip;", 7, "a&b..."},
      {"&mdash;x", 2, ""},
      {"&mdash;x", 3, "--"},
      // Nothing after a replacement that did not fit.
      {"ab&hellip;c", 5, "ab"},
      // Numeric references produce whole characters or none.
      {"&#233;", 2, ""},
      {"&#233;", 3, "\xC3\xA9"},
      {"&#x1F600;", 4, ""},
      {"&#x1F600;", 5, "\xF0\x9F\x98\x80"},
      // Characters copied from the source are never split either.
      {"a\xC3\xA9", 3, "a"},
      {"a\xC3\xA9", 4, "a\xC3\xA9"},
      {"\xE2\x82\xAC\xE2\x82\xAC", 4, "\xE2\x82\xAC"},
      {"\xE2\x82\xAC\xE2\x82\xAC", 6, "\xE2\x82\xAC"},
      {"\xE2\x82\xAC\xE2\x82\xAC", 7, "\xE2\x82\xAC\xE2\x82\xAC"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.src << " into " << c.size);
    EXPECT_EQ(unescape(c.src, c.size), c.want);
  }
}

TEST(WsHtmlUnescape, EmptyOrMissingArguments) {
  char out[8];
  memcpy(out, "keep", 5);
  ws_html_unescape(out, 0, "abc");
  EXPECT_STREQ(out, "keep");
  ws_html_unescape(out, sizeof out, nullptr);
  EXPECT_STREQ(out, "");
  memcpy(out, "keep", 5);
  ws_html_unescape(out, 1, "abc");
  EXPECT_STREQ(out, "");
  ws_html_unescape(nullptr, 8, "abc");  // must not crash
}

TEST(WsCollapse, TrimsAndJoinsWhiteSpaceRuns) {
  const io_case cases[] = {
      {"  a\t\nb ", "a b"},
      {"a\x0B\x0C\x0D"
       "b",
       "a b"},
      {" \t\r\n ", ""},
      {"", ""},
      {"one", "one"},
      {"a  b   c", "a b c"},
      {"a\xC2\xA0"
       "b",
       "a\xC2\xA0"
       "b"},  // a UTF-8 no-break space is no white space
      {"\x08x\x0E", "\x08x\x0E"},
  };
  for (const io_case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.in));
    std::string s = c.in;
    ws_collapse(s.data());
    EXPECT_STREQ(s.c_str(), c.want);
  }
  ws_collapse(nullptr);  // must not crash
}

TEST(WsHtmlText, RemovesTagsAndBlocks) {
  const io_case cases[] = {
      // Inline formatting joins the text it wraps; every other tag is a space.
      {"a<b>bold</b> text", "abold text"},
      {"<b>Cytoscape</b>.js", "Cytoscape.js"},
      {"Eino<b>:</b> \xE6\xA6\x82\xE8\xBF\xB0", "Eino: \xE6\xA6\x82\xE8\xBF\xB0"},
      {"x<STRONG class=\"hl\">y</Strong >z<wbr/>w", "xyzw"},
      {"<a href=\"/\">a</a><abbr>b</abbr><bdi>c</bdi><bdo dir=ltr>d</bdo><cite>e</cite>"
       "<code>f</code><data value=1>g</data><dfn>h</dfn><em>i</em><font>j</font><i>k</i>"
       "<kbd>l</kbd><mark>m</mark><q>n</q><s>o</s><samp>p</samp><small>q</small><span>r</span>"
       "<sub>s</sub><sup>t</sup><time>u</time><u>v</u><var>w</var>",
       "abcdefghijklmnopqrstuvw"},
      {"a<br>b<p>c</p>d<bdx>e<bx>f<spanx>g<div>h", "a b c d e f g h"},
      {"a<!--b-->c<!---->d", "a c d"},
      {"a<b", "a"},
      {"one<script type=\"text/javascript\">if (a < b) x();</script>two", "one two"},
      {"one<style media=all>p { color: red }</style >two", "one two"},
      {"one<ScRiPt>x</script>two", "one two"},
      {"one<STYLE>x</style>two", "one two"},
      // The closing marker is looked for in lower case only.
      {"one<SCRIPT>x</SCRIPT>two", "one"},
      {"one<script>x", "one"},
      {"one<script>x</script", "one"},
      {"abc<div class=", "abc"},
      {"abc<", "abc"},
      {"<p>a</p><p>b</p>", "a b"},
      {"a<>b", "a b"},
      {"&lt;b&gt;", "<b>"},
      {"Tom &amp; Jerry&nbsp;&hellip;", "Tom & Jerry ..."},
      {"<b>&amp;</b>", "&"},
      {"x&nbsp;&nbsp;<i> </i>&nbsp;y", "x y"},
      {"a<!-- c -->b", "a b"},
      {"a > b", "a > b"},
      {"\xC3\xA9t\xC3\xA9 <em>\xE2\x82\xAC</em>", "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC"},
      {"", ""},
      {"<br><br>", ""},
  };
  for (const io_case &c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(html_text(c.in), c.want);
  }
}

TEST(WsHtmlText, BoundAppliesBeforeWhiteSpaceIsCollapsed) {
  const struct {
    const char *src;
    size_t size;
    const char *want;
  } cases[] = {
      // The ten spaces count in full: only "a" and six spaces fit.
      {"a          b", 8, "a"},
      {"a          b", 13, "a b"},
      {"a<p>c</p>d", 4, "a c"},
      {"a<p>c</p>d", 6, "a c d"},
      {"ab&hellip;", 5, "ab"},
      // A tag becomes a space before the cut; a split character is dropped.
      {"ab<p>\xC3\xA9</p>", 5, "ab"},
      {"ab<p>\xC3\xA9</p>", 6, "ab \xC3\xA9"},
      // An inline tag takes no room at all.
      {"ab<i>\xC3\xA9</i>", 4, "ab"},
      {"ab<i>\xC3\xA9</i>", 5, "ab\xC3\xA9"},
      {"x&#x1F600;", 5, "x"},
      {"abc", 1, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.src << " into " << c.size);
    EXPECT_EQ(html_text(c.src, c.size), c.want);
  }
}

TEST(WsHtmlText, EmptyOrMissingArguments) {
  char out[8];
  memcpy(out, "keep", 5);
  ws_html_text(out, 0, "abc");
  EXPECT_STREQ(out, "keep");
  ws_html_text(out, sizeof out, nullptr);
  EXPECT_STREQ(out, "");
  ws_html_text(nullptr, 8, "<b>x</b>");  // must not crash
}

TEST(WsHtmlText, LongInputStaysWithinTheBound) {
  std::string html;
  for (int i = 0; i < 2000; ++i) html += "<td>cell &amp; \xC3\xA9</td>";
  char out[100];
  memset(out, '#', sizeof out);
  ws_html_text(out, sizeof out, html.c_str());
  const size_t n = strlen(out);
  ASSERT_LT(n, sizeof out);
  EXPECT_EQ(std::string(out).rfind("cell & \xC3\xA9", 0), 0u);
  EXPECT_EQ(ws_utf8_cut(out, n), n) << "ends on a character boundary";
}

}  // namespace
