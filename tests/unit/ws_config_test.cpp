// The settings record: defaults, the file layer, the environment layer, the
// folder rules and the saved file, all against a scratch folder.
#include "config/ws_config.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>

#include "config/ws_config_internal.h"
#include "support/ws_env_scope.h"
#include "util/ws_buf.h"

namespace {

using ws_test::EnvScope;
using ws_test::read_file;
using ws_test::ScratchDir;
using ws_test::write_file;

namespace fs = std::filesystem;

const char kDefaultFile[] =
    "{\n"
    "    \"provider\": \"duckduckgo\",\n"
    "    \"count\": 5,\n"
    "    \"region\": \"\",\n"
    "    \"safe\": \"moderate\",\n"
    "    \"language\": \"\",\n"
    "    \"searxng_categories\": \"general\",\n"
    "    \"tavily_advanced\": 0,\n"
    "    \"tavily_answer\": 0,\n"
    "    \"brave_key\": \"\",\n"
    "    \"tavily_key\": \"\",\n"
    "    \"exa_key\": \"\",\n"
    "    \"pplx_key\": \"\",\n"
    "    \"ddg_base\": \"https://html.duckduckgo.com\",\n"
    "    \"searxng_base\": \"\",\n"
    "    \"brave_base\": \"https://api.search.brave.com\",\n"
    "    \"tavily_base\": \"https://api.tavily.com\",\n"
    "    \"exa_base\": \"https://api.exa.ai\",\n"
    "    \"pplx_base\": \"https://api.perplexity.ai\"\n"
    "}";

// Windows has no POSIX mode bits to compare.
#ifdef _WIN32
#define EXPECT_MODE(path, mode) static_cast<void>(0)
#else
int file_mode(const std::string &path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int>(st.st_mode & 07777);
}
#define EXPECT_MODE(path, mode) EXPECT_EQ(file_mode(path), mode)
#endif

bool exists(const std::string &path) {
  std::error_code ec;
  return fs::exists(fs::symlink_status(path, ec));  // a link counts, not its target
}

template <size_t N>
void set(char (&field)[N], const char *value) {
  ws_copy(field, N, value);
}

// A path of exactly len bytes below base, in components short enough for
// any file system, so only the program's own length rule can refuse it.
std::string path_of_length(const std::string &base, size_t len, char letter) {
  std::string p = base;
  while (p.size() < len) {
    size_t room = len - p.size() - 1;
    p += "/" + std::string(room < 100 ? room : 100, letter);
    if (p.back() == '/') p.back() = letter;
  }
  return p;
}

ws_config defaults_only() {
  ws_config c;
  memset(&c, 0x5A, sizeof c);  // garbage the loader must discard
  ws_config_load(&c);
  return c;
}

class ConfigTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    dir_ = scratch_ / "folder";
    ws_test::isolate_config(env_, dir_);
  }
  std::string file() const { return dir_ + "/config.json"; }
  ws_config load() {
    ws_config c;
    memset(&c, 0x5A, sizeof c);
    ws_config_load(&c);
    return c;
  }
  ws_config load_with_file(const std::string &json) {
    EXPECT_EQ(ws_mkdir_p(dir_.c_str()), 0);
    EXPECT_TRUE(write_file(file(), json));
    return load();
  }
  ws_config apply(const std::string &json) {
    ws_config c = defaults_only();
    ws_config_apply_json(&c, json.data(), json.size());
    return c;
  }

  ScratchDir scratch_;
  EnvScope env_;
  std::string dir_;
};

// ---------------------------------------------------------------------------
// Defaults

TEST_F(ConfigTest, NoFileNoVariablesGivesTheDefaultsTable) {
  ws_config c = load();
  EXPECT_STREQ(c.provider, "duckduckgo");
  EXPECT_EQ(c.count, 5);
  EXPECT_STREQ(c.region, "");
  EXPECT_STREQ(c.safe, "moderate");
  EXPECT_STREQ(c.language, "");
  EXPECT_STREQ(c.searxng_categories, "general");
  EXPECT_EQ(c.tavily_advanced, 0);
  EXPECT_EQ(c.tavily_answer, 0);
  for (const char *key : {c.brave_key, c.tavily_key, c.exa_key, c.pplx_key, c.searxng_base}) {
    EXPECT_STREQ(key, "");
  }
  EXPECT_STREQ(c.ddg_base, "https://html.duckduckgo.com");
  EXPECT_STREQ(c.brave_base, "https://api.search.brave.com");
  EXPECT_STREQ(c.tavily_base, "https://api.tavily.com");
  EXPECT_STREQ(c.exa_base, "https://api.exa.ai");
  EXPECT_STREQ(c.pplx_base, "https://api.perplexity.ai");
  // Reading the configuration creates its folder, owner-only.
  EXPECT_MODE(dir_, 0700);
  EXPECT_FALSE(exists(file()));
}

TEST_F(ConfigTest, LoadZeroesEveryByteOfTheRecordFirst) {
  ws_config a = load();
  ws_config b;
  memset(&b, 0, sizeof b);
  ws_config_load(&b);
  EXPECT_EQ(memcmp(&a, &b, sizeof a), 0);
}

// ---------------------------------------------------------------------------
// Environment layer

struct TextRow {
  const char *var;
  std::function<const char *(const ws_config &)> field;
  size_t capacity;
};

const TextRow kTextRows[] = {
    {"WEBSEARCH_REGION", [](const ws_config &c) { return c.region; }, 24},
    {"WEBSEARCH_SAFE", [](const ws_config &c) { return c.safe; }, 16},
    {"WEBSEARCH_LANGUAGE", [](const ws_config &c) { return c.language; }, 16},
    {"WEBSEARCH_SEARXNG_CATEGORIES", [](const ws_config &c) { return c.searxng_categories; }, 128},
    {"BRAVE_API_KEY", [](const ws_config &c) { return c.brave_key; }, 256},
    {"TAVILY_API_KEY", [](const ws_config &c) { return c.tavily_key; }, 256},
    {"EXA_API_KEY", [](const ws_config &c) { return c.exa_key; }, 256},
    {"PERPLEXITY_API_KEY", [](const ws_config &c) { return c.pplx_key; }, 256},
    {"WEBSEARCH_BRAVE_KEY", [](const ws_config &c) { return c.brave_key; }, 256},
    {"WEBSEARCH_TAVILY_KEY", [](const ws_config &c) { return c.tavily_key; }, 256},
    {"WEBSEARCH_EXA_KEY", [](const ws_config &c) { return c.exa_key; }, 256},
    {"WEBSEARCH_PPLX_KEY", [](const ws_config &c) { return c.pplx_key; }, 256},
    {"WEBSEARCH_DDG_BASE", [](const ws_config &c) { return c.ddg_base; }, 512},
    {"WEBSEARCH_SEARXNG_BASE", [](const ws_config &c) { return c.searxng_base; }, 512},
    {"SEARXNG_URL", [](const ws_config &c) { return c.searxng_base; }, 512},
    {"WEBSEARCH_BRAVE_BASE", [](const ws_config &c) { return c.brave_base; }, 512},
    {"WEBSEARCH_TAVILY_BASE", [](const ws_config &c) { return c.tavily_base; }, 512},
    {"WEBSEARCH_EXA_BASE", [](const ws_config &c) { return c.exa_base; }, 512},
    {"WEBSEARCH_PPLX_BASE", [](const ws_config &c) { return c.pplx_base; }, 512},
};

TEST_F(ConfigTest, EachTextRowReplacesItsFieldEmptiesItAndCutsAtCapacity) {
  // A file value for every field, so "set but empty" must visibly win.
  load_with_file(
      R"({"region":"F","safe":"F","language":"F","searxng_categories":"F","brave_key":"F",)"
      R"("tavily_key":"F","exa_key":"F","pplx_key":"F","ddg_base":"F","searxng_base":"F",)"
      R"("brave_base":"F","tavily_base":"F","exa_base":"F","pplx_base":"F"})");
  for (const TextRow &row : kTextRows) {
    SCOPED_TRACE(row.var);
    env_.set(row.var, "v1");
    EXPECT_STREQ(row.field(load()), "v1");
    env_.set(row.var, "");
    EXPECT_STREQ(row.field(load()), "");
    std::string exact(row.capacity - 1, 'x');
    env_.set(row.var, exact);
    EXPECT_EQ(row.field(load()), exact);
    env_.set(row.var, exact + "y");
    EXPECT_EQ(row.field(load()), exact);
    // The cut never leaves half of a two-byte character behind.
    std::string wide;
    while (wide.size() < row.capacity) wide += "\xC3\xA9";
    env_.set(row.var, wide);
    std::string got = row.field(load());
    EXPECT_EQ(got.size() % 2, 0u);
    EXPECT_EQ(got, wide.substr(0, got.size()));
    EXPECT_GE(got.size(), row.capacity - 2);
    env_.unset(row.var);
    EXPECT_STREQ(row.field(load()), "F");
  }
}

TEST_F(ConfigTest, CountVariableReadsTheLeadingIntegerAndClamps) {
  const struct {
    const char *value;
    int want;
  } rows[] = {{"0", 1},
              {"-3", 1},
              {"abc", 1},
              {"50", 20},
              {"7abc", 7},
              {"  +12", 12},
              {"\t\n9", 9},
              {"1", 1},
              {"20", 20},
              {"21", 20},
              {"- 4", 1},
              {"99999999999999999999", 20},
              {"-99999999999999999999", 1},
              {"2147483648", 20}};
  for (const auto &r : rows) {
    SCOPED_TRACE(r.value);
    env_.set("WEBSEARCH_COUNT", r.value);
    EXPECT_EQ(load().count, r.want);
  }
  env_.set("WEBSEARCH_COUNT", "");
  EXPECT_EQ(load().count, 5);
  EXPECT_EQ(load_with_file(R"({"count":9})").count, 9);
}

TEST_F(ConfigTest, TavilyFlagsAreOneForAnyNonZeroLeadingInteger) {
  load_with_file(R"({"tavily_advanced":7,"tavily_answer":7})");
  for (const char *var : {"WEBSEARCH_TAVILY_ADVANCED", "WEBSEARCH_TAVILY_ANSWER"}) {
    SCOPED_TRACE(var);
    auto get = [&](const ws_config &c) {
      return strcmp(var, "WEBSEARCH_TAVILY_ADVANCED") == 0 ? c.tavily_advanced : c.tavily_answer;
    };
    const struct {
      const char *value;
      int want;
    } rows[] = {{"2", 1}, {"no", 0}, {"0", 0}, {"-1", 1}, {"1yes", 1}, {" 0x5", 0}};
    for (const auto &r : rows) {
      SCOPED_TRACE(r.value);
      env_.set(var, r.value);
      EXPECT_EQ(get(load()), r.want);
    }
    env_.set(var, "");
    EXPECT_EQ(get(load()), 7);  // the file's value, not reduced
    env_.unset(var);
  }
}

TEST_F(ConfigTest, ProviderVariableKeepsCaseAndFallsBackWhenUnknownOrEmpty) {
  const struct {
    const char *value;
    const char *want;
  } rows[] = {{"Brave", "Brave"},
              {"PERPLEXITY", "PERPLEXITY"},
              {"searxng", "searxng"},
              {"ddg", "duckduckgo"},
              {"", "duckduckgo"},
              {"brave ", "duckduckgo"},
              {"exaexaexaexaexaexaexaexaexaexaexaexaexa", "duckduckgo"}};
  load_with_file(R"({"provider":"tavily"})");
  for (const auto &r : rows) {
    SCOPED_TRACE(r.value);
    env_.set("WEBSEARCH_PROVIDER", r.value);
    EXPECT_STREQ(load().provider, r.want);
  }
  env_.unset("WEBSEARCH_PROVIDER");
  EXPECT_STREQ(load().provider, "tavily");
}

TEST_F(ConfigTest, ProviderVariableIsCutTo31BytesBeforeTheCheck) {
  env_.set("WEBSEARCH_PROVIDER", std::string(40, 'a'));
  ws_config c = load();
  EXPECT_STREQ(c.provider, "duckduckgo");
  // Through the file layer alone the cut is visible before the check.
  ws_config f = apply(R"({"provider":")" + std::string(40, 'b') + R"("})");
  EXPECT_EQ(std::string(f.provider), std::string(31, 'b'));
}

TEST_F(ConfigTest, SpecificKeyVariablesWinOverTheGenericOnes) {
  const struct {
    const char *generic;
    const char *specific;
    std::function<const char *(const ws_config &)> field;
  } pairs[] = {
      {"BRAVE_API_KEY", "WEBSEARCH_BRAVE_KEY", [](const ws_config &c) { return c.brave_key; }},
      {"TAVILY_API_KEY", "WEBSEARCH_TAVILY_KEY", [](const ws_config &c) { return c.tavily_key; }},
      {"EXA_API_KEY", "WEBSEARCH_EXA_KEY", [](const ws_config &c) { return c.exa_key; }},
      {"PERPLEXITY_API_KEY", "WEBSEARCH_PPLX_KEY", [](const ws_config &c) { return c.pplx_key; }},
      {"WEBSEARCH_SEARXNG_BASE", "SEARXNG_URL", [](const ws_config &c) { return c.searxng_base; }},
  };
  for (const auto &p : pairs) {
    SCOPED_TRACE(p.specific);
    env_.set(p.generic, "generic");
    env_.set(p.specific, "specific");
    EXPECT_STREQ(p.field(load()), "specific");
    env_.set(p.specific, "");
    EXPECT_STREQ(p.field(load()), "");
    env_.unset(p.specific);
    EXPECT_STREQ(p.field(load()), "generic");
    env_.unset(p.generic);
  }
}

TEST_F(ConfigTest, EmptyKeyVariableClearsAKeyStoredInTheFile) {
  load_with_file(R"({"brave_key":"stored"})");
  EXPECT_STREQ(load().brave_key, "stored");
  env_.set("BRAVE_API_KEY", "");
  EXPECT_STREQ(load().brave_key, "");
}

TEST_F(ConfigTest, EmptyDdgBaseVariableLeavesTheFieldEmpty) {
  env_.set("WEBSEARCH_DDG_BASE", "");
  EXPECT_STREQ(load().ddg_base, "");
}

TEST_F(ConfigTest, MockBaseOverridesEveryBaseFromFileAndVariables) {
  load_with_file(R"({"ddg_base":"http://file","searxng_base":""})");
  env_.set("WEBSEARCH_BRAVE_BASE", "http://var");
  env_.set("SEARXNG_URL", "http://var");
  env_.set("WEBSEARCH_MOCK_BASE", "http://127.0.0.1:9");
  ws_config c = load();
  EXPECT_STREQ(c.ddg_base, "http://127.0.0.1:9/duckduckgo");
  EXPECT_STREQ(c.searxng_base, "http://127.0.0.1:9/searxng");
  EXPECT_STREQ(c.brave_base, "http://127.0.0.1:9/brave");
  EXPECT_STREQ(c.tavily_base, "http://127.0.0.1:9/tavily");
  EXPECT_STREQ(c.exa_base, "http://127.0.0.1:9/exa");
  EXPECT_STREQ(c.pplx_base, "http://127.0.0.1:9/perplexity");

  env_.set("WEBSEARCH_MOCK_BASE", "http://m/");  // used unchanged
  EXPECT_STREQ(load().exa_base, "http://m//exa");

  env_.set("WEBSEARCH_MOCK_BASE", "");  // empty: the other layers stand
  c = load();
  EXPECT_STREQ(c.ddg_base, "http://file");
  EXPECT_STREQ(c.brave_base, "http://var");
  EXPECT_STREQ(c.searxng_base, "http://var");
}

TEST_F(ConfigTest, MockBaseIsCutTo511BytesWithoutSplittingACharacter) {
  std::string m = "http://" + std::string(500, 'h');  // 507 bytes
  env_.set("WEBSEARCH_MOCK_BASE", m);
  ws_config c = load();
  EXPECT_EQ(std::string(c.exa_base), m + "/exa");  // 511 exactly
  EXPECT_EQ(std::string(c.ddg_base), m + "/duc");  // cut in the suffix
  EXPECT_EQ(std::string(c.pplx_base), m + "/per");
  std::string wide = "http://" + std::string(503, 'h') + "\xE2\x82\xAC";  // 513 bytes
  env_.set("WEBSEARCH_MOCK_BASE", wide);
  c = load();
  EXPECT_EQ(std::string(c.brave_base), "http://" + std::string(503, 'h'));
}

// ---------------------------------------------------------------------------
// File layer

TEST_F(ConfigTest, FileMembersFollowTheirRules) {
  const struct {
    const char *json;
    std::function<void(const ws_config &)> check;
  } rows[] = {
      {R"({"count": 7.5})", [](const ws_config &c) { EXPECT_EQ(c.count, 5); }},
      {R"({"count": "12"})", [](const ws_config &c) { EXPECT_EQ(c.count, 12); }},
      {R"({"count": " -2x"})", [](const ws_config &c) { EXPECT_EQ(c.count, 1); }},
      {R"({"count": true})", [](const ws_config &c) { EXPECT_EQ(c.count, 1); }},
      {R"({"count": false})", [](const ws_config &c) { EXPECT_EQ(c.count, 1); }},
      {R"({"count": 0})", [](const ws_config &c) { EXPECT_EQ(c.count, 1); }},
      {R"({"count": 50})", [](const ws_config &c) { EXPECT_EQ(c.count, 20); }},
      {R"({"count": null})", [](const ws_config &c) { EXPECT_EQ(c.count, 5); }},
      {R"({"count": [3]})", [](const ws_config &c) { EXPECT_EQ(c.count, 5); }},
      {R"({"count": 4294967303})", [](const ws_config &c) { EXPECT_EQ(c.count, 7); }},
      {R"({"count": -4294967289})", [](const ws_config &c) { EXPECT_EQ(c.count, 7); }},
      {R"({"count": 18446744073709551615})", [](const ws_config &c) { EXPECT_EQ(c.count, 1); }},
      {R"({"provider": ""})", [](const ws_config &c) { EXPECT_STREQ(c.provider, "duckduckgo"); }},
      {R"({"provider": "Exa"})", [](const ws_config &c) { EXPECT_STREQ(c.provider, "Exa"); }},
      {R"({"provider": "brave", "provider": "exa"})",
       [](const ws_config &c) { EXPECT_STREQ(c.provider, "brave"); }},
      {R"({"Provider": "exa"})",
       [](const ws_config &c) { EXPECT_STREQ(c.provider, "duckduckgo"); }},
      {R"({"region": "de", "safe": "", "language": "fr", "searxng_categories": "news"})",
       [](const ws_config &c) {
         EXPECT_STREQ(c.region, "de");
         EXPECT_STREQ(c.safe, "");
         EXPECT_STREQ(c.language, "fr");
         EXPECT_STREQ(c.searxng_categories, "news");
       }},
      {R"({"region": 5, "safe": null, "searxng_categories": ["a"]})",
       [](const ws_config &c) {
         EXPECT_STREQ(c.region, "");
         EXPECT_STREQ(c.safe, "moderate");
         EXPECT_STREQ(c.searxng_categories, "general");
       }},
      {R"({"tavily_advanced": 7, "tavily_answer": "3"})",
       [](const ws_config &c) {
         EXPECT_EQ(c.tavily_advanced, 7);
         EXPECT_EQ(c.tavily_answer, 3);
       }},
      {R"({"tavily_advanced": 2.0, "tavily_answer": true})",
       [](const ws_config &c) {
         EXPECT_EQ(c.tavily_advanced, 0);
         EXPECT_EQ(c.tavily_answer, 1);
       }},
      {R"({"ddg_base": "", "brave_base": "", "tavily_base": "", "exa_base": "", "pplx_base": ""})",
       [](const ws_config &c) {
         EXPECT_STREQ(c.ddg_base, "https://html.duckduckgo.com");
         EXPECT_STREQ(c.brave_base, "https://api.search.brave.com");
         EXPECT_STREQ(c.tavily_base, "https://api.tavily.com");
         EXPECT_STREQ(c.exa_base, "https://api.exa.ai");
         EXPECT_STREQ(c.pplx_base, "https://api.perplexity.ai");
       }},
      {R"({"ddg_base": "http://d", "searxng_base": "http://s", "brave_base": "http://b",)"
       R"( "tavily_base": "http://t", "exa_base": "http://e", "pplx_base": "http://p"})",
       [](const ws_config &c) {
         EXPECT_STREQ(c.ddg_base, "http://d");
         EXPECT_STREQ(c.searxng_base, "http://s");
         EXPECT_STREQ(c.brave_base, "http://b");
         EXPECT_STREQ(c.tavily_base, "http://t");
         EXPECT_STREQ(c.exa_base, "http://e");
         EXPECT_STREQ(c.pplx_base, "http://p");
       }},
      {R"({"brave_key": "b", "tavily_key": "t", "exa_key": "e", "pplx_key": "p", "x": 1})",
       [](const ws_config &c) {
         EXPECT_STREQ(c.brave_key, "b");
         EXPECT_STREQ(c.tavily_key, "t");
         EXPECT_STREQ(c.exa_key, "e");
         EXPECT_STREQ(c.pplx_key, "p");
       }},
      {R"({"region": "abcdefghijklmnopqrstuvwxyz"})",
       [](const ws_config &c) { EXPECT_STREQ(c.region, "abcdefghijklmnopqrstuvw"); }},
  };
  for (const auto &r : rows) {
    SCOPED_TRACE(r.json);
    r.check(apply(r.json));
  }
}

TEST_F(ConfigTest, FileMembersThatEmptyAFieldDoSoOnlyWhereAllowed) {
  ws_config c = defaults_only();
  set(c.searxng_base, "http://s");
  set(c.brave_key, "k");
  set(c.provider, "exa");
  std::string json = R"({"searxng_base": "", "brave_key": "", "ddg_base": "", "provider": 3})";
  ws_config_apply_json(&c, json.data(), json.size());
  EXPECT_STREQ(c.searxng_base, "");
  EXPECT_STREQ(c.brave_key, "");
  EXPECT_STREQ(c.ddg_base, "https://html.duckduckgo.com");
  EXPECT_STREQ(c.provider, "exa");  // wrong type: unchanged

  json = R"({"provider": 1, "provider": "brave"})";  // the first member decides
  ws_config_apply_json(&c, json.data(), json.size());
  EXPECT_STREQ(c.provider, "exa");
}

TEST_F(ConfigTest, MalformedFilesContributeNothing) {
  const char *bad[] = {
      R"({"provider":"exa","count":9,})",    // trailing comma
      "{\"provider\":\"exa\" /* c */}",      // comment
      "\xEF\xBB\xBF{\"provider\":\"exa\"}",  // byte order mark
      R"({"provider":"exa","count":NaN})",   // NaN literal
      R"([{"provider":"exa"}])",             // array root
      R"("exa")",                            // string root
      "{\"provider\":\"ex\xE9\"}",           // invalid UTF-8
      R"({"provider":"exa"} {"count":3})",   // two documents
      R"({"provider":"exa")",                // truncated
  };
  ws_config want = defaults_only();
  for (const char *json : bad) {
    SCOPED_TRACE(json);
    ws_config c = load_with_file(json);
    EXPECT_EQ(memcmp(&c, &want, sizeof c), 0);
  }
}

TEST_F(ConfigTest, FileSizeBoundsAreOneByteToOneMebibyte) {
  std::string json = R"({"count":9})";
  std::string exact = json + std::string(1048576 - json.size(), ' ');
  EXPECT_EQ(load_with_file(exact).count, 9);
  EXPECT_EQ(load_with_file(exact + " ").count, 5);
  EXPECT_EQ(load_with_file("").count, 5);
  EXPECT_EQ(load_with_file(json).count, 9);
}

TEST_F(ConfigTest, AConfigJsonThatIsAFolderIsIgnored) {
  ASSERT_EQ(ws_mkdir_p((dir_ + "/config.json").c_str()), 0);
  ws_config c = load();
  EXPECT_STREQ(c.provider, "duckduckgo");
  EXPECT_EQ(c.count, 5);
  EXPECT_EQ(ws_config_save(&c), -1);
}

TEST_F(ConfigTest, EnvironmentBeatsFileBeatsDefaults) {
  load_with_file(R"({"region":"file","safe":"file","count":3})");
  env_.set("WEBSEARCH_REGION", "env");
  ws_config c = load();
  EXPECT_STREQ(c.region, "env");
  EXPECT_STREQ(c.safe, "file");
  EXPECT_EQ(c.count, 3);
  EXPECT_STREQ(c.language, "");
}

// ---------------------------------------------------------------------------
// Saving

TEST_F(ConfigTest, SavingTheDefaultsWritesTheExactFile) {
  ws_config c = load();
  ASSERT_EQ(ws_config_save(&c), 0);
  EXPECT_EQ(read_file(file()), kDefaultFile);
  EXPECT_MODE(file(), 0600);
  EXPECT_FALSE(exists(file() + ".tmp"));
}

TEST_F(ConfigTest, SavedStringsAreEscapedAsJsonAndFlagsReducedToOneOrZero) {
  ws_config c = load();
  set(c.region, "a\"b\\c");
  set(c.language, "t\tn\n\x01");
  set(c.searxng_base, "http://h/p");
  set(c.brave_key, "caf\xC3\xA9");
  c.tavily_advanced = 7;
  c.tavily_answer = -1;
  c.count = 12;
  ASSERT_EQ(ws_config_save(&c), 0);
  std::string text = read_file(file());
  EXPECT_NE(text.find("\n    \"count\": 12,\n"), std::string::npos);
  EXPECT_NE(text.find("\n    \"region\": \"a\\\"b\\\\c\",\n"), std::string::npos);
  EXPECT_NE(text.find("\n    \"language\": \"t\\tn\\n\\u0001\",\n"), std::string::npos);
  EXPECT_NE(text.find("\n    \"searxng_base\": \"http://h/p\",\n"), std::string::npos);
  EXPECT_NE(text.find("\n    \"brave_key\": \"caf\xC3\xA9\",\n"), std::string::npos);
  EXPECT_NE(text.find("\n    \"tavily_advanced\": 1,\n    \"tavily_answer\": 1,\n"),
            std::string::npos);
  // What was saved loads back as the same record (flags as 1).
  ws_config back = load();
  c.tavily_advanced = 1;
  c.tavily_answer = 1;
  EXPECT_EQ(memcmp(&back, &c, sizeof c), 0);
}

TEST_F(ConfigTest, ValuesFromTheEnvironmentAreSavedToo) {
  env_.set("WEBSEARCH_EXA_KEY", "from-env");
  ws_config c = load();
  ASSERT_EQ(ws_config_save(&c), 0);
  env_.unset("WEBSEARCH_EXA_KEY");
  EXPECT_STREQ(load().exa_key, "from-env");
}

// What an update's edit saw, and what it answers.
struct EditProbe {
  int calls = 0;
  ws_config seen{};
  int verdict = 0;
  static int run(ws_config *file, void *ctx) {
    auto *p = static_cast<EditProbe *>(ctx);
    p->calls++;
    p->seen = *file;
    ws_copy(file->region, sizeof file->region, "edited");
    return p->verdict;
  }
};

TEST_F(ConfigTest, UpdateEditsTheFileLayerAloneAndRefusesAFileItCannotRead) {
  env_.set("WEBSEARCH_EXA_KEY", "from-env-0123456789");
  env_.set("WEBSEARCH_MOCK_BASE", "http://127.0.0.1:1");
  char err[512];
  for (const char *start : {"", "{\"exa_key\":\"stored\",\"count\":50}"}) {
    SCOPED_TRACE(start);
    load_with_file(start);
    EditProbe probe;
    ws_config saved;
    ASSERT_EQ(ws_config_update(EditProbe::run, &probe, &saved, err, sizeof err), 0);
    ASSERT_EQ(probe.calls, 1);
    ws_config want;
    ws_config_defaults(&want);
    if (start[0]) {
      ws_copy(want.exa_key, sizeof want.exa_key, "stored");
      want.count = 20;
    }
    EXPECT_EQ(memcmp(&probe.seen, &want, sizeof want), 0) << "no environment value in the edit";
    EXPECT_STREQ(saved.region, "edited");
    const std::string text = read_file(file());
    EXPECT_EQ(text.find("from-env"), std::string::npos);
    EXPECT_EQ(text.find("127.0.0.1"), std::string::npos);
    EXPECT_NE(text.find("\"region\": \"edited\""), std::string::npos);
  }
  // A refusing edit writes nothing.
  const std::string before = read_file(file());
  EditProbe no;
  no.verdict = 400;
  EXPECT_EQ(ws_config_update(EditProbe::run, &no, nullptr, err, sizeof err), 400);
  EXPECT_EQ(read_file(file()), before);

  const struct {
    std::string text;
    const char *message;
  } bad[] = {
      {"{\"count\":3,}",
       "config.json could not be read: not valid JSON at byte 10: trailing comma is not allowed; "
       "fix or remove it"},
      {"[]", "config.json could not be read: its top level is not a JSON object; fix or remove it"},
      {"{\"a\":\"" + std::string(1048576, 'x') + "\"}",
       "config.json could not be read: larger than 1048576 bytes; fix or remove it"},
  };
  for (const auto &b : bad) {
    SCOPED_TRACE(b.message);
    load_with_file(b.text);
    EditProbe probe;
    EXPECT_EQ(ws_config_update(EditProbe::run, &probe, nullptr, err, sizeof err),
              WS_CONFIG_UNREADABLE);
    EXPECT_STREQ(err, b.message);
    EXPECT_EQ(probe.calls, 0);
    EXPECT_EQ(read_file(file()), b.text);
  }
}

TEST_F(ConfigTest, InvalidUtf8FailsTheSaveBeforeAnyFileIsTouched) {
  ws_config c = load();
  ASSERT_EQ(ws_config_save(&c), 0);
  std::string before = read_file(file());
  c.region[0] = '\xE9';
  c.region[1] = '\0';
  EXPECT_EQ(ws_config_save(&c), -1);
  EXPECT_EQ(read_file(file()), before);
  EXPECT_FALSE(exists(file() + ".tmp"));
  // Not even the lock file is created by a save that cannot serialise.
  ScratchDir other;
  env_.set("SWEBSEARCH_CONFIG_DIR", other.path());
  EXPECT_EQ(ws_config_save(&c), -1);
  EXPECT_TRUE(fs::is_empty(other.path()));
}

TEST_F(ConfigTest, UnterminatedFieldIsReadOnlyUpToItsCapacity) {
  ws_config c = load();
  memset(c.language, 'z', sizeof c.language);  // no terminator
  ASSERT_EQ(ws_config_save(&c), 0);
  EXPECT_NE(read_file(file()).find("\"language\": \"" + std::string(16, 'z') + "\","),
            std::string::npos);
}

TEST_F(ConfigTest, LeftOverTemporaryFileIsReplacedAndEndsOwnerOnly) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX mode bits and umask: Windows has neither";
#else
  ws_config c = load();
  ASSERT_EQ(ws_mkdir_p(dir_.c_str()), 0);
  ASSERT_TRUE(write_file(file() + ".tmp", std::string(5000, 'x')));
  ASSERT_EQ(chmod((file() + ".tmp").c_str(), 0666), 0);
  mode_t old = umask(0);
  int rc = ws_config_save(&c);
  umask(old);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(read_file(file()), kDefaultFile);
  EXPECT_MODE(file(), 0600);
  EXPECT_MODE(dir_ + "/.config.json.lock", 0600);
  EXPECT_FALSE(exists(file() + ".tmp"));
#endif
}

TEST_F(ConfigTest, LeftOverTemporaryLinkOrFifoIsReplacedNotFollowed) {
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links need a privilege on Windows, and it has no FIFOs";
#else
  ws_config c = load();
  ASSERT_EQ(ws_mkdir_p(dir_.c_str()), 0);
  const std::string outside = scratch_ / "outside";
  ASSERT_TRUE(write_file(outside, "precious"));
  ASSERT_EQ(symlink(outside.c_str(), (file() + ".tmp").c_str()), 0);
  ASSERT_EQ(ws_config_save(&c), 0);
  EXPECT_EQ(read_file(outside), "precious");
  EXPECT_EQ(read_file(file()), kDefaultFile);
  EXPECT_FALSE(exists(file() + ".tmp"));
  // A FIFO would block a writer that opened it; it is replaced instead.
  ASSERT_EQ(mkfifo((file() + ".tmp").c_str(), 0600), 0);
  ASSERT_EQ(ws_config_save(&c), 0);
  EXPECT_EQ(read_file(file()), kDefaultFile);
  EXPECT_FALSE(exists(file() + ".tmp"));
#endif
}

TEST_F(ConfigTest, AFifoInPlaceOfConfigJsonIsIgnoredWithoutBlocking) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no FIFOs";
#else
  ASSERT_EQ(ws_mkdir_p(dir_.c_str()), 0);
  ASSERT_EQ(mkfifo(file().c_str(), 0600), 0);
  ws_config c = load();  // would hang here if the loader waited for a writer
  EXPECT_STREQ(c.provider, "duckduckgo");
  EXPECT_EQ(c.count, 5);
#endif
}

TEST_F(ConfigTest, FailedReplacementRemovesTheTemporaryFile) {
  ws_config c = load();
  // config.json is a non-empty folder: the rename cannot replace it.
  ASSERT_EQ(ws_mkdir_p((file() + "/keep").c_str()), 0);
  EXPECT_EQ(ws_config_save(&c), -1);
  EXPECT_FALSE(exists(file() + ".tmp"));
  EXPECT_TRUE(fs::is_directory(file() + "/keep"));
}

TEST_F(ConfigTest, UncreatableTemporaryOrLockFileFailsAndKeepsTheOldFile) {
  ws_config c = load();
  ASSERT_EQ(ws_config_save(&c), 0);
  set(c.region, "new");
  for (const char *blocker : {"/config.json.tmp", "/.config.json.lock"}) {
    SCOPED_TRACE(blocker);
    std::string path = dir_ + blocker;
    fs::remove(path);
    ASSERT_EQ(ws_mkdir_p(path.c_str()), 0);
    EXPECT_EQ(ws_config_save(&c), -1);
    EXPECT_EQ(read_file(file()), kDefaultFile);
    fs::remove(path);
  }
  EXPECT_EQ(ws_config_save(&c), 0);
  EXPECT_STREQ(load().region, "new");
}

TEST_F(ConfigTest, ShortWriteFailsRemovesTheTemporaryFileAndKeepsTheOldOne) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no file-size limit (setrlimit) to make a write fail part-way";
#else
  ws_config c = load();
  ASSERT_EQ(ws_config_save(&c), 0);
  set(c.brave_key, std::string(200, 'k').c_str());
  // A file-size limit below the text makes write fail part-way (EFBIG).
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit rl = {100, 100};
    setrlimit(RLIMIT_FSIZE, &rl);
    _exit(ws_config_save(&c) == -1 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(read_file(file()), kDefaultFile);
  EXPECT_FALSE(exists(file() + ".tmp"));
#endif
}

TEST_F(ConfigTest, SaveFailsWhenTheFolderCannotBeCreated) {
  ASSERT_TRUE(write_file(scratch_ / "plain", "x"));
  env_.set("SWEBSEARCH_CONFIG_DIR", scratch_ / "plain/sub");
  ws_config c = load();
  EXPECT_STREQ(c.provider, "duckduckgo");
  env_.set("WEBSEARCH_COUNT", "8");
  EXPECT_EQ(load().count, 8);  // the environment layer still runs
  EXPECT_EQ(ws_config_save(&c), -1);
  char buf[1024] = "junk";
  EXPECT_EQ(ws_config_dir(buf, sizeof buf), -1);
  EXPECT_STREQ(buf, "");
  char path[1200] = "junk";
  EXPECT_EQ(ws_config_path(path, sizeof path), -1);
  EXPECT_STREQ(path, "");
}

// ---------------------------------------------------------------------------
// Folder rules

class FolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(scratch_.ok());
    for (const char *n : ws_test::kConfigVars) env_.unset(n);
  }
  std::string dir_at(const std::string &workspace, int *rc) {
    char buf[1024];
    memset(buf, 'j', sizeof buf);
    *rc = ws_config_dir_at(workspace.c_str(), buf, sizeof buf);
    return buf;
  }
  ScratchDir scratch_;
  EnvScope env_;
};

TEST_F(FolderTest, Rule1OverrideIsUsedUnchangedAndCreated) {
  std::string want = scratch_ / "a/b/c";
  env_.set("SWEBSEARCH_CONFIG_DIR", want);
  env_.set("XDG_CONFIG_HOME", scratch_ / "xdg");
  int rc = 0;
  EXPECT_EQ(dir_at(scratch_.path(), &rc), want);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(fs::is_directory(want));
  EXPECT_FALSE(exists(scratch_ / ".torvale"));
  EXPECT_FALSE(exists(scratch_ / "xdg"));
  char path[1200];
  ASSERT_EQ(ws_config_path(path, sizeof path), 0);
  EXPECT_EQ(std::string(path), want + "/config.json");
  char small[20];
  EXPECT_EQ(ws_config_path(small, sizeof small), -1);
  EXPECT_STREQ(small, "");
}

TEST_F(FolderTest, Rule1FailureIsFinalAndTheUnprefixedNameIsIgnored) {
  ASSERT_TRUE(write_file(scratch_ / "file", "x"));
  env_.set("SWEBSEARCH_CONFIG_DIR", scratch_ / "file/sub");
  env_.set("HOME", scratch_ / "home");
  int rc = 0;
  EXPECT_EQ(dir_at(scratch_.path(), &rc), "");
  EXPECT_EQ(rc, -1);
  EXPECT_FALSE(exists(scratch_ / ".torvale"));
  EXPECT_FALSE(exists(scratch_ / "home"));

  env_.unset("SWEBSEARCH_CONFIG_DIR");
  env_.set("WEBSEARCH_CONFIG_DIR", scratch_ / "unprefixed");
#ifdef _WIN32
  env_.set("LOCALAPPDATA", scratch_ / "local");
  EXPECT_EQ(dir_at(scratch_ / "missing", &rc),
            scratch_ / "local\\torvale\\connectors\\plugin_websearch");
#else
  EXPECT_EQ(dir_at(scratch_ / "missing", &rc),
            scratch_ / "home/.torvale/connectors/plugin_websearch");
#endif
  EXPECT_EQ(rc, 0);
  EXPECT_FALSE(exists(scratch_ / "unprefixed"));
}

TEST_F(FolderTest, Rule1PathThatDoesNotFitIsRefusedNotCut) {
  std::string longest = path_of_length(scratch_ / "a", 1023, 'd');
  ASSERT_EQ(longest.size(), 1023u);
  env_.set("SWEBSEARCH_CONFIG_DIR", longest);
  int rc = 0;
  EXPECT_EQ(dir_at("/nonexistent", &rc), longest);
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(fs::is_directory(longest));
  std::string over = path_of_length(scratch_ / "b", 1024, 'e');
  ASSERT_EQ(over.size(), 1024u);
  env_.set("SWEBSEARCH_CONFIG_DIR", over);
  EXPECT_EQ(dir_at("/nonexistent", &rc), "");
  EXPECT_EQ(rc, -1);
  EXPECT_FALSE(exists(scratch_ / "b"));  // nothing is made from a cut path
  // A destination too small for the folder refuses too.
  env_.set("SWEBSEARCH_CONFIG_DIR", scratch_ / "x");
  char tiny[8] = "junk";
  EXPECT_EQ(ws_config_dir_at("/nonexistent", tiny, sizeof tiny), -1);
  EXPECT_STREQ(tiny, "");
  EXPECT_EQ(ws_config_dir_at("/nonexistent", nullptr, 10), -1);
  EXPECT_EQ(ws_config_dir_at("/nonexistent", tiny, 0), -1);
}

TEST_F(FolderTest, Rule2WorkspaceFolderWithItsParents) {
  env_.set("XDG_CONFIG_HOME", scratch_ / "xdg");
  int rc = 0;
  std::string want = scratch_ / ".torvale/connectors/plugin_websearch";
  EXPECT_EQ(dir_at(scratch_.path(), &rc), want);
  EXPECT_EQ(rc, 0);
  EXPECT_MODE(want, 0700);
  EXPECT_MODE(scratch_ / ".torvale", 0700);
  EXPECT_FALSE(exists(scratch_ / "xdg"));
}

TEST_F(FolderTest, Rule2FailureFallsThroughAndAWorkspaceFileIsNoWorkspace) {
  std::string ws = scratch_ / "ws";
  ASSERT_EQ(ws_mkdir_p(ws.c_str()), 0);
  ASSERT_TRUE(write_file(ws + "/.torvale", "not a folder"));
#ifdef _WIN32
  env_.set("LOCALAPPDATA", scratch_ / "xdg");
  const std::string fallback = scratch_ / "xdg\\torvale\\connectors\\plugin_websearch";
#else
  env_.set("XDG_CONFIG_HOME", scratch_ / "xdg");
  const std::string fallback = scratch_ / "xdg/torvale/connectors/plugin_websearch";
#endif
  int rc = 0;
  EXPECT_EQ(dir_at(ws, &rc), fallback);
  EXPECT_EQ(rc, 0);
  ASSERT_TRUE(write_file(scratch_ / "wsfile", "x"));
  EXPECT_EQ(dir_at(scratch_ / "wsfile", &rc), fallback);
}

TEST_F(FolderTest, Rules3And4FollowXdgThenHomeThenTheWorkingDirectory) {
#ifdef _WIN32
  GTEST_SKIP() << "the POSIX folder rules (XDG_CONFIG_HOME, HOME); the Windows ones are tested by "
                  "ws_config_dir_win32_test";
#endif
  int rc = 0;
  const std::string missing = scratch_ / "no-workspace";
  env_.set("XDG_CONFIG_HOME", scratch_ / "xdg");
  env_.set("HOME", scratch_ / "home");
  EXPECT_EQ(dir_at(missing, &rc), scratch_ / "xdg/torvale/connectors/plugin_websearch");
  env_.set("XDG_CONFIG_HOME", "");
  EXPECT_EQ(dir_at(missing, &rc), scratch_ / "home/.torvale/connectors/plugin_websearch");
  EXPECT_TRUE(fs::is_directory(scratch_ / "home/.torvale/connectors/plugin_websearch"));

  ASSERT_TRUE(env_.chdir_to(scratch_.path()));
  for (bool empty : {false, true}) {
    SCOPED_TRACE(empty ? "HOME empty" : "HOME unset");
    fs::remove_all(scratch_ / ".torvale");
    if (empty) {
      env_.set("HOME", "");
    } else {
      env_.unset("HOME");
    }
    EXPECT_EQ(dir_at(missing, &rc), "./.torvale/connectors/plugin_websearch");
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(fs::is_directory(scratch_ / ".torvale/connectors/plugin_websearch"));
  }
  // Rule 3 that cannot be created is final (no fall-back to HOME).
  ASSERT_TRUE(write_file(scratch_ / "xdgfile", "x"));
  env_.set("XDG_CONFIG_HOME", scratch_ / "xdgfile");
  env_.set("HOME", scratch_ / "home2");
  EXPECT_EQ(dir_at(missing, &rc), "");
  EXPECT_EQ(rc, -1);
  EXPECT_FALSE(exists(scratch_ / "home2"));
}

TEST_F(FolderTest, MkdirPCreatesParentsAndJudgesTheWholePath) {
  EXPECT_EQ(ws_mkdir_p(""), -1);
  EXPECT_EQ(ws_mkdir_p(nullptr), -1);
  EXPECT_EQ(ws_mkdir_p((scratch_ / "p/q/r/").c_str()), 0);
  EXPECT_TRUE(fs::is_directory(scratch_ / "p/q/r"));
  EXPECT_EQ(ws_mkdir_p((scratch_ / "p/q").c_str()), 0);  // existing is fine
  EXPECT_EQ(ws_mkdir_p("/"), 0);
  ASSERT_TRUE(write_file(scratch_ / "f", "x"));
  EXPECT_EQ(ws_mkdir_p((scratch_ / "f").c_str()), -1);
  EXPECT_EQ(ws_mkdir_p((scratch_ / "f/g").c_str()), -1);
#ifndef _WIN32
  // On POSIX a backslash is part of a name, not a separator (on Windows it
  // is one, tested by ws_config_dir_win32_test).
  EXPECT_EQ(ws_mkdir_p((scratch_ / "a\\b").c_str()), 0);
  EXPECT_TRUE(fs::is_directory(scratch_ / "a\\b"));
  EXPECT_FALSE(exists(scratch_ / "a"));
#endif
  ASSERT_TRUE(env_.chdir_to(scratch_.path()));
  EXPECT_EQ(ws_mkdir_p("rel/dir"), 0);
  EXPECT_TRUE(fs::is_directory(scratch_ / "rel/dir"));
  std::string too_long = path_of_length(scratch_ / "long", 1024, 'l');
  EXPECT_EQ(ws_mkdir_p(too_long.c_str()), -1);
  EXPECT_FALSE(exists(scratch_ / "long"));
}

}  // namespace

// ---------------------------------------------------------------------------
// The stamp a running server compares before each tools/call

TEST_F(ConfigTest, StampTellsEveryKindOfChangeAndNothingElse) {
  ws_config_stamp missing1, missing2, saved, again, edited, replaced;
  ws_config_stamp_now(&missing1);
  ws_config_stamp_now(&missing2);
  EXPECT_EQ(missing1.present, 0);
  EXPECT_EQ(ws_config_stamp_equal(&missing1, &missing2), 1);

  ASSERT_EQ(ws_mkdir_p(dir_.c_str()), 0);
  ASSERT_TRUE(write_file(file(), "{\"count\":3}"));
  ws_config_stamp_now(&saved);
  EXPECT_EQ(saved.present, 1);
  EXPECT_EQ(ws_config_stamp_equal(&missing1, &saved), 0) << "a file appeared";
  ws_config_stamp_now(&again);
  EXPECT_EQ(ws_config_stamp_equal(&saved, &again), 1) << "nothing changed";

  ASSERT_TRUE(write_file(file(), "{\"count\":13}"));  // in place: same inode, new size
  ws_config_stamp_now(&edited);
  EXPECT_EQ(edited.ino, saved.ino);
  EXPECT_EQ(ws_config_stamp_equal(&saved, &edited), 0);

  // The page's save: the same bytes through a new file renamed over the old.
  ws_config c = load();
  ASSERT_EQ(ws_config_save(&c), 0);
  ws_config_stamp_now(&replaced);
  EXPECT_NE(replaced.ino, edited.ino);
  EXPECT_EQ(ws_config_stamp_equal(&edited, &replaced), 0);

  ASSERT_EQ(unlink(file().c_str()), 0);
  ws_config_stamp_now(&again);
  EXPECT_EQ(ws_config_stamp_equal(&replaced, &again), 0) << "the file went away";
  EXPECT_EQ(ws_config_stamp_equal(&missing1, &again), 1);
  EXPECT_EQ(ws_config_stamp_equal(nullptr, &again), 0);
}
