// Windows standard input with a deadline. An anonymous pipe (what a web
// server hands a CGI program) cannot be waited on, so it is asked how many
// bytes are queued in short slices; a file on disk never blocks; a console
// is a waitable handle.
#include <windows.h>

#include "sdk/platform.h"
#include "sdk/platform_stdin.h"

namespace {

// How long one look at an empty pipe sleeps: short enough that a body is
// read within milliseconds of its arrival, long enough to cost nothing.
constexpr int64_t kPipeSliceMs = 5;

DWORD clamp_dword(size_t len) {
  return len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
}

// One ReadFile: the byte count, 0 at the end of input, -1 on failure. The
// writer closing its end of a pipe is the end of input, not a failure.
ptrdiff_t read_once(HANDLE in, void *buf, size_t len) {
  DWORD got = 0;
  if (ReadFile(in, buf, clamp_dword(len), &got, nullptr)) return static_cast<ptrdiff_t>(got);
  return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
}

}  // namespace

ptrdiff_t tq_plat_stdin_read(void *buf, size_t len, int64_t deadline_ms) {
  if (len == 0) return 0;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  if (in == INVALID_HANDLE_VALUE || in == nullptr) return -1;
  switch (GetFileType(in)) {
    case FILE_TYPE_DISK:
      return read_once(in, buf, len);
    case FILE_TYPE_PIPE:
      for (;;) {
        DWORD queued = 0;
        if (!PeekNamedPipe(in, nullptr, 0, nullptr, &queued, nullptr)) {
          // The writer is gone and nothing is left: the end of input.
          if (GetLastError() == ERROR_BROKEN_PIPE) return 0;
          // A pipe that cannot be looked into (under Wine, a Unix pipe
          // answers ERROR_NOT_SUPPORTED) is read as it comes, without the
          // deadline, rather than not at all.
          return read_once(in, buf, len);
        }
        if (queued > 0) return read_once(in, buf, len < queued ? len : queued);
        const int64_t left = deadline_ms - tq_platform_now_ms();
        if (left <= 0) return -1;
        Sleep(static_cast<DWORD>(left < kPipeSliceMs ? left : kPipeSliceMs));
      }
    case FILE_TYPE_CHAR:
      for (;;) {
        const int64_t left = deadline_ms - tq_platform_now_ms();
        if (left <= 0) return -1;
        const DWORD r = WaitForSingleObject(in, static_cast<DWORD>(left > 30000 ? 30000 : left));
        if (r == WAIT_OBJECT_0) return read_once(in, buf, len);
        if (r != WAIT_TIMEOUT) return -1;
      }
    default:
      return read_once(in, buf, len);
  }
}
