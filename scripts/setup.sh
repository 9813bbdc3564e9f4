#!/usr/bin/env bash
# Installs what plugin_websearch needs on Debian 12, starting from a minimal
# system, for one role:
#   run      build and run: compiler, CMake, Ninja, pkg-config, BearSSL,
#            CA certificates and yyjson's source (scripts/run.sh)
#   release  run, plus file, Node.js and the pinned bundle tool (scripts/release.sh)
#   test     release, plus everything the test suite needs (the default)
#   windows  test, plus the Windows cross build: MinGW-w64, Wine and the
#            Windows libraries in build/windows-deps (scripts/setup_windows.sh)
# Safe to run again: it installs only what is missing. Everything it says goes
# to standard error, so a caller's standard output stays its own.
#
#   scripts/setup.sh [run|release|test|windows]
set -euo pipefail
exec 1>&2

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
log() { printf 'setup: %s\n' "$*"; }
die() { printf 'setup: error: %s\n' "$*"; exit 1; }

role=${1:-test}
windows=""
case "$role" in
  run | release | test) ;;
  windows) role=test windows=1 ;;
  *) die "unknown role '$role' (run, release, test or windows)" ;;
esac

# Debian packages per role; a role gets its own list and those of the roles
# before it.
run_packages=(
  ca-certificates build-essential g++ cmake ninja-build pkg-config libbearssl-dev
)
# file: CPack's Debian generator types the files before dpkg-shlibdeps reads them.
release_packages=(file)
test_packages=(
  clang libclang-rt-14-dev git python3 libgtest-dev libgmock-dev libbenchmark-dev
  openssl curl lighttpd nginx fcgiwrap chromium valgrind wrk tinyproxy microsocks
)

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || die "not root and sudo is not installed; run this script as root"
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive

pkg_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# The mirror this machine already uses for Debian itself; the next release's
# sources come from the same place, so no host name lives in this repository.
debian_mirror() {
  local uri=""
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    uri=$(awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i !~ /security/) { print $i; exit } }' \
      /etc/apt/sources.list.d/debian.sources)
  fi
  if [ -z "$uri" ] && [ -f /etc/apt/sources.list ]; then
    uri=$(awk '$1 == "deb" && $0 !~ /security/ { for (i = 2; i <= NF; i++) if ($i ~ /^[a-z]+:\/\//) { print $i; exit } }' \
      /etc/apt/sources.list)
  fi
  printf '%s' "$uri"
}

want=("${run_packages[@]}")
if [ "$role" != run ]; then
  want+=("${release_packages[@]}")
  command -v node >/dev/null 2>&1 || want+=(nodejs)
  command -v npm >/dev/null 2>&1 || want+=(npm)
fi
[ "$role" != test ] || want+=("${test_packages[@]}")

missing=()
for p in "${want[@]}"; do pkg_installed "$p" || missing+=("$p"); done
was_missing() { local p; for p in "${missing[@]}"; do [ "$p" = "$1" ] && return 0; done; return 1; }

# lighttpd, nginx and fcgiwrap are started by the tests on loopback with
# configurations of their own. Their packaged services are not wanted: lighttpd
# and nginx would both start on port 80 while installing (and the second one,
# failing to bind, would fail to configure), so nothing is started during the
# installation (policy-rc.d, which invoke-rc.d and deb-systemd-invoke obey).
policy=/usr/sbin/policy-rc.d
made_policy=""
drop_policy() { if [ -n "$made_policy" ]; then $SUDO rm -f "$policy"; made_policy=""; fi; }
if [ ${#missing[@]} -gt 0 ]; then
  log "apt-get update"
  $SUDO apt-get update -qq || die "apt-get update failed"
  if [ ! -e "$policy" ]; then
    printf '#!/bin/sh\n# plugin_websearch setup: start no service while installing\nexit 101\n' |
      $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
    made_policy=1
    trap drop_policy EXIT
  fi
  log "installing: ${missing[*]}"
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
    die "apt-get install failed for: ${missing[*]}"
  drop_policy
else
  log "all Debian packages of role $role present"
fi

# yyjson is linked statically, and Debian ships no libyyjson.a (Debian 12 no
# yyjson at all). The build compiles it from Debian's own source package of
# the next release, whose code needs nothing newer than Debian 12's C library.
# The tarball goes into the build folder; CMake unpacks and compiles it.
deps="$here/build/_deps"
if [ -z "$(find /usr/lib /usr/local/lib -name libyyjson.a 2>/dev/null | head -n 1)" ] &&
   ! compgen -G "$deps/yyjson_*.orig.tar.*" >/dev/null; then
  # fetch_yyjson [quiet]: downloads into a folder of its own first, so an
  # interrupted download never looks like a finished one.
  fetch_yyjson() {
    local tmp
    tmp=$(mktemp -d "$deps/fetch.XXXXXX")
    if (cd "$tmp" && apt-get source -qq --tar-only yyjson/trixie >"$tmp/log" 2>&1); then
      mv "$tmp"/yyjson_*.orig.tar.* "$deps/" && rm -rf "$tmp"
      return 0
    fi
    [ "${1:-}" = quiet ] || cat "$tmp/log"
    rm -rf "$tmp"
    return 1
  }
  mkdir -p "$deps"
  log "fetching yyjson's source package (trixie) into build/_deps"
  if ! fetch_yyjson quiet; then
    # A source index only: no binary package can come from the next release.
    mirror=$(debian_mirror)
    [ -n "$mirror" ] || die "cannot find the Debian mirror in /etc/apt/sources.list{,.d} to add trixie's sources for yyjson"
    log "adding trixie's source index from $mirror (for yyjson)"
    printf 'Types: deb-src\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' "$mirror" |
      $SUDO tee /etc/apt/sources.list.d/plugin-websearch-trixie-src.sources >/dev/null
    $SUDO apt-get update -qq || die "apt-get update failed after adding trixie's source index"
    fetch_yyjson || die "apt-get source --tar-only yyjson/trixie failed"
  fi
fi

# The services that this run installed stay off after the next boot too. A web
# server that was there before is the user's own and is left alone, except
# that a running lighttpd is stopped, as before, to keep port 80 out of the way.
if command -v systemctl >/dev/null 2>&1; then
  for unit in lighttpd nginx fcgiwrap.socket tinyproxy; do
    if was_missing "${unit%.socket}" && systemctl is-enabled --quiet "$unit" 2>/dev/null; then
      log "disabling the packaged $unit service"
      $SUDO systemctl disable --quiet "$unit" 2>/dev/null || true
    fi
  done
  if [ -d /run/systemd/system ] && systemctl is-active --quiet lighttpd 2>/dev/null; then
    $SUDO systemctl stop lighttpd || true
  fi
fi
# The proxy tests start their own tinyproxy on loopback; the packaged service
# (port 8888) is not wanted either, nor at the next boot.
if command -v systemctl >/dev/null 2>&1 && systemctl is-active --quiet tinyproxy 2>/dev/null; then
  $SUDO systemctl stop tinyproxy || true
  $SUDO systemctl disable tinyproxy >/dev/null 2>&1 || true
fi

[ -f /etc/ssl/certs/ca-certificates.crt ] || die "/etc/ssl/certs/ca-certificates.crt is missing (package ca-certificates)"
[ -f /usr/lib/x86_64-linux-gnu/libbearssl.a ] || [ -n "$(find /usr/lib -name libbearssl.a 2>/dev/null | head -n 1)" ] ||
  die "libbearssl.a not found (package libbearssl-dev)"

[ "$role" != run ] || { log "done"; exit 0; }

node_major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
[ "$node_major" -ge 18 ] || die "Node.js 18 or later is needed, found $(node --version 2>/dev/null || echo none)"

# npm_ci <folder>: installs the folder's pinned packages unless its lock file
# is the one installed last time.
npm_ci() {
  local dir="$here/$1"
  [ -f "$dir/package-lock.json" ] || return 0
  if [ ! -d "$dir/node_modules" ] || ! cmp -s "$dir/package-lock.json" "$dir/node_modules/.package-lock.json.copy"; then
    log "npm ci in $1"
    (cd "$dir" && npm ci --no-audit --no-fund --loglevel=error) || die "npm ci failed in $1"
    cp "$dir/package-lock.json" "$dir/node_modules/.package-lock.json.copy"
  fi
}
npm_ci scripts/release
[ "$role" != test ] || npm_ci tests/e2e

[ -z "$windows" ] || { . "$here/scripts/setup_windows.sh" && setup_windows; }

log "done"
