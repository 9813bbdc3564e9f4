// Several processes saving config.json in one folder at the same moment,
// while another keeps reading it: every reader sees a whole file, and the
// end state is one saver's complete file, owner-only, with no temporary
// file left behind.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <yyjson.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/ws_config.h"
#include "support/child_process.h"
#include "support/ws_env_scope.h"
#include "util/ws_buf.h"

namespace {

constexpr int kSavers = 6;
constexpr int kSavesEach = 40;

TEST(ConfigConcurrency, SimultaneousSavesLeaveOneWholeOwnerOnlyFile) {
  ws_test::ScratchDir scratch;
  ASSERT_TRUE(scratch.ok());
  ws_test::EnvScope env;
  const std::string dir = scratch / "cfg";
  ws_test::isolate_config(env, dir);
  const std::string file = dir + "/config.json";

  // The children share the parent's folder (a Windows child runs the test
  // again and makes a scratch folder of its own before its body).
  const std::initializer_list<ws_test::env_setting> shared = {{"WS_TEST_SHARED_DIR", dir}};
  auto use_shared_dir = [&env] {
    const char *d = getenv("WS_TEST_SHARED_DIR");
    env.set("SWEBSEARCH_CONFIG_DIR", d != nullptr ? d : "");
    return std::string(d != nullptr ? d : "") + "/config.json";
  };
  std::vector<std::unique_ptr<ws_test::child_process>> kids;
  // The reader: every time the file is there, it must be strict JSON with
  // all 18 members (a half-written or shared temporary file would not be).
  kids.push_back(std::make_unique<ws_test::child_process>(shared, [&] {
    const std::string file = use_shared_dir();
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int seen = 0;
    while (seen < 400 && std::chrono::steady_clock::now() < until) {
      std::string text = ws_test::read_file(file);
      if (text.empty()) continue;
      yyjson_doc *doc = yyjson_read(text.data(), text.size(), 0);
      ASSERT_NE(doc, nullptr) << text;
      size_t members = yyjson_obj_size(yyjson_doc_get_root(doc));
      yyjson_doc_free(doc);
      ASSERT_EQ(members, 18u) << text;
      seen++;
    }
  }));
  for (int i = 0; i < kSavers; i++) {
    kids.push_back(std::make_unique<ws_test::child_process>(shared, [&] {
      use_shared_dir();
      ws_config cfg;
      ws_config_load(&cfg);
      std::string region = "r" + std::to_string(i);
      ws_copy(cfg.region, sizeof cfg.region, region.c_str());
      // A long key makes each write big enough to interleave if unlocked.
      std::string key(250, static_cast<char>('a' + i));
      ws_copy(cfg.brave_key, sizeof cfg.brave_key, key.c_str());
      for (int n = 0; n < kSavesEach; n++) ASSERT_EQ(ws_config_save(&cfg), 0) << n;
    }));
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  for (size_t k = 0; k < kids.size(); k++) {
    SCOPED_TRACE(k == 0 ? "reader" : "saver " + std::to_string(k - 1));
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const ws_test::child_result r = kids[k]->wait(std::max(0, static_cast<int>(left.count())));
    EXPECT_TRUE(r.passed()) << r.err;
  }

  struct stat st;
  ASSERT_EQ(stat(file.c_str(), &st), 0);
#ifndef _WIN32
  EXPECT_EQ(st.st_mode & 07777, 0600u);  // Windows has no such mode bits
#endif
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
