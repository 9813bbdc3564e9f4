#!/usr/bin/env bash
# Installs everything plugin_websearch needs to build and test on Debian 12,
# starting from a minimal system. Safe to run again: it installs only what is
# missing and says what it does.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
log() { printf 'setup: %s\n' "$*"; }
die() { printf 'setup: error: %s\n' "$*" >&2; exit 1; }

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null 2>&1 || die "not root and sudo is not installed; run this script as root"
  SUDO="sudo"
fi
export DEBIAN_FRONTEND=noninteractive

pkg_installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# The mirror this machine already uses for Debian itself; the next release's
# suite comes from the same place, so no host name lives in this repository.
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

has_candidate() {
  local c
  c=$(apt-cache policy "$1" 2>/dev/null | awk '/Candidate:/ { print $2 }')
  [ -n "$c" ] && [ "$c" != "(none)" ]
}

log "apt-get update"
$SUDO apt-get update -qq || die "apt-get update failed"

# yyjson is missing from Debian 12; the next release carries it and its build
# needs nothing newer than Debian 12's C library. Pin priority 100 keeps every
# other package on the machine's own release.
if ! pkg_installed libyyjson-dev && ! has_candidate libyyjson-dev; then
  mirror=$(debian_mirror)
  [ -n "$mirror" ] || die "cannot find the Debian mirror in /etc/apt/sources.list{,.d} to add the trixie suite for libyyjson-dev"
  log "adding the trixie suite from $mirror with pin priority 100 (for libyyjson-dev)"
  printf 'Types: deb\nURIs: %s\nSuites: trixie\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' "$mirror" |
    $SUDO tee /etc/apt/sources.list.d/plugin-websearch-trixie.sources >/dev/null
  printf 'Package: *\nPin: release n=trixie\nPin-Priority: 100\n' |
    $SUDO tee /etc/apt/preferences.d/plugin-websearch-trixie >/dev/null
  $SUDO apt-get update -qq || die "apt-get update failed after adding the trixie suite"
  has_candidate libyyjson-dev || die "libyyjson-dev is not available even from the trixie suite"
fi

want=(
  ca-certificates build-essential g++ clang libclang-rt-14-dev cmake ninja-build pkg-config git
  python3 libgtest-dev libgmock-dev libbenchmark-dev libbearssl-dev libyyjson-dev
  openssl curl lighttpd nginx fcgiwrap chromium valgrind wrk tinyproxy microsocks
)
command -v node >/dev/null 2>&1 || want+=(nodejs)
command -v npm >/dev/null 2>&1 || want+=(npm)

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
  log "all Debian packages present"
fi

# The services that this run installed stay off after the next boot too. A web
# server that was there before is the user's own and is left alone, except
# that a running lighttpd is stopped, as before, to keep port 80 out of the way.
if command -v systemctl >/dev/null 2>&1; then
  for unit in lighttpd nginx fcgiwrap.socket; do
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

node_major=$(node -p 'process.versions.node.split(".")[0]' 2>/dev/null || echo 0)
[ "$node_major" -ge 18 ] || die "Node.js 18 or later is needed, found $(node --version 2>/dev/null || echo none)"

if [ -f "$here/tests/e2e/package-lock.json" ]; then
  if [ ! -d "$here/tests/e2e/node_modules" ] ||
     ! cmp -s "$here/tests/e2e/package-lock.json" "$here/tests/e2e/node_modules/.package-lock.json.copy"; then
    log "npm ci in tests/e2e"
    (cd "$here/tests/e2e" && npm ci --no-audit --no-fund --loglevel=error) || die "npm ci failed in tests/e2e"
    cp "$here/tests/e2e/package-lock.json" "$here/tests/e2e/node_modules/.package-lock.json.copy"
  fi
fi

log "done"
