// SHA-256 in lower-case hex against the published test vectors.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "sdk/tq_url.h"

namespace {

TEST(TqSha256Hex, MatchesTheStandardVectors) {
  const struct {
    const char *what;
    std::string data;
    const char *hex;
  } cases[] = {
      {"empty", "", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"one million a", std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {"one zero byte", std::string(1, '\0'),
       "6e340b9cffb37a989ca544e6bb780a2c78901d3fb33738768511a30617afa01d"},
      // Padding boundaries: the length field fits in the last block or not.
      {"55 a", std::string(55, 'a'),
       "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {"56 a", std::string(56, 'a'),
       "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {"64 a", std::string(64, 'a'),
       "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    char out[66];
    memset(out, '#', sizeof out);
    tq_sha256_hex(c.data.data(), c.data.size(), out);
    EXPECT_EQ(std::string(out, 64), c.hex);
    EXPECT_EQ(out[64], '\0');
    EXPECT_EQ(out[65], '#') << "exactly 65 bytes are written";
  }
}

TEST(TqSha256Hex, HashesOnlyTheGivenLength) {
  char a[65];
  char b[65];
  tq_sha256_hex("abcdef", 3, a);
  tq_sha256_hex("abc", 3, b);
  EXPECT_STREQ(a, b);
}

}  // namespace
