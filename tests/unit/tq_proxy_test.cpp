// Proxy selection: which variable applies to a target, how its URL reads,
// and which targets the no_proxy list sends directly. One table; the
// variables come from the row, never from the process.
#include "sdk/tq_proxy.h"
#include "sdk/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

using env_map = std::map<std::string, std::string>;

const char *lookup(const char *name, void *ctx) {
  const auto *env = static_cast<const env_map *>(ctx);
  auto it = env->find(name);
  return it == env->end() ? nullptr : it->second.c_str();
}

struct row {
  const char *name;
  // "name=value | name=value"; "{256 x}" stands for 256 letters x
  const char *env;
  // "[cgi ]http|https host:port"
  const char *target;
  // "direct"; "<kind> <host> <port>" and " <user>:<password>" with
  // credentials; otherwise the message of a refused setting.
  const char *want;
};

const std::vector<row> &rows() {
  static const std::vector<row> r = {
      // Which variable.
      {"http target", "http_proxy=http://p.test:3128", "http a.test:80", "http p.test 3128"},
      {"https target ignores http_proxy", "http_proxy=http://dead.test:9", "https a.test:443",
       "direct"},
      {"lower case first", "https_proxy=p.test:1 | HTTPS_PROXY=http://dead.test:9",
       "https a.test:443", "http p.test 1"},
      {"upper case alone", "HTTPS_PROXY=socks5h://p.test", "https a.test:443",
       "socks5h p.test 1080"},
      {"all_proxy last", "all_proxy=socks5://p.test:2 | ALL_PROXY=http://dead.test:9",
       "http a.test:80", "socks5 p.test 2"},
      {"ALL_PROXY", "ALL_PROXY=p.test:3", "https a.test:443", "http p.test 3"},
      {"empty value: no proxy", "http_proxy= | all_proxy=http://dead.test:9", "http a.test:80",
       "direct"},
      {"HTTP_PROXY outside CGI", "HTTP_PROXY=p.test:4", "http a.test:80", "http p.test 4"},
      {"HTTP_PROXY never in CGI", "HTTP_PROXY=http://dead.test:9", "cgi http a.test:80", "direct"},
      {"CGI falls through to all_proxy", "HTTP_PROXY=http://dead.test:9 | all_proxy=p.test:5",
       "cgi http a.test:80", "http p.test 5"},
      {"http_proxy in CGI, which is HTTP_PROXY where names ignore case",
       "http_proxy=http://dead.test:9", "cgi http a.test:80",
       TQ_ENV_NAMES_IGNORE_CASE ? "direct" : "http dead.test 9"},
      {"CGI still reads HTTPS_PROXY", "HTTPS_PROXY=p.test:6", "cgi https a.test:443",
       "http p.test 6"},
      // The proxy URL.
      {"credentials percent-decoded", "http_proxy=HTTP://us%40er:p%3Aw@rd/x@p.test:8080/",
       "http a.test:80", "http p.test 8080 us@er:p:w@rd/x"},
      {"user without password", "http_proxy=socks5://u@p.test", "http a.test:80",
       "socks5 p.test 1080 u:"},
      {"IPv6 proxy", "http_proxy=http://[::1]:3128", "http a.test:80", "http ::1 3128"},
      {"underscore in a proxy name", "http_proxy=proxy_1.corp:8080", "http a.test:80",
       "http proxy_1.corp 8080"},
      {"https proxy refused", "https_proxy=https://u:pw@p.test", "https a.test:443",
       "https proxies are not supported; use http:// or socks5h://"},
      {"unknown scheme", "all_proxy=socks4a://p.test", "https a.test:443",
       "unsupported proxy scheme in all_proxy; use http://, socks5:// or socks5h://"},
      {"port out of range", "http_proxy=u:secret@p.test:65536", "http a.test:80",
       "bad proxy address in http_proxy: bad port"},
      {"empty port", "http_proxy=p.test:", "http a.test:80",
       "bad proxy address in http_proxy: bad port"},
      {"no host", "http_proxy=http://u:pw@:8080", "http a.test:80",
       "bad proxy address in http_proxy: no host"},
      {"a path", "http_proxy=http://p.test/proxy.pac", "http a.test:80",
       "bad proxy address in http_proxy: a proxy address has no path"},
      {"bad host", "http_proxy=http://p%20x.test", "http a.test:80",
       "bad proxy address in http_proxy: host contains forbidden characters"},
      {"bad IPv6", "http_proxy=http://[::g]:1", "http a.test:80",
       "bad proxy address in http_proxy: bad IPv6 address"},
      {"password over 255 bytes", "http_proxy=u:{256 x}@p.test", "http a.test:80",
       "bad proxy address in http_proxy: user name or password too long"},
      {"exempt before parsed", "http_proxy=https://p.test | no_proxy=a.test", "http a.test:80",
       "direct"},
      // no_proxy.
      {"the host itself", "http_proxy=http://dead.test:9 | no_proxy=a.test", "http a.test:80",
       "direct"},
      {"a subdomain, any case", "http_proxy=http://dead.test:9 | no_proxy=Example.COM",
       "http www.example.com:80", "direct"},
      {"a leading dot", "http_proxy=http://dead.test:9 | no_proxy=.example.com",
       "http example.com:80", "direct"},
      {"not a suffix inside a label", "http_proxy=p.test:1 | no_proxy=ample.com",
       "http example.com:80", "http p.test 1"},
      {"blanks and commas", "http_proxy=http://dead.test:9 | no_proxy= x.test ,, b.test\ta.test",
       "http a.test:80", "direct"},
      {"star", "http_proxy=http://dead.test:9 | no_proxy=x.test,*", "https a.test:443", "direct"},
      {"star inside a name is no wildcard", "http_proxy=p.test:1 | no_proxy=*.a.test",
       "http b.a.test:80", "http p.test 1"},
      {"matching port", "https_proxy=http://dead.test:9 | no_proxy=a.test:443", "https a.test:443",
       "direct"},
      {"other port", "http_proxy=p.test:1 | no_proxy=a.test:8080", "http a.test:80",
       "http p.test 1"},
      {"IPv4 exact", "http_proxy=http://dead.test:9 | no_proxy=10.0.0.1", "http 10.0.0.1:80",
       "direct"},
      {"IPv4 no suffix match", "http_proxy=p.test:1 | no_proxy=0.0.1", "http 10.0.0.1:80",
       "http p.test 1"},
      {"IPv6 bare", "http_proxy=http://dead.test:9 | no_proxy=::1", "http 0:0::1:80", "direct"},
      {"IPv6 brackets and port", "http_proxy=http://dead.test:9 | no_proxy=[::1]:80",
       "http [::1]:80", "direct"},
      {"loopback not exempt", "http_proxy=p.test:1 | no_proxy=localhost", "http 127.0.0.1:80",
       "http p.test 1"},
      {"lower-case list wins even empty", "http_proxy=p.test:1 | no_proxy= | NO_PROXY=*",
       "http a.test:80", "http p.test 1"},
      {"NO_PROXY alone", "http_proxy=http://dead.test:9 | NO_PROXY=a.test", "http a.test:80",
       "direct"},
  };
  return r;
}

TEST(TqProxySelect, Table) {
  static const char *const kKinds[] = {"none", "http", "socks5", "socks5h"};
  for (const row &r : rows()) {
    SCOPED_TRACE(r.name);
    tq_proxy p;
    char err[512] = "";
    env_map env;
    const std::string vars = r.env;
    for (size_t at = 0; at < vars.size();) {
      size_t end = vars.find(" | ", at);
      if (end == std::string::npos) end = vars.size();
      const std::string pair = vars.substr(at, end - at);
      std::string value = pair.substr(pair.find('=') + 1);
      const size_t mark = value.find("{256 x}");
      if (mark != std::string::npos) value.replace(mark, 7, std::string(256, 'x'));
      env[pair.substr(0, pair.find('='))] = value;
      at = end + 3;
    }
    std::string t = r.target;
    const bool cgi = t.rfind("cgi ", 0) == 0;
    if (cgi) t.erase(0, 4);
    const bool tls = t.rfind("https ", 0) == 0;
    t.erase(0, t.find(' ') + 1);
    const size_t colon = t.rfind(':');
    const std::string host = t.substr(0, colon);
    const int port = std::stoi(t.substr(colon + 1));
    const int rc = tq_proxy_select(lookup, &env, cgi, tls, host.c_str(), port, &p, err, sizeof err);
    std::string got = err;
    if (rc == 0) {
      got = err[0] ? std::string("direct with a message: ") + err : "direct";
    } else if (rc == 1) {
      got = std::string(kKinds[p.kind]) + " " + p.host + " " + std::to_string(p.port);
      EXPECT_EQ(std::string(p.where),
                (strchr(p.host, ':') ? "[" + std::string(p.host) + "]" : std::string(p.host)) +
                    ":" + std::to_string(p.port));
      if (p.has_auth) got += std::string(" ") + p.user + ":" + p.password;
    }
    EXPECT_EQ(got, r.want);
  }
}

// The head of a CONNECT answer: complete, incomplete or refused.
TEST(TqProxySelect, ConnectAnswerHead) {
  struct head_row {
    const char *text;
    int want;
    int status;
    size_t head_len;
  } heads[] = {
      {"HTTP/1.1 200 Connection established\r\n\r\n", 1, 200, 39},
      {"HTTP/1.0 407 Auth\r\nProxy-Authenticate: Basic\r\n\r\nbody", 1, 407, 48},
      {"HTTP/1.1 200\n\n", 1, 200, 14},
      {"HTTP/1.1 200 OK\r\nVia: x\r\n", 0, 0, 0},
      {"HTTP/1.", 0, 0, 0},
      {"HTTP/2 200\r\n\r\n", -1, 0, 0},
      {"HTTP/1.1 2000\r\n\r\n", -1, 0, 0},
      {"http/1.1 200\r\n\r\n", -1, 0, 0},
      {"\x05\x00", -1, 0, 0},
  };
  for (const head_row &h : heads) {
    SCOPED_TRACE(h.text);
    int status = 0;
    size_t len = 0;
    EXPECT_EQ(tq_proxy_reply_head(h.text, strlen(h.text), &status, &len), h.want);
    EXPECT_EQ(status, h.status);
    EXPECT_EQ(len, h.head_len);
  }
}

}  // namespace
