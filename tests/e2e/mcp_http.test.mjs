// MCP over HTTP as remote agents meet it: the official client SDK's
// Streamable HTTP transport and the MCP Inspector's command line, against the
// binary run as a CGI program by lighttpd and by nginx with fcgiwrap (both on
// loopback, set up as the documented examples). Searches go to the loopback
// mock; the SDK's schemas validate every reply.
import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { mkdtempSync, rmSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';
import { promisify } from 'node:util';

import { Client } from '@modelcontextprotocol/sdk/client/index.js';
import {
  StreamableHTTPClientTransport, StreamableHTTPError,
} from '@modelcontextprotocol/sdk/client/streamableHttp.js';
import { CallToolResultSchema } from '@modelcontextprotocol/sdk/types.js';

import { startHelper, stopHelper } from './helper_process.mjs';

const BINARY = process.env.WS_BINARY;
const INSPECTOR = fileURLToPath(new URL('./node_modules/.bin/mcp-inspector', import.meta.url));
const PASSWORD = 'n0de pass+word';

async function connect(url, password) {
  const transport = new StreamableHTTPClientTransport(new URL(url), {
    requestInit: { headers: { Authorization: `Bearer ${password}` } },
  });
  const client = new Client({ name: 'websearch-e2e-http', version: '0.0.1' });
  await client.connect(transport);
  return client;
}

// The Inspector's command line; the password travels in the address, as
// this version of it cannot set a header.
async function inspector(url, ...args) {
  const { stdout } = await promisify(execFile)(INSPECTOR,
    ['--cli', `${url}?pwd=${encodeURIComponent(PASSWORD)}`, '--transport', 'http', ...args],
    { timeout: 60000 });
  return JSON.parse(stdout);
}

let mock;
let dir;
before(async () => {
  mock = await startHelper('mock_upstream.py', []);
  dir = mkdtempSync(join(tmpdir(), 'ws-e2e-http-'));
});
after(async () => {
  await stopHelper(mock);
  if (dir) rmSync(dir, { recursive: true, force: true });
});

for (const server of ['lighttpd_server.py', 'nginx_server.py']) {
  describe(`MCP over HTTP behind ${server.replace('_server.py', '')}`, { skip: !BINARY }, () => {
    let web;
    let url;
    let client;

    before(async () => {
      web = await startHelper(server, ['--binary', BINARY,
        '--env', `SWEBSEARCH_CONFIG_DIR=${dir}`, '--env', `BOT_PASSWORD=${PASSWORD}`,
        '--env', `WEBSEARCH_MOCK_BASE=${mock.base}`, '--env', 'EXA_API_KEY=e2e-exa-key']);
      url = `${web.base}/plugin/mcp`;
      client = await connect(url, PASSWORD);
    });
    after(async () => {
      if (client) await client.close();
      await stopHelper(web);
    });

    test('initialize and ping', async () => {
      assert.deepEqual(client.getServerVersion(), { name: 'websearch-server', version: '1.0.3' });
      assert.deepEqual(client.getServerCapabilities(), { tools: { listChanged: false } });
      assert.match(client.getInstructions(), /The default provider on this node is duckduckgo\. /);
      assert.equal(client.transport.sessionId, undefined);
      assert.deepEqual(await client.ping(), {});
    });

    test('tools/list', async () => {
      const { tools } = await client.listTools();
      assert.deepEqual(tools.map((t) => t.name), ['web_search', 'web_search_providers']);
    });

    test('web_search_providers', async () => {
      const r = await client.callTool({ name: 'web_search_providers', arguments: {} },
        CallToolResultSchema);
      assert.equal(r.isError, undefined);
      assert.equal(r.structuredContent.active, 'duckduckgo');
      assert.deepEqual(r.structuredContent.providers.map((p) => [p.id, p.ready]), [
        ['duckduckgo', true], ['searxng', true], ['brave', false], ['tavily', false],
        ['exa', true], ['perplexity', false]]);
      assert.ok(!r.content[0].text.includes('e2e-exa-key'));
    });

    test('web_search against the mock', async () => {
      const r = await client.callTool({ name: 'web_search',
        arguments: { query: 'example search', provider: 'searxng', count: 2 } },
      CallToolResultSchema);
      assert.equal(r.isError, undefined);
      assert.equal(r.structuredContent.query, 'example search');
      assert.deepEqual(r.structuredContent.results.map((x) => x.url),
        ['https://example.com/searxng/one', 'https://example.org/searxng/two']);
      assert.match(r.content[0].text, /^2 result\(s\) from searxng for "example search"/);
      const failed = await client.callTool({ name: 'web_search', arguments: { query: '' } },
        CallToolResultSchema);
      assert.equal(failed.isError, true);
      assert.deepEqual(failed.structuredContent, { ok: false, error: 'query is required' });
    });

    test('a wrong password is refused with 401', async () => {
      await assert.rejects(connect(url, `${PASSWORD}x`),
        (err) => err instanceof StreamableHTTPError && err.code === 401);
    });

    // The web server must pass the headers through both ways: the challenge
    // and Allow out, and Host with its port in (or same-origin pages fail).
    test('refusals and the Origin rule through the web server', async () => {
      const post = (headers) => fetch(url, {
        method: 'POST',
        body: '{"jsonrpc":"2.0","id":1,"method":"ping"}',
        headers: {
          'Content-Type': 'application/json', Authorization: `Bearer ${PASSWORD}`, ...headers,
        },
      });
      const refused = await post({ Authorization: 'Bearer nope' });
      assert.equal(refused.status, 401);
      assert.equal(refused.headers.get('www-authenticate'), 'Bearer');
      const get = await fetch(url, { headers: { Authorization: `Bearer ${PASSWORD}` } });
      assert.equal(get.status, 405);
      assert.equal(get.headers.get('allow'), 'POST');
      assert.equal((await post({ Origin: web.base })).status, 200);
      assert.equal((await post({ Origin: 'http://evil.test' })).status, 403);
    });

    test('the MCP Inspector command line lists and calls the tools', async () => {
      const listed = await inspector(url, '--method', 'tools/list');
      assert.deepEqual(listed.tools.map((t) => t.name), ['web_search', 'web_search_providers']);
      const called = await inspector(url, '--method', 'tools/call', '--tool-name', 'web_search',
        '--tool-arg', 'query=example search', '--tool-arg', 'provider=searxng');
      assert.equal(called.isError, undefined);
      assert.equal(called.structuredContent.provider, 'searxng');
      assert.equal(called.structuredContent.results[0].url, 'https://example.com/searxng/one');
    });
  });
}
