// The configuration folder and the Windows file primitives behind
// config.json. Paths travel through the program as UTF-8 and meet the system
// only through its wide-character calls, so a user name or folder outside
// ASCII (LOCALAPPDATA holding "é" or CJK characters) works; the narrow calls
// would see them through the ANSI code page and lose what it cannot show.
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/ws_config.h"
#include "config/ws_config_internal.h"
#include "util/ws_buf.h"

namespace {

constexpr size_t kDirArea = WS_CONFIG_MAX_PATH;
// Wide copies of the longest path handled here (the 1300-byte temporary
// path): UTF-8 never needs fewer bytes than UTF-16 needs units.
constexpr size_t kWideArea = 1400;

// UTF-8 text into dst; false when it is not valid UTF-8 or does not fit.
bool to_wide(const char *text, wchar_t *dst, size_t cap) {
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, dst, static_cast<int>(cap));
  return n > 0;
}

// Wide text into UTF-8 in dst; false when it does not convert or fit.
bool to_utf8(const wchar_t *text, char *dst, size_t cap) {
  int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, dst, static_cast<int>(cap),
                              nullptr, nullptr);
  return n > 0;
}

// An environment variable as UTF-8 in dst: 1 with the value, 0 when it is
// unset or empty, -1 when it does not fit whole (a cut value would name some
// other folder, so the caller fails as for a folder that cannot be made).
int env_utf8(const wchar_t *name, char *dst, size_t cap) {
  const wchar_t *v = _wgetenv(name);
  if (v == nullptr || v[0] == L'\0') return 0;
  return to_utf8(v, dst, cap) ? 1 : -1;
}

bool is_dir(const char *path) {
  wchar_t w[kWideArea];
  if (!to_wide(path, w, kWideArea)) return false;
  DWORD attr = GetFileAttributesW(w);
  return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Closes a handle when the scope ends.
struct handle_guard {
  HANDLE h;
  explicit handle_guard(HANDLE handle) : h(handle) {}
  handle_guard(const handle_guard &) = delete;
  handle_guard &operator=(const handle_guard &) = delete;
  ~handle_guard() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  bool ok() const { return h != INVALID_HANDLE_VALUE; }
  // Closes now and reports whether that succeeded.
  bool close_now() {
    HANDLE x = h;
    h = INVALID_HANDLE_VALUE;
    return CloseHandle(x) != 0;
  }
};

// A reason for the caller's buffer; why may be NULL.
__attribute__((format(WS_PRINTF_FORMAT, 3, 4))) void set_why(char *why, size_t size,
                                                             const char *fmt, ...) {
  if (why == nullptr || size == 0) return;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(why, size, fmt, ap);
  va_end(ap);
}

// The last system error in the words the Linux build uses where they mean
// the same, so a user reads one text on both; the number otherwise.
void set_why_system(char *why, size_t size) {
  const DWORD error = GetLastError();
  switch (error) {
    case ERROR_ACCESS_DENIED:
      set_why(why, size, "Permission denied");
      break;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      set_why(why, size, "in use by another program");
      break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      set_why(why, size, "out of memory");
      break;
    default:
      set_why(why, size, "Windows error %lu", static_cast<unsigned long>(error));
  }
}

bool write_whole(HANDLE h, const char *p, size_t len) {
  while (len > 0) {
    DWORD chunk = len > 0x40000000u ? 0x40000000u : static_cast<DWORD>(len);
    DWORD done = 0;
    if (!WriteFile(h, p, chunk, &done, nullptr) || done == 0) return false;
    p += done;
    len -= done;
  }
  return true;
}

// Moves from over to in one step. Windows refuses to replace a file that
// any process holds open (ERROR_ACCESS_DENIED), and every process that loads
// the settings opens config.json for a moment, so a refusal is tried again
// for up to kMoveRetries times kMoveSliceMs before it counts.
constexpr int kMoveRetries = 400;
constexpr DWORD kMoveSliceMs = 5;

bool move_over(const wchar_t *from, const wchar_t *to) {
  for (int attempt = 0;; attempt++) {
    if (MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
        attempt + 1 >= kMoveRetries) {
      return false;
    }
    Sleep(kMoveSliceMs);
  }
}

}  // namespace

int ws_mkdir_p(const char *path) {
  if (path == nullptr || path[0] == '\0') return -1;
  char area[kDirArea];
  size_t len = strlen(path);
  if (len >= sizeof area) return -1;
  memcpy(area, path, len + 1);
  // Every prefix that ends before a slash or backslash, then the whole path;
  // the first byte is never a cut point, so the root is not created on its
  // own. Failures (existing folders, a drive prefix such as "C:") are judged
  // by the final test.
  for (size_t i = 1; i <= len; i++) {
    if (area[i] == '/' || area[i] == '\\' || area[i] == '\0') {
      char saved = area[i];
      area[i] = '\0';
      wchar_t w[kWideArea];
      if (to_wide(area, w, kWideArea)) CreateDirectoryW(w, nullptr);
      area[i] = saved;
    }
  }
  return is_dir(path) ? 0 : -1;
}

int ws_config_dir_at(const char *workspace, char *dst, size_t size) {
  if (dst == nullptr || size == 0) return -1;
  dst[0] = '\0';
  char rest[64];
  char value[kDirArea];
  int got = env_utf8(L"SWEBSEARCH_CONFIG_DIR", value, sizeof value);
  if (got != 0) return got > 0 ? ws_make_folder(dst, size, value, "") : -1;
  if (workspace != nullptr && is_dir(workspace)) {
    snprintf(rest, sizeof rest, "/.torvale/connectors/%s", WS_PLUGIN_ID);
    if (ws_make_folder(dst, size, workspace, rest) == 0) return 0;
  }
  got = env_utf8(L"LOCALAPPDATA", value, sizeof value);
  if (got != 0) {
    snprintf(rest, sizeof rest, "\\torvale\\connectors\\%s", WS_PLUGIN_ID);
    return got > 0 ? ws_make_folder(dst, size, value, rest) : -1;
  }
  got = env_utf8(L"USERPROFILE", value, sizeof value);
  if (got < 0) return -1;
  if (got == 0) ws_copy(value, sizeof value, ".");
  snprintf(rest, sizeof rest, "\\.torvale\\connectors\\%s", WS_PLUGIN_ID);
  return ws_make_folder(dst, size, value, rest);
}

int ws_read_small_file(const char *path, size_t max, char **out, size_t *out_len, char *why,
                       size_t why_size) {
  if (why != nullptr && why_size > 0) why[0] = '\0';
  if (path == nullptr || out == nullptr) return -1;
  wchar_t w[kWideArea];
  if (!to_wide(path, w, kWideArea)) {
    set_why(why, why_size, "path is not valid UTF-8 or too long");
    return -1;
  }
  // Shared for writing and deleting, so that a save in another process can
  // replace the file while it is being read here.
  handle_guard f(CreateFileW(w, GENERIC_READ,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!f.ok()) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 1;
    // A folder cannot be opened as a file at all: say what it is.
    const DWORD attr = GetFileAttributesW(w);
    if (attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      set_why(why, why_size, "not a regular file");
      return -1;
    }
    SetLastError(error);
    set_why_system(why, why_size);
    return -1;
  }
  // Only a file on disk: a pipe or device put where config.json belongs is
  // refused rather than read (it could block).
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(f.h) != FILE_TYPE_DISK || !GetFileInformationByHandle(f.h, &info) ||
      (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    set_why(why, why_size, "not a regular file");
    return -1;
  }
  const unsigned long long st =
      (static_cast<unsigned long long>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  if (st < 1) return 1;
  if (st > max) {
    set_why(why, why_size, "larger than %zu bytes", max);
    return -1;
  }
  size_t size = static_cast<size_t>(st);
  char *buf = static_cast<char *>(malloc(size + 1));
  if (buf == nullptr) {
    set_why(why, why_size, "out of memory");
    return -1;
  }
  // Read up to size bytes; a file that shrank meanwhile yields what is there.
  size_t got = 0;
  while (got < size) {
    DWORD n = 0;
    if (!ReadFile(f.h, buf + got, static_cast<DWORD>(size - got), &n, nullptr)) {
      set_why_system(why, why_size);
      free(buf);
      return -1;
    }
    if (n == 0) break;
    got += n;
  }
  buf[got] = '\0';
  *out = buf;
  if (out_len != nullptr) *out_len = got;
  return 0;
}

int ws_file_lock_take(const char *lock_path) {
  wchar_t w[kWideArea];
  if (lock_path == nullptr || !to_wide(lock_path, w, kWideArea)) return -1;
  HANDLE h = CreateFileW(w, GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  // Waits for the holder; the system drops the lock when the handle is
  // closed, also when the process dies.
  OVERLAPPED whole = {};
  if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
    CloseHandle(h);
    return -1;
  }
  // The caller keeps an int: the C run-time's descriptor for the handle,
  // whose _close closes the handle too.
  const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), _O_RDWR);
  if (fd < 0) CloseHandle(h);
  return fd;
}

void ws_file_lock_release(int handle) {
  if (handle >= 0) _close(handle);
}

int ws_replace_file(const char *tmp_path, const char *path, const char *text, size_t len) {
  wchar_t wtmp[kWideArea];
  wchar_t wpath[kWideArea];
  if (!to_wide(tmp_path, wtmp, kWideArea) || !to_wide(path, wpath, kWideArea)) return -1;
  // A left-over temporary file is removed rather than opened: the new text
  // goes into a fresh file of our own.
  if (!DeleteFileW(wtmp) && GetLastError() != ERROR_FILE_NOT_FOUND) return -1;
  handle_guard tmp(
      CreateFileW(wtmp, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!tmp.ok()) return -1;
  bool ok = write_whole(tmp.h, text, len) && FlushFileBuffers(tmp.h) != 0;
  ok = tmp.close_now() && ok;
  // One step: readers see the old file or the new one, never a gap or a
  // torn file; a failed move leaves the old file as it was.
  if (!ok || !move_over(wtmp, wpath)) {
    DeleteFileW(wtmp);
    return -1;
  }
  return 0;
}

int ws_file_stamp(const char *path, ws_config_stamp *out) {
  *out = {};
  wchar_t w[kWideArea];
  if (path == nullptr || !to_wide(path, w, kWideArea)) return -1;
  // No access asked for, only the file's attributes; shared with everything,
  // so a save under way is never disturbed.
  handle_guard f(CreateFileW(w, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (!f.ok() || !GetFileInformationByHandle(f.h, &info)) return -1;
  // Counted from 1970 rather than 1601, so that nanoseconds fit; the
  // arithmetic is unsigned, so even a nonsense time cannot overflow.
  constexpr unsigned long long kUnixEpoch = 116444736000000000ULL;
  const unsigned long long written =
      (static_cast<unsigned long long>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime;
  out->present = 1;
  out->dev = info.dwVolumeSerialNumber;
  out->ino = (static_cast<unsigned long long>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  out->size = static_cast<long long>((static_cast<unsigned long long>(info.nFileSizeHigh) << 32) |
                                     info.nFileSizeLow);
  out->mtime_ns = static_cast<long long>((written - kUnixEpoch) * 100ULL);
  return 0;
}
