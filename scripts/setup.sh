#!/usr/bin/env bash
# Prepares a Debian 12 machine to build and test vestrel.exe.
#
# Installs the cross compilers, Wine and Xvfb, osslsigncode and openssl
# (scripts/sign.sh and its test), the FAT32 and exFAT tools that the tests
# mount their volumes with, then builds static bzip2, liblzma (xz-utils),
# libzstd (its decoder) and libzip for both Windows targets from Debian's
# source packages into
# build/deps/<triple>. Where the kernel runs 32-bit programs it also
# installs Wine's 32-bit loader (wine32), so that the tests run the shipped
# 32-bit vestrel.exe too; elsewhere it makes sure wine32 is absent. Every
# step is skipped when its result is already there, so a second run takes
# seconds. Needs root for apt.
#
# A package index that does not load (a mirror caught in the middle of a
# sync) is tried again, then named, and the set-up goes on with the indexes
# that did load: a package the build needs that cannot be installed from
# them still stops the set-up with apt's message. Where wine32 cannot be
# installed on a kernel that runs 32-bit programs, apt's reason is kept in
# build/wine32-refused.txt, and the tests of the 32-bit exe report as
# skipped with it.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
DEPS="$ROOT/build/deps"
SRC="$DEPS/src"
WINE32_REFUSED="$ROOT/build/wine32-refused.txt"
TRIPLES=(i686-w64-mingw32 x86_64-w64-mingw32)

PACKAGES=(
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
  wine wine64 xvfb xauth x11-utils cmake ninja-build dpkg-dev
  googletest unzip zip python3-pefile python3-zstandard locales osslsigncode openssl fonts-wine
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
    wine32_installed && { rm -f "$WINE32_REFUSED"; return 0; }
    refused_lately && return 0
    log "the kernel runs 32-bit programs: installing wine32"
    dpkg --print-foreign-architectures | grep -qx i386 || { as_root dpkg --add-architecture i386; APT_UPDATED=; }
    apt_update_once
    install_wine32
  else
    log "$why: the tests of the 32-bit vestrel.exe will be skipped"
    if wine32_installed; then
      log "removing wine32, which cannot run here"
      as_root apt-get remove -y -qq wine32:i386
    fi
  fi
}

# apt may refuse wine32 although the kernel runs it: the i386 twins of the
# amd64 libraries installed here are in an index that did not load, say.
# The build does not need it, so the set-up goes on without it, and keeps
# apt's reason for the tests that it skips. With nothing of i386 installed,
# the architecture goes again, so that later runs of apt are clean.
install_wine32() {
  local out
  if out=$(as_root apt-get install -y -qq --no-install-recommends --no-remove wine32:i386 2>&1); then
    rm -f "$WINE32_REFUSED"
    return 0
  fi
  local reason
  reason=$(printf '%s\n' "$out" | grep '^E: ' | sed 's/^E: //' | paste -sd ';' - | sed 's/;/; /g')
  [ -n "$reason" ] || reason=$(printf '%s\n' "$out" | tail -n 1)
  [ -z "$FAILED_INDEXES" ] || reason="$reason; this index did not load: $FAILED_INDEXES"
  mkdir -p "$(dirname "$WINE32_REFUSED")"
  printf 'apt refused to install wine32:i386 (%s)\n' "$reason" > "$WINE32_REFUSED"
  log "$(cat "$WINE32_REFUSED"): the tests of the 32-bit vestrel.exe will be skipped"
  if ! dpkg-query -W -f='${Architecture} ${Status}\n' 2>/dev/null | grep -q '^i386 install ok'; then
    as_root dpkg --remove-architecture i386 || true
    APT_UPDATED=
  fi
}

# A refusal less than an hour old is not tried again: every try costs the
# retries of a failing index.
refused_lately() {
  [ -f "$WINE32_REFUSED" ] && [ -n "$(find "$WINE32_REFUSED" -mmin -60)" ] || return 1
  log "$(cat "$WINE32_REFUSED") less than an hour ago: the tests of the 32-bit vestrel.exe will be skipped"
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
FAILED_INDEXES=
# Three tries, ten seconds apart. An index that still fails is named, and
# the set-up goes on: what it needs may install from the others.
apt_update_once() {
  [ -n "$APT_UPDATED" ] && return 0
  local attempt out
  for attempt in 1 2 3; do
    if out=$(as_root apt-get update -qq 2>&1); then
      APT_UPDATED=1
      return 0
    fi
    [ "$attempt" -lt 3 ] && sleep 10
  done
  log "some package indexes did not load; going on with the others:"
  printf '%s\n' "$out" | grep -E '^(E|W): ' | sed 's/^/[setup]   /'
  FAILED_INDEXES=$(printf '%s\n' "$out" | sed -n 's/^E: Failed to fetch \([^ ]*\).*/\1/p' | paste -sd ' ' -)
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

SOURCES=(libzip bzip2 xz-utils libzstd)

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

# libzstd's decoder alone: its common and decompress C files, without the
# x86-64 assembler (written for ELF and Mach-O), the legacy formats or
# threads. A small package configuration gives it the name vcpkg's zstd
# gives it, zstd::libzstd_static.
build_libzstd() {
  local triple=$1
  local prefix="$DEPS/$triple"
  [ -f "$prefix/lib/cmake/zstd/zstdConfig.cmake" ] && return 0
  log "building libzstd's decoder for $triple"
  local src obj f
  src=$(ls -d "$SRC"/libzstd-*/lib | head -n 1)
  obj="$DEPS/obj/libzstd-$triple"
  rm -rf "$obj" && mkdir -p "$obj" "$prefix/lib/cmake/zstd" "$prefix/include"
  for f in common/debug common/entropy_common common/error_private common/fse_decompress \
           common/xxhash common/zstd_common decompress/huf_decompress decompress/zstd_ddict \
           decompress/zstd_decompress decompress/zstd_decompress_block; do
    "$triple-gcc" -O2 -DZSTD_DISABLE_ASM -DZSTD_LEGACY_SUPPORT=0 -DXXH_NAMESPACE=ZSTD_ \
      -c "$src/$f.c" -o "$obj/${f#*/}.o"
  done
  rm -f "$prefix/lib/libzstd.a"
  "$triple-ar" rcs "$prefix/lib/libzstd.a" "$obj"/*.o
  cp "$src/zstd.h" "$src/zstd_errors.h" "$prefix/include/"
  cat > "$prefix/lib/cmake/zstd/zstdConfig.cmake" <<'CONFIG'
# libzstd's decoder, static, as scripts/setup.sh builds it.
get_filename_component(_zstd_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
if(NOT TARGET zstd::libzstd_static)
  add_library(zstd::libzstd_static STATIC IMPORTED)
  set_target_properties(zstd::libzstd_static PROPERTIES
    IMPORTED_LOCATION "${_zstd_prefix}/lib/libzstd.a"
    INTERFACE_INCLUDE_DIRECTORIES "${_zstd_prefix}/include")
endif()
set(zstd_FOUND TRUE)
CONFIG
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
    build_libzstd "$t"
    build_libzip "$t"
  done
  log "ready"
}

main "$@"
