// Windows twin of program_run.cpp: CreateProcessW with three pipes.
#include <windows.h>

#include <thread>

#include "support/command_line_win32.h"
#include "support/program_run.h"

namespace ws_test {

std::wstring widen(const std::string &s) {
  if (s.empty()) return std::wstring();
  const int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

std::wstring quoted(const std::wstring &arg) {
  std::wstring out = L"\"";
  size_t slashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++slashes;
    } else if (c == L'"') {
      out.append(slashes + 1, L'\\');
      slashes = 0;
    } else {
      slashes = 0;
    }
    out += c;
  }
  out.append(slashes, L'\\');
  out += L'"';
  return out;
}

bool start_process(const wchar_t *app, std::wstring *cmd, BOOL inherit, DWORD flags, void *env,
                   STARTUPINFOW *si, PROCESS_INFORMATION *pi) {
  constexpr int kAttempts = 5;
  constexpr DWORD kPauseMs = 100;
  for (int attempt = 1;; attempt++) {
    if (CreateProcessW(app, cmd->data(), nullptr, nullptr, inherit, flags, env, nullptr, si, pi)) {
      return true;
    }
    if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == kAttempts) return false;
    Sleep(kPauseMs);
  }
}

namespace {

struct handle_closer {
  HANDLE h = nullptr;
  ~handle_closer() {
    if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
};

// A pipe whose child end (read or write, as child_reads says) is inherited.
bool make_pipe(handle_closer *parent, handle_closer *child, bool child_reads) {
  SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
  HANDLE r = nullptr;
  HANDLE w = nullptr;
  if (!CreatePipe(&r, &w, &inherit, 65536)) return false;
  parent->h = child_reads ? w : r;
  child->h = child_reads ? r : w;
  SetHandleInformation(parent->h, HANDLE_FLAG_INHERIT, 0);
  return true;
}

void drain(HANDLE h, std::string *sink) {
  char buf[8192];
  DWORD n = 0;
  while (ReadFile(h, buf, sizeof buf, &n, nullptr) && n > 0) sink->append(buf, n);
}

}  // namespace

bool run_program(const std::string &binary, const std::vector<std::string> &args,
                 const std::map<std::string, std::string> &env, const std::string &input,
                 int timeout_ms, program_result *r, std::string *why) {
  std::wstring cmd = quoted(widen(binary));
  for (const std::string &a : args) cmd += L" " + quoted(widen(a));
  std::wstring block;
  for (const auto &kv : env) {
    block += widen(kv.first + "=" + kv.second);
    block += L'\0';
  }
  block += L'\0';

  handle_closer in_parent, in_child, out_parent, out_child, err_parent, err_child;
  if (!make_pipe(&in_parent, &in_child, true) || !make_pipe(&out_parent, &out_child, false) ||
      !make_pipe(&err_parent, &err_child, false)) {
    *why = "CreatePipe failed: error " + std::to_string(GetLastError());
    return false;
  }
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in_child.h;
  si.hStdOutput = out_child.h;
  si.hStdError = err_child.h;
  PROCESS_INFORMATION pi = {};
  const std::wstring app = widen(binary);
  if (!start_process(app.c_str(), &cmd, TRUE, CREATE_UNICODE_ENVIRONMENT, block.data(), &si, &pi)) {
    *why = "CreateProcessW " + binary + ": error " + std::to_string(GetLastError());
    return false;
  }
  handle_closer process{pi.hProcess};
  CloseHandle(pi.hThread);
  // Only the child holds these now, so its end is the end of each pipe.
  CloseHandle(in_child.h);
  in_child.h = nullptr;
  CloseHandle(out_child.h);
  out_child.h = nullptr;
  CloseHandle(err_child.h);
  err_child.h = nullptr;

  std::thread out_reader(drain, out_parent.h, &r->out);
  std::thread err_reader(drain, err_parent.h, &r->err);
  // Small inputs fit in the pipe, so this never waits on the child.
  DWORD written = 0;
  if (!input.empty()) {
    WriteFile(in_parent.h, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
  }
  CloseHandle(in_parent.h);
  in_parent.h = nullptr;

  if (WaitForSingleObject(process.h, static_cast<DWORD>(timeout_ms)) != WAIT_OBJECT_0) {
    r->timed_out = true;
    TerminateProcess(process.h, 1);
    WaitForSingleObject(process.h, INFINITE);
  }
  out_reader.join();
  err_reader.join();
  DWORD code = 0;
  r->exited = !r->timed_out && GetExitCodeProcess(process.h, &code);
  r->status = r->exited ? static_cast<int>(code) : -1;
  return true;
}

}  // namespace ws_test
