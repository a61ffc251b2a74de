#!/usr/bin/env bash
# Prepares a Debian 12 machine to build and test vestrel.exe.
#
# Installs the cross compilers, Wine and Xvfb, osslsigncode and openssl
# (scripts/sign.sh and its test), the FAT32 and exFAT tools that the tests
# mount their volumes with, then builds static bzip2, liblzma (xz-utils) and
# libzip for both Windows targets from Debian's source packages into
# build/deps/<triple>. Where the kernel runs 32-bit programs it also
# installs Wine's 32-bit loader (wine32), so that the tests run the shipped
# 32-bit vestrel.exe too; elsewhere it makes sure wine32 is absent. Every
# step is skipped when its result is already there, so a second run takes
# seconds. Needs root for apt.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
DEPS="$ROOT/build/deps"
SRC="$DEPS/src"
TRIPLES=(i686-w64-mingw32 x86_64-w64-mingw32)

PACKAGES=(
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine wine64 xvfb xauth x11-utils cmake ninja-build dpkg-dev
  googletest unzip zip python3-pefile locales osslsigncode openssl fonts-wine
  dosfstools fusefat exfatprogs exfat-fuse
)

log() { printf '[setup] %s\n' "$*"; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

missing_packages() {
  local p
  for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}\n' "$p" 2>/dev/null | grep -q '^install ok installed$' || echo "$p"
  done
}

wine32_installed() {
  dpkg-query -W -f='${Status}\n' wine32:i386 2>/dev/null | grep -q 'ok installed'
}

# Debian's wine wrapper prefers the 32-bit loader when it is there, so it
# must be there exactly where it can run. scripts/wine-run.sh makes its
# prefixes anew when wine32 arrives or leaves.
match_wine32_to_kernel() {
  local why
  if why=$(bash "$ROOT/scripts/runs-32bit.sh"); then
    wine32_installed && return 0
    log "the kernel runs 32-bit programs: installing wine32"
    dpkg --print-foreign-architectures | grep -qx i386 || { as_root dpkg --add-architecture i386; APT_UPDATED=; }
    apt_update_once
    as_root apt-get install -y -qq --no-install-recommends --no-remove wine32:i386
  else
    log "$why: the tests of the 32-bit vestrel.exe will be skipped"
    if wine32_installed; then
      log "removing wine32, which cannot run here"
      as_root apt-get remove -y -qq wine32:i386
    fi
  fi
}

has_deb_src() {
  grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/
}

add_deb_src() {
  has_deb_src && return 0
  log "adding a deb-src entry for bookworm main"
  as_root tee /etc/apt/sources.list.d/vestrel-deb-src.sources >/dev/null <<'EOF'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
EOF
  APT_UPDATED=
}

APT_UPDATED=
apt_update_once() {
  [ -n "$APT_UPDATED" ] && return 0
  as_root apt-get update -qq
  APT_UPDATED=1
}

install_packages() {
  local todo
  todo=$(missing_packages)
  [ -z "$todo" ] && return 0
  log "installing: $(echo $todo)"
  apt_update_once
  # shellcheck disable=SC2086
  as_root apt-get install -y -qq --no-install-recommends $todo
}

ensure_locale() {
  # Tests run Wine under ru_RU.UTF-8 to get the Cyrillic ANSI code page.
  locale -a 2>/dev/null | grep -qi '^ru_RU\.utf-\?8$' && return 0
  log "generating the ru_RU.UTF-8 locale"
  if ! grep -q '^ru_RU.UTF-8 UTF-8' /etc/locale.gen 2>/dev/null; then
    echo 'ru_RU.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  fi
  as_root locale-gen >/dev/null
}

SOURCES=(libzip bzip2 xz-utils)

fetch_sources() {
  mkdir -p "$SRC"
  local name missing=()
  for name in "${SOURCES[@]}"; do
    ls -d "$SRC/$name"-*/ >/dev/null 2>&1 || missing+=("$name")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    add_deb_src
    apt_update_once
    log "fetching the sources of ${missing[*]}"
    (cd "$SRC" && apt-get source -qq "${missing[@]}" 2>&1 | grep -v -e "_apt" -e "^dpkg-source: info" || true)
  fi
  for name in "${SOURCES[@]}"; do
    ls -d "$SRC/$name"-*/ >/dev/null
  done
}

# bzip2 ships a plain Makefile; the library is six C files.
build_bzip2() {
  local triple=$1
  local prefix="$DEPS/$triple"
  [ -f "$prefix/lib/libbz2.a" ] && return 0
  log "building bzip2 for $triple"
  local src obj
  src=$(ls -d "$SRC"/bzip2-*/ | head -n 1)
  obj="$DEPS/obj/bzip2-$triple"
  rm -rf "$obj" && mkdir -p "$obj" "$prefix/lib" "$prefix/include"
  local f
  for f in blocksort huffman crctable randtable compress decompress bzlib; do
    "$triple-gcc" -O2 -D_FILE_OFFSET_BITS=64 -c "$src/$f.c" -o "$obj/$f.o"
  done
  "$triple-ar" rcs "$prefix/lib/libbz2.a" "$obj"/*.o
  cp "$src/bzlib.h" "$prefix/include/"
}

# liblzma alone, without the xz programs, through xz-utils' own CMake build.
build_liblzma() {
  local triple=$1
  local prefix="$DEPS/$triple"
  [ -f "$prefix/lib/liblzma.a" ] && return 0
  log "building liblzma for $triple"
  local src bld
  src=$(ls -d "$SRC"/xz-utils-*/ | head -n 1)
  bld="$DEPS/obj/liblzma-$triple"
  rm -rf "$bld"
  cmake -S "$src" -B "$bld" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$triple.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF -Wno-dev >/dev/null
  cmake --build "$bld" --target liblzma >/dev/null
  cmake --install "$bld" --component liblzma_Development >/dev/null
}

# A libzip built before it read LZMA and XZ entries is built again.
build_libzip() {
  local triple=$1
  local prefix="$DEPS/$triple"
  [ -f "$prefix/lib/cmake/libzip/libzip-config.cmake" ] &&
    grep -q LibLZMA "$prefix/lib/cmake/libzip/libzip-targets.cmake" 2>/dev/null && return 0
  log "building libzip for $triple"
  local src bld
  src=$(ls -d "$SRC"/libzip-*/ | head -n 1)
  bld="$DEPS/obj/libzip-$triple"
  rm -rf "$bld"
  cmake -S "$src" -B "$bld" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$triple.cmake" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF \
    -DENABLE_BZIP2=ON -DENABLE_LZMA=ON \
    -DENABLE_WINDOWS_CRYPTO=ON -DENABLE_OPENSSL=OFF -DENABLE_GNUTLS=OFF \
    -DENABLE_MBEDTLS=OFF -DENABLE_COMMONCRYPTO=OFF \
    -DBUILD_TOOLS=OFF -DBUILD_REGRESS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOC=OFF \
    -DZLIB_LIBRARY="/usr/$triple/lib/libz.a" \
    -DZLIB_INCLUDE_DIR="/usr/$triple/include" \
    -DBZIP2_LIBRARIES="$prefix/lib/libbz2.a" \
    -DBZIP2_LIBRARY="$prefix/lib/libbz2.a" \
    -DBZIP2_INCLUDE_DIR="$prefix/include" \
    -DLIBLZMA_LIBRARY="$prefix/lib/liblzma.a" \
    -DLIBLZMA_INCLUDE_DIR="$prefix/include" \
    -DCMAKE_C_FLAGS="-DLZMA_API_STATIC" -Wno-dev >/dev/null
  cmake --build "$bld" >/dev/null
  cmake --install "$bld" >/dev/null
}

main() {
  install_packages
  match_wine32_to_kernel
  ensure_locale
  fetch_sources
  local t
  for t in "${TRIPLES[@]}"; do
    build_bzip2 "$t"
    build_liblzma "$t"
    build_libzip "$t"
  done
  log "ready"
}

main "$@"
