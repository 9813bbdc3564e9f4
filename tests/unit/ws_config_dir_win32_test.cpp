// The Windows folder rules and file primitives behind config.json: rules 3
// and 4 with LOCALAPPDATA, USERPROFILE and backslashes, paths outside ASCII
// through the wide-character calls, and the replace-under-lock of a save.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "config/ws_config.h"
#include "config/ws_config_internal.h"

namespace {

std::string utf8(const std::wstring &w) {
  int n = WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n > 0 ? n : 1), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, out.data(), n, nullptr, nullptr);
  out.resize(strlen(out.c_str()));
  return out;
}

bool is_dir(const std::wstring &path) {
  DWORD a = GetFileAttributesW(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool exists(const std::wstring &path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string read_all(const std::wstring &path) {
  std::string out;
  HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "<missing>";
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) out.append(buf, n);
  CloseHandle(h);
  return out;
}

bool write_all(const std::wstring &path, const std::string &bytes) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD n = 0;
  bool ok = WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) &&
            n == bytes.size();
  return CloseHandle(h) && ok;
}

// Removes a folder tree (the scratch folder of a test).
void remove_tree(const std::wstring &dir) {
  WIN32_FIND_DATAW fd;
  HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring p = dir + L"\\" + name;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        remove_tree(p);
      } else {
        DeleteFileW(p.c_str());
      }
    } while (FindNextFileW(h, &fd));
    FindClose(h);
  }
  RemoveDirectoryW(dir.c_str());
}

// Every variable the folder rules read, cleared for the test and put back
// afterwards (Wine sets LOCALAPPDATA and USERPROFILE for every program), a
// scratch folder whose name itself lies outside ASCII, and the working
// folder restored.
class ConfigDirWin32 : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t *name : kVars) {
      const wchar_t *v = _wgetenv(name);
      saved_.push_back(v ? std::wstring(v) : std::wstring());
      _wputenv_s(name, L"");  // an empty value removes the variable
    }
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    cwd_ = cwd;
    scratch_ = std::wstring(tmp) + L"ws_cfg_\u00e9_" + std::to_wstring(GetCurrentProcessId());
    remove_tree(scratch_);
    ASSERT_TRUE(CreateDirectoryW(scratch_.c_str(), nullptr));
  }
  void TearDown() override {
    SetCurrentDirectoryW(cwd_.c_str());
    remove_tree(scratch_);
    for (size_t i = 0; i < std::size(kVars); i++) _wputenv_s(kVars[i], saved_[i].c_str());
  }

  static constexpr const wchar_t *kVars[] = {L"SWEBSEARCH_CONFIG_DIR", L"LOCALAPPDATA",
                                             L"USERPROFILE"};
  std::vector<std::wstring> saved_;
  std::wstring scratch_;
  std::wstring cwd_;
};

TEST_F(ConfigDirWin32, FolderRulesUseBackslashesAndKeepNamesOutsideAscii) {
  struct row {
    const char *what;
    const wchar_t *local;    // LOCALAPPDATA below the scratch folder, or null
    const wchar_t *profile;  // USERPROFILE below the scratch folder, or null
    const wchar_t *expect;   // the folder below the scratch folder
  };
  const row rows[] = {
      {"rule 3, Latin", L"\\Caf\u00e9", L"\\ignored",
       L"\\Caf\u00e9\\torvale\\connectors\\plugin_websearch"},
      {"rule 3, CJK", L"\\\u7528\u6237\\AppData\\Local", nullptr,
       L"\\\u7528\u6237\\AppData\\Local\\torvale\\connectors\\plugin_websearch"},
      {"rule 4, CJK", nullptr, L"\\\u5c71\u7530",
       L"\\\u5c71\u7530\\.torvale\\connectors\\plugin_websearch"},
      {"rule 4, Latin", nullptr, L"\\Jos\u00e9 M\u00fcller",
       L"\\Jos\u00e9 M\u00fcller\\.torvale\\connectors\\plugin_websearch"},
  };
  for (const row &r : rows) {
    SCOPED_TRACE(r.what);
    _wputenv_s(L"LOCALAPPDATA", r.local ? (scratch_ + r.local).c_str() : L"");
    _wputenv_s(L"USERPROFILE", r.profile ? (scratch_ + r.profile).c_str() : L"");
    char dir[1024] = "x";
    ASSERT_EQ(ws_config_dir_at(nullptr, dir, sizeof dir), 0);
    EXPECT_EQ(std::string(dir), utf8(scratch_ + r.expect));
    EXPECT_TRUE(is_dir(scratch_ + r.expect));
  }
}

TEST_F(ConfigDirWin32, WithoutLocalAppDataOrUserProfileTheFolderIsBelowTheWorkingFolder) {
  ASSERT_TRUE(SetCurrentDirectoryW(scratch_.c_str()));
  char dir[1024];
  ASSERT_EQ(ws_config_dir_at(nullptr, dir, sizeof dir), 0);
  EXPECT_STREQ(dir, ".\\.torvale\\connectors\\plugin_websearch");
  EXPECT_TRUE(is_dir(scratch_ + L"\\.torvale\\connectors\\plugin_websearch"));
}

TEST_F(ConfigDirWin32, OverrideAndWorkspaceComeFirstAndAreUsedAsGiven) {
  _wputenv_s(L"LOCALAPPDATA", (scratch_ + L"\\local").c_str());
  const std::wstring ws = scratch_ + L"\\workspace";
  ASSERT_TRUE(CreateDirectoryW(ws.c_str(), nullptr));
  char dir[1024];
  ASSERT_EQ(ws_config_dir_at(utf8(ws).c_str(), dir, sizeof dir), 0);
  EXPECT_EQ(std::string(dir), utf8(ws) + "/.torvale/connectors/plugin_websearch");

  const std::wstring over = scratch_ + L"/\u65e5\u672c/conf";
  _wputenv_s(L"SWEBSEARCH_CONFIG_DIR", over.c_str());
  ASSERT_EQ(ws_config_dir_at(utf8(ws).c_str(), dir, sizeof dir), 0);
  EXPECT_EQ(std::string(dir), utf8(over));
  EXPECT_TRUE(is_dir(over));
  EXPECT_FALSE(exists(scratch_ + L"\\local"));
}

TEST_F(ConfigDirWin32, FolderThatCannotBeMadeOrDoesNotFitFails) {
  // Below a regular file nothing can be created.
  ASSERT_TRUE(write_all(scratch_ + L"\\file", "x"));
  _wputenv_s(L"LOCALAPPDATA", (scratch_ + L"\\file").c_str());
  char dir[1024] = "x";
  EXPECT_EQ(ws_config_dir_at(nullptr, dir, sizeof dir), -1);
  EXPECT_STREQ(dir, "");
  // A folder of 1024 bytes and more would be cut into some other folder.
  _wputenv_s(L"LOCALAPPDATA", (scratch_ + L"\\" + std::wstring(1000, L'a')).c_str());
  EXPECT_EQ(ws_config_dir_at(nullptr, dir, sizeof dir), -1);
  EXPECT_EQ(ws_mkdir_p(""), -1);
}

TEST_F(ConfigDirWin32, MkdirCutsAtSlashesAndBackslashesAlike) {
  const std::wstring path = scratch_ + L"\\a/b\\\u00e9/d";
  EXPECT_EQ(ws_mkdir_p(utf8(path).c_str()), 0);
  EXPECT_TRUE(is_dir(scratch_ + L"\\a\\b\\\u00e9\\d"));
}

TEST_F(ConfigDirWin32, SaveAndLoadRoundTripInAFolderOutsideAscii) {
  _wputenv_s(L"LOCALAPPDATA", (scratch_ + L"\\\u00e9\u7528").c_str());
  ws_config cfg;
  ws_config_defaults(&cfg);
  snprintf(cfg.brave_key, sizeof cfg.brave_key, "%s", "k-\xc3\xa9");
  ASSERT_EQ(ws_config_save(&cfg), 0);
  const std::wstring folder = scratch_ + L"\\\u00e9\u7528\\torvale\\connectors\\plugin_websearch";
  const std::string text = read_all(folder + L"\\config.json");
  // Bare newlines: the file is written byte for byte.
  EXPECT_EQ(text.rfind("{\n    \"provider\": \"duckduckgo\",\n", 0), 0u) << text;
  EXPECT_EQ(text.find('\r'), std::string::npos);
  EXPECT_NE(text.find("\"brave_key\": \"k-\xc3\xa9\",\n"), std::string::npos);
  EXPECT_FALSE(exists(folder + L"\\config.json.tmp"));

  char path[1200];
  ASSERT_EQ(ws_config_path(path, sizeof path), 0);
  EXPECT_EQ(std::string(path), utf8(folder) + "/config.json");
  ws_config loaded;
  ws_config_load(&loaded);
  EXPECT_STREQ(loaded.brave_key, "k-\xc3\xa9");
}

TEST_F(ConfigDirWin32, SaveReplacesTheFileAndALeftOverTemporaryFile) {
  const std::wstring dir = scratch_ + L"\\cfg";
  _wputenv_s(L"SWEBSEARCH_CONFIG_DIR", dir.c_str());
  ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
  ASSERT_TRUE(write_all(dir + L"\\config.json", "{\"count\": 9}"));
  ASSERT_TRUE(write_all(dir + L"\\config.json.tmp", "left over from an interrupted save"));
  ws_config cfg;
  ws_config_defaults(&cfg);
  cfg.count = 7;
  ASSERT_EQ(ws_config_save(&cfg), 0);
  EXPECT_NE(read_all(dir + L"\\config.json").find("\"count\": 7,\n"), std::string::npos);
  EXPECT_FALSE(exists(dir + L"\\config.json.tmp"));
}

TEST_F(ConfigDirWin32, FailedReplacementKeepsTheOldFileAndRemovesTheTemporaryOne) {
  const std::wstring dir = scratch_ + L"\\cfg";
  ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
  // A folder where config.json belongs cannot be replaced by a file.
  ASSERT_TRUE(CreateDirectoryW((dir + L"\\config.json").c_str(), nullptr));
  const std::string d = utf8(dir);
  EXPECT_EQ(
      ws_replace_file((d + "/config.json.tmp").c_str(), (d + "/config.json").c_str(), "{}", 2), -1);
  EXPECT_TRUE(is_dir(dir + L"\\config.json"));
  EXPECT_FALSE(exists(dir + L"\\config.json.tmp"));
}

TEST_F(ConfigDirWin32, SaveWaitsForTheLockOfAnotherSaver) {
  const std::wstring dir = scratch_ + L"\\\u00e9cfg";
  _wputenv_s(L"SWEBSEARCH_CONFIG_DIR", dir.c_str());
  ASSERT_TRUE(CreateDirectoryW(dir.c_str(), nullptr));
  // The lock file is made when missing; the other saver holds it.
  const int held = ws_file_lock_take((utf8(dir) + "/.config.json.lock").c_str());
  ASSERT_GE(held, 0);
  EXPECT_TRUE(exists(dir + L"\\.config.json.lock"));
  int rc = 1;
  std::thread saver([&] {
    ws_config cfg;
    ws_config_defaults(&cfg);
    cfg.count = 3;
    rc = ws_config_save(&cfg);
  });
  // However long the other saver holds the lock, nothing is written before
  // it lets go.
  Sleep(200);
  EXPECT_FALSE(exists(dir + L"\\config.json.tmp"));
  EXPECT_FALSE(exists(dir + L"\\config.json"));
  ws_file_lock_release(held);
  saver.join();
  EXPECT_EQ(rc, 0);
  EXPECT_NE(read_all(dir + L"\\config.json").find("\"count\": 3,\n"), std::string::npos);
}

TEST_F(ConfigDirWin32, SmallFileReaderTakesOneByteToTheLimitAndOnlyFiles) {
  const std::wstring f = scratch_ + L"\\\u00e9.json";
  struct row {
    std::string bytes;
    int rc;
    const char *why;
  };
  const row rows[] = {{"", 1, ""},
                      {"{", 0, ""},
                      {std::string(16, 'x'), 0, ""},
                      {std::string(17, 'x'), -1, "larger than 16 bytes"}};
  for (const row &r : rows) {
    SCOPED_TRACE(r.bytes.size());
    ASSERT_TRUE(write_all(f, r.bytes));
    char *out = nullptr;
    size_t len = 0;
    char why[64] = "stale";
    ASSERT_EQ(ws_read_small_file(utf8(f).c_str(), 16, &out, &len, why, sizeof why), r.rc);
    EXPECT_STREQ(why, r.why);
    if (r.rc == 0) {
      EXPECT_EQ(std::string(out, len), r.bytes);
      EXPECT_EQ(out[len], '\0');
      free(out);
    } else {
      EXPECT_EQ(out, nullptr);
    }
  }
  char *out = nullptr;
  char why[64] = "";
  EXPECT_EQ(ws_read_small_file(utf8(scratch_).c_str(), 16, &out, nullptr, why, sizeof why), -1);
  EXPECT_STREQ(why, "not a regular file");
  EXPECT_EQ(
      ws_read_small_file(utf8(scratch_ + L"\\missing").c_str(), 16, &out, nullptr, why, sizeof why),
      1);
  EXPECT_EQ(ws_read_small_file(utf8(scratch_ + L"\\missing\\config.json").c_str(), 16, &out,
                               nullptr, nullptr, 0),
            1);
  EXPECT_EQ(out, nullptr);
}

TEST_F(ConfigDirWin32, StampTellsAReplacedOrRewrittenFileFromAnUntouchedOne) {
  const std::wstring f = scratch_ + L"\\\u7528.json";
  ws_config_stamp none;
  EXPECT_EQ(ws_file_stamp(utf8(f).c_str(), &none), -1);
  EXPECT_EQ(none.present, 0);

  ASSERT_TRUE(write_all(f, "{\"count\": 1}"));
  ws_config_stamp first;
  ws_config_stamp again;
  ASSERT_EQ(ws_file_stamp(utf8(f).c_str(), &first), 0);
  ASSERT_EQ(ws_file_stamp(utf8(f).c_str(), &again), 0);
  EXPECT_EQ(first.present, 1);
  EXPECT_EQ(first.size, 12);
  // After 1970 and before 2200, in nanoseconds.
  EXPECT_GT(first.mtime_ns, 0);
  EXPECT_LT(first.mtime_ns, 7258118400LL * 1000000000LL);
  EXPECT_EQ(ws_config_stamp_equal(&first, &again), 1);

  // A save moves a new file into place: another file index, whatever its
  // size and time.
  const std::string d = utf8(scratch_);
  ASSERT_EQ(ws_replace_file((d + "/x.tmp").c_str(), utf8(f).c_str(), "{\"count\": 2}", 12), 0);
  ws_config_stamp replaced;
  ASSERT_EQ(ws_file_stamp(utf8(f).c_str(), &replaced), 0);
  EXPECT_EQ(replaced.dev, first.dev);
  EXPECT_NE(replaced.ino, first.ino);
  EXPECT_EQ(ws_config_stamp_equal(&first, &replaced), 0);
}

}  // namespace
