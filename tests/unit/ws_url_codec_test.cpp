// Percent and plus decoding of query values, percent-encoding of parameters.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "util/ws_text.h"

namespace {

std::string decode(const char *src, size_t size = 256) {
  std::string out(size, '#');
  ws_url_decode(out.data(), size, src);
  return std::string(out.c_str());
}

std::string encode(const char *src) {
  ws_buf b{};
  ws_buf_guard g(&b);
  ws_url_encode(src, &b);
  return std::string(b.data != nullptr ? b.data : "", b.len);
}

TEST(WsUrlDecode, DecodesEscapesAndPlus) {
  const struct {
    const char *in, *want;
  } cases[] = {
      {"a+b%2Fc%zz%4", "a b/c%zz%4"},
      {"%41%6a", "Aj"},
      {"%c3%A9", "\xC3\xA9"},
      {"%", "%"},
      {"%%41", "%A"},
      {"%4%41", "%4A"},
      {"%g1", "%g1"},
      {"%1g", "%1g"},
      {"%2B+%2b", "+ +"},
      {"%20", " "},
      {"%FF%80", "\xFF\x80"},
      {"plain", "plain"},
      {"", ""},
      {"a%00b", "a"},  // a decoded NUL ends the text
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(decode(c.in), c.want);
  }
}

TEST(WsUrlDecode, TruncatesWithoutSplittingCharacters) {
  const struct {
    const char *src;
    size_t size;
    const char *want;
  } cases[] = {
      {"abcdef", 4, "abc"},
      {"abc", 4, "abc"},
      {"abc", 1, ""},
      {"%41%42", 2, "A"},
      {"%41%42", 3, "AB"},
      {"a+b", 3, "a "},
      {"%C3%A9", 2, ""},
      {"%C3%A9", 3, "\xC3\xA9"},
      {"a%C3%A9", 3, "a"},
      {"a\xC3\xA9", 3, "a"},
      {"%E2%82%AC", 3, ""},
      {"%E2%82%AC", 4, "\xE2\x82\xAC"},
      {"%E2%82%ACx", 4, "\xE2\x82\xAC"},
      {"%F0%9F%98%80", 4, ""},
      {"%F0%9F%98%80", 5, "\xF0\x9F\x98\x80"},
      {"%FF%FF", 2, "\xFF"},  // bytes that are no UTF-8 are cut plainly
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(testing::Message() << c.src << " into " << c.size);
    EXPECT_EQ(decode(c.src, c.size), c.want);
  }
}

TEST(WsUrlDecode, EmptyOrMissingArguments) {
  char out[8];
  memcpy(out, "keep", 5);
  ws_url_decode(out, 0, "abc");
  EXPECT_STREQ(out, "keep");
  ws_url_decode(out, sizeof out, nullptr);
  EXPECT_STREQ(out, "");
  ws_url_decode(nullptr, 8, "abc");  // must not crash
}

TEST(WsUrlEncode, KeepsUnreservedAndEscapesEverythingElse) {
  const struct {
    const char *in, *want;
  } cases[] = {
      {"a b/\xC3\xA9~", "a%20b%2F%C3%A9~"}, {"AZaz09-._~", "AZaz09-._~"},
      {"+&=?#%", "%2B%26%3D%3F%23%25"},     {"\x01\x7F\xFF", "%01%7F%FF"},
      {"!*'()", "%21%2A%27%28%29"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.in);
    EXPECT_EQ(encode(c.in), c.want);
  }
}

TEST(WsUrlEncode, NothingToEncodeLeavesTheBufferUntouched) {
  for (const char *src : {static_cast<const char *>(nullptr), ""}) {
    ws_buf b{};
    ws_url_encode(src, &b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);
  }
}

TEST(WsUrlEncode, AppendsToExistingText) {
  ws_buf b{};
  ws_buf_guard g(&b);
  ASSERT_EQ(ws_buf_puts(&b, "q="), 0);
  ws_url_encode("x y", &b);
  EXPECT_STREQ(b.data, "q=x%20y");
}

TEST(WsUrlEncode, EveryByteSurvivesARoundTrip) {
  std::string all;
  for (int c = 1; c < 256; ++c) all += static_cast<char>(c);
  const std::string enc = encode(all.c_str());
  EXPECT_EQ(enc.find('+'), std::string::npos);
  EXPECT_EQ(enc.find(' '), std::string::npos);
  char back[1024];
  ws_url_decode(back, sizeof back, enc.c_str());
  EXPECT_EQ(std::string(back), all);
}

}  // namespace
