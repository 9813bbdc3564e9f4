// The configuration folder and the POSIX file primitives behind config.json.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/ws_config.h"
#include "config/ws_config_internal.h"
#include "util/ws_buf.h"

namespace {

constexpr size_t kDirArea = WS_CONFIG_MAX_PATH;

bool is_dir(const char *path) {
  struct stat st;
  return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

// Closes a descriptor when the scope ends.
struct fd_guard {
  int fd;
  explicit fd_guard(int f) : fd(f) {}
  fd_guard(const fd_guard &) = delete;
  fd_guard &operator=(const fd_guard &) = delete;
  ~fd_guard() {
    if (fd >= 0) close(fd);
  }
  // Closes now and reports whether close succeeded (it may report a
  // delayed write error).
  bool close_now() {
    int f = fd;
    fd = -1;
    return close(f) == 0;
  }
};

// A reason for the caller's buffer; why may be NULL.
__attribute__((format(printf, 3, 4))) void set_why(char *why, size_t size, const char *fmt, ...) {
  if (why == nullptr || size == 0) return;
  va_list ap;
  va_start(ap, fmt);
  vsnprintf(why, size, fmt, ap);
  va_end(ap);
}

bool write_whole(int fd, const char *p, size_t len) {
  while (len > 0) {
    ssize_t n = write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

int ws_mkdir_p(const char *path) {
  if (path == nullptr || path[0] == '\0') return -1;
  char area[kDirArea];
  size_t len = strlen(path);
  if (len >= sizeof area) return -1;
  memcpy(area, path, len + 1);
  // Every prefix that ends before a slash, then the whole path; the first
  // byte is never a cut point, so the root is not created on its own.
  // Failures (existing folders and the like) are judged by the final test.
  for (size_t i = 1; i <= len; i++) {
    if (area[i] == '/' || area[i] == '\0') {
      char saved = area[i];
      area[i] = '\0';
      mkdir(area, 0700);
      area[i] = saved;
    }
  }
  return is_dir(path) ? 0 : -1;
}

int ws_config_dir_at(const char *workspace, char *dst, size_t size) {
  if (dst == nullptr || size == 0) return -1;
  dst[0] = '\0';
  char rest[64];
  const char *over = getenv("SWEBSEARCH_CONFIG_DIR");
  if (over != nullptr && over[0] != '\0') return ws_make_folder(dst, size, over, "");
  if (workspace != nullptr && is_dir(workspace)) {
    snprintf(rest, sizeof rest, "/.torvale/connectors/%s", WS_PLUGIN_ID);
    if (ws_make_folder(dst, size, workspace, rest) == 0) return 0;
  }
  const char *xdg = getenv("XDG_CONFIG_HOME");
  if (xdg != nullptr && xdg[0] != '\0') {
    snprintf(rest, sizeof rest, "/torvale/connectors/%s", WS_PLUGIN_ID);
    return ws_make_folder(dst, size, xdg, rest);
  }
  const char *home = getenv("HOME");
  if (home == nullptr || home[0] == '\0') home = ".";
  snprintf(rest, sizeof rest, "/.torvale/connectors/%s", WS_PLUGIN_ID);
  return ws_make_folder(dst, size, home, rest);
}

int ws_read_small_file(const char *path, size_t max, char **out, size_t *out_len, char *why,
                       size_t why_size) {
  if (why != nullptr && why_size > 0) why[0] = '\0';
  if (path == nullptr || out == nullptr) return -1;
  // O_NONBLOCK: a FIFO put where config.json belongs must not hang the
  // process; it is refused below like anything that is not a regular file.
  fd_guard fd(open(path, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.fd < 0) {
    if (errno == ENOENT) return 1;
    set_why(why, why_size, "%s", strerror(errno));
    return -1;
  }
  struct stat st;
  if (fstat(fd.fd, &st) != 0) {
    set_why(why, why_size, "%s", strerror(errno));
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    set_why(why, why_size, "not a regular file");
    return -1;
  }
  if (st.st_size < 1) return 1;
  if (static_cast<unsigned long long>(st.st_size) > max) {
    set_why(why, why_size, "larger than %zu bytes", max);
    return -1;
  }
  size_t size = static_cast<size_t>(st.st_size);
  char *buf = static_cast<char *>(malloc(size + 1));
  if (buf == nullptr) {
    set_why(why, why_size, "out of memory");
    return -1;
  }
  // Read up to size bytes; a file that shrank meanwhile yields what is there.
  size_t got = 0;
  while (got < size) {
    ssize_t n = read(fd.fd, buf + got, size - got);
    if (n < 0) {
      if (errno == EINTR) continue;
      set_why(why, why_size, "%s", strerror(errno));
      free(buf);
      return -1;
    }
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  buf[got] = '\0';
  *out = buf;
  if (out_len != nullptr) *out_len = got;
  return 0;
}

int ws_file_lock_take(const char *lock_path) {
  int fd = open(lock_path, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) return -1;
  while (flock(fd, LOCK_EX) != 0) {
    if (errno != EINTR) {
      close(fd);
      return -1;
    }
  }
  return fd;
}

void ws_file_lock_release(int handle) {
  // Closing the descriptor drops the lock.
  if (handle >= 0) close(handle);
}

int ws_replace_file(const char *tmp_path, const char *path, const char *text, size_t len) {
  // A left-over temporary name is removed rather than opened: whatever it
  // is (a file with other permissions, a link pointing elsewhere, a FIFO
  // that would block), the new text goes into a fresh file of our own.
  if (unlink(tmp_path) != 0 && errno != ENOENT) return -1;
  fd_guard tmp(open(tmp_path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (tmp.fd < 0) return -1;
  // The file holds API keys: owner-only, whatever the umask allows.
  bool ok = fchmod(tmp.fd, 0600) == 0 && write_whole(tmp.fd, text, len) && fsync(tmp.fd) == 0;
  ok = tmp.close_now() && ok;
  if (!ok || rename(tmp_path, path) != 0) {
    unlink(tmp_path);
    return -1;
  }
  // Make the rename itself durable; the new file is in place either way.
  char dir[kDirArea];
  const char *slash = strrchr(path, '/');
  if (slash != nullptr && static_cast<size_t>(slash - path) < sizeof dir) {
    size_t n = slash == path ? 1 : static_cast<size_t>(slash - path);
    memcpy(dir, path, n);
    dir[n] = '\0';
    fd_guard d(open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (d.fd >= 0) fsync(d.fd);
  }
  return 0;
}

int ws_file_stamp(const char *path, ws_config_stamp *out) {
  *out = {};
  struct stat st;
  if (path == nullptr || stat(path, &st) != 0) return -1;
  out->present = 1;
  out->dev = static_cast<unsigned long long>(st.st_dev);
  out->ino = static_cast<unsigned long long>(st.st_ino);
  out->size = static_cast<long long>(st.st_size);
  out->mtime_ns = static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec;
  return 0;
}
