// The request rules of the MCP endpoint that need no process: which requests
// are for it, which Accept headers admit its JSON replies, which protocol
// version headers pass.
#include <string>

#include <gtest/gtest.h>

#include "plugin/ws_cgi_mcp.h"

namespace {

TEST(CgiMcp, EndpointSelection) {
  const struct {
    const char *query;
    const char *path_info;
    int mcp;
  } cases[] = {
      {"", "/mcp", 1},
      {nullptr, "/mcp", 1},
      {"action=info", "/mcp", 1},  // the path names the endpoint whatever the query says
      {"action=mcp", nullptr, 1},
      {"pwd=x&action=mcp", "", 1},
      {"action=mcp&action=info", nullptr, 1},
      {"", nullptr, 0},
      {"", "/mcp/", 0},
      {"", "/MCP", 0},
      {"", "/mcpx", 0},
      {"", "/other/mcp", 0},
      {"action=MCP", nullptr, 0},
      {"action=mcp2", nullptr, 0},
      {"action=mcpmcpmcp", nullptr, 0},  // longer than the field: never cut into a match
      {"xaction=mcp", nullptr, 0},
      {"action=info&action=mcp", nullptr, 0},  // the first action wins, as in the dispatch
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(std::string(c.query ? c.query : "-") + " " + (c.path_info ? c.path_info : "-"));
    EXPECT_EQ(cgi_is_mcp(c.query, c.path_info), c.mcp);
  }
}

TEST(CgiMcp, AcceptAdmitsJson) {
  const struct {
    const char *accept;
    int ok;
  } cases[] = {
      {nullptr, 1},
      {"", 1},
      {" ", 1},
      {"*/*", 1},
      {"application/json", 1},
      {"application/json, text/event-stream", 1},  // what the SDK sends
      {"text/event-stream,application/json", 1},
      {"APPLICATION/JSON", 1},
      {"application/*", 1},
      {" text/html ;q=0.9 , application/json ; charset=utf-8 ; q=0.1", 1},
      {"application/json;q=1.0", 1},
      {"*/*;q=0.001", 1},
      {"text/event-stream", 0},
      {"text/html, text/plain", 0},
      {"application/jsonx", 0},
      {"application/json-seq", 0},
      {"application/json;q=0", 0},
      {"application/json; Q=0.000", 0},
      {"*/*;q=0", 0},
      {"*/*, application/json;q=0", 0},  // the specific range decides
      {"application/*;q=0, */*", 0},     // and the type range before any
      {"application/json;q=0, application/*", 0},
      {"*/*;q=0, application/json", 1},
      {"application/json;q=0, application/json", 1},
      {",,,", 1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.accept ? c.accept : "(absent)");
    EXPECT_EQ(ws_accept_json(c.accept), c.ok);
  }
}

TEST(CgiMcp, ProtocolVersionHeader) {
  EXPECT_EQ(ws_mcp_version_ok(nullptr), 1);
  EXPECT_EQ(ws_mcp_version_ok("2025-06-18"), 1);
  EXPECT_EQ(ws_mcp_version_ok("2025-03-26"), 1);
  for (const char *v :
       {"", "2024-11-05", "2025-11-25", "2025-06-18 ", " 2025-06-18", "2025-06-1"}) {
    SCOPED_TRACE(v);
    EXPECT_EQ(ws_mcp_version_ok(v), 0);
  }
}

}  // namespace
