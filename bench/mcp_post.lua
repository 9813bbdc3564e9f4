-- wrk script: every request POSTs one MCP message to the endpoint, with the
-- headers an MCP client sends. bench/mcp_http.py sets the message and the
-- password in the environment.
wrk.method = "POST"
wrk.body = os.getenv("WS_BENCH_MESSAGE")
wrk.headers["Content-Type"] = "application/json"
wrk.headers["Accept"] = "application/json, text/event-stream"
wrk.headers["MCP-Protocol-Version"] = "2025-06-18"
wrk.headers["Authorization"] = "Bearer " .. os.getenv("WS_BENCH_PASSWORD")
