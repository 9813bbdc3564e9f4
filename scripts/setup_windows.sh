# The Windows part of scripts/setup.sh (sourced by it for `setup.sh windows`;
# uses its log, die, pkg_installed, debian_mirror and SUDO).
#
# Installs the MinGW-w64 cross compiler (posix thread model, for std::thread)
# and Wine, then builds the two libraries the Windows build links, BearSSL
# from Debian's source package and GoogleTest from /usr/src/googletest, into
# build/windows-deps (never into the repository's sources). Each library is
# rebuilt only when its stamp says a different version or is missing. yyjson
# is compiled by the Windows build itself from the same source tarball in
# build/_deps as the Linux build's, which this makes sure is there.

WS_WIN_TRIPLE=x86_64-w64-mingw32
# The versions whose sources are used: BearSSL as Debian 12 ships it, yyjson
# from the next release (Debian 12 has none), the same as the Linux build.
WS_WIN_BEARSSL_SUITE=bookworm
WS_WIN_YYJSON_SUITE=trixie

# True when a deb-src entry for this suite is configured (one-line or
# deb822 form).
windows_has_src_suite() {
  local suite=$1 f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk -v s="$suite" '$1 == "deb-src" { for (i = 2; i <= NF; i++) if ($i == s) found = 1 } END { exit !found }' "$f" && return 0
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk -v s="$suite" '
      /^[ \t]*$/ { if (src && hit) found = 1; src = 0; hit = 0; next }
      /^Types:/ { for (i = 2; i <= NF; i++) if ($i == "deb-src") src = 1 }
      /^Suites:/ { for (i = 2; i <= NF; i++) if ($i == s) hit = 1 }
      END { if (src && hit) found = 1; exit !found }' "$f" && return 0
  done
  return 1
}

# deb-src entries for the two suites whose sources are built, from the mirror
# the machine already uses.
windows_source_entries() {
  local need=() suite
  for suite in "$WS_WIN_BEARSSL_SUITE" "$WS_WIN_YYJSON_SUITE"; do
    windows_has_src_suite "$suite" || need+=("$suite")
  done
  [ ${#need[@]} -gt 0 ] || return 0
  local mirror
  mirror=$(debian_mirror)
  [ -n "$mirror" ] || die "cannot find the Debian mirror in /etc/apt/sources.list{,.d} to add source entries for the Windows build"
  log "adding deb-src entries (${need[*]}) from $mirror for the Windows build's libraries"
  printf 'Types: deb-src\nURIs: %s\nSuites: %s\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n' \
    "$mirror" "${need[*]}" | $SUDO tee /etc/apt/sources.list.d/plugin-websearch-windows-src.sources >/dev/null
  $SUDO apt-get update -qq || die "apt-get update failed after adding the source entries"
}

windows_packages() {
  local want=(g++-mingw-w64-x86-64-posix wine wine64) missing=() p
  for p in "${want[@]}"; do pkg_installed "$p" || missing+=("$p"); done
  if [ ${#missing[@]} -gt 0 ]; then
    log "installing for the Windows build: ${missing[*]}"
    $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" ||
      die "apt-get install failed for: ${missing[*]}"
  fi
  command -v "$WS_WIN_TRIPLE-g++-posix" >/dev/null 2>&1 || die "$WS_WIN_TRIPLE-g++-posix is missing (package g++-mingw-w64-x86-64-posix)"
  command -v wine >/dev/null 2>&1 || die "wine is missing (packages wine, wine64)"
}

# The version of source package <package> that <suite> offers.
windows_source_version() {
  apt-get source -s --tar-only "$1/$2" 2>/dev/null | sed -n "s/^Selected version '\([^']*\)'.*/\1/p" | head -n 1
}

# Unpacks the upstream tarball of <package>/<suite> into <dir>/<package>
# (fresh each time).
windows_fetch_source() {
  local pkg=$1 suite=$2 dir=$3
  mkdir -p "$dir/download"
  (cd "$dir/download" && rm -f "${pkg}"_*.orig.tar.* && apt-get source -qq --tar-only "$pkg/$suite" >/dev/null) ||
    die "apt-get source --tar-only $pkg/$suite failed"
  local tarball
  tarball=$(ls "$dir/download/${pkg}"_*.orig.tar.* 2>/dev/null | head -n 1)
  [ -n "$tarball" ] || die "no upstream tarball for $pkg"
  rm -rf "$dir/$pkg"
  mkdir -p "$dir/$pkg"
  tar -xf "$tarball" -C "$dir/$pkg" --strip-components=1 || die "cannot unpack $tarball"
}

windows_build_bearssl() {
  local deps=$1 src=$1/src
  local version
  version=$(windows_source_version bearssl "$WS_WIN_BEARSSL_SUITE")
  [ -n "$version" ] || die "no source package bearssl in $WS_WIN_BEARSSL_SUITE"
  if [ "$(cat "$deps/.bearssl" 2>/dev/null)" = "$version" ]; then return 0; fi
  log "building BearSSL for Windows"
  windows_fetch_source bearssl "$WS_WIN_BEARSSL_SUITE" "$src"
  # BearSSL's own make: only the static library, with the cross tools.
  make -s -C "$src/bearssl" -j2 CC="$WS_WIN_TRIPLE-gcc-posix" AR="$WS_WIN_TRIPLE-ar" \
    LD="$WS_WIN_TRIPLE-gcc-posix" build/libbearssl.a >/dev/null || die "BearSSL build for Windows failed"
  mkdir -p "$deps/lib" "$deps/include"
  cp "$src/bearssl/build/libbearssl.a" "$deps/lib/"
  cp "$src"/bearssl/inc/*.h "$deps/include/"
  printf '%s' "$version" >"$deps/.bearssl"
}

# cmake_cross <source> <build> [cache settings...]: a static release build
# installed into the dependency folder.
windows_cmake_install() {
  local deps=$1 source=$2 build=$3
  shift 3
  cmake -S "$source" -B "$build" -G Ninja -Wno-dev \
    -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_SHARED_LIBS=OFF "$@" >/dev/null &&
    cmake --build "$build" -j2 >/dev/null && cmake --install "$build" >/dev/null
}

# A Linux host with an installed libyyjson.a gets no tarball from setup.sh,
# but the cross build cannot use that library.
windows_yyjson_source() {
  local dir=$here/build/_deps
  compgen -G "$dir/yyjson_*.orig.tar.*" >/dev/null && return 0
  log "fetching yyjson's source package ($WS_WIN_YYJSON_SUITE) into build/_deps"
  mkdir -p "$dir"
  local tmp
  tmp=$(mktemp -d "$dir/fetch.XXXXXX")
  (cd "$tmp" && apt-get source -qq --tar-only "yyjson/$WS_WIN_YYJSON_SUITE" >/dev/null) &&
    mv "$tmp"/yyjson_*.orig.tar.* "$dir/" || { rm -rf "$tmp"; die "apt-get source --tar-only yyjson/$WS_WIN_YYJSON_SUITE failed"; }
  rm -rf "$tmp"
}

windows_build_gtest() {
  local deps=$1
  [ -f /usr/src/googletest/CMakeLists.txt ] || die "/usr/src/googletest is missing (package googletest)"
  local version
  version=$(dpkg-query -W -f='${Version}' googletest 2>/dev/null)
  if [ "$(cat "$deps/.googletest" 2>/dev/null)" = "$version" ]; then return 0; fi
  log "building GoogleTest for Windows"
  windows_cmake_install "$deps" /usr/src/googletest "$deps/src/googletest-build" -DBUILD_GMOCK=OFF -DINSTALL_GTEST=ON ||
    die "GoogleTest build for Windows failed"
  printf '%s' "$version" >"$deps/.googletest"
}

setup_windows() {
  local deps=${WS_WINDOWS_DEPS:-$here/build/windows-deps}
  windows_packages
  windows_source_entries
  mkdir -p "$deps"
  windows_build_bearssl "$deps"
  windows_yyjson_source
  windows_build_gtest "$deps"
  log "Windows libraries ready in $deps"
}
