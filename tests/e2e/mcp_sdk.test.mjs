// The official MCP client SDK talks to the binary over stdio; its schemas
// validate every reply. Searches go to the loopback mock of the six services.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { createInterface } from 'node:readline';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import { StdioClientTransport } from '@modelcontextprotocol/sdk/client/stdio.js';
import { CallToolResultSchema, McpError } from '@modelcontextprotocol/sdk/types.js';

const BINARY = process.env.WS_BINARY;
const MOCK = fileURLToPath(new URL('../support/mock_upstream.py', import.meta.url));

// Starts the mock; it prints "PORT <n>" and dies when its stdin closes.
function startMock() {
  return new Promise((resolve, reject) => {
    const child = spawn('python3', [MOCK], { stdio: ['pipe', 'pipe', 'inherit'] });
    const timer = setTimeout(() => {
      child.kill();
      reject(new Error('mock upstream did not report its port'));
    }, 15000);
    child.on('error', reject);
    const lines = createInterface({ input: child.stdout });
    lines.once('line', (line) => {
      clearTimeout(timer);
      const m = /^PORT (\d+)$/.exec(line);
      if (!m) {
        child.kill();
        reject(new Error(`unexpected first line from the mock: ${line}`));
        return;
      }
      resolve({ child, base: `http://127.0.0.1:${m[1]}` });
    });
  });
}

async function script(base, plan) {
  const res = await fetch(`${base}/__script`, {
    method: 'POST',
    headers: { 'Content-Type': 'application/json' },
    body: JSON.stringify(plan),
  });
  assert.equal(res.status, 200);
}

async function connect(env) {
  const transport = new StdioClientTransport({
    command: BINARY,
    args: ['--mcp'],
    env,
    stderr: 'ignore',
  });
  const client = new Client({ name: 'websearch-e2e', version: '0.0.1' });
  await client.connect(transport);
  return client;
}

describe('MCP server through the official client SDK', { skip: !BINARY }, () => {
  let mock;
  let dir;
  let client;

  before(async () => {
    mock = await startMock();
    dir = mkdtempSync(join(tmpdir(), 'ws-e2e-mcp-'));
    client = await connect({
      SWEBSEARCH_CONFIG_DIR: dir,
      WEBSEARCH_MOCK_BASE: mock.base,
      BRAVE_API_KEY: 'e2e-brave-key',
      EXA_API_KEY: 'e2e-exa-key',
    });
  });

  after(async () => {
    if (client) await client.close();
    if (mock) {
      mock.child.stdin.end();
      mock.child.kill();
    }
    if (dir) rmSync(dir, { recursive: true, force: true });
  });

  test('initialize: server info, capabilities and instructions', () => {
    assert.deepEqual(client.getServerVersion(), { name: 'websearch-server', version: '1.0.3' });
    assert.deepEqual(client.getServerCapabilities(), { tools: { listChanged: false } });
    assert.match(client.getInstructions(), /The default provider on this node is duckduckgo\. /);
  });

  test('ping', async () => {
    assert.deepEqual(await client.ping(), {});
  });

  test('tools/list offers both tools with their input schemas', async () => {
    const { tools } = await client.listTools();
    assert.deepEqual(tools.map((t) => t.name), ['web_search', 'web_search_providers']);
    const search = tools[0].inputSchema;
    assert.equal(search.type, 'object');
    assert.deepEqual(search.required, ['query']);
    assert.deepEqual(Object.keys(search.properties),
      ['query', 'provider', 'count', 'country', 'language', 'freshness']);
    assert.deepEqual(search.properties.provider.enum,
      ['duckduckgo', 'searxng', 'brave', 'tavily', 'exa', 'perplexity']);
    assert.deepEqual(tools[1].inputSchema, { type: 'object', properties: {} });
  });

  test('web_search on the mock SearXNG instance', async () => {
    const r = await client.callTool(
      { name: 'web_search', arguments: { query: 'example search', provider: 'searxng', count: 2 } },
      CallToolResultSchema);
    assert.equal(r.isError, undefined);
    const doc = r.structuredContent;
    assert.equal(doc.ok, true);
    assert.equal(doc.query, 'example search');
    assert.equal(doc.provider, 'searxng');
    assert.equal(doc.count, 2);
    assert.ok(Number.isInteger(doc.took_ms) && doc.took_ms >= 0);
    assert.deepEqual(doc.results, [
      {
        title: 'SearXNG first result', url: 'https://example.com/searxng/one',
        snippet: 'First result content & more.', published: '2024-05-01T10:00:00',
        site: 'example.com',
      },
      {
        title: 'Second result', url: 'https://example.org/searxng/two',
        snippet: 'Second result content.', site: 'example.org',
      },
    ]);
    assert.equal(r.content.length, 1);
    assert.equal(r.content[0].type, 'text');
    assert.match(r.content[0].text,
      /^2 result\(s\) from searxng for "example search" in \d+ ms\n\n1\. SearXNG first result\n {3}https:\/\/example\.com\/searxng\/one\n/);
  });

  test('web_search on the default backend (DuckDuckGo page)', async () => {
    const r = await client.callTool({ name: 'web_search', arguments: { query: 'example' } },
      CallToolResultSchema);
    assert.equal(r.isError, undefined);
    assert.equal(r.structuredContent.provider, 'duckduckgo');
    assert.equal(r.structuredContent.count, 3);
    assert.equal(r.structuredContent.results[2].site, 'example.net:8443');
  });

  test('a failing backend is a tool error with its status', async () => {
    await script(mock.base, {
      prefix: '/brave', status: 401, body: '{"message":"bad key"}',
      headers: [['Content-Type', 'application/json']], times: 1,
    });
    const r = await client.callTool(
      { name: 'web_search', arguments: { query: 'x', provider: 'brave' } }, CallToolResultSchema);
    assert.equal(r.isError, true);
    assert.deepEqual(r.structuredContent,
      { ok: false, error: 'Brave returned HTTP 401: bad key', status: 401 });
    assert.deepEqual(JSON.parse(r.content[0].text), r.structuredContent);
  });

  test('a backend without its key fails without a status', async () => {
    const r = await client.callTool(
      { name: 'web_search', arguments: { query: 'x', provider: 'perplexity' } },
      CallToolResultSchema);
    assert.equal(r.isError, true);
    assert.deepEqual(r.structuredContent, {
      ok: false,
      error: 'Perplexity needs an API key. Set PERPLEXITY_API_KEY, or save one on the plugin page.',
    });
  });

  test('web_search without a query', async () => {
    const r = await client.callTool({ name: 'web_search', arguments: {} }, CallToolResultSchema);
    assert.equal(r.isError, true);
    assert.deepEqual(r.structuredContent, { ok: false, error: 'query is required' });
  });

  test('web_search_providers reports readiness, never a key', async () => {
    const r = await client.callTool({ name: 'web_search_providers', arguments: {} },
      CallToolResultSchema);
    assert.equal(r.isError, undefined);
    const doc = r.structuredContent;
    assert.equal(doc.active, 'duckduckgo');
    assert.deepEqual(doc.providers.map((p) => [p.id, p.has_key, p.ready]), [
      ['duckduckgo', false, true], ['searxng', false, true], ['brave', true, true],
      ['tavily', false, false], ['exa', true, true], ['perplexity', false, false],
    ]);
    assert.equal(doc.providers[1].base, `${mock.base}/searxng`);
    assert.equal(doc.default_count, 5);
    assert.equal(doc.tavily_advanced, false);
    assert.ok(!r.content[0].text.includes('e2e-brave-key'));
    assert.deepEqual(JSON.parse(r.content[0].text), doc);
  });

  test('calls sent at once all get their own replies', async () => {
    // The mock's own SearXNG answer, handed out after 400 ms, so the calls
    // overlap on the server.
    const doc = await (await fetch(`${mock.base}/searxng/search?q=x&format=json`)).text();
    await script(mock.base, { prefix: '/searxng', body: doc, delay_ms: 400, times: 10 });
    const queries = Array.from({ length: 10 }, (_, i) => `at once ${i}`);
    const [pong, providers, ...results] = await Promise.all([
      client.ping(),
      client.callTool({ name: 'web_search_providers', arguments: {} }, CallToolResultSchema),
      ...queries.map((query) => client.callTool(
        { name: 'web_search', arguments: { query, provider: 'searxng' } }, CallToolResultSchema)),
    ]);
    assert.deepEqual(pong, {});
    assert.equal(providers.structuredContent.active, 'duckduckgo');
    assert.deepEqual(results.map((r) => [r.structuredContent.query, r.structuredContent.count]),
      queries.map((q) => [q, 3]));
  });

  test('a cancelled call gets no reply and its upstream connection is closed', async () => {
    await fetch(`${mock.base}/__reset`, { method: 'POST' });
    const doc = await (await fetch(`${mock.base}/brave/res/v1/web/search?q=x`)).text();
    await script(mock.base, { prefix: '/brave', body: doc, delay_ms: 20000, times: 1 });
    const ac = new AbortController();
    const slow = client.callTool(
      { name: 'web_search', arguments: { query: 'to be cancelled', provider: 'brave' } },
      CallToolResultSchema, { signal: ac.signal });
    // Cancel once the mock holds the request.
    let seen = [];
    for (let i = 0; i < 200 && seen.length < 2; i++) {
      await new Promise((r) => setTimeout(r, 25));
      seen = await (await fetch(`${mock.base}/__requests`)).json();
    }
    assert.equal(seen.length, 2, 'the slow search never reached the mock');
    ac.abort('no longer needed');
    await assert.rejects(slow);
    let entry;
    for (let i = 0; i < 200; i++) {
      entry = (await (await fetch(`${mock.base}/__requests`)).json())[1];
      if (entry.peer_closed_ms !== null) break;
      await new Promise((r) => setTimeout(r, 25));
    }
    assert.match(entry.target, /to\+be\+cancelled|to%20be%20cancelled/);
    assert.ok(entry.peer_closed_ms !== null && entry.peer_closed_ms < 20000);
    // The conversation goes on.
    assert.deepEqual(await client.ping(), {});
  });

  test('an unknown tool is a JSON-RPC error', async () => {
    await assert.rejects(
      client.callTool({ name: 'Web_Search', arguments: { query: 'x' } }, CallToolResultSchema),
      (err) => err instanceof McpError && err.code === -32602 && /unknown tool/.test(err.message));
  });
});
