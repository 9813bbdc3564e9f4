'use strict';
(function () {
  var P = null;              // the last providers document
  var active = 'duckduckgo'; // the selected backend
  var KEY_FIELD = { brave: 'brave', tavily: 'tavily', exa: 'exa', perplexity: 'pplx' };

  function $(id) { return document.getElementById(id); }

  // Every text that came from the server goes through here before it
  // becomes markup.
  function esc(s) {
    return String(s == null ? '' : s)
      .replace(/&/g, '&amp;').replace(/</g, '&lt;').replace(/>/g, '&gt;')
      .replace(/"/g, '&quot;').replace(/'/g, '&#39;');
  }

  // Only web addresses become links: a result or sign-up address with any
  // other scheme (javascript:, data:) would run in this page's origin.
  function webUrl(u) { return typeof u === 'string' && /^https?:\/\//i.test(u); }

  function pwdPart() {
    var v = new URLSearchParams(window.location.search).get('pwd');
    return v === null ? '' : 'pwd=' + encodeURIComponent(v) + '&';
  }

  function getJson(url, init) {
    init = init || {};
    init.credentials = 'same-origin';
    return fetch(url, init).then(function (r) { return r.json(); });
  }

  function post(body) {
    return getJson('?' + pwdPart() + 'format=json', {
      method: 'POST',
      headers: { 'Content-Type': 'application/json' },
      body: JSON.stringify(body)
    });
  }

  function countValue() {
    var n = parseInt($('count').value, 10);
    return isNaN(n) ? 5 : n;
  }

  function message(e) { return e && e.message ? e.message : String(e); }

  function spinner(text) { return '<span class="spin" aria-hidden="true"></span>' + esc(text); }

  function providers() { return P && Array.isArray(P.providers) ? P.providers : []; }

  function drawTiles() {
    var tiles = '';
    var options = '';
    providers().forEach(function (p) {
      var keyed = !!p.needs_key;
      var badge = p.ready ? (keyed ? 'key set' : 'ready') : (keyed ? 'no key' : 'no URL');
      var on = p.id === active;
      tiles += '<div class="tile' + (on ? ' active' : '') + '" role="listitem">' +
        '<button type="button" class="tile-pick" data-id="' + esc(p.id) + '" aria-pressed="' + on + '">' +
        '<span class="tile-head"><span class="tile-label">' + esc(p.label) + '</span>' +
        '<span class="badge ' + (p.ready ? 'ok' : 'warn') + '">' + esc(badge) + '</span></span>' +
        '<span class="tile-hint">' + esc(p.hint) + '</span></button>';
      if (p.signup && webUrl(p.signup)) {
        tiles += '<a class="tile-link" href="' + esc(p.signup) + '" target="_blank" rel="noopener noreferrer">' +
          (keyed ? 'Get a key' : 'Info') + '</a>';
      }
      tiles += '</div>';
      options += '<option value="' + esc(p.id) + '"' + (on ? ' selected' : '') + '>' + esc(p.label) + '</option>';
    });
    $('tiles').innerHTML = tiles;
    $('backend').innerHTML = options;
  }

  function pick(id) {
    active = id;
    drawTiles();
  }

  function fill(d) {
    P = d;
    active = d.active || 'duckduckgo';
    drawTiles();
    $('count').value = d.default_count || 5;
    $('region').value = d.region || '';
    var safe = String(d.safe || 'moderate').toLowerCase();
    $('safe').value = /^(strict|moderate|off)$/.test(safe) ? safe : 'moderate';
    $('language').value = d.language || '';
    $('searxng_categories').value = d.searxng_categories || 'general';
    $('tavily_answer').value = d.tavily_answer === true ? '1' : '0';
    var fromEnv = Array.isArray(d.env_keys) ? d.env_keys : [];
    providers().forEach(function (p) {
      var k = KEY_FIELD[p.id];
      var field = k && $(k + '_key');
      if (field) {
        var env = p.has_key && fromEnv.indexOf(p.id) >= 0;
        field.value = '';
        field.placeholder = p.has_key ? 'set (leave blank to keep)' : 'unset';
        $(k + '_hint').textContent = env
          ? 'A key is set in the environment of this node; it stays in force when keys are cleared here.'
          : (p.has_key ? 'A key is saved on this node.' : 'No key saved.');
      }
      if (p.id === 'searxng') $('searxng_base').value = p.base || '';
    });
  }

  function load() {
    getJson('?action=' + 'config' + '&' + pwdPart() + 'format=json').then(function (d) {
      if (!d || !Array.isArray(d.providers)) throw new Error((d && d.error) || 'unexpected answer');
      fill(d);
    }).catch(function (e) {
      $('err').textContent = 'cannot load the configuration: ' + message(e);
    });
  }

  function showResults(d) {
    var n = d.count | 0;
    $('status').textContent = n + (n === 1 ? ' result' : ' results') + ' from ' + d.provider +
      ' in ' + d.took_ms + ' ms';
    var html = '';
    if (typeof d.answer === 'string' && d.answer) {
      html += '<li class="answer"><span class="answer-tag">Answer</span><p>' + esc(d.answer) + '</p></li>';
    }
    var list = Array.isArray(d.results) ? d.results : [];
    list.forEach(function (r) {
      var title = esc(r.title || r.url);
      html += '<li class="result">';
      html += webUrl(r.url)
        ? '<a class="result-title" href="' + esc(r.url) + '" target="_blank" rel="noopener noreferrer">' + title + '</a>'
        : '<span class="result-title">' + title + '</span>';
      if (r.site) html += '<div class="result-site">' + esc(r.site) + '</div>';
      if (r.snippet) html += '<p class="result-snippet">' + esc(r.snippet) + '</p>';
      if (r.published) html += '<div class="result-date">' + esc(r.published) + '</div>';
      html += '</li>';
    });
    if (!list.length) html += '<li class="empty">No results. Try a different backend or query.</li>';
    $('results').innerHTML = html;
  }

  function search() {
    var q = $('q').value.trim();
    if (!q) {
      $('q').focus();
      return;
    }
    var btn = $('searchBtn');
    $('err').textContent = '';
    $('results').innerHTML = '';
    $('status').innerHTML = spinner('searching with ' + $('backend').value + '\u2026');
    btn.disabled = true;
    post({ action: 'search', q: q, provider: $('backend').value, count: countValue() }).then(function (d) {
      if (!d || d.ok !== true) {
        $('status').textContent = '';
        $('err').textContent = ((d && d.error) || 'search failed') +
          (d && d.status ? ' (HTTP ' + d.status + ')' : '');
        return;
      }
      showResults(d);
    }).catch(function (e) {
      $('status').textContent = '';
      $('err').textContent = message(e);
    }).then(function () {
      btn.disabled = false;
    });
  }

  function save() {
    var st = $('saveStatus');
    st.innerHTML = spinner('saving\u2026');
    var body = {
      action: 'save',
      provider: active,
      count: countValue(),
      region: $('region').value,
      safe: $('safe').value,
      language: $('language').value,
      searxng_categories: $('searxng_categories').value,
      tavily_answer: $('tavily_answer').value === '1' ? 1 : 0,
      searxng_base: $('searxng_base').value.trim()
    };
    ['brave', 'tavily', 'exa', 'pplx'].forEach(function (k) {
      var v = $(k + '_key').value.trim();
      if (v) body[k + '_key'] = v;
    });
    post(body).then(function (d) {
      if (d && Array.isArray(d.providers)) {
        fill(d);
        st.textContent = 'Saved.';
      } else {
        st.textContent = (d && d.error) || 'Save failed.';
      }
    }).catch(function (e) {
      st.textContent = message(e);
    });
  }

  function clearKeys() {
    if (!window.confirm('Remove every saved API key from this node?')) return;
    var st = $('saveStatus');
    st.innerHTML = spinner('saving\u2026');
    post({ action: 'save', clear_brave_key: 1, clear_tavily_key: 1, clear_exa_key: 1, clear_pplx_key: 1 })
      .then(function (d) {
        if (d && Array.isArray(d.providers)) {
          fill(d);
          st.textContent = 'Keys cleared.';
        } else {
          st.textContent = (d && d.error) || 'Save failed.';
        }
      }).catch(function (e) {
        st.textContent = message(e);
      });
  }

  function toggleTheme() {
    var next = document.documentElement.getAttribute('data-theme') === 'light' ? 'dark' : 'light';
    if (typeof window.tqApplyTheme === 'function') {
      window.tqApplyTheme(next);
      return;
    }
    document.documentElement.setAttribute('data-theme', next);
    try { window.localStorage.setItem('bot_theme', next); } catch (e) { /* storage may be off */ }
  }

  $('tiles').addEventListener('click', function (ev) {
    var b = ev.target.closest('.tile-pick');
    if (b) pick(b.getAttribute('data-id'));
  });
  $('backend').addEventListener('change', function () { pick($('backend').value); });
  $('searchBtn').addEventListener('click', search);
  $('q').addEventListener('keydown', function (ev) {
    if (ev.key === 'Enter') {
      ev.preventDefault();
      search();
    }
  });
  $('saveBtn').addEventListener('click', save);
  $('clearBtn').addEventListener('click', clearKeys);
  $('themeBtn').addEventListener('click', toggleTheme);

  // The MCP endpoint sits right below the address this page came from,
  // whatever name and port the user reached it by.
  $('mcpUrl').textContent = window.location.origin +
    window.location.pathname.replace(/\/+$/, '') + '/mcp';

  load();
})();
