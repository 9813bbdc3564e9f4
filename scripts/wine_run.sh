#!/usr/bin/env bash
# Runs a Windows program of the Windows build under Wine, as ctest's
# emulator (CMAKE_CROSSCOMPILING_EMULATOR) and for the suites that drive the
# .exe from outside:  scripts/wine_run.sh program.exe [arguments...]
#
# Wine keeps its state in a test-private prefix (build/windows/wineprefix,
# or $WS_WINEPREFIX), never the user's own. The program's standard streams,
# exit status and working folder are passed through unchanged.
set -u
here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

export WINEPREFIX=${WS_WINEPREFIX:-$here/build/windows/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
# No Mono or Gecko installer prompts while the prefix is made.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

mkdir -p "$WINEPREFIX" || exit 125
# One runner at a time makes the prefix and starts the server (ctest runs
# tests in parallel); later runs find both ready and skip this.
exec 9>"$WINEPREFIX/.ws_lock" || exit 125
flock 9
# Whatever Wine starts here outlives this script: it gets no copy of the
# lock (it would hold the lock until it ends) and no caller's stream.
quiet() { "$@" </dev/null >/dev/null 2>&1 9>&-; }
if [ ! -f "$WINEPREFIX/.ws_ready" ]; then
  quiet wineboot -i
  quiet wineserver -w
  # A crashing program would start Wine's debugger, which can end with
  # status 0: no debugger, so a crash is a failure.
  quiet wine reg delete 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f
  quiet wine reg delete 'HKLM\Software\Wow6432Node\Microsoft\Windows NT\CurrentVersion\AeDebug' /v Debugger /f
  touch "$WINEPREFIX/.ws_ready"
fi
# Keep one server up for a while (a cold start costs seconds, a warm one a
# tenth of one). It, and the services the first program starts, must not
# hold the caller's pipes: ctest would wait on them forever. So the server
# starts here, and one program warms it up, all streams on /dev/null.
if quiet wineserver -p60; then
  quiet wine cmd /c exit
fi
exec 9>&-

exec wine "$@"
