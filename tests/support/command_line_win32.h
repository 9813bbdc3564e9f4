// Starting Windows processes for the test support (program_run_win32.cpp,
// child_process_win32.cpp): the command line and the call itself.
#pragma once

#include <windows.h>

#include <string>

namespace ws_test {

// UTF-8 text as UTF-16.
std::wstring widen(const std::string &s);

// One argument quoted so that the C run-time's command-line splitting gives
// it back unchanged: backslashes double only before a quote.
std::wstring quoted(const std::wstring &arg);

// CreateProcessW with the given application, command line, inherit flag,
// creation flags and environment block. Wine now and then refuses a start
// with ERROR_INTERNAL_ERROR while many programs start at once; such a
// refusal is tried again a few times, every other failure is returned at
// once (GetLastError says why).
bool start_process(const wchar_t *app, std::wstring *cmd, BOOL inherit, DWORD flags, void *env,
                   STARTUPINFOW *si, PROCESS_INFORMATION *pi);

}  // namespace ws_test
