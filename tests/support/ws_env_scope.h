// Test helpers: a scratch folder removed at the end of the test, and a
// scope that changes environment variables (and the working directory) and
// puts every one of them back afterwards.
#pragma once

#include <unistd.h>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace ws_test {

#ifdef _WIN32
// The three POSIX calls of these helpers, from the C run-time's own (which
// keeps the process environment in step, so the wide-character view that
// the Windows build reads sees the change too).
inline int setenv(const char *name, const char *value, int) {
  if (value[0] != '\0') return _putenv_s(name, value);
  // _putenv_s takes an empty value for removal, yet a process can be given
  // a variable set but empty, which the program tells from an unset one.
  // The system's environment can hold one: set it there, then have the C
  // run-time take its table again from the system's, which Wine's (where
  // these tests run) does on every change made through it.
  if (!SetEnvironmentVariableA(name, "")) return -1;
  _putenv_s("WS_TEST_ENV_RESYNC", "1");
  return _putenv_s("WS_TEST_ENV_RESYNC", "");
}
inline int unsetenv(const char *name) {
  return _putenv_s(name, "");  // an empty value removes the variable
}
inline char *mkdtemp(char *tmpl) {
  const size_t size = strlen(tmpl) + 1;
  for (int attempt = 0; attempt < 100; attempt++) {
    std::string name(tmpl);
    if (_mktemp_s(name.data(), size) != 0) return nullptr;
    std::error_code ec;
    if (std::filesystem::create_directory(name, ec)) {
      memcpy(tmpl, name.c_str(), size);
      return tmpl;
    }
  }
  return nullptr;
}
#endif

class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "ws_test_XXXXXX").string();
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir &) = delete;
  ScratchDir &operator=(const ScratchDir &) = delete;
  bool ok() const { return !path_.empty(); }
  const std::string &path() const { return path_; }
  std::string operator/(const std::string &rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

class EnvScope {
 public:
  EnvScope() {
    char buf[4096];
    if (getcwd(buf, sizeof buf) != nullptr) cwd_ = buf;
  }
  ~EnvScope() {
    for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
      if (it->second) {
        setenv(it->first.c_str(), it->second->c_str(), 1);
      } else {
        unsetenv(it->first.c_str());
      }
    }
    if (!cwd_.empty() && chdir(cwd_.c_str()) != 0) std::abort();
  }
  EnvScope(const EnvScope &) = delete;
  EnvScope &operator=(const EnvScope &) = delete;

  void set(const std::string &name, const std::string &value) {
    remember(name);
    setenv(name.c_str(), value.c_str(), 1);
  }
  void unset(const std::string &name) {
    remember(name);
    unsetenv(name.c_str());
  }
  void unset(std::initializer_list<const char *> names) {
    for (const char *n : names) unset(n);
  }
  bool chdir_to(const std::string &dir) { return chdir(dir.c_str()) == 0; }

 private:
  void remember(const std::string &name) {
    for (const auto &s : saved_) {
      if (s.first == name) return;
    }
    const char *v = getenv(name.c_str());
    saved_.emplace_back(name, v ? std::optional<std::string>(v) : std::nullopt);
  }
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
  std::string cwd_;
};

inline std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool write_file(const std::string &path, const std::string &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// Every variable that the settings loader or the folder lookup reads.
inline constexpr const char *kConfigVars[] = {"WEBSEARCH_PROVIDER",
                                              "WEBSEARCH_COUNT",
                                              "WEBSEARCH_REGION",
                                              "WEBSEARCH_SAFE",
                                              "WEBSEARCH_LANGUAGE",
                                              "WEBSEARCH_SEARXNG_CATEGORIES",
                                              "WEBSEARCH_TAVILY_ADVANCED",
                                              "WEBSEARCH_TAVILY_ANSWER",
                                              "BRAVE_API_KEY",
                                              "TAVILY_API_KEY",
                                              "EXA_API_KEY",
                                              "PERPLEXITY_API_KEY",
                                              "WEBSEARCH_BRAVE_KEY",
                                              "WEBSEARCH_TAVILY_KEY",
                                              "WEBSEARCH_EXA_KEY",
                                              "WEBSEARCH_PPLX_KEY",
                                              "WEBSEARCH_DDG_BASE",
                                              "WEBSEARCH_SEARXNG_BASE",
                                              "SEARXNG_URL",
                                              "WEBSEARCH_BRAVE_BASE",
                                              "WEBSEARCH_TAVILY_BASE",
                                              "WEBSEARCH_EXA_BASE",
                                              "WEBSEARCH_PPLX_BASE",
                                              "WEBSEARCH_MOCK_BASE",
                                              "SWEBSEARCH_CONFIG_DIR",
                                              "WEBSEARCH_CONFIG_DIR",
                                              "XDG_CONFIG_HOME",
                                              "HOME"};

// Clears every settings variable and points the configuration folder at
// dir, so a test never reads or writes the real one.
inline void isolate_config(EnvScope &env, const std::string &dir) {
  for (const char *n : kConfigVars) env.unset(n);
  env.set("SWEBSEARCH_CONFIG_DIR", dir);
}

}  // namespace ws_test
