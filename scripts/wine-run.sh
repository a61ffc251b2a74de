#!/usr/bin/env bash
# Runs a Windows program under Wine, the way the tests need it: a Wine
# prefix of our own inside the build tree, no Mono or Gecko installers,
# quiet Wine, and a private Xvfb at 1920x1080. CTest puts this in front of
# every test program.
#
# CTest hands each test one of the two desktops of tests/desktops.json (in
# CTEST_RESOURCE_GROUP_0_DESKTOPS): desktop N is the prefix build/wine/desktop-N
# with its own Wine server and the display :(77+N). Two tests side by side
# therefore never see each other's windows, pixels or processes. Run by
# hand, a program gets desktop 0.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)

desktop=0
if [ -n "${CTEST_RESOURCE_GROUP_0_DESKTOPS:-}" ]; then
  desktop=${CTEST_RESOURCE_GROUP_0_DESKTOPS#id:}
  desktop=${desktop%%,*}
fi
export WINEPREFIX="${WINEPREFIX:-$ROOT/build/wine/desktop-$desktop}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
export DISPLAY=":$((77 + desktop))"

start_xvfb() {
  local number=${DISPLAY#:}
  exec 8>"/tmp/vestrel-xvfb-$number.lock"
  flock 8
  if ! xdpyinfo -display "$DISPLAY" >/dev/null 2>&1; then
    rm -f "/tmp/.X$number-lock" "/tmp/.X11-unix/X$number"
    setsid Xvfb "$DISPLAY" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 < /dev/null &
    local i
    for i in $(seq 1 100); do
      xdpyinfo -display "$DISPLAY" >/dev/null 2>&1 && break
      sleep 0.1
    done
  fi
  flock -u 8
  exec 8>&-
}

# Which Wine a prefix was made with: a prefix made before wine32 arrived
# fails to load kernel32 afterwards, and one made with it is larger than
# needed without it. A prefix made before its fonts were copied is made anew.
wine_flavour() {
  if dpkg-query -W -f='${Status}\n' wine32:i386 2>/dev/null | grep -q 'ok installed'; then
    echo "wine32 and wine64, with Wine's fonts"
  else
    echo "wine64 only, with Wine's fonts"
  fi
}

# Wine draws the caption buttons with its Marlett font, from Debian's
# fonts-wine; its 64-bit loader does not find that package's folder by
# itself, so the prefix gets a copy. Without it the buttons read "0 1 r".
install_wine_fonts() {
  local fonts="$WINEPREFIX/drive_c/windows/Fonts"
  [ -d /usr/share/wine/fonts ] && [ -d "$fonts" ] || return 0
  cp -n /usr/share/wine/fonts/* "$fonts/"
}

# The first start creates the prefix (about 20 s). Windows get placed where
# the program puts them, without the pause Wine makes for an absent window
# manager, once the X11 driver does not manage them.
ensure_prefix() {
  local stamp="$WINEPREFIX/.vestrel-ready" flavour
  flavour=$(wine_flavour)
  [ "$(cat "$stamp" 2>/dev/null)" = "$flavour" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ "$(cat "$stamp" 2>/dev/null)" != "$flavour" ]; then
    if [ -d "$WINEPREFIX" ]; then
      wineserver -k >/dev/null 2>&1 || true
      rm -rf "$WINEPREFIX"
    fi
    wineboot --init >/dev/null 2>&1 || true
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    wineserver -w
    install_wine_fonts
    echo "$flavour" > "$stamp"
  fi
  flock -u 9
  exec 9>&-
}

# The loader that runs the program in this very process. Debian's wine
# wrapper prefers the 32-bit loader once wine32 is there, and that one runs
# a 64-bit program as a second process (start.exe /exec), which hides the
# program's process id from the benchmark and slows every start.
choose_loader() {
  local program=$1 offset machine
  loader=wine
  [ -f "$program" ] && [ -x /usr/lib/wine/wine64 ] || return 0
  offset=$(od -An -tu4 -j60 -N4 "$program" 2>/dev/null | tr -d ' ')
  [ -n "$offset" ] || return 0
  machine=$(od -An -tx2 -j$((offset + 4)) -N2 "$program" 2>/dev/null | tr -d ' ')
  [ "$machine" = 8664 ] && loader=/usr/lib/wine/wine64
  return 0
}

start_xvfb
ensure_prefix
choose_loader "${1:-}"

# The first program in a prefix brings up Wine's own background programs
# (services.exe, explorer.exe and the like), which inherit its output and
# live until the Wine server ends. Where that output is a pipe or a socket
# (CTest's), the reader would wait for them: give the program a file and
# pass it on.
if [ ! -p /dev/stdout ] && [ ! -S /dev/stdout ]; then
  exec "$loader" "$@"
fi
output=$(mktemp /tmp/vestrel-wine-output.XXXXXX)
trap 'cat "$output"; rm -f "$output"' EXIT
set +e
"$loader" "$@" > "$output" 2>&1
exit $?
