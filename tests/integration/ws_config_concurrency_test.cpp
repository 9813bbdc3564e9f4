// Several processes saving config.json in one folder at the same moment,
// while another keeps reading it: every reader sees a whole file, and the
// end state is one saver's complete file, owner-only, with no temporary
// file left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <yyjson.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config/ws_config.h"
#include "support/ws_env_scope.h"
#include "util/ws_buf.h"

namespace {

constexpr int kSavers = 6;
constexpr int kSavesEach = 40;

// Waits for a child, killing it once the deadline has passed.
int wait_bounded(pid_t pid, std::chrono::steady_clock::time_point deadline) {
  int status = 0;
  for (;;) {
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
    if (r < 0) return 101;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return 102;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

TEST(ConfigConcurrency, SimultaneousSavesLeaveOneWholeOwnerOnlyFile) {
  ws_test::ScratchDir scratch;
  ASSERT_TRUE(scratch.ok());
  ws_test::EnvScope env;
  const std::string dir = scratch / "cfg";
  ws_test::isolate_config(env, dir);
  const std::string file = dir + "/config.json";

  std::vector<pid_t> kids;
  // The reader: every time the file is there, it must be strict JSON with
  // all 18 members (a half-written or shared temporary file would not be).
  pid_t reader = fork();
  ASSERT_GE(reader, 0);
  if (reader == 0) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int seen = 0;
    while (seen < 400 && std::chrono::steady_clock::now() < until) {
      std::string text = ws_test::read_file(file);
      if (text.empty()) continue;
      yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
      if (doc == nullptr) _exit(1);
      size_t members = yyjson_obj_size(yyjson_doc_get_root(doc));
      yyjson_doc_free(doc);
      if (members != 18) _exit(2);
      seen++;
    }
    _exit(0);
  }
  kids.push_back(reader);
  for (int i = 0; i < kSavers; i++) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ws_config cfg;
      ws_config_load(&cfg);
      std::string region = "r" + std::to_string(i);
      ws_copy(cfg.region, sizeof cfg.region, region.c_str());
      // A long key makes each write big enough to interleave if unlocked.
      std::string key(250, static_cast<char>('a' + i));
      ws_copy(cfg.brave_key, sizeof cfg.brave_key, key.c_str());
      for (int n = 0; n < kSavesEach; n++) {
        if (ws_config_save(&cfg) != 0) _exit(3);
      }
      _exit(0);
    }
    kids.push_back(pid);
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (size_t k = 0; k < kids.size(); k++) {
    SCOPED_TRACE(k == 0 ? "reader" : "saver " + std::to_string(k - 1));
    EXPECT_EQ(wait_bounded(kids[k], deadline), 0);
  }

  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_FALSE(std::filesystem::exists(file + ".tmp"));
  ws_config got;
  ws_config_load(&got);
  std::string region = got.region;
  ASSERT_EQ(region.size(), 2u);
  int who = region[1] - '0';
  ASSERT_GE(who, 0);
  ASSERT_LT(who, kSavers);
  // The file is one saver's record whole, not a mix of two.
  EXPECT_EQ(std::string(got.brave_key), std::string(250, static_cast<char>('a' + who)));
}

}  // namespace
