// The settings page in Chromium, served by lighttpd running the real binary
// as CGI; searches go to the loopback mock of the six services.
import { after, afterEach, before, beforeEach, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { fileURLToPath } from 'node:url';

import { chromium } from 'playwright-core';

import { startHelper, stopHelper } from './helper_process.mjs';

const BINARY = process.env.WS_BINARY;
const ENV_KEY = 'pplx-env-key-0123456789';
const ENV_HINT =
  'A key is set in the environment of this node; it stays in force when keys are cleared here.';
const ARTIFACTS = fileURLToPath(new URL('./artifacts/', import.meta.url));
const PASSWORD = 'pa ss+&wd';
const PWD = 'pwd=' + encodeURIComponent(PASSWORD);
const CHROMIUM_ARGS = ['--headless', '--no-sandbox', '--disable-gpu', '--disable-quic',
  '--no-first-run', '--disable-background-networking', '--disable-component-update',
  '--disable-sync'];
const WAIT_MS = 15000;

describe('settings page', () => {
  let tmp, configDir, configFile, mock, web, browser;
  const violations = [];
  const pageErrors = [];

  async function mockCall(path, body) {
    const res = await fetch(mock.base + path, {
      method: 'POST', headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body || {}),
    });
    assert.equal(res.status, 200);
  }

  async function newContext(options) {
    const ctx = await browser.newContext(options);
    // Reports every CSP violation the page meets, whatever triggered it.
    await ctx.addInitScript(() => {
      document.addEventListener('securitypolicyviolation', (e) => {
        console.log('CSP violation: ' + e.violatedDirective + ' ' + e.blockedURI);
      });
    });
    return ctx;
  }

  function watch(page) {
    page.on('console', (msg) => {
      if (/Content.Security.Policy|CSP violation|Refused to/i.test(msg.text())) {
        violations.push(msg.text());
      }
    });
    page.on('pageerror', (e) => pageErrors.push(String(e)));
    const calls = [];
    page.on('request', (r) => {
      if (new URL(r.url()).pathname === '/plugin' && r.resourceType() === 'fetch') calls.push(r);
    });
    return calls;
  }

  async function open(ctx, query = PWD, ready = true) {
    const page = await ctx.newPage();
    const calls = watch(page);
    await page.goto(`${web.base}/plugin?${query}`);
    if (ready) await page.locator('#tiles .tile').nth(5).waitFor({ timeout: WAIT_MS });
    return { page, calls };
  }

  function stored() {
    return JSON.parse(readFileSync(configFile, 'utf8'));
  }

  before(async () => {
    assert.ok(BINARY, 'WS_BINARY is not set');
    tmp = mkdtempSync(join(tmpdir(), 'ws-page-'));
    configDir = join(tmp, 'cfg');
    configFile = join(configDir, 'config.json');
    const docroot = join(tmp, 'www');
    mkdirSync(docroot);
    // A host page of the same origin that shows the plug-in page in a frame
    // and answers its theme request.
    writeFileSync(join(docroot, 'host.html'), `<!doctype html>
<html><head><meta charset="utf-8"><title>host</title></head><body>
<iframe id="f" src="/plugin?${PWD}&embed=1" style="width:100%;height:700px;border:0"></iframe>
<script>
window.themeRequests = 0;
window.addEventListener('message', function (e) {
  if (e.data && e.data.type === 'tq-theme-request') window.themeRequests++;
});
</script></body></html>
`);
    mock = await startHelper('mock_upstream.py', []);
    web = await startHelper('lighttpd_server.py', ['--binary', BINARY, '--docroot', docroot,
      '--env', `SWEBSEARCH_CONFIG_DIR=${configDir}`, '--env', `BOT_PASSWORD=${PASSWORD}`,
      '--env', `WEBSEARCH_MOCK_BASE=${mock.base}`, '--env', `PERPLEXITY_API_KEY=${ENV_KEY}`]);
    // Playwright gives the browser a fresh temporary --user-data-dir itself.
    browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: CHROMIUM_ARGS });
  });

  after(async () => {
    if (browser) await browser.close();
    await stopHelper(web);
    await stopHelper(mock);
    if (tmp) rmSync(tmp, { recursive: true, force: true });
  });

  let ctx;
  beforeEach(async () => {
    rmSync(configFile, { force: true });
    await mockCall('/__reset');
    ctx = await newContext();
  });
  afterEach(async () => {
    await ctx.close();
  });

  test('loads the backends with their badges and links', async () => {
    const { page, calls } = await open(ctx);
    const tiles = page.locator('#tiles .tile');
    assert.deepEqual(await tiles.locator('.tile-label').allTextContents(),
      ['DuckDuckGo', 'SearXNG', 'Brave', 'Tavily', 'Exa', 'Perplexity']);
    // The mock base gives SearXNG a URL; no key is stored.
    assert.deepEqual(await tiles.locator('.badge').allTextContents(),
      ['ready', 'ready', 'no key', 'no key', 'no key', 'key set']);
    assert.deepEqual(await tiles.locator('.tile-hint').allTextContents(),
      ['No key needed', 'Self-hosted', 'Structured API', 'Agent-optimised', 'Neural search',
        'Answer + sources']);
    assert.deepEqual(await tiles.locator('.tile-link').allTextContents(),
      ['Info', 'Info', 'Get a key', 'Get a key', 'Get a key', 'Get a key']);
    for (const a of await tiles.locator('.tile-link').all()) {
      assert.equal(await a.getAttribute('target'), '_blank');
      assert.match(await a.getAttribute('href'), /^https:\/\//);
    }
    assert.equal(await page.locator('.tile.active .tile-label').textContent(), 'DuckDuckGo');
    assert.equal(await page.locator('#mcpUrl').textContent(), `${web.base}/plugin/mcp`);
    assert.equal(await page.locator('#backend').inputValue(), 'duckduckgo');
    assert.deepEqual(await page.locator('#backend option').evaluateAll(
      (os) => os.map((o) => o.value)),
    ['duckduckgo', 'searxng', 'brave', 'tavily', 'exa', 'perplexity']);
    assert.equal(await page.locator('#count').inputValue(), '5');
    assert.equal(await page.locator('#safe').inputValue(), 'moderate');
    assert.equal(await page.locator('#searxng_categories').inputValue(), 'general');
    assert.equal(await page.locator('#tavily_answer').inputValue(), '0');
    assert.equal(await page.locator('#searxng_base').inputValue(), `${mock.base}/searxng`);
    for (const k of ['brave', 'tavily', 'exa']) {
      assert.equal(await page.locator(`#${k}_key`).getAttribute('placeholder'), 'unset');
      assert.equal(await page.locator(`#${k}_hint`).textContent(), 'No key saved.');
    }
    assert.equal(await page.locator('#pplx_hint').textContent(), ENV_HINT);
    assert.equal(calls.length, 1);
    assert.equal(new URL(calls[0].url()).search,
      `?action=config&${PWD}&format=json`);
    assert.equal(calls[0].method(), 'GET');
    assert.equal(await page.locator('#err').textContent(), '');
  });

  test('draws every server text escaped and links only web addresses', async () => {
    const evil = '<img src=x onerror="window.__xss=1">';
    const doc = {
      active: 'brave',
      providers: [
        { id: 'duckduckgo', label: evil, hint: evil, signup: 'javascript:window.__xss=2',
          needs_key: false, needs_base: false, has_key: false, ready: true },
        { id: 'searxng', label: 'SearXNG', hint: 'Self-hosted', signup: '', needs_key: false,
          needs_base: true, has_key: false, ready: false, base: '' },
        { id: 'brave', label: 'Brave', hint: 'Structured API', signup: 'https://b.test',
          needs_key: true, needs_base: false, has_key: true, ready: true },
      ],
      default_count: 9, region: 'x"y', safe: 'STRICT', language: 'de',
      searxng_categories: '', tavily_advanced: false, tavily_answer: true,
    };
    const page = await ctx.newPage();
    watch(page);
    await page.route((u) => u.pathname === '/plugin' && u.search.includes('action=config'),
      (route) => route.fulfill({ status: 200, contentType: 'application/json',
        body: JSON.stringify(doc) }));
    await page.goto(`${web.base}/plugin?${PWD}`);
    await page.locator('#tiles .tile').nth(2).waitFor({ timeout: WAIT_MS });
    assert.equal(await page.locator('#tiles .tile-label').first().textContent(), evil);
    assert.equal(await page.locator('#tiles img').count(), 0);
    assert.deepEqual(await page.locator('#tiles .badge').allTextContents(),
      ['ready', 'no URL', 'key set']);
    assert.deepEqual(await page.locator('#tiles .tile-link').allTextContents(), ['Get a key']);
    assert.equal(await page.locator('.tile.active .tile-label').textContent(), 'Brave');
    assert.equal(await page.locator('#backend').inputValue(), 'brave');
    assert.equal(await page.locator('#count').inputValue(), '9');
    assert.equal(await page.locator('#region').inputValue(), 'x"y');
    assert.equal(await page.locator('#safe').inputValue(), 'strict');
    assert.equal(await page.locator('#searxng_categories').inputValue(), 'general');
    assert.equal(await page.locator('#tavily_answer').inputValue(), '1');
    assert.equal(await page.locator('#brave_key').getAttribute('placeholder'),
      'set (leave blank to keep)');
    assert.equal(await page.locator('#brave_hint').textContent(), 'A key is saved on this node.');
    assert.equal(await page.evaluate(() => window.__xss), undefined);
  });

  test('picking a backend moves the highlight and the selector', async () => {
    const { page } = await open(ctx);
    await page.locator('.tile-pick[data-id="exa"]').click();
    assert.equal(await page.locator('.tile.active .tile-label').textContent(), 'Exa');
    assert.equal(await page.locator('#backend').inputValue(), 'exa');
    await page.locator('#backend').selectOption('tavily');
    assert.equal(await page.locator('.tile.active .tile-label').textContent(), 'Tavily');
    assert.equal(await page.locator('.tile.active').count(), 1);
    assert.equal(existsSync(configFile), false, 'nothing is saved before Save');
  });

  test('saves keys and defaults, then clears the keys', async () => {
    const { page, calls } = await open(ctx);
    await page.locator('.tile-pick[data-id="brave"]').click();
    await page.locator('#brave_key').fill('  BRAVE-KEY-1  ');
    await page.locator('#region').fill('nz-en');
    await page.locator('#safe').selectOption('strict');
    await page.locator('#count').fill('7');
    await page.locator('#tavily_answer').selectOption('1');
    await page.locator('#saveBtn').click();
    await page.locator('#saveStatus', { hasText: 'Saved.' }).waitFor({ timeout: WAIT_MS });
    const body = calls[calls.length - 1].postDataJSON();
    assert.deepEqual(body, {
      action: 'save', provider: 'brave', count: 7, region: 'nz-en', safe: 'strict',
      language: '', searxng_categories: 'general', tavily_answer: 1,
      searxng_base: `${mock.base}/searxng`, brave_key: 'BRAVE-KEY-1',
    });
    assert.equal(new URL(calls[calls.length - 1].url()).search, `?${PWD}&format=json`);
    assert.equal(calls[calls.length - 1].headers()['content-type'], 'application/json');
    let cfg = stored();
    assert.equal(cfg.brave_key, 'BRAVE-KEY-1');
    assert.equal(cfg.provider, 'brave');
    assert.equal(cfg.count, 7);
    assert.equal(cfg.safe, 'strict');
    assert.equal(cfg.tavily_answer, 1);
    assert.equal(await page.locator('#brave_key').inputValue(), '');
    assert.equal(await page.locator('#brave_key').getAttribute('placeholder'),
      'set (leave blank to keep)');
    assert.equal(await page.locator('#brave_hint').textContent(), 'A key is saved on this node.');
    assert.equal(await page.locator('.tile-pick[data-id="brave"] .badge').textContent(), 'key set');

    // Saving again with empty key fields keeps the stored key.
    await page.locator('#region').fill('us-en');
    await page.locator('#saveBtn').click();
    await page.waitForFunction(() => document.querySelector('#saveStatus').textContent === 'Saved.');
    assert.equal(calls[calls.length - 1].postDataJSON().brave_key, undefined);
    cfg = stored();
    assert.deepEqual([cfg.brave_key, cfg.region], ['BRAVE-KEY-1', 'us-en']);

    // A refused save leaves the form as it was and the file untouched.
    const before = readFileSync(configFile);
    await page.locator('#searxng_base').fill('ftp://nope');
    await page.locator('#saveBtn').click();
    await page.locator('#saveStatus', { hasText: 'a base URL must start with http:// or https://' })
      .waitFor({ timeout: WAIT_MS });
    assert.equal(await page.locator('#searxng_base').inputValue(), 'ftp://nope');
    assert.deepEqual(readFileSync(configFile), before);

    // Clearing asks first; dismissing sends nothing.
    const n = calls.length;
    page.once('dialog', (d) => {
      assert.equal(d.message(), 'Remove every saved API key from this node?');
      d.dismiss();
    });
    await page.locator('#clearBtn').click();
    await page.waitForTimeout(200);
    assert.equal(calls.length, n);
    page.once('dialog', (d) => d.accept());
    await page.locator('#clearBtn').click();
    await page.locator('#saveStatus', { hasText: 'Keys cleared.' }).waitFor({ timeout: WAIT_MS });
    assert.deepEqual(calls[calls.length - 1].postDataJSON(), {
      action: 'save', clear_brave_key: 1, clear_tavily_key: 1, clear_exa_key: 1,
      clear_pplx_key: 1,
    });
    cfg = stored();
    assert.deepEqual([cfg.brave_key, cfg.tavily_key, cfg.exa_key, cfg.pplx_key], ['', '', '', '']);
    assert.equal(cfg.region, 'us-en');
    assert.equal(await page.locator('#brave_hint').textContent(), 'No key saved.');
    // A key from the environment outlives the clearing, and the page says why.
    assert.equal(await page.locator('#pplx_hint').textContent(), ENV_HINT);
    assert.equal(await page.locator('#pplx_key').getAttribute('placeholder'),
      'set (leave blank to keep)');
  });

  test('searches and shows results, answers and failures', async () => {
    const { page, calls } = await open(ctx);
    // An empty query only focuses the field.
    await page.locator('#q').fill('   ');
    await page.locator('#searchBtn').click();
    assert.equal(await page.evaluate(() => document.activeElement.id), 'q');
    assert.equal(calls.length, 1);

    // While the answer is pending: the spinner line and a disabled button.
    await mockCall('/__script', { prefix: '/duckduckgo', delay_ms: 1500, times: 1,
      status: 200, headers: [['Content-Type', 'text/html; charset=UTF-8']],
      body: '<html><body>nothing here</body></html>' });
    await page.locator('#q').fill('example search');
    await page.locator('#q').press('Enter');
    await page.locator('#status', { hasText: 'searching with duckduckgo\u2026' })
      .waitFor({ timeout: WAIT_MS });
    assert.equal(await page.locator('#searchBtn').isDisabled(), true);
    await page.locator('#results li.empty').waitFor({ timeout: WAIT_MS });
    assert.equal(await page.locator('#results').textContent(),
      'No results. Try a different backend or query.');
    assert.match(await page.locator('#status').textContent(),
      /^0 results from duckduckgo in \d+ ms$/);
    assert.equal(await page.locator('#searchBtn').isDisabled(), false);
    assert.deepEqual(calls[calls.length - 1].postDataJSON(),
      { action: 'search', q: 'example search', provider: 'duckduckgo', count: 5 });

    // The mock's default page: three results with titles, sites and snippets.
    await page.locator('#searchBtn').click();
    await page.locator('#results li.result').nth(2).waitFor({ timeout: WAIT_MS });
    assert.match(await page.locator('#status').textContent(),
      /^3 results from duckduckgo in \d+ ms$/);
    const first = page.locator('#results li.result').first();
    assert.equal(await first.locator('a.result-title').textContent(), 'Install Example & Configure');
    assert.equal(await first.locator('a.result-title').getAttribute('href'),
      'https://example.com/docs/install?lang=en&v=2');
    assert.equal(await first.locator('a.result-title').getAttribute('target'), '_blank');
    assert.equal(await first.locator('.result-site').textContent(), 'example.com');

    // One result, an unsafe link, markup in the texts, a date, no title.
    await mockCall('/__script', { prefix: '/searxng', times: 1, status: 200,
      headers: [['Content-Type', 'application/json']],
      body: JSON.stringify({ results: [{ url: 'javascript:window.__xss=1', title: '',
        content: '&lt;img src=x onerror=window.__xss=2&gt;', publishedDate: '2024-05-01' }] }) });
    await page.locator('#backend').selectOption('searxng');
    await page.locator('#count').fill('');
    await page.locator('#searchBtn').click();
    await page.locator('#status', { hasText: /^1 result from searxng in \d+ ms$/ })
      .waitFor({ timeout: WAIT_MS });
    assert.equal(calls[calls.length - 1].postDataJSON().count, 5);
    assert.equal(await page.locator('#results a').count(), 0);
    assert.equal(await page.locator('#results img').count(), 0);
    assert.equal(await page.locator('#results .result-title').textContent(),
      'javascript:window.__xss=1');
    assert.equal(await page.locator('#results .result-snippet').textContent(),
      '<img src=x onerror=window.__xss=2>');
    assert.equal(await page.locator('#results .result-date').textContent(), '2024-05-01');
    assert.equal(await page.evaluate(() => window.__xss), undefined);

    // A keyed backend without a key: the backend's message, no status.
    await page.locator('#backend').selectOption('brave');
    await page.locator('#searchBtn').click();
    await page.locator('#err', { hasText: 'Brave needs an API key' }).waitFor({ timeout: WAIT_MS });
    assert.doesNotMatch(await page.locator('#err').textContent(), /HTTP/);
    assert.equal(await page.locator('#results li').count(), 0);
  });

  test('upstream errors carry their status, and Tavily answers show', async () => {
    const { page } = await open(ctx);
    await page.locator('.tile-pick[data-id="brave"]').click();
    await page.locator('#brave_key').fill('k');
    await page.locator('#tavily_key').fill('t');
    await page.locator('#tavily_answer').selectOption('1');
    await page.locator('#saveBtn').click();
    await page.locator('#saveStatus', { hasText: 'Saved.' }).waitFor({ timeout: WAIT_MS });

    await mockCall('/__script', { prefix: '/brave', status: 401, times: 1,
      headers: [['Content-Type', 'application/json']], body: '{"message":"bad key"}' });
    await page.locator('#q').fill('example search');
    await page.locator('#searchBtn').click();
    await page.locator('#err', { hasText: ' (HTTP 401)' }).waitFor({ timeout: WAIT_MS });
    assert.match(await page.locator('#err').textContent(), /^Brave returned HTTP 401.* \(HTTP 401\)$/);

    await page.locator('#backend').selectOption('tavily');
    await page.locator('#searchBtn').click();
    await page.locator('#results li.answer').waitFor({ timeout: WAIT_MS });
    assert.equal(await page.locator('#err').textContent(), '');
    assert.equal(await page.locator('#results li.answer p').textContent(),
      'Example search is a test query; the mock answers it from memory.');
    assert.equal(await page.locator('#results li.result').count(), 3);
    mkdirSync(ARTIFACTS, { recursive: true });
    await page.screenshot({ path: join(ARTIFACTS, 'page-answer.png'), fullPage: true });
  });

  test('without pwd in its address the page sends none and says why it failed', async () => {
    const page = await ctx.newPage();
    const calls = watch(page);
    // The document itself is let in by the header; the page's own requests
    // carry no credential of their own and are refused.
    await page.route((u) => u.pathname === '/plugin', (route) => {
      const r = route.request();
      if (r.resourceType() !== 'document') return route.continue();
      return route.continue({ headers: { ...r.headers(), 'x-bot-password': PASSWORD } });
    });
    await page.goto(`${web.base}/plugin`);
    await page.locator('#err', { hasText: 'cannot load the configuration: invalid node password' })
      .waitFor({ timeout: WAIT_MS });
    assert.equal(calls.length, 1);
    assert.equal(new URL(calls[0].url()).search, '?action=config&format=json');
    assert.equal(calls[0].headers()['x-bot-password'], undefined);
    assert.equal(await page.locator('#tiles .tile').count(), 0);
  });

  test('theme from the address, storage and the button; embed hides the button', async () => {
    const page = await ctx.newPage();
    watch(page);
    await page.goto(`${web.base}/plugin?${PWD}&theme=dark`);
    assert.equal(await page.evaluate(() => document.documentElement.dataset.theme), 'dark');
    assert.equal(await page.evaluate(() => localStorage.getItem('bot_theme')), 'dark');
    // The address wins over storage, and overwrites it.
    await page.goto(`${web.base}/plugin?${PWD}&theme=light`);
    assert.equal(await page.evaluate(() => document.documentElement.dataset.theme), 'light');
    assert.equal(await page.evaluate(() => localStorage.getItem('bot_theme')), 'light');
    // Without a theme parameter the stored choice is used.
    await page.evaluate(() => localStorage.setItem('bot_theme', 'dark'));
    await page.goto(`${web.base}/plugin?${PWD}&theme=blue`);
    assert.equal(await page.evaluate(() => document.documentElement.dataset.theme), 'dark');
    // The button flips and stores.
    assert.equal(await page.locator('#themeBtn').isVisible(), true);
    await page.locator('#themeBtn').click();
    assert.equal(await page.evaluate(() => document.documentElement.dataset.theme), 'light');
    assert.equal(await page.evaluate(() => localStorage.getItem('bot_theme')), 'light');
    assert.equal(await page.evaluate(() => window.tqTheme()), 'light');
    // The two palettes differ where it shows.
    const bg = () => page.evaluate(() => getComputedStyle(document.body).backgroundColor);
    const light = await bg();
    await page.locator('#themeBtn').click();
    assert.notEqual(await bg(), light);
    for (const embed of ['1', 'true']) {
      await page.goto(`${web.base}/plugin?${PWD}&embed=${embed}`);
      assert.equal(await page.locator('#themeBtn').isHidden(), true);
      assert.equal(await page.evaluate(() => document.documentElement.classList.contains('embedded')),
        true);
    }
    await page.goto(`${web.base}/plugin?${PWD}&embed=0`);
    assert.equal(await page.locator('#themeBtn').isVisible(), true);
    // With nothing stored, the browser's preference decides.
    const fresh = await newContext({ colorScheme: 'light' });
    const p2 = await fresh.newPage();
    await p2.goto(`${web.base}/plugin?${PWD}`);
    assert.equal(await p2.evaluate(() => document.documentElement.dataset.theme), 'light');
    await fresh.close();
    const dark = await newContext({ colorScheme: 'dark' });
    const p3 = await dark.newPage();
    await p3.goto(`${web.base}/plugin?${PWD}`);
    assert.equal(await p3.evaluate(() => document.documentElement.dataset.theme), 'dark');
    await dark.close();
  });

  test('a framing host page drives the theme with tq-theme messages', async () => {
    const page = await ctx.newPage();
    watch(page);
    await page.goto(`${web.base}/host.html`);
    await page.waitForFunction(() => window.themeRequests === 1, null, { timeout: WAIT_MS });
    const frame = page.frame({ url: /\/plugin\?/ });
    assert.ok(frame);
    await frame.locator('#tiles .tile').nth(5).waitFor({ timeout: WAIT_MS });
    assert.equal(await frame.locator('#themeBtn').isHidden(), true);
    const post = (theme) => page.evaluate((t) => {
      document.getElementById('f').contentWindow.postMessage({ type: 'tq-theme', theme: t }, '*');
    }, theme);
    const themeOf = () => frame.evaluate(() => document.documentElement.dataset.theme);
    await post('dark');
    await frame.waitForFunction(() => document.documentElement.dataset.theme === 'dark');
    await frame.evaluate(() => {
      window.seen = [];
      window.addEventListener('bot-theme', (e) => window.seen.push(e.detail));
    });
    await post('light');
    await frame.waitForFunction(() => document.documentElement.dataset.theme === 'light');
    assert.equal(await frame.evaluate(() => localStorage.getItem('bot_theme')), 'light');
    await post('light');   // the same again: nothing changes, nothing fires
    await post('sepia');   // not a theme: ignored
    await page.evaluate(() => document.getElementById('f').contentWindow.postMessage(
      { type: 'other', theme: 'dark' }, '*'));
    await post('dark');
    await frame.waitForFunction(() => document.documentElement.dataset.theme === 'dark');
    assert.deepEqual(await frame.evaluate(() => window.seen), ['light', 'dark']);
    assert.equal(await themeOf(), 'dark');
    assert.equal(await page.evaluate(() => window.themeRequests), 1);
  });

  test('screenshots in both themes, desktop and phone width', async () => {
    mkdirSync(ARTIFACTS, { recursive: true });
    for (const [name, viewport] of [['desktop', { width: 1280, height: 900 }],
      ['phone', { width: 390, height: 844 }]]) {
      for (const theme of ['light', 'dark']) {
        const c = await newContext({ viewport });
        const { page } = await open(c, `${PWD}&theme=${theme}`);
        await page.locator('#q').fill('example search');
        await page.locator('#searchBtn').click();
        await page.locator('#results li.result').nth(2).waitFor({ timeout: WAIT_MS });
        // Nothing may stick out sideways at phone width.
        assert.equal(await page.evaluate(
          () => document.documentElement.scrollWidth <= window.innerWidth), true);
        await page.screenshot({ path: join(ARTIFACTS, `page-${theme}-${name}.png`),
          fullPage: true });
        await c.close();
      }
    }
  });

  test('no Content-Security-Policy violation and no script error anywhere', () => {
    assert.deepEqual(violations, []);
    assert.deepEqual(pageErrors, []);
  });
});
