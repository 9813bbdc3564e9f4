// Hot paths of one search, measured with Google Benchmark on inputs shaped
// like what the services send: the DuckDuckGo page scan, the HTML-to-text
// converter, the JSON string writer (next to yyjson's own on the same
// inputs), the results document, the URL parser and the chunked decoder.
#include <benchmark/benchmark.h>
#include <yyjson.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "plugin/ws_render.h"
#include "sdk/tq_conn.h"
#include "sdk/tq_http.h"
#include "sdk/tq_url.h"
#include "search/ws_ddg_scan.h"
#include "search/ws_results.h"
#include "util/ws_buf.h"
#include "util/ws_text.h"

namespace {

// --- inputs --------------------------------------------------------------------

std::string ddg_result(int i) {
  const std::string n = std::to_string(i);
  const std::string link = "//duckduckgo.com/l/?uddg=https%3A%2F%2Fwww.example" + n +
                           ".org%2Farticles%2F2024%2F05%2Ffast-search-" + n +
                           "%3Fref%3Dddg&amp;rut=" + std::string(64, 'a' + i % 26);
  return "<div class=\"result results_links results_links_deep web-result \">\n"
         "  <div class=\"links_main links_deep result__body\">\n"
         "    <h2 class=\"result__title\">\n"
         "      <a rel=\"nofollow\" class=\"result__a\" href=\"" +
         link + "\">Writing a <b>fast</b> search client &amp; its stack, part " + n +
         "</a>\n    </h2>\n    <div class=\"result__extras\">\n"
         "      <div class=\"result__extras__url\">\n"
         "        <span class=\"result__icon\"><a rel=\"nofollow\" href=\"" +
         link +
         "\"><img class=\"result__icon__img\" width=\"16\" height=\"16\" alt=\"\" "
         "src=\"//external-content.duckduckgo.com/ip3/www.example" +
         n + ".org.ico\" name=\"i15\" /></a></span>\n        <a class=\"result__url\" href=\"" +
         link + "\">www.example" + n + ".org/articles/2024/05/fast-search-" + n +
         "</a>\n      </div>\n    </div>\n    <a class=\"result__snippet\" href=\"" + link +
         "\">Notes on building a small, fast <b>search</b> client in C++ &mdash; its own "
         "HTTP/1.1 and TLS stack, bounded buffers, &quot;time-outs&quot; everywhere and "
         "JSON through yyjson. Part " +
         n + " of the series.</a>\n    <div class=\"clear\"></div>\n  </div>\n</div>\n";
}

// A results page of 20 results with a head of the size DuckDuckGo sends.
const std::string &ddg_page() {
  static const std::string page = [] {
    std::string p =
        "<!DOCTYPE html>\n<html>\n<head>\n<meta http-equiv=\"content-type\" "
        "content=\"text/html; charset=UTF-8\">\n<title>bench at DuckDuckGo</title>\n<style>";
    for (int i = 0; i < 60; ++i) {
      p += ".c" + std::to_string(i) +
           "{margin:0 auto;padding:4px 8px;color:#333;font:13px/1.4 arial}";
    }
    p += "</style>\n</head>\n<body>\n<div id=\"links\" class=\"results\">\n";
    for (int i = 1; i <= 20; ++i) p += ddg_result(i);
    p += "<div class=\"nav-link\"><form action=\"/html/\" method=\"post\"><input type=\"submit\" "
         "value=\"Next\" /></form></div>\n</div>\n</body>\n</html>\n";
    return p;
  }();
  return page;
}

const char kSnippetHtml[] =
    "Notes on building a small, fast <b>search</b> client in C++ &mdash; its own HTTP/1.1 and "
    "TLS stack, bounded buffers, &quot;time-outs&quot; everywhere and JSON through "
    "<em>yyjson</em>. Caf&#233; &amp; cr&egrave;me, part 7 of the series&hellip;";

struct text_case {
  const char *name;
  std::string text;
};

const std::vector<text_case> &json_inputs() {
  static const std::vector<text_case> cases = [] {
    std::vector<text_case> v;
    std::string ascii, escapes, utf8;
    for (int i = 0; i < 8; ++i) {
      ascii += "Notes on building a small, fast search client in C++ with its own HTTP stack. ";
      escapes += "line \"one\"\n\tpath C:\\dir\\file\r\nbell \x07 and tab\t ";
      utf8 +=
          "Caf\xC3\xA9 cr\xC3\xA8me \xE2\x80\x94 \xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E "
          "\xF0\x9F\x94\x8D search ";
    }
    v.push_back({"ascii", ascii});
    v.push_back({"escapes", escapes});
    v.push_back({"utf8", utf8});
    return v;
  }();
  return cases;
}

void fill_results(ws_results *list) {
  ws_results_init(list);
  ws_copy(list->query, sizeof list->query, "fast search client");
  ws_copy(list->provider, sizeof list->provider, "searxng");
  list->took_ms = 12;
  for (int i = 1; i <= 20; ++i) {
    const std::string n = std::to_string(i);
    ws_result *r = ws_results_push(list);
    const std::string url = "https://www.example" + n + ".org/articles/2024/05/fast-search-" + n;
    const std::string title = "Result " + n + ": Writing a <b>fast</b> search client &amp; more";
    fill_result(r, title.c_str(), url.c_str(), kSnippetHtml, "2024-05-01T10:00:00");
  }
}

// A terminated chunked body in chunks of `chunk` bytes that fills as much
// of the connection's receive buffer as it can.
std::string chunked_body(size_t chunk) {
  std::string out;
  char size_line[32];
  const int head = snprintf(size_line, sizeof size_line, "%zx\r\n", chunk);
  const size_t piece = static_cast<size_t>(head) + chunk + 2;
  while (out.size() + piece + 5 <= sizeof(tq_conn{}.rbuf)) {
    out += size_line;
    out.append(chunk, 'x');
    out += "\r\n";
  }
  out += "0\r\n\r\n";
  return out;
}

// --- benchmarks ----------------------------------------------------------------

void BM_DdgScan(benchmark::State &state) {
  const std::string &page = ddg_page();
  for (auto _ : state) {
    ws_results list;
    ws_results_init(&list);
    char err[512];
    const int n = ws_ddg_scan(page.data(), page.size(), 20, &list, err, sizeof err);
    benchmark::DoNotOptimize(n);
    ws_results_free(&list);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_DdgScan);

void BM_HtmlText(benchmark::State &state) {
  char out[4096];
  const size_t len = strlen(kSnippetHtml);
  for (auto _ : state) {
    ws_html_text(out, sizeof out, kSnippetHtml);
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * len));
}
BENCHMARK(BM_HtmlText);

void BM_HtmlTextPage(benchmark::State &state) {
  // A whole page through the converter: the worst a title or snippet can be.
  const std::string &page = ddg_page();
  std::vector<char> out(page.size() + 1);
  for (auto _ : state) {
    ws_html_text(out.data(), out.size(), page.c_str());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_HtmlTextPage);

void BM_WsJsonStr(benchmark::State &state) {
  const text_case &c = json_inputs()[static_cast<size_t>(state.range(0))];
  state.SetLabel(c.name);
  ws_buf b;
  ws_buf_init(&b);
  ws_buf_need(&b, c.text.size() * 6 + 2);
  for (auto _ : state) {
    b.len = 0;
    ws_json_str(&b, c.text.c_str());
    benchmark::DoNotOptimize(b.data);
  }
  ws_buf_free(&b);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.text.size()));
}
BENCHMARK(BM_WsJsonStr)->Arg(0)->Arg(1)->Arg(2);

void BM_YyjsonStr(benchmark::State &state) {
  const text_case &c = json_inputs()[static_cast<size_t>(state.range(0))];
  state.SetLabel(c.name);
  yyjson_mut_doc *doc = yyjson_mut_doc_new(nullptr);
  yyjson_mut_val *val = yyjson_mut_strn(doc, c.text.data(), c.text.size());
  // A pool allocator, so neither side pays for malloc inside the loop.
  std::vector<char> pool(c.text.size() * 8 + 4096);
  yyjson_alc alc;
  yyjson_alc_pool_init(&alc, pool.data(), pool.size());
  for (auto _ : state) {
    size_t len = 0;
    char *out = yyjson_mut_val_write_opts(val, 0, &alc, &len, nullptr);
    benchmark::DoNotOptimize(out);
    alc.free(alc.ctx, out);
  }
  yyjson_mut_doc_free(doc);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * c.text.size()));
}
BENCHMARK(BM_YyjsonStr)->Arg(0)->Arg(1)->Arg(2);

void BM_ResultsJson(benchmark::State &state) {
  ws_results list;
  fill_results(&list);
  size_t bytes = 0;
  for (auto _ : state) {
    char *doc = results_json(&list);
    bytes += strlen(doc);
    free(doc);
  }
  ws_results_free(&list);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_ResultsJson);

void BM_UrlParse(benchmark::State &state) {
  static const char *const kUrls[] = {
      "https://api.search.brave.com/res/v1/web/search?q=fast+search&count=20",
      "http://127.0.0.1:8888/search?q=caf%C3%A9&format=json&categories=general",
      "https://[2001:db8::1]:8443/path/to/search?x=1#frag",
      "https://html.duckduckgo.com/html/",
  };
  size_t i = 0;
  for (auto _ : state) {
    tq_url u;
    char err[128];
    benchmark::DoNotOptimize(tq_url_parse(kUrls[i++ & 3], &u, err, sizeof err));
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_UrlParse);

void BM_Chunked(benchmark::State &state) {
  const std::string body = chunked_body(static_cast<size_t>(state.range(0)));
  static tq_conn conn;
  if (body.size() > sizeof conn.rbuf) {
    state.SkipWithError("body does not fit the receive buffer");
    return;
  }
  size_t decoded = 0;
  for (auto _ : state) {
    // The whole body already sits in the receive buffer, so the decoder
    // alone is measured; no socket is ever touched.
    memset(&conn, 0, offsetof(tq_conn, rbuf));
    conn.sock = TQ_NO_SOCKET;
    memcpy(conn.rbuf, body.data(), body.size());
    conn.rpos = 0;
    conn.rlen = body.size();
    conn.body_mode = 2;
    conn.chunk_state = 0;
    conn.remaining = 0;
    conn.body_bytes = 0;
    conn.eof = 0;
    char *out = nullptr;
    size_t out_len = 0;
    if (tq_read_all(&conn, &out, &out_len, 1000) != 1) {
      state.SkipWithError("chunked body was not decoded");
      break;
    }
    decoded += out_len;
    free(out);
  }
  state.SetBytesProcessed(static_cast<int64_t>(decoded));
}
BENCHMARK(BM_Chunked)->Arg(7)->Arg(1024)->Arg(8000);

}  // namespace

BENCHMARK_MAIN();
