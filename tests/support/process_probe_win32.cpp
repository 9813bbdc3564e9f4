// Windows twin of the process probe: sockets counted among the process's
// handles, standard error captured through the C run-time.
#include <winsock2.h>

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>

#include "support/process_probe.h"
#include "support/test_sockets.h"

namespace ws_test {

namespace {

// Handle values are multiples of 4 and handed out lowest first, so the open
// ones sit together near the bottom of the table: a long run of free values
// ends the walk. The cap keeps a strange table from taking seconds.
constexpr uintptr_t kHandleStep = 4;
constexpr int kFreeRunEnd = 256;
constexpr uintptr_t kHandleCap = uintptr_t{1} << 18;

}  // namespace

// GetProcessHandleCount says 0 under Wine, and the whole handle count moves
// with the run-time's own lazily made events and thread handles; the sockets
// alone are what a leak check wants.
int open_fd_count() {
  if (!sockets_start()) return -1;
  int sockets = 0;
  int free_run = 0;
  for (uintptr_t v = kHandleStep; v < kHandleCap && free_run < kFreeRunEnd; v += kHandleStep) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(v), &flags) == 0) {
      free_run++;
      continue;
    }
    free_run = 0;
    int type = 0;
    int len = sizeof type;
    if (getsockopt(static_cast<SOCKET>(v), SOL_SOCKET, SO_TYPE, reinterpret_cast<char *>(&type),
                   &len) == 0) {
      sockets++;
    }
  }
  return sockets;
}

stderr_capture::stderr_capture() {
  fflush(stderr);
  // Removed by the system when the last descriptor on it closes.
  char dir[MAX_PATH + 1];
  char path[MAX_PATH + 1];
  DWORD n = GetTempPathA(sizeof dir, dir);
  if (n == 0 || n > sizeof dir || GetTempFileNameA(dir, "wse", 0, path) == 0) return;
  file_fd_ = _open(path, _O_RDWR | _O_BINARY | _O_TEMPORARY | _O_NOINHERIT, _S_IREAD | _S_IWRITE);
  saved_fd_ = _dup(2);
  // The run-time moves the process's standard error handle along with
  // descriptor 2, so direct writes to that handle are captured too.
  if (file_fd_ < 0 || saved_fd_ < 0 || _dup2(file_fd_, 2) != 0) {
    if (saved_fd_ >= 0) _close(saved_fd_);
    if (file_fd_ >= 0) _close(file_fd_);
    saved_fd_ = file_fd_ = -1;
  }
}

stderr_capture::~stderr_capture() {
  finish();
}

std::string stderr_capture::finish() {
  if (saved_fd_ < 0) return "";
  fflush(stderr);
  _dup2(saved_fd_, 2);
  _close(saved_fd_);
  saved_fd_ = -1;

  std::string out;
  char buf[4096];
  if (_lseek(file_fd_, 0, SEEK_SET) == 0) {
    for (;;) {
      int r = _read(file_fd_, buf, sizeof buf);
      if (r <= 0) break;
      out.append(buf, static_cast<size_t>(r));
    }
  }
  _close(file_fd_);
  file_fd_ = -1;
  return out;
}

}  // namespace ws_test
