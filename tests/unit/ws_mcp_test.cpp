// One JSON-RPC line in, one reply line out: every method, every error, the
// id echo and the web_search argument rules, with searches served by a small
// loopback HTTP server started by the tests.
#include "plugin/ws_mcp.h"

#include <gtest/gtest.h>

#include <yyjson.h>
#include <ostream>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "plugin/ws_meta.h"
#include "plugin/ws_render.h"
#include "support/test_sockets.h"

namespace {

// Answers every connection with one fixed HTTP response and records the
// request lines. Serves until destroyed.
class loopback_server {
 public:
  explicit loopback_server(std::string response) : response_(std::move(response)) {
    int port = 0;
    fd_ = ws_test::sock_bind_loopback(&port);
    if (fd_ == TQ_NO_SOCKET || !ws_test::sock_listen(fd_, 16)) {
      ADD_FAILURE() << "cannot listen on loopback";
      return;
    }
    port_ = port;
    thread_ = std::thread([this] { serve(); });
  }
  ~loopback_server() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    tq_plat_close(fd_);
  }
  loopback_server(const loopback_server &) = delete;
  loopback_server &operator=(const loopback_server &) = delete;

  std::string base() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> request_lines() {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }

 private:
  void serve() {
    while (!stop_) {
      if (!ready(fd_, ws_test::SOCK_IN, 50)) continue;
      const tq_socket c = ws_test::sock_accept(fd_);
      if (c == TQ_NO_SOCKET) continue;
      std::string head;
      char buf[4096];
      while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
        if (!ready(c, ws_test::SOCK_IN, 5000)) break;
        const ptrdiff_t got = tq_plat_recv(c, buf, sizeof buf);
        if (got <= 0) break;
        head.append(buf, static_cast<size_t>(got));
      }
      // A POST body left unread would make close() answer with a reset,
      // which may destroy the response before the client has read it.
      const size_t head_end = head.find("\r\n\r\n");
      const size_t cl = head.find("Content-Length: ");
      if (head_end != std::string::npos && cl != std::string::npos && cl < head_end) {
        const size_t want = head_end + 4 + strtoul(head.c_str() + cl + 16, nullptr, 10);
        while (head.size() < want && head.size() < 65536) {
          if (!ready(c, ws_test::SOCK_IN, 5000)) break;
          const ptrdiff_t got = tq_plat_recv(c, buf, sizeof buf);
          if (got <= 0) break;
          head.append(buf, static_cast<size_t>(got));
        }
      }
      {
        std::lock_guard<std::mutex> lock(mu_);
        lines_.push_back(head.substr(0, head.find("\r\n")));
      }
      size_t off = 0;
      while (off < response_.size()) {
        if (!ready(c, ws_test::SOCK_OUT, 5000)) break;
        const ptrdiff_t put = tq_plat_send(c, response_.data() + off, response_.size() - off);
        if (put < 0 && tq_plat_error_is_transient(tq_platform_last_error())) continue;
        if (put <= 0) break;
        off += static_cast<size_t>(put);
      }
      tq_plat_close(c);
    }
  }

  static bool ready(tq_socket s, short events, int timeout_ms) {
    ws_test::sock_waiter w = {s, events, false};
    return ws_test::sock_wait(&w, 1, timeout_ms) > 0;
  }

  std::string response_;
  tq_socket fd_ = TQ_NO_SOCKET;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::mutex mu_;
  std::vector<std::string> lines_;
};

std::string http_response(int status, const std::string &body) {
  return "HTTP/1.1 " + std::to_string(status) +
         " X\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// A SearXNG answer with n usable results.
std::string searxng_doc(int n) {
  std::string s = "{\"results\":[";
  for (int i = 1; i <= n; i++) {
    if (i > 1) s += ",";
    s += "{\"url\":\"https://r" + std::to_string(i) + ".test/p\",\"title\":\"T" +
         std::to_string(i) + "\",\"content\":\"C" + std::to_string(i) + "\"}";
  }
  return s + "]}";
}

ws_config test_config(const std::string &searxng_base) {
  ws_config cfg;
  memset(&cfg, 0, sizeof cfg);
  ws_copy(cfg.provider, sizeof cfg.provider, "duckduckgo");
  cfg.count = 3;
  ws_copy(cfg.safe, sizeof cfg.safe, "moderate");
  ws_copy(cfg.searxng_categories, sizeof cfg.searxng_categories, "general");
  ws_copy(cfg.searxng_base, sizeof cfg.searxng_base, searxng_base.c_str());
  // Every other backend points at a closed port, so no test leaves the machine.
  const char *closed = "http://127.0.0.1:1";
  ws_copy(cfg.ddg_base, sizeof cfg.ddg_base, closed);
  ws_copy(cfg.brave_base, sizeof cfg.brave_base, closed);
  ws_copy(cfg.tavily_base, sizeof cfg.tavily_base, closed);
  ws_copy(cfg.exa_base, sizeof cfg.exa_base, closed);
  ws_copy(cfg.pplx_base, sizeof cfg.pplx_base, closed);
  return cfg;
}

// The reply to one line; checks that it is nothing or exactly one JSON line.
std::string reply_to(const ws_config &cfg, const std::string &line) {
  ws_buf reply;
  ws_buf_init(&reply);
  ws_buf_guard guard(&reply);
  EXPECT_EQ(mcp_handle_line(&cfg, line.data(), line.size(), &reply), 0);
  const std::string out(reply.data != nullptr ? reply.data : "", reply.len);
  if (!out.empty()) {
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(out.find('\n'), out.size() - 1) << out;
    yyjson_doc *d = yyjson_read(out.data(), out.size() - 1, 0);
    EXPECT_NE(d, nullptr) << "not JSON: " << out;
    yyjson_doc_free(d);
  }
  return out;
}

std::string json_string(const std::string &s) {
  ws_buf b;
  ws_buf_init(&b);
  ws_buf_guard guard(&b);
  EXPECT_EQ(ws_json_str(&b, s.c_str()), 0);
  return ws_buf_str(&b);
}

std::string tool_error(const std::string &id, const std::string &doc) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id +
         ",\"result\":{\"content\":[{\"type\":\"text\",\"text\":" + json_string(doc) +
         "}],\"structuredContent\":" + doc + ",\"isError\":true}}\n";
}

std::string error_line(const char *id, int code, const char *message) {
  return std::string("{\"jsonrpc\":\"2.0\",\"id\":") + id +
         ",\"error\":{\"code\":" + std::to_string(code) + ",\"message\":\"" + message + "\"}}\n";
}

struct line_case {
  const char *name;
  std::string line;
  std::string want;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const line_case &c, std::ostream *os) {
  *os << c.name;
}

class Exchange : public ::testing::TestWithParam<line_case> {};

TEST_P(Exchange, ExactReply) {
  const ws_config cfg = test_config("http://127.0.0.1:1");
  EXPECT_EQ(reply_to(cfg, GetParam().line), GetParam().want);
}

const char PARSE[] = "Parse error: not valid JSON";
const char NOT_OBJECT[] = "Invalid request: expected an object";
const char NO_METHOD[] = "Invalid request: missing method";
const char NEEDS_NAME[] = "tools/call needs params.name";

std::string ping_reply(const std::string &id) {
  return "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"result\":{}}\n";
}

INSTANTIATE_TEST_SUITE_P(
    Framing, Exchange,
    ::testing::Values(line_case{"spaces_only", "   ", error_line("null", -32700, PARSE)},
                      line_case{"garbage", "nul", error_line("null", -32700, PARSE)},
                      line_case{"trailing_comma", "{\"id\":1,\"method\":\"ping\",}",
                                error_line("null", -32700, PARSE)},
                      line_case{"comment", "/*c*/{\"id\":1,\"method\":\"ping\"}",
                                error_line("null", -32700, PARSE)},
                      line_case{"two_values", "{\"id\":1,\"method\":\"ping\"} {}",
                                error_line("null", -32700, PARSE)},
                      line_case{"nul_byte_inside",
                                std::string("{\"id\":1,\"method\":\"pi") + '\0' + "ng\"}",
                                error_line("null", -32700, PARSE)},
                      line_case{"invalid_utf8", "{\"id\":\"\xFF\",\"method\":\"ping\"}",
                                error_line("null", -32700, PARSE)},
                      line_case{"lone_surrogate", "{\"id\":\"\\ud800\",\"method\":\"ping\"}",
                                error_line("null", -32700, PARSE)},
                      line_case{"carriage_return_is_white_space",
                                "{\"id\":1,\"method\":\"ping\"}\r", ping_reply("1")},
                      line_case{"empty_array", "[]", error_line("null", -32600, NOT_OBJECT)},
                      line_case{"batch", "[{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"ping\"}]",
                                error_line("null", -32600, NOT_OBJECT)},
                      line_case{"string_root", "\"ping\"", error_line("null", -32600, NOT_OBJECT)},
                      line_case{"number_root", "5", error_line("null", -32600, NOT_OBJECT)},
                      line_case{"null_root", "null", error_line("null", -32600, NOT_OBJECT)},
                      line_case{"empty_object", "{}", ""}),
    [](const ::testing::TestParamInfo<line_case> &i) { return std::string(i.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Ids, Exchange,
    ::testing::Values(
        line_case{"integer", "{\"jsonrpc\":\"2.0\",\"id\":7,\"method\":\"ping\"}", ping_reply("7")},
        line_case{"string", "{\"jsonrpc\":\"2.0\",\"id\":\"a\",\"method\":\"ping\"}",
                  ping_reply("\"a\"")},
        line_case{"null", "{\"jsonrpc\":\"2.0\",\"id\":null,\"method\":\"ping\"}",
                  ping_reply("null")},
        line_case{"real", "{\"id\":1.5,\"method\":\"ping\"}", ping_reply("1.5")},
        line_case{"negative", "{\"id\":-3,\"method\":\"ping\"}", ping_reply("-3")},
        line_case{"exponent", "{\"id\":1e2,\"method\":\"ping\"}", ping_reply("100.0")},
        line_case{"true", "{\"id\":true,\"method\":\"ping\"}", ping_reply("true")},
        line_case{"object", "{\"id\":{ \"k\" : [1, \"x\\n\"] },\"method\":\"ping\"}",
                  ping_reply("{\"k\":[1,\"x\\n\"]}")},
        line_case{"array", "{\"id\":[],\"method\":\"ping\"}", ping_reply("[]")},
        line_case{"unicode_escape", "{\"id\":\"\\u00e9\\\"\",\"method\":\"ping\"}",
                  ping_reply("\"\xC3\xA9\\\"\"")},
        line_case{"id_after_method", "{\"method\":\"ping\",\"id\":\"z\"}", ping_reply("\"z\"")},
        line_case{"first_id_wins", "{\"id\":1,\"id\":2,\"method\":\"ping\"}", ping_reply("1")},
        line_case{"no_jsonrpc_member", "{\"id\":3,\"method\":\"ping\"}", ping_reply("3")},
        line_case{"other_jsonrpc", "{\"jsonrpc\":\"1.0\",\"id\":3,\"method\":\"ping\"}",
                  ping_reply("3")}),
    [](const ::testing::TestParamInfo<line_case> &i) { return std::string(i.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Methods, Exchange,
    ::testing::Values(
        line_case{"notification_initialized",
                  "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}", ""},
        line_case{"notification_cancelled",
                  "{\"jsonrpc\":\"2.0\",\"method\":\"notifications/cancelled\","
                  "\"params\":{\"requestId\":1}}",
                  ""},
        line_case{"notification_of_a_request_method", "{\"method\":\"tools/call\"}", ""},
        line_case{"no_method_no_id", "{\"jsonrpc\":\"2.0\"}", ""},
        line_case{"initialized_with_id", "{\"id\":4,\"method\":\"notifications/initialized\"}",
                  error_line("4", -32601, "Method not found")},
        line_case{"unknown", "{\"id\":4,\"method\":\"tools/run\"}",
                  error_line("4", -32601, "Method not found")},
        line_case{"case_matters", "{\"id\":4,\"method\":\"Ping\"}",
                  error_line("4", -32601, "Method not found")},
        line_case{"embedded_nul_is_not_ping", "{\"id\":4,\"method\":\"ping\\u0000x\"}",
                  error_line("4", -32601, "Method not found")},
        line_case{"missing_method", "{\"id\":5}", error_line("5", -32600, NO_METHOD)},
        line_case{"method_number", "{\"id\":\"m\",\"method\":5}",
                  error_line("\"m\"", -32600, NO_METHOD)},
        line_case{"method_null_id_null", "{\"id\":null,\"method\":null}",
                  error_line("null", -32600, NO_METHOD)},
        line_case{"first_method_decides", "{\"id\":5,\"method\":5,\"method\":\"ping\"}",
                  error_line("5", -32600, NO_METHOD)},
        line_case{"method_key_case", "{\"id\":5,\"Method\":\"ping\"}",
                  error_line("5", -32600, NO_METHOD)},
        line_case{"resources_list", "{\"id\":1,\"method\":\"resources/list\"}",
                  "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{\"resources\":[]}}\n"},
        line_case{"resource_templates", "{\"id\":1,\"method\":\"resources/templates/list\"}",
                  "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{\"resourceTemplates\":[]}}\n"},
        line_case{"prompts_list", "{\"id\":1,\"method\":\"prompts/list\"}",
                  "{\"jsonrpc\":\"2.0\",\"id\":1,\"result\":{\"prompts\":[]}}\n"},
        line_case{"initialize_ignores_client_params",
                  "{\"jsonrpc\":\"2.0\",\"id\":0,\"method\":\"initialize\",\"params\":{"
                  "\"protocolVersion\":\"1999-01-01\",\"capabilities\":{\"x\":1}}}",
                  "{\"jsonrpc\":\"2.0\",\"id\":0,\"result\":{\"protocolVersion\":\"2025-06-18\","
                  "\"capabilities\":{\"tools\":{\"listChanged\":false}},\"serverInfo\":{\"name\":"
                  "\"websearch-server\",\"version\":\"1.0.3\"},\"instructions\":\"Web search "
                  "across six backends: duckduckgo (no key), searxng (self-hosted), brave, "
                  "tavily, exa and perplexity (API key). The default provider on this node is "
                  "duckduckgo. web_search returns ranked title/url/snippet results; "
                  "web_search_providers reports which backends are configured. A key is never "
                  "returned, only has_key.\"}}\n"}),
    [](const ::testing::TestParamInfo<line_case> &i) { return std::string(i.param.name); });

INSTANTIATE_TEST_SUITE_P(
    ToolsCall, Exchange,
    ::testing::Values(
        line_case{"no_params", "{\"id\":1,\"method\":\"tools/call\"}",
                  error_line("1", -32602, NEEDS_NAME)},
        line_case{"params_array", "{\"id\":1,\"method\":\"tools/call\",\"params\":[]}",
                  error_line("1", -32602, NEEDS_NAME)},
        line_case{"params_null", "{\"id\":1,\"method\":\"tools/call\",\"params\":null}",
                  error_line("1", -32602, NEEDS_NAME)},
        line_case{
            "no_name",
            "{\"id\":1,\"method\":\"tools/call\",\"params\":{\"arguments\":{\"query\":\"x\"}}}",
            error_line("1", -32602, NEEDS_NAME)},
        line_case{"name_number", "{\"id\":1,\"method\":\"tools/call\",\"params\":{\"name\":5}}",
                  error_line("1", -32602, NEEDS_NAME)},
        line_case{"first_name_decides",
                  "{\"id\":1,\"method\":\"tools/call\",\"params\":{\"name\":5,\"name\":"
                  "\"web_search_providers\"}}",
                  error_line("1", -32602, NEEDS_NAME)},
        line_case{"name_case",
                  "{\"id\":1,\"method\":\"tools/call\",\"params\":{\"name\":\"Web_Search\"}}",
                  error_line("1", -32602, "unknown tool")},
        line_case{"name_other",
                  "{\"id\":\"t\",\"method\":\"tools/call\",\"params\":{\"name\":\"fetch\"}}",
                  error_line("\"t\"", -32602, "unknown tool")},
        line_case{
            "name_with_nul",
            "{\"id\":1,\"method\":\"tools/call\",\"params\":{\"name\":\"web_search\\u0000\"}}",
            error_line("1", -32602, "unknown tool")},
        line_case{"search_without_arguments",
                  "{\"id\":9,\"method\":\"tools/call\",\"params\":{\"name\":\"web_search\"}}",
                  tool_error("9", "{\"ok\":false,\"error\":\"query is required\"}")},
        line_case{"search_arguments_string",
                  "{\"id\":9,\"method\":\"tools/call\",\"params\":{\"name\":\"web_search\","
                  "\"arguments\":\"q\"}}",
                  tool_error("9", "{\"ok\":false,\"error\":\"query is required\"}")},
        line_case{"search_query_number",
                  "{\"id\":9,\"method\":\"tools/call\",\"params\":{\"name\":\"web_search\","
                  "\"arguments\":{\"query\":42}}}",
                  tool_error("9", "{\"ok\":false,\"error\":\"query is required\"}")},
        line_case{"search_query_empty",
                  "{\"id\":9,\"method\":\"tools/call\",\"params\":{\"name\":\"web_search\","
                  "\"arguments\":{\"query\":\"\",\"provider\":\"ddg\"}}}",
                  tool_error("9", "{\"ok\":false,\"error\":\"query is required\"}")},
        line_case{"search_first_query_decides",
                  "{\"id\":9,\"method\":\"tools/call\",\"params\":{\"name\":\"web_search\","
                  "\"arguments\":{\"query\":null,\"query\":\"x\"}}}",
                  tool_error("9", "{\"ok\":false,\"error\":\"query is required\"}")},
        line_case{"search_unknown_provider",
                  "{\"id\":9,\"method\":\"tools/call\",\"params\":{\"name\":\"web_search\","
                  "\"arguments\":{\"query\":\"x\",\"provider\":\"ddg\"}}}",
                  tool_error("9",
                             "{\"ok\":false,\"error\":\"unknown provider \\\"ddg\\\" (choose "
                             "duckduckgo, searxng, brave, tavily, exa or perplexity)\"}")},
        line_case{"search_brave_without_key",
                  "{\"id\":9,\"method\":\"tools/call\",\"params\":{\"name\":\"web_search\","
                  "\"arguments\":{\"query\":\"x\",\"provider\":\"BRAVE\"}}}",
                  tool_error("9",
                             "{\"ok\":false,\"error\":\"Brave needs an API key. Set "
                             "BRAVE_API_KEY, or save one on the plugin page.\"}")}),
    [](const ::testing::TestParamInfo<line_case> &i) { return std::string(i.param.name); });

TEST(Exchange, ToolsListCarriesTheSchema) {
  const ws_config cfg = test_config("");
  EXPECT_EQ(reply_to(cfg, "{\"id\":2,\"method\":\"tools/list\"}"),
            std::string("{\"jsonrpc\":\"2.0\",\"id\":2,\"result\":{\"tools\":") + WS_TOOL_SCHEMA +
                "}}\n");
}

TEST(Exchange, InstructionsNameTheConfiguredProviderInItsOwnCase) {
  ws_config cfg = test_config("");
  ws_copy(cfg.provider, sizeof cfg.provider, "Brave");
  const std::string r = reply_to(cfg, "{\"id\":1,\"method\":\"initialize\"}");
  EXPECT_NE(r.find("The default provider on this node is Brave. "), std::string::npos) << r;
  // A record that names no backend (never after loading) still gives valid JSON.
  ws_copy(cfg.provider, sizeof cfg.provider, "x\"y");
  const std::string r2 = reply_to(cfg, "{\"id\":1,\"method\":\"initialize\"}");
  EXPECT_NE(r2.find("The default provider on this node is duckduckgo. "), std::string::npos);
}

TEST(Exchange, ProvidersToolWrapsTheProvidersDocument) {
  ws_config cfg = test_config("http://10.0.0.5:8888");
  ws_copy(cfg.brave_key, sizeof cfg.brave_key, "SECRET-KEY");
  char *doc = providers_json(&cfg);
  ASSERT_NE(doc, nullptr);
  const std::string d(doc);
  free(doc);
  const std::string want =
      "{\"jsonrpc\":\"2.0\",\"id\":\"p\",\"result\":{\"content\":[{\"type\":"
      "\"text\",\"text\":" +
      json_string(d) + "}],\"structuredContent\":" + d + "}}\n";
  // Arguments of any shape are ignored.
  for (const char *args : {"", ",\"arguments\":{\"x\":1}", ",\"arguments\":7"}) {
    SCOPED_TRACE(args);
    const std::string r =
        reply_to(cfg, std::string("{\"id\":\"p\",\"method\":\"tools/call\",\"params\":"
                                  "{\"name\":\"web_search_providers\"") +
                          args + "}}");
    EXPECT_EQ(r, want);
    EXPECT_EQ(r.find("SECRET"), std::string::npos);
  }
}

TEST(Exchange, AppendsToTheReplyAndIgnoresEmptyInput) {
  const ws_config cfg = test_config("");
  ws_buf reply;
  ws_buf_init(&reply);
  ws_buf_guard guard(&reply);
  ASSERT_EQ(ws_buf_puts(&reply, "before\n"), 0);
  EXPECT_EQ(mcp_handle_line(&cfg, "", 0, &reply), 0);
  EXPECT_EQ(mcp_handle_line(&cfg, nullptr, 0, &reply), 0);
  // Only the first len bytes count: the rest of the block is not read.
  const char line[] = "{\"id\":1,\"method\":\"ping\"}GARBAGE";
  EXPECT_EQ(mcp_handle_line(&cfg, line, 24, &reply), 0);
  EXPECT_EQ(std::string(ws_buf_str(&reply)), "before\n" + ping_reply("1"));
}

// What the reader of the parallel server does with a line: a web_search
// with a query leaves as a call (the id as JSON text, the arguments copied),
// a cancellation with a requestId leaves as its id text, the rest is
// answered at once exactly as the one-step exchange answers it.
TEST(Exchange, RouteHandsOutSearchesAndCancellations) {
  const ws_config cfg = test_config("");
  struct row {
    const char *line;
    mcp_step step;
    const char *id;     // SEARCH / CANCEL: the id text
    const char *query;  // SEARCH: the copied query
  };
  const row rows[] = {
      {R"({"id":"a","method":"tools/call","params":{"name":"web_search","arguments":{"query":"q","count":"7"}}})",
       MCP_STEP_SEARCH, "\"a\"", "q"},
      {R"({"id":12,"method":"tools/call","params":{"name":"web_search","arguments":{"query":"x y"}}})",
       MCP_STEP_SEARCH, "12", "x y"},
      {R"({"method":"notifications/cancelled","params":{"requestId":12,"reason":"r"}})",
       MCP_STEP_CANCEL, "12", nullptr},
      {R"({"method":"notifications/cancelled","params":{"requestId":"a"}})", MCP_STEP_CANCEL,
       "\"a\"", nullptr},
      // Nothing to cancel, or not a notification: handled as before.
      {R"({"method":"notifications/cancelled","params":{}})", MCP_STEP_ANSWERED, nullptr, nullptr},
      {R"({"method":"notifications/cancelled"})", MCP_STEP_ANSWERED, nullptr, nullptr},
      {R"({"id":3,"method":"notifications/cancelled","params":{"requestId":1}})", MCP_STEP_ANSWERED,
       nullptr, nullptr},
      {R"({"id":4,"method":"tools/call","params":{"name":"web_search","arguments":{}}})",
       MCP_STEP_ANSWERED, nullptr, nullptr},
      {R"({"id":5,"method":"tools/call","params":{"name":"web_search_providers"}})",
       MCP_STEP_ANSWERED, nullptr, nullptr},
      {R"({"id":6,"method":"ping"})", MCP_STEP_ANSWERED, nullptr, nullptr},
      {"not json", MCP_STEP_ANSWERED, nullptr, nullptr},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.line);
    const size_t len = strlen(r.line);
    mcp_line *line = mcp_line_parse(r.line, len);
    ASSERT_NE(line, nullptr);
    EXPECT_EQ(mcp_line_is_tools_call(line), strstr(r.line, "tools/call") != nullptr ? 1 : 0);
    ws_buf reply;
    ws_buf_init(&reply);
    ws_buf_guard guard(&reply);
    mcp_call call;
    mcp_step step;
    ASSERT_EQ(mcp_line_route(&cfg, line, &reply, &call, &step), 0);
    mcp_line_free(line);
    EXPECT_EQ(step, r.step);
    if (r.step == MCP_STEP_ANSWERED) {
      EXPECT_EQ(call.id, nullptr);
      ws_buf once;
      ws_buf_init(&once);
      ws_buf_guard once_guard(&once);
      ASSERT_EQ(mcp_handle_line(&cfg, r.line, len, &once), 0);
      EXPECT_EQ(std::string(ws_buf_str(&reply)), std::string(ws_buf_str(&once)));
      continue;
    }
    EXPECT_EQ(reply.len, 0u);
    ASSERT_NE(call.id, nullptr);
    EXPECT_EQ(std::string(call.id, call.id_len), r.id);
    if (r.query != nullptr) {
      EXPECT_STREQ(call.args.query, r.query);
    }
    mcp_call_free(&call);
    EXPECT_EQ(call.id, nullptr);
  }
}

// --- searches against the loopback server -------------------------------

std::string search_line(const std::string &arguments) {
  return "{\"jsonrpc\":\"2.0\",\"id\":11,\"method\":\"tools/call\",\"params\":{\"name\":"
         "\"web_search\",\"arguments\":" +
         arguments + "}}";
}

// took_ms depends on the clock; everything else is fixed.
std::string without_timing(const std::string &s) {
  static const std::regex took("\"took_ms\":[0-9]+"), in_ms(" in [0-9]+ ms\\\\n");
  return std::regex_replace(std::regex_replace(s, took, "\"took_ms\":T"), in_ms, " in T ms\\n");
}

TEST(Search, SuccessReplyExactly) {
  loopback_server server(http_response(
      200,
      "{\"results\":[{\"url\":\"https://a.test/x?y=1\",\"title\":\"A \\\"quoted\\\" title\","
      "\"content\":\"First line\",\"publishedDate\":\"2024-01-02\"},{\"url\":\"https://b.test\","
      "\"title\":\"\",\"content\":\"\"}]}"));
  const ws_config cfg = test_config(server.base());
  const std::string r =
      reply_to(cfg, search_line("{\"query\":\"q \\\"x\\\"\",\"provider\":\"searxng\"}"));
  const std::string text =
      "2 result(s) from searxng for \"q \"x\"\" in T ms\n"
      "\n1. A \"quoted\" title\n   https://a.test/x?y=1\n   First line\n   published: 2024-01-02\n"
      "\n2. (untitled)\n   https://b.test\n";
  const std::string doc =
      "{\"ok\":true,\"query\":\"q \\\"x\\\"\",\"provider\":\"searxng\",\"count\":2,\"took_ms\":T,"
      "\"results\":[{\"title\":\"A \\\"quoted\\\" title\",\"url\":\"https://a.test/x?y=1\","
      "\"snippet\":\"First line\",\"published\":\"2024-01-02\",\"site\":\"a.test\"},"
      "{\"title\":\"\",\"url\":\"https://b.test\",\"snippet\":\"\",\"site\":\"b.test\"}]}";
  std::string escaped_text = json_string(text);
  EXPECT_EQ(without_timing(r),
            "{\"jsonrpc\":\"2.0\",\"id\":11,\"result\":{\"content\":[{\"type\":\"text\",\"text\":" +
                escaped_text + "}],\"structuredContent\":" + doc + "}}\n");
  EXPECT_EQ(r.find("isError"), std::string::npos);
  ASSERT_EQ(server.request_lines().size(), 1u);
  EXPECT_EQ(server.request_lines()[0],
            "GET /search?q=q%20%22x%22&format=json&categories=general&safesearch=1 HTTP/1.1");
}

// A scraped page in Latin-1 must not put invalid UTF-8 on the wire.
TEST(Search, ScrapedBytesThatAreNotUtf8AreRepaired) {
  loopback_server server(
      "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=ISO-8859-1\r\nConnection: close\r\n\r\n"
      "<html><body><div class=\"result\"><a class=\"result__a\" href=\"https://x.test/a\">"
      "Caf\xE9</a><a class=\"result__snippet\" href=\"https://x.test/a\">na\xEFve</a></div>"
      "</body></html>");
  ws_config cfg = test_config("");
  ws_copy(cfg.ddg_base, sizeof cfg.ddg_base, server.base().c_str());
  const std::string r = reply_to(cfg, search_line("{\"query\":\"x\"}"));  // checks valid JSON
  EXPECT_NE(r.find("\"title\":\"Caf\xEF\xBF\xBD\",\"url\":\"https://x.test/a\","
                   "\"snippet\":\"na\xEF\xBF\xBDve\""),
            std::string::npos)
      << r;
  EXPECT_NE(r.find("\\n\\n1. Caf\xEF\xBF\xBD\\n   https://x.test/a\\n   na\xEF\xBF\xBDve\\n"),
            std::string::npos)
      << r;
  EXPECT_EQ(r.find('\xE9'), std::string::npos);
}

TEST(Search, UpstreamFailureIsAToolErrorWithStatus) {
  loopback_server server(http_response(502, "{\"message\":\"instance down\"}"));
  const ws_config cfg = test_config(server.base());
  EXPECT_EQ(reply_to(cfg, search_line("{\"query\":\"x\",\"provider\":\"searxng\"}")),
            tool_error("11",
                       "{\"ok\":false,\"error\":\"SearXNG returned HTTP 502: instance down\","
                       "\"status\":502}"));
}

TEST(Search, ConnectionFailureIsAToolErrorWithoutStatus) {
  const ws_config cfg = test_config("http://127.0.0.1:1");
  const std::string r = reply_to(cfg, search_line("{\"query\":\"x\",\"provider\":\"searxng\"}"));
  EXPECT_EQ(r.rfind("{\"jsonrpc\":\"2.0\",\"id\":11,\"result\":{\"content\":[{\"type\":\"text\","
                    "\"text\":\"{\\\"ok\\\":false,\\\"error\\\":",
                    0),
            0u)
      << r;
  EXPECT_NE(r.find(",\"isError\":true}}\n"), std::string::npos) << r;
  EXPECT_EQ(r.find("status"), std::string::npos) << r;
}

// How many results a search returns tells which count reached the dispatcher:
// the server offers 25, the configured default is 3, the cap is 20.
struct count_case {
  const char *name;
  const char *count_json;
  int results;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const count_case &c, std::ostream *os) {
  *os << c.name;
}

class CountArgument : public ::testing::TestWithParam<count_case> {};

TEST_P(CountArgument, ReachesTheSearch) {
  loopback_server server(http_response(200, searxng_doc(25)));
  const ws_config cfg = test_config(server.base());
  const std::string r = reply_to(
      cfg, search_line(std::string("{\"query\":\"x\",\"provider\":\"searxng\",\"count\":") +
                       GetParam().count_json + "}"));
  EXPECT_NE(r.find("\"count\":" + std::to_string(GetParam().results) + ",\"took_ms\""),
            std::string::npos)
      << r;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CountArgument,
    ::testing::Values(count_case{"integer", "7", 7}, count_case{"one", "1", 1},
                      count_case{"twenty", "20", 20}, count_case{"fifty_capped", "50", 20},
                      count_case{"string", "\"7\"", 7},
                      count_case{"string_leading_digits", "\" 12abc\"", 12},
                      count_case{"string_without_digits", "\"many\"", 3},
                      count_case{"real_ignored", "7.0", 3}, count_case{"true_ignored", "true", 3},
                      count_case{"null_ignored", "null", 3}, count_case{"zero_default", "0", 3},
                      count_case{"negative_default", "-4", 3},
                      // Beyond the int range the value saturates instead of wrapping
                      // (2^32 + 1 would otherwise become 1, -2^32 + 2 would become 2).
                      count_case{"huge_unsigned", "4294967297", 20},
                      count_case{"huge_negative", "-4294967294", 3},
                      count_case{"huge_string", "\"99999999999999999999\"", 20},
                      count_case{"huge_negative_string", "\"-4294967294\"", 3}),
    [](const ::testing::TestParamInfo<count_case> &i) { return std::string(i.param.name); });

TEST(Search, QueryIsCutTo511BytesOnACharacterBoundary) {
  struct {
    std::string query, kept;
  } cases[] = {
      {std::string(600, 'b'), std::string(511, 'b')},
      {std::string(511, 'c'), std::string(511, 'c')},
      {std::string(510, 'a') + "\xC3\xA9" + std::string(88, 'b'), std::string(510, 'a')},
      {std::string(509, 'a') + "\xC3\xA9" + std::string(89, 'b'),
       std::string(509, 'a') + "\xC3\xA9"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.query.size());
    loopback_server server(http_response(200, searxng_doc(1)));
    const ws_config cfg = test_config(server.base());
    const std::string r =
        reply_to(cfg, search_line("{\"query\":\"" + c.query + "\",\"provider\":\"searxng\"}"));
    EXPECT_NE(r.find("\"structuredContent\":{\"ok\":true,\"query\":\"" + c.kept + "\","),
              std::string::npos)
        << r.substr(0, 200);
  }
}

TEST(Search, TextArgumentsReachTheBackend) {
  loopback_server server(http_response(200, searxng_doc(1)));
  ws_config cfg = test_config(server.base());
  ws_copy(cfg.language, sizeof cfg.language, "de");
  // language of the call wins over the configured one; a wrong-typed
  // member counts as absent; over-long values are cut to their fields.
  reply_to(cfg, search_line("{\"query\":\"x\",\"provider\":\"searxng\",\"language\":\"fr\"}"));
  reply_to(cfg, search_line("{\"query\":\"x\",\"provider\":\"searxng\",\"language\":5}"));
  reply_to(cfg, search_line("{\"query\":\"x\",\"provider\":\"searxng\",\"language\":"
                            "\"abcdefghijklmnopqrstuvwxyz\"}"));
  const std::vector<std::string> lines = server.request_lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find("&language=fr&"), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find("&language=de&"), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find("&language=abcdefghijklmno&"), std::string::npos) << lines[2];
}

TEST(Search, RefusedRequestsMakeNoNetworkRequest) {
  loopback_server server(http_response(200, searxng_doc(1)));
  ws_config cfg = test_config(server.base());
  ws_copy(cfg.provider, sizeof cfg.provider, "searxng");
  for (const char *args : {"{}", "{\"query\":42}", "{\"query\":\"\"}", "{\"query\":[\"x\"]}"}) {
    SCOPED_TRACE(args);
    EXPECT_NE(reply_to(cfg, search_line(args)).find("query is required"), std::string::npos);
  }
  EXPECT_TRUE(server.request_lines().empty());
}

}  // namespace
