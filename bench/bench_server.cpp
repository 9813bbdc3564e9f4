// A loopback HTTP/1.1 server for the whole-process benchmarks: it answers
// every request at once with the same SearXNG-shaped document of 20 results
// and closes, so that the client under test, not the server, sets the pace.
// Both sides of a comparison (our binary and curl) talk to the same server.
//
//   bench_server [--tls CERT.pem KEY.pem] [--log-targets FILE] [--print-body]
//                [--delay-ms N]
//
// Listens on 127.0.0.1 and, when it can, on ::1 with the same port (so a
// client that resolves "localhost" to either finds it), prints "PORT <n>"
// and flushes, then serves one connection at a time until standard input
// ends. With --tls it speaks TLS through BearSSL with the given certificate
// chain and RSA or EC key. --log-targets appends each request target as a
// line. --print-body writes the document to standard output and exits.
// --delay-ms (plain HTTP only) answers each request N ms after its head
// arrived, like a search service that takes its time, and then serves
// every connection in a thread of its own so that answers overlap.
#include <arpa/inet.h>
#include <bearssl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

// The answer body: what a SearXNG instance sends for one query, 20 results
// with the members a real one carries (most of which the client skips).
std::string searxng_document() {
  std::string d = "{\"query\":\"bench\",\"number_of_results\":0,\"results\":[";
  for (int i = 0; i < 20; ++i) {
    if (i > 0) d += ',';
    const std::string n = std::to_string(i + 1);
    d += "{\"url\":\"https://www.example" + n + ".org/articles/2024/05/fast-search-client-" + n +
         "?ref=bench&amp;page=" + n + "\",";
    d += "\"title\":\"Result " + n +
         ": Writing a <b>fast</b> search client &amp; its HTTP stack \\u2014 part " + n + "\",";
    d += "\"content\":\"Notes on building a small, fast web search client in C++: its own "
         "HTTP/1.1 and TLS stack, bounded buffers, time-outs everywhere, and JSON through "
         "yyjson. Entry " +
         n + " of the series covers &quot;result rendering&quot; and caf\\u00e9 benchmarks.\",";
    d += "\"engine\":\"duckduckgo\",\"parsed_url\":[\"https\",\"www.example" + n +
         ".org\",\"/articles/2024/05/fast-search-client-" + n + "\",\"\",\"ref=bench\",\"\"],";
    d += "\"template\":\"default.html\",\"engines\":[\"duckduckgo\",\"brave\"],\"positions\":[" +
         n + "," + n + "],";
    d += "\"publishedDate\":\"2024-05-" + std::string(i < 9 ? "0" : "") + n + "T10:00:00\",";
    d += "\"score\":" + std::to_string(4.0 / (i + 1)) + ",\"category\":\"general\"}";
  }
  d += "],\"answers\":[],\"corrections\":[],\"infoboxes\":[],\"suggestions\":[\"bench "
       "suggestion\"],\"unresponsive_engines\":[]}";
  return d;
}

bool read_file(const char *path, std::string *out) {
  FILE *f = fopen(path, "rb");
  if (f == nullptr) return false;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out->append(buf, n);
  fclose(f);
  return true;
}

// --- PEM and keys for the TLS mode -----------------------------------------

struct pem_object {
  std::string name;
  std::vector<unsigned char> der;
};

void pem_append(void *ctx, const void *data, size_t len) {
  auto *v = static_cast<std::vector<unsigned char> *>(ctx);
  const auto *p = static_cast<const unsigned char *>(data);
  v->insert(v->end(), p, p + len);
}

std::vector<pem_object> pem_decode(const std::string &text) {
  std::vector<pem_object> out;
  br_pem_decoder_context pc;
  br_pem_decoder_init(&pc);
  const char *p = text.data();
  size_t left = text.size();
  pem_object cur;
  bool inside = false;
  while (left > 0) {
    const size_t n = br_pem_decoder_push(&pc, p, left);
    p += n;
    left -= n;
    switch (br_pem_decoder_event(&pc)) {
      case BR_PEM_BEGIN_OBJ:
        cur = pem_object{br_pem_decoder_name(&pc), {}};
        br_pem_decoder_setdest(&pc, pem_append, &cur.der);
        inside = true;
        break;
      case BR_PEM_END_OBJ:
        if (inside) out.push_back(cur);
        inside = false;
        break;
      case BR_PEM_ERROR:
        return {};
      default:
        break;
    }
  }
  return out;
}

struct tls_setup {
  std::vector<std::vector<unsigned char>> chain_der;
  std::vector<br_x509_certificate> chain;
  br_skey_decoder_context key;
  int key_type = 0;
};

bool load_tls(const char *cert_path, const char *key_path, tls_setup *t) {
  std::string cert_text, key_text;
  if (!read_file(cert_path, &cert_text) || !read_file(key_path, &key_text)) return false;
  for (pem_object &o : pem_decode(cert_text)) {
    if (o.name == "CERTIFICATE") t->chain_der.push_back(o.der);
  }
  for (auto &der : t->chain_der) t->chain.push_back({der.data(), der.size()});
  for (pem_object &o : pem_decode(key_text)) {
    if (o.name != "PRIVATE KEY" && o.name != "RSA PRIVATE KEY" && o.name != "EC PRIVATE KEY") {
      continue;
    }
    // The decoder keeps pointers into its own copy of the key.
    br_skey_decoder_init(&t->key);
    br_skey_decoder_push(&t->key, o.der.data(), o.der.size());
    if (br_skey_decoder_last_error(&t->key) != 0) return false;
    t->key_type = br_skey_decoder_key_type(&t->key);
    break;
  }
  return !t->chain.empty() && t->key_type != 0;
}

// --- serving -------------------------------------------------------------------

int sock_read(void *ctx, unsigned char *buf, size_t len) {
  const int fd = *static_cast<int *>(ctx);
  for (;;) {
    const ssize_t n = recv(fd, buf, len, 0);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
}

int sock_write(void *ctx, const unsigned char *buf, size_t len) {
  const int fd = *static_cast<int *>(ctx);
  for (;;) {
    const ssize_t n = send(fd, buf, len, MSG_NOSIGNAL);
    if (n > 0) return static_cast<int>(n);
    if (n < 0 && errno == EINTR) continue;
    return -1;
  }
}

// Reads up to the blank line that ends the request head; the target of the
// request line goes to *target.
// Every target is logged before the answer goes out, so a client that has its
// answer finds its request in the log.
FILE *g_log = nullptr;

template <typename ReadFn>
bool read_head(ReadFn read_some, std::string *target) {
  std::string head;
  unsigned char buf[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    if (head.size() > 65536) return false;
    const int n = read_some(buf, sizeof buf);
    if (n <= 0) return false;
    head.append(reinterpret_cast<char *>(buf), static_cast<size_t>(n));
  }
  const size_t sp1 = head.find(' ');
  const size_t sp2 = sp1 == std::string::npos ? sp1 : head.find(' ', sp1 + 1);
  if (sp2 != std::string::npos) *target = head.substr(sp1 + 1, sp2 - sp1 - 1);
  if (g_log != nullptr && !target->empty()) {
    fprintf(g_log, "%s\n", target->c_str());
    fflush(g_log);
  }
  return true;
}

void serve_plain(int fd, const std::string &response, std::string *target, int delay_ms = 0) {
  int sock = fd;
  if (!read_head([&](unsigned char *b, size_t n) { return sock_read(&sock, b, n); }, target)) {
    return;
  }
  if (delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(delay_ms));
  const char *p = response.data();
  size_t left = response.size();
  while (left > 0) {
    const int n = sock_write(&sock, reinterpret_cast<const unsigned char *>(p), left);
    if (n <= 0) return;
    p += n;
    left -= static_cast<size_t>(n);
  }
}

void serve_tls(int fd, tls_setup *t, const std::string &response, std::string *target) {
  static br_ssl_server_context sc;
  static unsigned char iobuf[BR_SSL_BUFSIZE_BIDI];
  if (t->key_type == BR_KEYTYPE_RSA) {
    br_ssl_server_init_full_rsa(&sc, t->chain.data(), t->chain.size(),
                                br_skey_decoder_get_rsa(&t->key));
  } else {
    br_ssl_server_init_full_ec(&sc, t->chain.data(), t->chain.size(), BR_KEYTYPE_RSA,
                               br_skey_decoder_get_ec(&t->key));
  }
  br_ssl_engine_set_buffer(&sc.eng, iobuf, sizeof iobuf, 1);
  if (!br_ssl_server_reset(&sc)) return;
  int sock = fd;
  br_sslio_context io;
  br_sslio_init(&io, &sc.eng, sock_read, &sock, sock_write, &sock);
  if (!read_head([&](unsigned char *b, size_t n) { return br_sslio_read(&io, b, n); }, target)) {
    return;
  }
  if (br_sslio_write_all(&io, response.data(), response.size()) != 0) return;
  br_sslio_flush(&io);
  // close_notify goes out; the peer's is not waited for.
  br_ssl_engine_close(&sc.eng);
  br_sslio_flush(&io);
}

int listen_on(int family, int port) {
  const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  int rc;
  if (family == AF_INET) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    rc = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  } else {
    setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = htons(static_cast<uint16_t>(port));
    a.sin6_addr = in6addr_loopback;
    rc = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
  }
  if (rc != 0 || listen(fd, 128) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int port_of(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) return 0;
  return ntohs(a.sin_port);
}

}  // namespace

int main(int argc, char **argv) {
  const char *cert = nullptr;
  const char *key = nullptr;
  const char *log_path = nullptr;
  bool print_body = false;
  int delay_ms = 0;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--tls") == 0 && i + 2 < argc) {
      cert = argv[++i];
      key = argv[++i];
    } else if (strcmp(argv[i], "--log-targets") == 0 && i + 1 < argc) {
      log_path = argv[++i];
    } else if (strcmp(argv[i], "--print-body") == 0) {
      print_body = true;
    } else if (strcmp(argv[i], "--delay-ms") == 0 && i + 1 < argc) {
      delay_ms = atoi(argv[++i]);
    } else {
      fprintf(stderr,
              "usage: bench_server [--tls CERT KEY] [--log-targets FILE] [--print-body] "
              "[--delay-ms N]\n");
      return 2;
    }
  }
  const std::string body = searxng_document();
  if (print_body) {
    fwrite(body.data(), 1, body.size(), stdout);
    return 0;
  }
  signal(SIGPIPE, SIG_IGN);
  const std::string response =
      "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n"
      "Content-Length: " +
      std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  static tls_setup tls;
  if (cert != nullptr && !load_tls(cert, key, &tls)) {
    fprintf(stderr, "bench_server: cannot load %s / %s\n", cert, key);
    return 1;
  }
  g_log = log_path != nullptr ? fopen(log_path, "a") : nullptr;

  const int fd4 = listen_on(AF_INET, 0);
  if (fd4 < 0) {
    perror("bench_server: listen");
    return 1;
  }
  const int port = port_of(fd4);
  const int fd6 = listen_on(AF_INET6, port);  // optional
  printf("PORT %d\n", port);
  fflush(stdout);

  if (delay_ms > 0 && cert != nullptr) {
    fprintf(stderr, "bench_server: --delay-ms is for plain HTTP only\n");
    return 2;
  }
  std::vector<std::thread> delayed;  // joined before exit
  pollfd fds[3] = {{STDIN_FILENO, POLLIN, 0}, {fd4, POLLIN, 0}, {fd6, POLLIN, 0}};
  const nfds_t nfds = fd6 >= 0 ? 3 : 2;
  for (;;) {
    if (poll(fds, nfds, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) {
      char junk[256];
      if (read(STDIN_FILENO, junk, sizeof junk) <= 0) break;
    }
    for (nfds_t k = 1; k < nfds; ++k) {
      if ((fds[k].revents & POLLIN) == 0) continue;
      const int c = accept4(fds[k].fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) continue;
      // Never let one stuck client hold the benchmark up for long.
      timeval tv{5, 0};
      setsockopt(c, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
      setsockopt(c, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
      const int one = 1;
      setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      if (delay_ms > 0) {
        delayed.emplace_back([c, &response, delay_ms] {
          std::string t;
          serve_plain(c, response, &t, delay_ms);
          shutdown(c, SHUT_WR);
          close(c);
        });
        continue;
      }
      std::string target;
      if (cert != nullptr) {
        serve_tls(c, &tls, response, &target);
      } else {
        serve_plain(c, response, &target);
      }
      shutdown(c, SHUT_WR);
      close(c);
    }
  }
  for (std::thread &t : delayed) t.join();
  if (g_log != nullptr) fclose(g_log);
  return 0;
}
