// Gives every GoogleTest binary the same view of the tree as the ctest
// environment gives the script suites: the built executable, the source root
// and the build root. Values already set in the environment win, so a test
// binary can also be pointed elsewhere by hand.
#include <cstdlib>
#include <initializer_list>

namespace {

struct ws_test_env {
  ws_test_env() {
    setenv("WS_BINARY", WS_TEST_BINARY, 0);
    setenv("WS_SOURCE_DIR", WS_TEST_SOURCE_DIR, 0);
    setenv("WS_BUILD_DIR", WS_TEST_BUILD_DIR, 0);
    // The loopback servers are reached directly: a proxy set on the machine
    // would take every test's request elsewhere. Proxy tests set their own.
    for (const char *name : {"http_proxy", "HTTP_PROXY", "https_proxy", "HTTPS_PROXY", "all_proxy",
                             "ALL_PROXY", "no_proxy", "NO_PROXY"}) {
      unsetenv(name);
    }
  }
};

const ws_test_env g_test_env;

}  // namespace
