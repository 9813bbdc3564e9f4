// Windows twin of test_env.cpp: the same three variables, set only where the
// environment does not already name them.
#include <cstdlib>

namespace {

void set_default(const char *name, const char *value) {
  if (getenv(name) == nullptr) _putenv_s(name, value);
}

struct ws_test_env {
  ws_test_env() {
    set_default("WS_BINARY", WS_TEST_BINARY);
    set_default("WS_SOURCE_DIR", WS_TEST_SOURCE_DIR);
    set_default("WS_BUILD_DIR", WS_TEST_BUILD_DIR);
  }
};

const ws_test_env g_test_env;

}  // namespace
