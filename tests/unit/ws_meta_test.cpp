// The version, tool schema, help text and discovery record.
#include "plugin/ws_meta.h"

#include <gtest/gtest.h>
#include <yyjson.h>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct doc_free {
  void operator()(yyjson_doc *d) const { yyjson_doc_free(d); }
};
using doc_ptr = std::unique_ptr<yyjson_doc, doc_free>;

std::vector<std::string> keys_of(yyjson_val *obj) {
  std::vector<std::string> keys;
  yyjson_obj_iter it = yyjson_obj_iter_with(obj);
  for (yyjson_val *k = yyjson_obj_iter_next(&it); k != nullptr; k = yyjson_obj_iter_next(&it)) {
    keys.emplace_back(yyjson_get_str(k));
  }
  return keys;
}

std::vector<std::string> strings_of(yyjson_val *arr) {
  std::vector<std::string> out;
  size_t i, n;
  yyjson_val *v;
  yyjson_arr_foreach(arr, i, n, v) out.emplace_back(yyjson_get_str(v));
  return out;
}

std::string str_at(yyjson_val *obj, const char *key) {
  const char *s = yyjson_get_str(yyjson_obj_get(obj, key));
  return s != nullptr ? s : "<missing>";
}

// Runs fn with standard output going into a pipe and returns what reached
// the pipe. With flush false only what fn flushed itself arrives.
template <typename Fn>
std::string capture_stdout(Fn fn, bool flush) {
  fflush(stdout);
  int fds[2];
#ifdef _WIN32
  // Binary, as the program's own standard output is: no "\r" is added.
  if (_pipe(fds, 1 << 16, _O_BINARY) != 0) return "<pipe failed>";
#else
  if (pipe(fds) != 0) return "<pipe failed>";
#endif
  const int saved = dup(1);
  dup2(fds[1], 1);
  close(fds[1]);
  fn();
  if (flush) fflush(stdout);
  dup2(saved, 1);  // closes the last write end of the pipe
  close(saved);
  std::string got;
  char buf[4096];
  int r;
  while ((r = static_cast<int>(read(fds[0], buf, sizeof buf))) > 0) {
    got.append(buf, static_cast<size_t>(r));
  }
  close(fds[0]);
  return got;
}

TEST(WsMeta, Version) {
  EXPECT_STREQ(WS_VERSION, "1.0.3");
}

TEST(WsMeta, ToolSchemaIsCompactJsonInTheFixedOrder) {
  doc_ptr doc(yyjson_read(WS_TOOL_SCHEMA, strlen(WS_TOOL_SCHEMA), 0));
  ASSERT_NE(doc, nullptr);
  yyjson_val *root = yyjson_doc_get_root(doc.get());
  ASSERT_TRUE(yyjson_is_arr(root));
  ASSERT_EQ(yyjson_arr_size(root), 2u);

  // Re-serialised compactly, the text must come back byte for byte: no
  // stray white space, no escapes written differently.
  char *again = yyjson_write(doc.get(), 0, nullptr);
  ASSERT_NE(again, nullptr);
  EXPECT_STREQ(again, WS_TOOL_SCHEMA);
  free(again);

  yyjson_val *search = yyjson_arr_get(root, 0);
  EXPECT_EQ(keys_of(search), (std::vector<std::string>{"name", "description", "inputSchema"}));
  EXPECT_EQ(str_at(search, "name"), "web_search");
  EXPECT_EQ(str_at(search, "description").rfind("Search the web and return ranked results", 0), 0u);
  yyjson_val *in = yyjson_obj_get(search, "inputSchema");
  EXPECT_EQ(keys_of(in), (std::vector<std::string>{"type", "properties", "required"}));
  EXPECT_EQ(str_at(in, "type"), "object");
  EXPECT_EQ(strings_of(yyjson_obj_get(in, "required")), (std::vector<std::string>{"query"}));
  yyjson_val *props = yyjson_obj_get(in, "properties");
  EXPECT_EQ(keys_of(props), (std::vector<std::string>{"query", "provider", "count", "country",
                                                      "language", "freshness"}));
  yyjson_val *provider = yyjson_obj_get(props, "provider");
  EXPECT_EQ(keys_of(provider), (std::vector<std::string>{"type", "enum", "description"}));
  EXPECT_EQ(
      strings_of(yyjson_obj_get(provider, "enum")),
      (std::vector<std::string>{"duckduckgo", "searxng", "brave", "tavily", "exa", "perplexity"}));
  yyjson_val *count = yyjson_obj_get(props, "count");
  EXPECT_EQ(keys_of(count),
            (std::vector<std::string>{"type", "minimum", "maximum", "description"}));
  EXPECT_EQ(str_at(count, "type"), "integer");
  EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(count, "minimum")), 1);
  EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(count, "maximum")), 20);
  EXPECT_EQ(strings_of(yyjson_obj_get(yyjson_obj_get(props, "freshness"), "enum")),
            (std::vector<std::string>{"day", "week", "month", "year"}));

  yyjson_val *providers = yyjson_arr_get(root, 1);
  EXPECT_EQ(keys_of(providers), (std::vector<std::string>{"name", "description", "inputSchema"}));
  EXPECT_EQ(str_at(providers, "name"), "web_search_providers");
  char *empty_schema = yyjson_val_write(yyjson_obj_get(providers, "inputSchema"), 0, nullptr);
  ASSERT_NE(empty_schema, nullptr);
  EXPECT_STREQ(empty_schema, "{\"type\":\"object\",\"properties\":{}}");
  free(empty_schema);
}

TEST(WsMeta, HelpTextHasEighteenNewlineEndedLines) {
  const std::string help = WS_HELP_TEXT;
  ASSERT_FALSE(help.empty());
  EXPECT_EQ(help.back(), '\n');
  EXPECT_EQ(help.find('\r'), std::string::npos);
  size_t lines = 0;
  for (char c : help) lines += c == '\n';
  EXPECT_EQ(lines, 18u);
  EXPECT_EQ(help.substr(0, help.find('\n')),
            "plugin_websearch 1.0.3 - TORVALE BOT multi-provider web search");
  EXPECT_NE(help.find("\n             WEBSEARCH_MOCK_BASE (tests) SWEBSEARCH_CONFIG_DIR\n"),
            std::string::npos);
}

TEST(WsMeta, DiscoveryRecordIsFlushedAtOnce) {
  int rc = -1;
  const std::string got = capture_stdout([&] { rc = mode_meta(); }, false);
  EXPECT_EQ(rc, 0);
  EXPECT_EQ(got,
            "{\"name\":\"websearch\",\"desc\":\"Web search MCP\",\"kind\":\"mcp\",\"mcp\":true,"
            "\"daemon\":false,\"menus\":false,\"verified\":\"mock\",\"category\":\"network\","
            "\"version\":\"1.0.3\"}\n");
}

TEST(WsMeta, PrintHelpWritesTheWholeText) {
  const std::string got = capture_stdout([] { print_help(); }, true);
  EXPECT_EQ(got, WS_HELP_TEXT);
}

}  // namespace
