// Private to src/config/. The folder and file primitives are the only code
// of the unit that touches the file system (ws_config_dir_posix.cpp and its
// Windows twin ws_config_dir_win32.cpp, one chosen by the build).
#pragma once

#include <cstddef>

#include "config/ws_config.h"

// The id that names this plug-in's own folder.
constexpr const char WS_PLUGIN_ID[] = "plugin_websearch";
// config.json is read only when it holds 1 byte to 1 MiB.
constexpr size_t WS_CONFIG_MAX_FILE = 1048576;

// Longest folder path the rules build (bytes, the NUL included).
constexpr size_t WS_CONFIG_MAX_PATH = 1024;

// --- file system (ws_config_dir_posix.cpp, ws_config_dir_win32.cpp) -----

// Creates path and its parents (mode 0700). 0 when path is a directory
// afterwards; -1 for an empty or over-long (1024 bytes and more) path.
int ws_mkdir_p(const char *path);

// The folder as "<base><rest>" into dst, created (ws_config_folder.cpp);
// -1 with dst empty when it does not fit whole (a cut folder would be some
// other folder) or cannot be created.
int ws_make_folder(char *dst, size_t size, const char *base, const char *rest);

// ws_config_dir with the workspace root given: "/workspace" in the product,
// a scratch folder (or a missing one) in tests.
int ws_config_dir_at(const char *workspace, char *dst, size_t size);

// Reads a regular file of 1..max bytes whole into a malloc'ed NUL-terminated
// buffer that the caller frees. 0 with the text; 1 when there is nothing to
// read (no such file, or an empty one); -1 with nothing allocated and the
// reason in why ("Permission denied", "not a regular file", "larger than
// 1048576 bytes"; why may be NULL).
int ws_read_small_file(const char *path, size_t max, char **out, size_t *out_len, char *why,
                       size_t why_size);

// Fills out with the identity of the file at path (device, inode, size,
// modification time). 0, or -1 with out zeroed when it cannot be examined.
int ws_file_stamp(const char *path, ws_config_stamp *out);

// An exclusive lock on lock_path (created 0600 when missing), waited for:
// a handle >= 0, or -1. Held until ws_file_lock_release, or until the
// process ends, so a killed holder never blocks the next one.
int ws_file_lock_take(const char *lock_path);
void ws_file_lock_release(int handle);

// Releases a lock when the scope ends.
struct ws_file_lock {
  int handle;
  explicit ws_file_lock(int h) : handle(h) {}
  ws_file_lock(const ws_file_lock &) = delete;
  ws_file_lock &operator=(const ws_file_lock &) = delete;
  ~ws_file_lock() { ws_file_lock_release(handle); }
};

// Replaces path with len bytes of text: written to tmp_path (mode 0600),
// flushed to disk, renamed over path. 0, or -1 with tmp_path removed and
// path untouched. The temporary name is fixed, so callers hold the lock.
int ws_replace_file(const char *tmp_path, const char *path, const char *text, size_t len);

// --- file layer (ws_config_file.cpp) ------------------------------------

// Second layer of ws_config_load: config.json applied over the defaults;
// a folder or file that cannot be read contributes nothing.
void ws_config_file_layer(ws_config *cfg);

// --- shared by the environment and file layers (ws_config.cpp) ---------

// atoi's reading of a text (leading white space, a sign, digits up to the
// first non-digit, 0 without digits), saturated at INT_MIN and INT_MAX
// instead of overflowing.
int ws_leading_int(const char *s);
