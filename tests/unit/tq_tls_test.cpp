// Trust anchors from PEM text, the pin lists and the key serialisation that
// pins are computed over. Everything that touches process-wide state (the
// anchor table, TQ_TLS_PIN read once) runs in a child process of its own.
#include "sdk/tq_tls.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sdk/tq_ca_bundle.h"
#include "sdk/tq_tls_internal.h"
#include "support/child_process.h"
#include "support/ws_env_scope.h"

namespace {

using ws_test::run_in_child;

const char kBegin[] = "-----BEGIN CERTIFICATE-----";
const char kEnd[] = "-----END CERTIFICATE-----\n";

std::string bundle() {
  return std::string(TQ_CA_BUNDLE_PEM, TQ_CA_BUNDLE_PEM_LEN);
}

// The index-th certificate block of the embedded bundle, END line and its
// newline included.
std::string bundle_cert(size_t index) {
  const std::string all = bundle();
  size_t at = 0;
  for (size_t i = 0;; i++) {
    at = all.find(kBegin, at);
    if (at == std::string::npos) return "";
    const size_t end = all.find(kEnd, at);
    if (end == std::string::npos) return "";
    if (i == index) return all.substr(at, end + strlen(kEnd) - at);
    at = end;
  }
}

size_t count_of(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
  return n;
}

std::string with_crlf(const std::string &text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// A certificate block with its base64 rewrapped at width characters a line.
std::string rewrapped(const std::string &cert, size_t width) {
  const size_t head = strlen(kBegin) + 1;
  std::string b64;
  for (size_t i = head; i < cert.size() - strlen(kEnd); i++) {
    if (cert[i] != '\n') b64 += cert[i];
  }
  std::string out = std::string(kBegin) + "\n";
  for (size_t at = 0; at < b64.size(); at += width) out += b64.substr(at, width) + "\n";
  return out + kEnd;
}

// A certificate block whose line-th base64 line is broken in two after at
// characters.
std::string split_line(const std::string &cert, size_t line, size_t at) {
  size_t pos = cert.find('\n') + 1;
  for (size_t i = 0; i < line; i++) pos = cert.find('\n', pos) + 1;
  return cert.substr(0, pos + at) + "\n" + cert.substr(pos + at);
}

std::string upper(std::string s) {
  for (char &c : s) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  return s;
}

int add(const std::string &pem) {
  return tq_add_pem_mem(pem.data(), pem.size());
}

std::vector<unsigned char> spki(const br_x509_pkey &key) {
  std::vector<unsigned char> out(1200);
  out.resize(tq_key_spki(&key, out.data()));
  return out;
}

// --- key serialisation ---------------------------------------------------

TEST(TqKeySpki, RsaIsTypeByteModulusThenExponent) {
  unsigned char n[] = {0xC3, 0x00, 0x7F};
  unsigned char e[] = {0x01, 0x00, 0x01};
  br_x509_pkey key = {};
  key.key_type = BR_KEYTYPE_RSA;
  key.key.rsa = {n, sizeof n, e, sizeof e};
  EXPECT_EQ(spki(key), (std::vector<unsigned char>{0x01, 0xC3, 0x00, 0x7F, 0x01, 0x00, 0x01}));
}

TEST(TqKeySpki, EcIsTypeByteCurveThenPoint) {
  unsigned char q[] = {0x04, 0xAA, 0xBB};
  br_x509_pkey key = {};
  key.key_type = BR_KEYTYPE_EC;
  key.key.ec = {BR_EC_secp256r1, q, sizeof q};
  EXPECT_EQ(spki(key), (std::vector<unsigned char>{0x02, 23, 0x04, 0xAA, 0xBB}));
}

TEST(TqKeySpki, UsageFlagsAboveTheTypeAreIgnored) {
  unsigned char n[] = {0x05};
  unsigned char e[] = {0x03};
  br_x509_pkey key = {};
  key.key_type = BR_KEYTYPE_RSA | BR_KEYTYPE_SIGN;
  key.key.rsa = {n, 1, e, 1};
  EXPECT_EQ(spki(key), (std::vector<unsigned char>{0x01, 0x05, 0x03}));
}

TEST(TqKeySpki, SizeBoundsAndRefusals) {
  static unsigned char bytes[1300];
  struct row {
    const char *name;
    unsigned char type;
    size_t len1;  // modulus or point
    size_t len2;  // exponent
    size_t expect;
  };
  const row rows[] = {
      {"rsa filling the buffer", BR_KEYTYPE_RSA, 1196, 3, 1200},
      {"rsa one byte over", BR_KEYTYPE_RSA, 1197, 3, 0},
      {"rsa modulus alone over", BR_KEYTYPE_RSA, 1200, 0, 0},
      {"rsa exponent alone over", BR_KEYTYPE_RSA, 0, 1200, 0},
      {"ec point of 1197 bytes", BR_KEYTYPE_EC, 1197, 0, 1199},
      {"ec point of 1198 bytes", BR_KEYTYPE_EC, 1198, 0, 0},
      {"unknown key type", 3, 10, 0, 0},
      {"no key type", 0, 10, 0, 0},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.name);
    br_x509_pkey key = {};
    key.key_type = r.type;
    if (r.type == BR_KEYTYPE_EC) {
      key.key.ec = {BR_EC_secp256r1, bytes, r.len1};
    } else {
      key.key.rsa = {bytes, r.len1, bytes, r.len2};
    }
    std::vector<unsigned char> out(1300, 0xEE);
    EXPECT_EQ(tq_key_spki(&key, out.data()), r.expect);
    if (r.expect == 0) {
      EXPECT_EQ(out[0], 0xEE) << "a refused key writes nothing";
    }
  }
  std::vector<unsigned char> out(1200);
  EXPECT_EQ(tq_key_spki(nullptr, out.data()), 0u);
}

// --- decoder sinks -------------------------------------------------------

TEST(TqSink, KeepsBytesUpToTheBoundAndDropsTheChunkPassingIt) {
  tq_sink s = {};
  const std::string most(TQ_SINK_MAX - 1, 'a');
  tq_dest_cert(&s, most.data(), most.size());
  tq_dest_cert(&s, "b", 1);
  ASSERT_EQ(s.len, TQ_SINK_MAX);
  EXPECT_EQ(s.dropped, 0);
  EXPECT_EQ(s.data[TQ_SINK_MAX - 1], 'b');
  EXPECT_EQ(s.data[TQ_SINK_MAX], 0) << "always NUL-terminated";
  tq_dest_cert(&s, "c", 1);
  EXPECT_EQ(s.len, TQ_SINK_MAX);
  EXPECT_EQ(s.dropped, 1);
  EXPECT_EQ(s.data[TQ_SINK_MAX], 0);
  free(s.data);

  tq_sink t = {};
  const std::string over(TQ_SINK_MAX + 1, 'x');
  tq_collect_dn(&t, over.data(), over.size());
  EXPECT_EQ(t.len, 0u);
  EXPECT_EQ(t.dropped, 1);
  tq_collect_dn(&t, "dn", 2);
  tq_collect_dn(&t, "", 0);
  tq_collect_dn(&t, "!", 1);
  ASSERT_NE(t.data, nullptr);
  EXPECT_STREQ(reinterpret_cast<char *>(t.data), "dn!");
  free(t.data);
}

// --- insecure switch -----------------------------------------------------

TEST(TqTlsInsecure, OnlyTheSingleCharacterOneTurnsItOn) {
  ws_test::EnvScope env;
  const std::pair<const char *, int> rows[] = {{"1", 1},  {"1 ", 0},  {" 1", 0},   {"01", 0},
                                               {"11", 0}, {"yes", 0}, {"true", 0}, {"", 0}};
  for (const auto &r : rows) {
    SCOPED_TRACE(std::string("TQ_TLS_INSECURE=\"") + r.first + "\"");
    env.set("TQ_TLS_INSECURE", r.first);
    EXPECT_EQ(tq_tls_insecure(), r.second);
  }
  env.unset("TQ_TLS_INSECURE");
  EXPECT_EQ(tq_tls_insecure(), 0);
}

// --- anchors from PEM ----------------------------------------------------

TEST(TqAddPemMem, TheTableHoldsSixHundredFortyAnchorsAndIgnoresTheRest) {
  const std::string one = bundle_cert(0);
  std::string five;
  for (int i = 0; i < 5; i++) five += one;
  const size_t in_bundle = count_of(bundle(), kBegin);
  const auto r = run_in_child({}, [&] {
    // The table starts empty: nothing loads before the first handshake.
    const int embedded = tq_add_pem_bundle(TQ_CA_BUNDLE_PEM, TQ_CA_BUNDLE_PEM_LEN);
    EXPECT_EQ(embedded, static_cast<int>(in_bundle)) << "every embedded root decodes";
    ASSERT_GT(embedded, 0);
    ASSERT_LT(embedded, 639);
    std::string fill;
    for (int i = 0; i < 639 - embedded; i++) fill += one;
    EXPECT_EQ(tq_add_pem_bundle(fill.data(), fill.size()), 639 - embedded);
    EXPECT_EQ(add(five), 1) << "only the 640th entry fits";
    EXPECT_EQ(add(one), -1);
    EXPECT_EQ(tq_http_add_ca_pem(one.data(), one.size()), -1);
    EXPECT_EQ(tq_add_pem_bundle(one.data(), one.size()), -1);
    EXPECT_EQ(tq_anchor_count(), TQ_MAX_ANCHORS);
    tq_anchor_reset();  // what the PEM fuzz target does before each input
    EXPECT_EQ(tq_anchor_count(), 0u);
    EXPECT_EQ(add(five), 5);
  });
  EXPECT_TRUE(r.passed()) << r.err;
}

// Count of anchors one call adds to a fresh table, worked out in a child.
int added_in_fresh_table(bool quick, const std::string &pem) {
  const auto r = run_in_child({}, [&] {
    const int n = quick ? tq_add_pem_bundle(pem.data(), pem.size()) : add(pem);
    fprintf(stderr, "%d", n);
  });
  EXPECT_TRUE(r.passed()) << r.err;
  return r.passed() ? atoi(r.err.c_str()) : -100;
}

// The quick path for bundles must give what BearSSL's decoder gives, on
// plain PEM (which it decodes itself) and on everything else (handed over).
TEST(TqAddPemBundle, AgreesWithTheGeneralDecoder) {
  const std::string a = bundle_cert(0);
  const std::string b = bundle_cert(1);
  const std::string begin = std::string(kBegin) + "\n";
  const std::string body = a.substr(begin.size(), a.size() - begin.size() - strlen(kEnd));
  std::string oversize_body;  // 8640 zero bytes
  for (int i = 0; i < 180; i++) oversize_body += std::string(64, 'A') + "\n";
  constexpr int kAsGeneral = -99;  // shape where only agreement is asserted
  struct row {
    const char *name;
    std::string pem;
    int expect;
  };
  const std::vector<row> rows = {
      {"two certificates", a + b, 2},
      {"CRLF line ends", with_crlf(a + b), 2},
      {"blank lines between objects", "\n\n" + a + "\n\r\n" + b + "\n", 2},
      {"no newline after the last line", a + b.substr(0, b.size() - 1), 2},
      {"any label",
       "-----BEGIN TRUSTED CERTIFICATE-----\n" + body + "-----END TRUSTED CERTIFICATE-----\n", 1},
      {"text around the objects", "# roots\n" + a + "trailer\n", 1},
      {"bad base64 ends the text", a + begin + "@@@@\n" + kEnd + b, 1},
      {"empty object", begin + kEnd, -1},
      {"object over 8192 bytes", begin + oversize_body + kEnd + b, 1},
      {"no PEM at all", "hello", -1},
      {"truncated certificate", begin + body.substr(0, body.size() / 2) + "\n" + kEnd, -1},
      {"a private key is no anchor",
       "-----BEGIN PRIVATE "
       "KEY-----\nMC4CAQAwBQYDK2VwBCIEIHB3s6Wz1k2e3m4bR6X0b3N0c2VjcmV0a2V5Ynl0ZXM=\n"
       "-----END PRIVATE KEY-----\n",
       -1},
      {"label mismatch", begin + body + "-----END X509 CRL-----\n" + b, kAsGeneral},
      {"blank line inside an object", begin + "\n" + body + kEnd, kAsGeneral},
      {"object without end", a + begin + body, kAsGeneral},
      {"data after padding", begin + "AA==AAAA\n" + kEnd + a, kAsGeneral},
      {"spare bits set", begin + "AB==\n" + kEnd + a, kAsGeneral},
      {"lines of 76 characters", rewrapped(a, 76), 1},
      {"lines of 4 characters", rewrapped(a, 4), 1},
      // BearSSL refuses a quantum split across lines; the quick path took it.
      {"lines of 63 characters", rewrapped(a, 63), -1},
      {"one line broken in two", b + split_line(a, 3, 33), 1},
  };
  for (const row &rw : rows) {
    SCOPED_TRACE(rw.name);
    const int general = added_in_fresh_table(false, rw.pem);
    const int quick = added_in_fresh_table(true, rw.pem);
    EXPECT_EQ(quick, general);
    if (rw.expect != kAsGeneral) {
      EXPECT_EQ(quick, rw.expect);
    }
  }
  const auto r = run_in_child({}, [&] {
    EXPECT_EQ(tq_add_pem_mem(nullptr, 10), -1);
    EXPECT_EQ(tq_add_pem_bundle(nullptr, 10), -1);
    EXPECT_EQ(tq_http_add_ca_pem(nullptr, 10), -1);
    EXPECT_EQ(tq_http_add_ca_pem(a.data(), 0), -1);
    EXPECT_EQ(tq_http_add_ca_pem(a.data(), a.size()), 1);
  });
  EXPECT_TRUE(r.passed()) << r.err;
}

// --- pins ----------------------------------------------------------------

const std::string kPinA = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
const std::string kPinB = "fedcba9876543210fedcba9876543210fedcba9876543210fedcba9876543210";

std::string numbered_pin(int i) {
  return std::string(63, 'a') + static_cast<char>('0' + i);
}

TEST(TqPins, EnvironmentListIsSplitOnceAndComparedWithoutCase) {
  std::string nine;
  for (int i = 1; i <= 9; i++) nine += numbered_pin(i) + (i < 9 ? "," : "");
  // 639 characters are read: a pin that ends at character 639 is whole, one
  // character later it loses its last digit.
  const std::string fits = std::string(575, ',') + kPinA;
  const std::string cut = std::string(576, ',') + kPinA;

  struct probe {
    std::string hex;
    int expect;
  };
  struct row {
    const char *name;
    std::string env;
    std::vector<probe> probes;
  };
  const std::vector<row> rows = {
      {"lower-case pin", kPinA, {{kPinA, 1}, {upper(kPinA), 1}, {kPinB, 0}, {"", 0}}},
      {"upper-case pin", upper(kPinA), {{kPinA, 1}}},
      {"comma and space", kPinB + ", " + kPinA, {{kPinA, 1}, {kPinB, 1}}},
      {"semicolons and runs of separators",
       ";;" + kPinA + " ;, " + kPinB + ";",
       {{kPinA, 1}, {kPinB, 1}, {"", 0}}},
      {"nine pins keep the first eight",
       nine,
       {{numbered_pin(1), 1}, {numbered_pin(8), 1}, {numbered_pin(9), 0}}},
      {"a tab stays part of the pin", kPinA + "\t", {{kPinA, 0}, {kPinA + "\t", 1}}},
      {"a prefix is no match", kPinA, {{kPinA.substr(0, 63), 0}, {kPinA + "0", 0}}},
      {"pin ending at character 639", fits, {{kPinA, 1}}},
      {"pin ending at character 640", cut, {{kPinA, 0}, {kPinA.substr(0, 63), 1}}},
      {"only separators", " ,;", {{"", 0}, {",", 0}, {" ", 0}}},
  };
  for (const row &rw : rows) {
    SCOPED_TRACE(rw.name);
    const auto r = run_in_child({{"TQ_TLS_PIN", rw.env}}, [&] {
      for (const probe &p : rw.probes) {
        SCOPED_TRACE("probe \"" + p.hex + "\"");
        EXPECT_EQ(tq_pin_matches_hex(p.hex.c_str()), p.expect);
      }
      // Read once per process: a later change of the variable is not seen.
      ws_test::EnvScope env;
      env.set("TQ_TLS_PIN", kPinB);
      for (const probe &p : rw.probes) EXPECT_EQ(tq_pin_matches_hex(p.hex.c_str()), p.expect);
    });
    EXPECT_TRUE(r.passed()) << r.err;
  }
  const auto unset = run_in_child({}, [] {
    EXPECT_EQ(tq_pin_matches_hex(kPinA.c_str()), 0);
    EXPECT_EQ(tq_pin_matches_hex(nullptr), 0);
  });
  EXPECT_TRUE(unset.passed()) << unset.err;
}

TEST(TqPins, ProgrammaticListReplacesTheEnvironmentWhileNonEmpty) {
  const auto r = run_in_child({{"TQ_TLS_PIN", kPinA}}, [] {
    static const char *const only_b[] = {kPinB.c_str()};
    tq_http_set_pins(only_b, 1);
    EXPECT_EQ(tq_pin_matches_hex(kPinA.c_str()), 0);
    EXPECT_EQ(tq_pin_matches_hex(upper(kPinB).c_str()), 1);

    static const char *const with_null[] = {nullptr, kPinB.c_str()};
    tq_http_set_pins(with_null, 2);
    EXPECT_EQ(tq_pin_matches_hex(kPinB.c_str()), 1) << "null entries are skipped";
    EXPECT_EQ(tq_pin_matches_hex(kPinA.c_str()), 0);

    tq_http_set_pins(only_b, 0);
    EXPECT_EQ(tq_pin_matches_hex(kPinA.c_str()), 1) << "an empty list hands back to TQ_TLS_PIN";
    EXPECT_EQ(tq_pin_matches_hex(kPinB.c_str()), 0);

    tq_http_set_pins(nullptr, 3);
    EXPECT_EQ(tq_pin_matches_hex(kPinA.c_str()), 1) << "no array means no list";
  });
  EXPECT_TRUE(r.passed()) << r.err;
}

}  // namespace
