// Rendering of the result, providers and error documents, the MCP tool-result
// envelope and the plain-text listing of a search.
//
// Every builder collects the results of its appends and hands over its text
// only when all of them succeeded: a document cut short by a failed
// allocation would be invalid JSON, and the callers have fixed fallbacks for
// a missing one.
#include "plugin/ws_render.h"

#include <yyjson.h>

#include <cstring>
#include <memory>

#include "search/ws_http.h"
#include "search/ws_registry.h"
#include "search/ws_search.h"

namespace {

// Length of the well-formed UTF-8 sequence at s[0..n), or 0 when the bytes
// there do not start one (stray continuation byte, overlong form, surrogate,
// code point above U+10FFFF, or a sequence cut short).
size_t utf8_seq_len(const unsigned char *s, size_t n) {
  const unsigned char c = s[0];
  if (c < 0x80) return 1;
  size_t need;
  unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
  if (c >= 0xC2 && c <= 0xDF) {
    need = 2;
  } else if (c >= 0xE0 && c <= 0xEF) {
    need = 3;
    if (c == 0xE0) lo = 0xA0;  // overlong
    if (c == 0xED) hi = 0x9F;  // UTF-16 surrogates
  } else if (c >= 0xF0 && c <= 0xF4) {
    need = 4;
    if (c == 0xF0) lo = 0x90;  // overlong
    if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (n < need) return 0;
  if (s[1] < lo || s[1] > hi) return 0;
  for (size_t i = 2; i < need; i++) {
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  }
  return need;
}

bool utf8_valid(const char *s, size_t n) {
  const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
  size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {  // most text is ASCII: no call per byte for it
      ++i;
      continue;
    }
    const size_t k = utf8_seq_len(p + i, n - i);
    if (k == 0) return false;
    i += k;
  }
  return true;
}

// Hands the assembled text to the caller, or frees it when any append failed.
char *hand_over(ws_buf *b, int failed) {
  if (!failed && b->data == nullptr) failed = ws_buf_add(b, nullptr, 0);
  if (failed) {
    ws_buf_free(b);
    return nullptr;
  }
  char *text = b->data;
  ws_buf_init(b);
  return text;
}

const char *bool_word(int flag) {
  return flag ? "true" : "false";
}

// Only a JSON object may stand as an MCP tool result's structured content.
bool is_json_object(const char *text) {
  std::unique_ptr<yyjson_doc, ws_doc_deleter> doc(
      yyjson_read_opts(const_cast<char *>(text), strlen(text), 0, nullptr, nullptr));
  return doc && yyjson_is_obj(yyjson_doc_get_root(doc.get()));
}

}  // namespace

int json_str_utf8(ws_buf *b, const char *s) {
  if (s == nullptr) return ws_json_str(b, s);
  const size_t n = strlen(s);
  if (utf8_valid(s, n)) return ws_json_str(b, s);

  ws_buf fixed;
  ws_buf_init(&fixed);
  ws_buf_guard guard(&fixed);
  const unsigned char *p = reinterpret_cast<const unsigned char *>(s);
  size_t i = 0;
  while (i < n) {
    const size_t k = utf8_seq_len(p + i, n - i);
    if (k == 0) {
      if (ws_buf_add(&fixed, "\xEF\xBF\xBD", 3) != 0) return -1;
      i++;
    } else {
      if (ws_buf_add(&fixed, s + i, k) != 0) return -1;
      i += k;
    }
  }
  return ws_json_str(b, ws_buf_str(&fixed));
}

char *results_json(const ws_results *r) {
  if (r == nullptr) return nullptr;
  ws_buf b;
  ws_buf_init(&b);
  int failed = 0;
  failed |= ws_buf_puts(&b, "{\"ok\":true,\"query\":");
  failed |= json_str_utf8(&b, r->query);
  failed |= ws_buf_puts(&b, ",\"provider\":");
  failed |= json_str_utf8(&b, r->provider);
  failed |= ws_buf_printf(&b, ",\"count\":%d,\"took_ms\":%lld", r->count,
                          static_cast<long long>(r->took_ms));
  if (r->answer.len > 0) {
    failed |= ws_buf_puts(&b, ",\"answer\":");
    failed |= json_str_utf8(&b, ws_buf_str(&r->answer));
  }
  failed |= ws_buf_puts(&b, ",\"results\":[");
  for (int i = 0; r->items != nullptr && i < r->count; i++) {
    const ws_result &it = r->items[i];
    if (i > 0) failed |= ws_buf_putc(&b, ',');
    failed |= ws_buf_puts(&b, "{\"title\":");
    failed |= json_str_utf8(&b, it.title);
    failed |= ws_buf_puts(&b, ",\"url\":");
    failed |= json_str_utf8(&b, it.url);
    failed |= ws_buf_puts(&b, ",\"snippet\":");
    failed |= json_str_utf8(&b, it.snippet);
    if (it.published[0] != '\0') {
      failed |= ws_buf_puts(&b, ",\"published\":");
      failed |= json_str_utf8(&b, it.published);
    }
    if (it.site[0] != '\0') {
      failed |= ws_buf_puts(&b, ",\"site\":");
      failed |= json_str_utf8(&b, it.site);
    }
    failed |= ws_buf_putc(&b, '}');
  }
  failed |= ws_buf_puts(&b, "]}");
  return hand_over(&b, failed);
}

char *providers_json(const ws_config *cfg) {
  if (cfg == nullptr) return nullptr;
  ws_buf b;
  ws_buf_init(&b);
  int failed = 0;
  failed |= ws_buf_puts(&b, "{\"active\":");
  failed |= json_str_utf8(&b, ws_provider_active(cfg));
  failed |= ws_buf_puts(&b, ",\"providers\":[");
  for (int i = 0; i < WS_PROVIDER_COUNT; i++) {
    const ws_provider &p = WS_PROVIDERS[i];
    if (i > 0) failed |= ws_buf_putc(&b, ',');
    failed |= ws_buf_puts(&b, "{\"id\":");
    failed |= json_str_utf8(&b, p.id);
    failed |= ws_buf_puts(&b, ",\"label\":");
    failed |= json_str_utf8(&b, p.label);
    failed |= ws_buf_puts(&b, ",\"hint\":");
    failed |= json_str_utf8(&b, p.hint);
    failed |= ws_buf_puts(&b, ",\"signup\":");
    failed |= json_str_utf8(&b, p.signup);
    failed |= ws_buf_printf(&b, ",\"needs_key\":%s,\"needs_base\":%s,\"has_key\":%s,\"ready\":%s",
                            bool_word(p.needs_key), bool_word(p.needs_base),
                            bool_word(ws_provider_has_key(cfg, p.id)),
                            bool_word(ws_provider_ready(cfg, p.id)));
    if (p.needs_base) {
      failed |= ws_buf_puts(&b, ",\"base\":");
      failed |= json_str_utf8(&b, cfg->searxng_base);
    }
    failed |= ws_buf_putc(&b, '}');
  }
  failed |= ws_buf_printf(&b, "],\"default_count\":%d", cfg->count);
  failed |= ws_buf_puts(&b, ",\"region\":");
  failed |= json_str_utf8(&b, cfg->region);
  failed |= ws_buf_puts(&b, ",\"safe\":");
  failed |= json_str_utf8(&b, cfg->safe);
  failed |= ws_buf_puts(&b, ",\"language\":");
  failed |= json_str_utf8(&b, cfg->language);
  failed |= ws_buf_puts(&b, ",\"searxng_categories\":");
  failed |= json_str_utf8(&b, cfg->searxng_categories);
  failed |= ws_buf_printf(&b, ",\"tavily_advanced\":%s,\"tavily_answer\":%s",
                          bool_word(cfg->tavily_advanced), bool_word(cfg->tavily_answer));
  failed |= ws_buf_putc(&b, '}');
  return hand_over(&b, failed);
}

char *mcp_envelope(const char *text, int is_error) {
  ws_buf b;
  ws_buf_init(&b);
  int failed = 0;
  failed |= ws_buf_puts(&b, "{\"content\":[{\"type\":\"text\",\"text\":");
  failed |= json_str_utf8(&b, text != nullptr ? text : "");
  failed |= ws_buf_puts(&b, "}]");
  // The text is inserted raw as structured content, so it must be a JSON
  // object itself: an empty or malformed text would break the whole reply.
  if (text != nullptr && text[0] != '\0' && is_json_object(text)) {
    failed |= ws_buf_puts(&b, ",\"structuredContent\":");
    failed |= ws_buf_puts(&b, text);
  }
  if (is_error) failed |= ws_buf_puts(&b, ",\"isError\":true");
  failed |= ws_buf_putc(&b, '}');
  return hand_over(&b, failed);
}

char *results_text(const ws_results *r) {
  if (r == nullptr) return nullptr;
  ws_buf b;
  ws_buf_init(&b);
  int failed = 0;
  failed |= ws_buf_printf(&b, "%d result(s) from %s for \"%s\" in %lld ms\n", r->count, r->provider,
                          r->query, static_cast<long long>(r->took_ms));
  if (r->answer.len > 0) {
    failed |= ws_buf_puts(&b, "\nAnswer: ");
    failed |= ws_buf_puts(&b, ws_buf_str(&r->answer));
    failed |= ws_buf_putc(&b, '\n');
  }
  // The texts are appended as they are rather than formatted: printf's
  // measuring pass over every snippet cost more than the rest of the listing.
  for (int i = 0; r->items != nullptr && i < r->count; i++) {
    const ws_result &it = r->items[i];
    failed |= ws_buf_printf(&b, "\n%d. ", i + 1);
    failed |= ws_buf_puts(&b, it.title[0] != '\0' ? it.title : "(untitled)");
    failed |= ws_buf_puts(&b, "\n   ");
    failed |= ws_buf_puts(&b, it.url);
    failed |= ws_buf_putc(&b, '\n');
    if (it.snippet[0] != '\0') {
      failed |= ws_buf_puts(&b, "   ");
      failed |= ws_buf_puts(&b, it.snippet);
      failed |= ws_buf_putc(&b, '\n');
    }
    if (it.published[0] != '\0') {
      failed |= ws_buf_puts(&b, "   published: ");
      failed |= ws_buf_puts(&b, it.published);
      failed |= ws_buf_putc(&b, '\n');
    }
  }
  return hand_over(&b, failed);
}

char *error_json(const char *message, long status, const char *provider) {
  ws_buf b;
  ws_buf_init(&b);
  int failed = 0;
  failed |= ws_buf_puts(&b, "{\"ok\":false,\"error\":");
  failed |= json_str_utf8(&b, message);
  if (status != 0) failed |= ws_buf_printf(&b, ",\"status\":%ld", status);
  if (provider != nullptr) {
    failed |= ws_buf_puts(&b, ",\"provider\":");
    failed |= json_str_utf8(&b, provider);
  }
  failed |= ws_buf_putc(&b, '}');
  return hand_over(&b, failed);
}
