# Cross build for Windows x86-64 with MinGW-w64 (posix thread model, which
# std::thread and std::mutex need). The libraries it links (BearSSL, yyjson,
# GoogleTest) are the ones scripts/setup.sh windows built into
# build/windows-deps; everything else comes from the MinGW sysroot.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(WS_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${WS_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${WS_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${WS_MINGW_TRIPLE}-windres)

if(NOT DEFINED WS_WINDOWS_DEPS)
  if(DEFINED ENV{WS_WINDOWS_DEPS})
    set(WS_WINDOWS_DEPS "$ENV{WS_WINDOWS_DEPS}")
  else()
    get_filename_component(WS_WINDOWS_DEPS "${CMAKE_CURRENT_LIST_DIR}/../build/windows-deps" ABSOLUTE)
  endif()
endif()
# try_compile projects read this file again; hand them the same folder.
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES WS_WINDOWS_DEPS)

set(CMAKE_FIND_ROOT_PATH "/usr/${WS_MINGW_TRIPLE}" "${WS_WINDOWS_DEPS}")
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# One self-contained .exe: without -static it needs libwinpthread-1.dll and
# the GCC run-time DLLs next to it, and a missing DLL shows only as an exit
# code.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
