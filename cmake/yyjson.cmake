# yyjson, linked statically, as target ws_yyjson.
#
# The shipped executable must start on any machine with the C library, and
# Debian 12 has no yyjson at all, so the shared library is never used. An
# installed libyyjson.a is taken when there is one; otherwise the single
# source file of Debian's own source package, which scripts/setup.sh fetches
# into build/_deps, is unpacked into this build folder and compiled there.
# WS_YYJSON_LICENSE names the licence text that travels with the executable.

set(WS_YYJSON_TARBALL_DIR "${CMAKE_SOURCE_DIR}/build/_deps" CACHE PATH
  "Folder holding yyjson's Debian source tarball (yyjson_*.orig.tar.*)")

find_library(WS_YYJSON_STATIC_LIBRARY NAMES libyyjson.a)
find_path(WS_YYJSON_INCLUDE_DIR yyjson.h)

if(WS_YYJSON_STATIC_LIBRARY AND WS_YYJSON_INCLUDE_DIR)
  add_library(ws_yyjson STATIC IMPORTED)
  set_target_properties(ws_yyjson PROPERTIES
    IMPORTED_LOCATION "${WS_YYJSON_STATIC_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${WS_YYJSON_INCLUDE_DIR}")
  set(WS_YYJSON_LICENSE "/usr/share/doc/libyyjson-dev/copyright")
  message(STATUS "yyjson: ${WS_YYJSON_STATIC_LIBRARY}")
  return()
endif()

file(GLOB ws_yyjson_tarballs "${WS_YYJSON_TARBALL_DIR}/yyjson_*.orig.tar.*")
list(SORT ws_yyjson_tarballs COMPARE NATURAL ORDER DESCENDING)
list(LENGTH ws_yyjson_tarballs ws_yyjson_count)
if(ws_yyjson_count EQUAL 0)
  message(FATAL_ERROR "yyjson: no static library (libyyjson.a) and no source tarball "
    "${WS_YYJSON_TARBALL_DIR}/yyjson_*.orig.tar.*: run scripts/setup.sh run")
endif()
list(GET ws_yyjson_tarballs 0 ws_yyjson_tarball)

# CMake unpacks .tar.xz itself, so a minimal system needs no xz tool. The
# stamp names the tarball, so a newer one replaces the old tree.
get_filename_component(ws_yyjson_tarball_name "${ws_yyjson_tarball}" NAME)
set(ws_yyjson_root "${CMAKE_BINARY_DIR}/_deps/yyjson")
set(ws_yyjson_stamp "${ws_yyjson_root}/.unpacked")
set(ws_yyjson_unpacked "")
if(EXISTS "${ws_yyjson_stamp}")
  file(READ "${ws_yyjson_stamp}" ws_yyjson_unpacked)
endif()
if(NOT ws_yyjson_unpacked STREQUAL ws_yyjson_tarball_name)
  file(REMOVE_RECURSE "${ws_yyjson_root}")
  file(ARCHIVE_EXTRACT INPUT "${ws_yyjson_tarball}" DESTINATION "${ws_yyjson_root}")
  file(WRITE "${ws_yyjson_stamp}" "${ws_yyjson_tarball_name}")
endif()

file(GLOB ws_yyjson_source "${ws_yyjson_root}/*/src/yyjson.c")
list(LENGTH ws_yyjson_source ws_yyjson_count)
if(NOT ws_yyjson_count EQUAL 1)
  message(FATAL_ERROR "yyjson: ${ws_yyjson_tarball} does not hold exactly one src/yyjson.c")
endif()
get_filename_component(ws_yyjson_src_dir "${ws_yyjson_source}" DIRECTORY)
get_filename_component(ws_yyjson_top_dir "${ws_yyjson_src_dir}" DIRECTORY)
set(WS_YYJSON_LICENSE "${ws_yyjson_top_dir}/LICENSE")

add_library(ws_yyjson STATIC "${ws_yyjson_source}")
# Its header is the one the library was compiled with, ahead of any
# installed /usr/include/yyjson.h; SYSTEM keeps our warning flags to our code.
target_include_directories(ws_yyjson SYSTEM PUBLIC "${ws_yyjson_src_dir}")
set_target_properties(ws_yyjson PROPERTIES C_STANDARD 99 C_EXTENSIONS OFF)
# Left uninstrumented, as the shared library it replaced was: instrumenting
# its one large file cost minutes of compile time in each sanitizer and fuzz
# build.
if(WS_SANITIZE OR WS_FUZZ)
  target_compile_options(ws_yyjson PRIVATE -fno-sanitize=all)
endif()
message(STATUS "yyjson: compiled from ${ws_yyjson_tarball_name}")
