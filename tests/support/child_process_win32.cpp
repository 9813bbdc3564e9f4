// Windows twin of child_process.cpp. There is no fork, so the child is the
// test binary itself, started again for the running test only; it runs the
// test from its start, and the marker variable tells it which run_in_child
// call of that test is its own.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"
#include "support/command_line_win32.h"
#include "support/ws_env_scope.h"

namespace ws_test {

namespace {

constexpr const char kMarker[] = "WS_TEST_RUN_IN_CHILD";

std::string current_test_name() {
  const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
  if (info == nullptr) return std::string();
  return std::string(info->test_suite_name()) + "." + info->name();
}

// Which child of the running test this is, from 1.
int next_call_number() {
  static std::string test;
  static int calls = 0;
  const std::string now = current_test_name();
  if (now != test) {
    test = now;
    calls = 0;
  }
  return ++calls;
}

// "<test>#<call>" in the child started for that call, else "".
std::string marker() {
  const char *m = getenv(kMarker);
  return m != nullptr ? std::string(m) : std::string();
}

bool name_is(const wchar_t *entry, const std::string &name) {
  const std::wstring w = widen(name) + L"=";
  return _wcsnicmp(entry, w.c_str(), w.size()) == 0;
}

// The parent's environment without the SDK's variables, the settings and
// the marker, then the settings and the marker: a CREATE_UNICODE_ENVIRONMENT
// block.
std::wstring child_environment(std::initializer_list<env_setting> env, const std::string &mark,
                               const std::string &temp) {
  std::wstring block;
  wchar_t *all = GetEnvironmentStringsW();
  for (const wchar_t *e = all; e != nullptr && *e != L'\0'; e += wcslen(e) + 1) {
    bool drop = name_is(e, kMarker) || name_is(e, "TMP") || name_is(e, "TEMP");
    for (const char *name : kTqVars) drop = drop || name_is(e, name);
    for (const auto &kv : env) drop = drop || name_is(e, kv.first);
    if (drop) continue;
    block += e;
    block += L'\0';
  }
  if (all != nullptr) FreeEnvironmentStringsW(all);
  for (const auto &kv : env) {
    block += widen(std::string(kv.first) + "=" + kv.second);
    block += L'\0';
  }
  block += widen(std::string(kMarker) + "=" + mark);
  block += L'\0';
  for (const char *name : {"TMP", "TEMP"}) {
    block += widen(std::string(name) + "=" + temp);
    block += L'\0';
  }
  block += L'\0';
  return block;
}

// In a child, what the test prints before the child's own call (its checks
// of placeholder results among it) is no news: standard output goes to NUL
// from start-up until the body runs. A child whose run of the test never
// reaches that call (an earlier assertion ended it) must not look like a
// body that passed: it ends with status 3 instead of the test's own.
int g_saved_stdout = -1;
bool g_own_call_reached = false;

struct child_mode {
  child_mode() {
    if (getenv(kMarker) == nullptr) return;
    fflush(stdout);
    const int null_fd = _open("NUL", _O_WRONLY);
    if (null_fd < 0) return;
    g_saved_stdout = _dup(1);
    _dup2(null_fd, 1);
    _close(null_fd);
  }
  ~child_mode() {
    if (getenv(kMarker) == nullptr || g_own_call_reached) return;
    fprintf(stderr, "run_in_child: the re-run test never reached the call %s\n", getenv(kMarker));
    fflush(stderr);
    _exit(3);
  }
};
const child_mode g_child_mode;

[[noreturn]] void child_main(const std::function<void()> &body) {
  g_own_call_reached = true;
  if (g_saved_stdout >= 0) {
    fflush(stdout);
    _dup2(g_saved_stdout, 1);
  }
  // As the program's start-up does: diagnostic lines end in a bare newline.
  _setmode(2, _O_BINARY);
  const ::testing::TestResult *result =
      ::testing::UnitTest::GetInstance()->current_test_info()->result();
  // Failures of the test's own checks before this call (of placeholder
  // results) are not the body's.
  const int before = result->total_part_count();
  body();
  int code = 0;
  for (int i = before; i < result->total_part_count(); ++i) {
    if (result->GetTestPartResult(i).failed()) code = 1;
  }
  fflush(stdout);
  fflush(stderr);
  _exit(code);  // no static destructors, no rest of the test
}

}  // namespace

child_process::child_process(std::initializer_list<env_setting> env,
                             const std::function<void()> &body) {
  const std::string mark = current_test_name() + "#" + std::to_string(next_call_number());
  const std::string inherited = marker();
  if (!inherited.empty()) {
    if (inherited == mark) child_main(body);
    // Another call's child: this call already ran in the parent.
    result_.exited = true;
    result_.code = 0;
    return;
  }

  wchar_t self[32768];
  const DWORD self_len = GetModuleFileNameW(nullptr, self, 32768);
  if (self_len == 0 || self_len >= 32768) {
    result_.err = "GetModuleFileNameW failed";
    return;
  }
  std::wstring cmd =
      quoted(self) + L" --gtest_brief=1 " + quoted(widen("--gtest_filter=" + current_test_name()));
  // The child ends without running destructors, so the scratch folders its
  // run of the test makes go into a temporary folder of its own, which this
  // process removes once the child is gone.
  std::string temp = (std::filesystem::temp_directory_path() / "ws_child_XXXXXX").string();
  if (mkdtemp(temp.data()) == nullptr) {
    result_.err = "cannot make a temporary folder for the child";
    return;
  }
  temp_dir_ = temp;
  std::wstring environment = child_environment(env, mark, temp);

  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr;
  HANDLE write_end = nullptr;
  if (!CreatePipe(&read_end, &write_end, &inherit, 0)) {
    result_.err = "CreatePipe failed";
    return;
  }
  SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
  HANDLE null_in = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                               OPEN_EXISTING, 0, nullptr);
  HANDLE out = nullptr;
  DuplicateHandle(GetCurrentProcess(), GetStdHandle(STD_OUTPUT_HANDLE), GetCurrentProcess(), &out,
                  0, TRUE, DUPLICATE_SAME_ACCESS);

  fflush(stdout);
  fflush(stderr);
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = null_in;
  si.hStdOutput = out;
  si.hStdError = write_end;
  PROCESS_INFORMATION pi = {};
  const bool started =
      start_process(self, &cmd, TRUE, CREATE_UNICODE_ENVIRONMENT, environment.data(), &si, &pi);
  CloseHandle(write_end);
  if (null_in != INVALID_HANDLE_VALUE) CloseHandle(null_in);
  if (out != nullptr) CloseHandle(out);
  if (!started) {
    std::error_code ec;
    std::filesystem::remove_all(temp_dir_, ec);
    CloseHandle(read_end);
    result_.err = "CreateProcessW failed: error " + std::to_string(GetLastError());
    return;
  }
  CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  err_pipe_ = read_end;
}

child_process::~child_process() {
  wait();
}

child_result child_process::wait(int timeout_ms) {
  if (waited_ || process_ == nullptr) return result_;
  waited_ = true;
  child_result &r = result_;
  HANDLE process = process_;
  HANDLE read_end = err_pipe_;
  // Polled rather than read in a blocking call, so a grandchild holding
  // the pipe open cannot keep this waiting past the child's end.
  const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
  bool ended = false;
  for (;;) {
    DWORD avail = 0;
    const bool open = PeekNamedPipe(read_end, nullptr, 0, nullptr, &avail, nullptr) != 0;
    if (open && avail > 0) {
      char buf[4096];
      DWORD n = 0;
      if (ReadFile(read_end, buf, avail < sizeof buf ? avail : sizeof buf, &n, nullptr) && n > 0) {
        r.err.append(buf, n);
      }
      continue;
    }
    if (!open || ended) break;  // broken pipe: every writer is gone
    ended = WaitForSingleObject(process, 10) == WAIT_OBJECT_0;
    if (!ended && GetTickCount64() > deadline) {
      r.timed_out = true;
      TerminateProcess(process, 1);
      WaitForSingleObject(process, INFINITE);
      ended = true;
    }
  }
  CloseHandle(read_end);
  err_pipe_ = nullptr;
  DWORD code = 0;
  if (!r.timed_out && GetExitCodeProcess(process, &code)) {
    r.exited = true;
    r.code = static_cast<int>(code);
  }
  CloseHandle(process);
  process_ = nullptr;
  std::error_code ec;
  std::filesystem::remove_all(temp_dir_, ec);
  return r;
}

child_result run_in_child(std::initializer_list<env_setting> env, const std::function<void()> &body,
                          int timeout_ms) {
  child_process child(env, body);
  return child.wait(timeout_ms);
}

}  // namespace ws_test
