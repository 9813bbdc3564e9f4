// The built binary as the host starts it: switches, environment triggers,
// their precedence and the exact bytes of the self-description.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/program_run.h"
#include "support/ws_env_scope.h"

namespace fs = std::filesystem;

namespace {

#ifdef _WIN32
using ws_test::mkdtemp;
#endif

// Written out here on purpose, not taken from the program's constants, so a
// changed byte in the program shows up as a failure.
const std::string kHelp =
    "plugin_websearch 1.0.3 - TORVALE BOT multi-provider web search\n"
    "\n"
    "  plugin_websearch --meta        discovery JSON (unauthenticated)\n"
    "  plugin_websearch --mcp         MCP JSON-RPC 2.0 over stdio\n"
    "  plugin_websearch --schema      the tools/list array\n"
    "  plugin_websearch --selftest    resolve the configuration and exit\n"
    "\n"
    "Tools: web_search (query, provider, count, country, language,\n"
    "                   freshness)\n"
    "       web_search_providers\n"
    "\n"
    "CGI: GET (page), ?action=providers|search|config|save|info,\n"
    "     ?format=json, POST {\"action\":...}\n"
    "\n"
    "Environment: BRAVE_API_KEY TAVILY_API_KEY EXA_API_KEY\n"
    "             PERPLEXITY_API_KEY SEARXNG_URL WEBSEARCH_PROVIDER\n"
    "             WEBSEARCH_SEARXNG_BASE WEBSEARCH_{PROVIDER}_BASE\n"
    "             WEBSEARCH_MOCK_BASE (tests) SWEBSEARCH_CONFIG_DIR\n";

const std::string kVersion = "1.0.3\n";

const std::string kMeta =
    "{\"name\":\"websearch\",\"desc\":\"Web search MCP\",\"kind\":\"mcp\",\"mcp\":true,"
    "\"daemon\":false,\"menus\":false,\"verified\":\"mock\",\"category\":\"network\","
    "\"version\":\"1.0.3\"}\n";

const std::string kSchema =
    "{\"tools\":[{\"name\":\"web_search\",\"description\":\"Search the web and return ranked "
    "results (title, url, snippet, published date, site). The provider is chosen by the user's "
    "configuration unless one is named: duckduckgo needs no key, searxng needs a self-hosted base "
    "URL, and brave/tavily/exa/perplexity need an API key saved on the plugin page or in the "
    "environment. Use this for anything current (news, releases, prices, documentation that may "
    "have moved); for reading one specific page in full use a URL-fetch tool instead.\","
    "\"inputSchema\":{\"type\":\"object\",\"properties\":{"
    "\"query\":{\"type\":\"string\",\"description\":\"The search query.\"},"
    "\"provider\":{\"type\":\"string\",\"enum\":[\"duckduckgo\",\"searxng\",\"brave\",\"tavily\","
    "\"exa\",\"perplexity\"],\"description\":\"Which backend to use. Omit to use the configured "
    "default.\"},"
    "\"count\":{\"type\":\"integer\",\"minimum\":1,\"maximum\":20,\"description\":\"How many "
    "results to return (default 5).\"},"
    "\"country\":{\"type\":\"string\",\"description\":\"Two-letter country code for "
    "region-specific results (Brave only), e.g. NZ, US, ALL.\"},"
    "\"language\":{\"type\":\"string\",\"description\":\"ISO 639-1 language code, e.g. en, de, "
    "fr.\"},"
    "\"freshness\":{\"type\":\"string\",\"enum\":[\"day\",\"week\",\"month\",\"year\"],"
    "\"description\":\"Only results from this recent window (Brave only).\"}},"
    "\"required\":[\"query\"]}},"
    "{\"name\":\"web_search_providers\",\"description\":\"List the web-search backends this node "
    "can use: which are configured, which are missing a key or base URL, and which one is the "
    "default. Never returns a key, only whether one is present.\","
    "\"inputSchema\":{\"type\":\"object\",\"properties\":{}}}]}\n";

const std::string kPing = "{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"ping\"}\n";
const std::string kPong = "{\"jsonrpc\":\"2.0\",\"id\":7,\"result\":{}}\n";

const std::string kJsonHeader =
    "Content-Type: application/json; charset=utf-8\r\nCache-Control: no-store\r\n"
    "X-Content-Type-Options: nosniff\r\n\r\n";
const std::string kInfo =
    kJsonHeader +
    "{\"ok\":true,\"id\":\"plugin_websearch\",\"version\":\"1.0.3\",\"kind\":\"mcp\","
    "\"providers\":[\"duckduckgo\",\"searxng\",\"brave\",\"tavily\",\"exa\",\"perplexity\"],"
    "\"active\":\"duckduckgo\"}\n";
const std::string kUnauthorized =
    "Status: 401 Unauthorized\r\nContent-Type: application/json; charset=utf-8\r\n"
    "Cache-Control: no-store\r\nX-Content-Type-Options: nosniff\r\n\r\n"
    "{\"ok\":false,\"error\":\"invalid node password\"}\n";
const std::string kPageStart = "Content-Type: text/html; charset=utf-8\r\n";

using env_map = std::map<std::string, std::string>;

using run_result = ws_test::program_result;

// Sanitizer settings pass through so that the ASan build reports alike.
const char *const kPassThrough[] = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"};

class EntryTest : public testing::Test {
 protected:
#ifndef _WIN32
  static void SetUpTestSuite() {
    signal(SIGPIPE, SIG_IGN);
  }
#endif

  void SetUp() override {
    const char *bin = getenv("WS_BINARY");
    ASSERT_NE(bin, nullptr) << "WS_BINARY must name the built executable";
    binary_ = bin;
#ifdef _WIN32
    std::string pattern = fs::temp_directory_path().string() + "/ws-entry-XXXXXX";
#else
    const char *tmp = getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/ws-entry-XXXXXX";
#endif
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
    config_dir_ = dir_ + "/config";
  }

  void TearDown() override {
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }

  // Runs the binary with a clean environment: only PATH, the configuration
  // folder inside this test's temporary directory, and extra. HOME and
  // XDG_CONFIG_HOME are never passed, so nothing can reach the real home.
  run_result run(const std::vector<std::string> &args, const env_map &extra = {},
                 const std::string &input = "") {
#ifdef _WIN32
    // Winsock needs the system folder's variable to start.
    env_map env = {{"SystemRoot", getenv("SystemRoot") ? getenv("SystemRoot") : "C:\\windows"},
                   { "SWEBSEARCH_CONFIG_DIR",
                     config_dir_ }};
#else
    env_map env = {{"PATH", "/usr/bin:/bin"}, {"SWEBSEARCH_CONFIG_DIR", config_dir_}};
#endif
    for (const char *name : kPassThrough) {
      const char *v = getenv(name);
      if (v != nullptr) env[name] = v;
    }
    for (const auto &kv : extra) env[kv.first] = kv.second;
    return spawn(args, env, input);
  }

  run_result spawn(const std::vector<std::string> &args, const env_map &env,
                   const std::string &input) {
    run_result r;
    std::string why;
    if (!ws_test::run_program(binary_, args, env, input, 30000, &r, &why)) ADD_FAILURE() << why;
    return r;
  }

  // Runs and expects a clean exit with status 0 and nothing on stderr.
  std::string run_ok(const std::vector<std::string> &args, const env_map &extra = {},
                     const std::string &input = "") {
    const run_result r = run(args, extra, input);
    EXPECT_FALSE(r.timed_out);
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    return r.out;
  }

  void write_config(const std::string &json) {
    fs::create_directories(config_dir_);
    std::ofstream(config_dir_ + "/config.json", std::ios::binary) << json;
  }

  std::string binary_;
  std::string dir_;
  std::string config_dir_;
};

TEST_F(EntryTest, SwitchesPrintTheirExactBytes) {
  const struct {
    std::vector<std::string> args;
    const std::string *want;
  } cases[] = {
      {{"--help"}, &kHelp}, {{"-h"}, &kHelp},         {{"--version"}, &kVersion},
      {{"--meta"}, &kMeta}, {{"--schema"}, &kSchema},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.args[0]);
    EXPECT_EQ(run_ok(c.args), *c.want);
  }
}

TEST_F(EntryTest, PrecedenceOfSwitchesAndEnvironment) {
  const struct {
    const char *what;
    std::vector<std::string> args;
    env_map env;
    const std::string *want;
  } cases[] = {
      {"first switch wins", {"foo", "--version", "--meta"}, {}, &kVersion},
      {"version before help", {"--version", "--help"}, {}, &kVersion},
      {"help before version", {"--help", "--version"}, {}, &kHelp},
      {"schema before meta", {"--schema", "--meta"}, {}, &kSchema},
      {"case variants are no switches",
       {"--META", "--Help", "-H", "--VERSION", "--help"},
       {},
       &kHelp},
      {"prefixes and extensions are no switches",
       {"-hx", "--versions", "--met", "-", "--", "--version"},
       {},
       &kVersion},
      {"switch beats every trigger",
       {"--version"},
       {{"TQ_PLUGIN_META", "1"},
        {"PLUGIN_HELP", "1"},
        {"TQ_PLUGIN_MCP", ""},
        {"QUERY_STRING", "action=info"}},
       &kVersion},
      {"meta trigger", {}, {{"TQ_PLUGIN_META", "1"}}, &kMeta},
      {"meta trigger with empty query",
       {},
       {{"TQ_PLUGIN_META", "yes"}, {"QUERY_STRING", ""}},
       &kMeta},
      {"meta beats MCP", {}, {{"TQ_PLUGIN_META", "1"}, {"TQ_PLUGIN_MCP", ""}}, &kMeta},
      {"meta beats help", {}, {{"TQ_PLUGIN_META", "1"}, {"PLUGIN_HELP", "1"}}, &kMeta},
      {"help when meta yields to a query",
       {},
       {{"TQ_PLUGIN_META", "1"}, {"QUERY_STRING", "action=info"}, {"PLUGIN_HELP", "1"}},
       &kHelp},
      {"help trigger", {}, {{"PLUGIN_HELP", "1"}}, &kHelp},
      {"help beats MCP", {}, {{"PLUGIN_HELP", "1"}, {"TQ_PLUGIN_MCP", "1"}}, &kHelp},
      {"empty meta counts as absent", {}, {{"TQ_PLUGIN_META", ""}, {"PLUGIN_HELP", "1"}}, &kHelp},
      {"unknown arguments leave the environment in charge",
       {"serve", "-x", "--verbose"},
       {{"PLUGIN_HELP", "1"}},
       &kHelp},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(run_ok(c.args, c.env), *c.want);
  }
}

TEST_F(EntryTest, McpServerStartsBySwitchOrByPresenceOfItsVariable) {
  const struct {
    const char *what;
    std::vector<std::string> args;
    env_map env;
  } cases[] = {
      {"switch", {"--mcp"}, {}},
      {"switch after unknown arguments", {"x", "--mcp", "--help"}, {{"PLUGIN_HELP", "1"}}},
      {"variable set but empty", {}, {{"TQ_PLUGIN_MCP", ""}}},
      {"variable with empty help and meta",
       {},
       {{"TQ_PLUGIN_MCP", "1"}, {"PLUGIN_HELP", ""}, {"TQ_PLUGIN_META", ""}}},
      {"variable beats the CGI query",
       {},
       {{"TQ_PLUGIN_MCP", "1"}, {"QUERY_STRING", "action=info"}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(run_ok(c.args, c.env, kPing), kPong);
    EXPECT_EQ(run_ok(c.args, c.env, ""), "") << "end of input ends the server quietly";
  }
}

TEST_F(EntryTest, PlainStartServesOneCgiRequest) {
  const std::string page = run_ok({});
  EXPECT_EQ(page.rfind(kPageStart, 0), 0u) << page.substr(0, 200);
  const std::string page2 = run_ok({"--unknown", "-v"}, {{"REQUEST_METHOD", "GET"}});
  EXPECT_EQ(page2.rfind(kPageStart, 0), 0u) << page2.substr(0, 200);

  EXPECT_EQ(run_ok({}, {{"BOT_PASSWORD", "s3cret"}}), kUnauthorized);
  EXPECT_EQ(run_ok({}, {{"TQ_PLUGIN_META", "1"}, {"QUERY_STRING", "action=info"}}), kInfo)
      << "a discovery-flagged process given a query serves the request";
  EXPECT_EQ(run_ok({}, {{"QUERY_STRING", "action=info"}, {"PLUGIN_HELP", ""}}), kInfo);
}

TEST_F(EntryTest, SelftestSummarisesTheResolvedSettings) {
  EXPECT_EQ(run_ok({"--selftest"}), "provider=duckduckgo count=5 searxng=(unset) brave_key=0\n");
  EXPECT_EQ(run_ok({"--selftest"}, {{"WEBSEARCH_PROVIDER", "Brave"},
                                    {"WEBSEARCH_COUNT", "50"},
                                    {"SEARXNG_URL", "http://127.0.0.1:8888/sx"},
                                    {"BRAVE_API_KEY", "k-secret"}}),
            "provider=Brave count=20 searxng=http://127.0.0.1:8888/sx brave_key=1\n");
  EXPECT_EQ(run_ok({"--selftest"}, {{"WEBSEARCH_PROVIDER", "bing"}, {"WEBSEARCH_COUNT", "0"}}),
            "provider=duckduckgo count=1 searxng=(unset) brave_key=0\n");
  EXPECT_EQ(run_ok({"x", "--selftest", "--meta"}, {{"TQ_PLUGIN_META", "1"}}),
            "provider=duckduckgo count=5 searxng=(unset) brave_key=0\n");
}

TEST_F(EntryTest, SelftestReadsTheConfigurationFile) {
  write_config(
      "{\"provider\":\"exa\",\"count\":3,\"searxng_base\":\"http://127.0.0.1:9/s\","
      "\"brave_key\":\"file-key\"}");
  const std::string out = run_ok({"--selftest"});
  EXPECT_EQ(out, "provider=exa count=3 searxng=http://127.0.0.1:9/s brave_key=1\n");
  EXPECT_EQ(out.find("file-key"), std::string::npos) << "a key is never printed";
  EXPECT_EQ(run_ok({"--selftest"}, {{"BRAVE_API_KEY", ""}, {"WEBSEARCH_COUNT", "7abc"}}),
            "provider=exa count=7 searxng=http://127.0.0.1:9/s brave_key=0\n");
}

TEST_F(EntryTest, ModesThatNeedNoSettingsNeverLoadThem) {
  // Loading the settings creates their folder, so its absence afterwards
  // shows that the configuration was never read.
  const struct {
    const char *what;
    std::vector<std::string> args;
    env_map env;
  } cases[] = {
      {"--meta", {"--meta"}, {}},
      {"--help", {"--help"}, {}},
      {"-h", {"-h"}, {}},
      {"--version", {"--version"}, {}},
      {"--schema", {"--schema"}, {}},
      {"meta trigger", {}, {{"TQ_PLUGIN_META", "1"}}},
      {"help trigger", {}, {{"PLUGIN_HELP", "1"}}},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    run_ok(c.args, c.env);
    EXPECT_FALSE(fs::exists(config_dir_));
  }
  run_ok({"--selftest"});
  EXPECT_TRUE(fs::is_directory(config_dir_)) << "the check above could not have failed";
}

}  // namespace
