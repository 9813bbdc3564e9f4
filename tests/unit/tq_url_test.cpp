// URL parsing, the SDK's percent-encoder, case-insensitive compare and set_err.
#include "sdk/tq_url.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const std::string kHost255 = std::string(251, 'h') + ".com";  // 255 bytes

TEST(TqUrlParse, SplitsAcceptedUrls) {
  const struct {
    std::string url;
    const char *scheme;
    std::string host;
    int port;
    std::string path;
    int tls;
  } cases[] = {
      {"https://example.com", "https", "example.com", 443, "/", 1},
      {"http://example.com", "http", "example.com", 80, "/", 0},
      {"wss://Example.COM", "https", "Example.COM", 443, "/", 1},
      {"ws://127.0.0.1:8080/chat?room=1#frag", "http", "127.0.0.1", 8080, "/chat?room=1", 0},
      {"http://h?q=a b", "http", "h", 80, "?q=a", 0},
      {"http://h?q=1/2#x", "http", "h", 80, "?q=1/2", 0},
      {"https://h:0000443/", "https", "h", 443, "/", 1},
      {"http://h:1", "http", "h", 1, "/", 0},
      {"http://h:65535/", "http", "h", 65535, "/", 0},
      {"http://h#/not-a-path", "http", "h", 80, "/", 0},
      {"http://h /x", "http", "h", 80, "/", 0},
      {"http://h\t/x", "http", "h", 80, "/", 0},
      {"http://h/a\tb\x7F", "http", "h", 80, "/a\tb\x7F", 0},  // control bytes stay in a path
      {"http://h/a%20b/%C3%A9", "http", "h", 80, "/a%20b/%C3%A9", 0},
      {"http://a-b.c-d.9/", "http", "a-b.c-d.9", 80, "/", 0},
      {"http://...-/", "http", "...-", 80, "/", 0},  // labels are not examined
      {"http://" + kHost255, "http", kHost255, 80, "/", 0},
      {"https://" + kHost255.substr(0, 249) + ":65535", "https", kHost255.substr(0, 249), 65535,
       "/", 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.url);
    tq_url u;
    memset(&u, 0x5A, sizeof u);
    char err[64] = "untouched";
    ASSERT_EQ(tq_url_parse(c.url.c_str(), &u, err, sizeof err), 0) << err;
    EXPECT_STREQ(u.scheme, c.scheme);
    EXPECT_EQ(u.host, c.host);
    EXPECT_EQ(u.port, c.port);
    EXPECT_EQ(u.path, c.path);
    EXPECT_EQ(u.tls, c.tls);
    EXPECT_STREQ(err, "untouched") << "success leaves the message buffer alone";
  }
}

TEST(TqUrlParse, RefusesWithTheFirstFailingCheck) {
  const std::string long_auth = std::string(256, 'h');
  const struct {
    const char *what;
    std::string url;
    const char *msg;
  } cases[] = {
      {"empty", "", "empty url"},
      {"other scheme", "ftp://h/", "url must start with http(s):// or ws(s)://"},
      {"upper-case scheme", "HTTP://h/", "url must start with http(s):// or ws(s)://"},
      {"mixed-case scheme", "Https://h/", "url must start with http(s):// or ws(s)://"},
      {"no slashes", "http:h", "url must start with http(s):// or ws(s)://"},
      {"scheme before IPv6", "HTTP://[::1]/", "url must start with http(s):// or ws(s)://"},
      {"IPv6 literal", "http://[::1]:80/", "IPv6 literals are not supported"},
      {"IPv6 before userinfo", "https://[a@b]/", "IPv6 literals are not supported"},
      {"slash after prefix", "http:///path", "url has no host"},
      {"nothing after prefix", "https://", "url has no host"},
      {"query after prefix", "http://?q", "url has no host"},
      {"fragment after prefix", "ws://#x", "url has no host"},
      {"256-byte authority", "http://" + long_auth, "host too long"},
      {"too long before userinfo", "http://" + std::string(250, 'u') + "@hosts/", "host too long"},
      {"too long with port", "http://" + kHost255 + ":1", "host too long"},
      {"userinfo", "http://user@h/", "userinfo in url is refused"},
      {"userinfo after colon", "http://h:80@evil/", "userinfo in url is refused"},
      {"userinfo before bad port", "http://u:p@h:x/", "userinfo in url is refused"},
      {"empty port", "http://h:/", "bad port"},
      {"eight digits", "http://h:00000443/", "bad port"},
      {"letters in port", "http://h:8o/", "bad port"},
      {"sign in port", "http://h:+80/", "bad port"},
      {"second colon", "http://h:80:81/", "bad port"},
      {"bad port before host chars", "http://h_x:abc/", "bad port"},
      {"port 0", "http://h:0/", "port out of range"},
      {"port 65536", "http://h:65536/", "port out of range"},
      {"seven nines", "http://h:9999999/", "port out of range"},
      {"range before host chars", "http://h_x:0/", "port out of range"},
      {"empty host with port", "http://:8080/", "url has no host"},
      {"underscore", "http://my_host/", "host contains forbidden characters"},
      {"percent", "http://h%41/", "host contains forbidden characters"},
      {"non-ASCII", "http://h\xC3\xA9.com/", "host contains forbidden characters"},
      {"backslash", "http://h\\x/", "host contains forbidden characters"},
      {"bracket later", "http://h[1]/", "host contains forbidden characters"},
      // A shortened target would fetch another resource: refused whole.
      {"1024-byte target", "http://h/" + std::string(1023, 'p'), "url too long"},
      {"2000-byte target", "http://h/" + std::string(1999, 'p'), "url too long"},
      {"1024-byte query", "http://h?" + std::string(1023, 'q'), "url too long"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    tq_url u;
    char err[128] = "";
    EXPECT_EQ(tq_url_parse(c.url.c_str(), &u, err, sizeof err), -1);
    EXPECT_STREQ(err, c.msg);
  }
}

TEST(TqUrlParse, NullInputAndNoMessageBuffer) {
  tq_url u;
  char err[32] = "";
  EXPECT_EQ(tq_url_parse(nullptr, &u, err, sizeof err), -1);
  EXPECT_STREQ(err, "empty url");
  EXPECT_EQ(tq_url_parse("ftp://x", &u, nullptr, 0), -1);
  char small[8];
  EXPECT_EQ(tq_url_parse("http://a_b/", &u, small, sizeof small), -1);
  EXPECT_STREQ(small, "host co");
}

TEST(TqUrlParse, TargetOfExactly1023BytesIsKept) {
  const std::string target = "/" + std::string(1022, 'p');
  const struct {
    std::string url;
  } cases[] = {
      {"http://h" + target},
      {"http://h" + target + "#" + std::string(3000, 'f')},
      {"http://h" + target + " and more text"},
  };
  for (const auto &c : cases) {
    tq_url u;
    char err[64] = "";
    ASSERT_EQ(tq_url_parse(c.url.c_str(), &u, err, sizeof err), 0) << err;
    EXPECT_EQ(u.path, target);
  }
}

TEST(TqUrlParse, FailureDoesNotLeaveAnEarlierParse) {
  tq_url u;
  char err[64];
  ASSERT_EQ(tq_url_parse("https://first.example:444/a", &u, err, sizeof err), 0);
  ASSERT_EQ(tq_url_parse("http://x_y/", &u, err, sizeof err), -1);
  EXPECT_EQ(u.tls, 0) << "the record is cleared before parsing";
  EXPECT_STREQ(u.scheme, "");
  EXPECT_STREQ(u.path, "");
}

TEST(TqUrlEncode, EscapesAndStopsBeforeWhatDoesNotFit) {
  const struct {
    const char *in;
    size_t size;
    const char *want;
  } cases[] = {
      {"a b~", 64, "a%20b~"},
      {"AZaz09-._~", 64, "AZaz09-._~"},
      {"+/\xFF", 64, "%2B%2F%FF"},
      {"\xC3\xA9", 64, "%C3%A9"},
      {"a b", 4, "a"},
      {"a b", 5, "a%20"},
      {"abc", 3, "ab"},
      {"abc", 4, "abc"},
      {"abc", 1, ""},
      {" ", 3, ""},
      {" ", 4, "%20"},
      {"", 8, ""},
      // An escaped character is kept whole or dropped whole.
      {"a\xC3\xA9", 7, "a"},
      {"a\xC3\xA9", 8, "a%C3%A9"},
      {"\xE2\x82\xAC\xE2\x82\xAC", 16, "%E2%82%AC"},
      {"\xE2\x82\xAC\xE2\x82\xAC", 19, "%E2%82%AC%E2%82%AC"},
      {"x\xF0\x9F\x98\x80", 13, "x"},
      {"x\xF0\x9F\x98\x80", 14, "x%F0%9F%98%80"},
      {"\xC3\xA9z", 7, "%C3%A9"},
      {"\xC3\xA9z", 8, "%C3%A9z"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << testing::PrintToString(c.in) << " into " << c.size);
    char out[64];
    memset(out, '#', sizeof out);
    tq_url_encode(c.in, out, c.size);
    EXPECT_STREQ(out, c.want);
    for (size_t i = c.size; i < sizeof out; ++i)
      ASSERT_EQ(out[i], '#') << "wrote past size at " << i;
  }
}

TEST(TqUrlEncode, MissingArguments) {
  char out[4] = "abc";
  tq_url_encode("x", out, 0);
  EXPECT_STREQ(out, "abc");
  tq_url_encode(nullptr, out, sizeof out);
  EXPECT_STREQ(out, "");
}

TEST(TqStrcasecmp, ReturnsTheDifferenceOfTheFirstLoweredPair) {
  const struct {
    const char *a, *b;
    int want;
  } cases[] = {
      {"Content-Length", "content-length", 0},
      {"", "", 0},
      {"a", "B", 'a' - 'b'},
      {"B", "a", 'b' - 'a'},
      {"abc", "ab", 'c'},
      {"ab", "abc", -'c'},
      {"X-Y", "x-z", 'y' - 'z'},
      {"\xC3", "\xE3", 0xC3 - 0xE3},  // bytes above ASCII do not fold and compare unsigned
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.a << " vs " << c.b);
    EXPECT_EQ(tq_strcasecmp(c.a, c.b), c.want);
  }
}

TEST(SetErr, FormatsTruncatesAndNeverSplitsACharacter) {
  const struct {
    size_t size;
    const char *want;
  } cases[] = {
      {64, "connect 127.0.0.1:80 failed (caf\xC3\xA9)"},
      {36, "connect 127.0.0.1:80 failed (caf\xC3\xA9)"},
      {35, "connect 127.0.0.1:80 failed (caf\xC3\xA9"},
      {34, "connect 127.0.0.1:80 failed (caf"},
      {33, "connect 127.0.0.1:80 failed (caf"},
      {32, "connect 127.0.0.1:80 failed (ca"},
      {2, "c"},
      {1, ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.size);
    char err[64];
    memset(err, '#', sizeof err);
    set_err(err, c.size, "connect %s:%d failed (%s)", "127.0.0.1", 80, "caf\xC3\xA9");
    EXPECT_STREQ(err, c.want);
  }
  char keep[4] = "abc";
  set_err(keep, 0, "x");
  EXPECT_STREQ(keep, "abc");
  set_err(nullptr, 16, "x");  // must not crash
}

TEST(TqUtf8Cut, AgreesWithTheCharacterBoundaries) {
  const struct {
    const char *s;
    size_t n, want;
  } cases[] = {
      {"", 0, 0},
      {"ab", 1, 1},
      {"a\xC3\xA9", 2, 1},
      {"a\xC3\xA9", 3, 3},
      {"\xE2\x82\xAC", 2, 0},
      {"\xF0\x9F\x98\x80", 3, 0},
      {"\xF0\x9F\x98\x80", 4, 4},
      {"\x80\x80\x80\x80", 4, 4},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << "n=" << c.n << " of " << testing::PrintToString(c.s));
    EXPECT_EQ(tq_utf8_cut(c.s, c.n), c.want);
  }
  // The bounded copy cuts on the same boundaries.
  char out[4];
  tq_copy(out, sizeof out, "a\xC3\xA9z");
  EXPECT_STREQ(out, "a\xC3\xA9");
  tq_copy(out, sizeof out, "ab\xC3\xA9");
  EXPECT_STREQ(out, "ab");
  tq_copy(out, sizeof out, nullptr);
  EXPECT_STREQ(out, "");
}

}  // namespace
