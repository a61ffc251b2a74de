#!/usr/bin/env bash
# Runs a Windows program under 64-bit Wine, the way the tests need it:
# a Wine prefix of our own inside the build tree, no Mono or Gecko
# installers, quiet Wine, and an X display (a private Xvfb at 1920x1080
# when none is set). CTest puts this in front of every test program.
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX="${WINEPREFIX:-$ROOT/build/wineprefix}"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

XVFB_DISPLAY=:77

start_xvfb() {
  local sock=/tmp/.X11-unix/X${XVFB_DISPLAY#:}
  # Test programs start side by side: one of them starts the server.
  exec 8>/tmp/vestrel-xvfb.lock
  flock 8
  if [ ! -S "$sock" ] || ! xdpyinfo -display "$XVFB_DISPLAY" >/dev/null 2>&1; then
    rm -f "/tmp/.X${XVFB_DISPLAY#:}-lock" "$sock"
    setsid Xvfb "$XVFB_DISPLAY" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 < /dev/null &
    local i
    for i in $(seq 1 100); do
      xdpyinfo -display "$XVFB_DISPLAY" >/dev/null 2>&1 && break
      sleep 0.1
    done
  fi
  flock -u 8
  exec 8>&-
  export DISPLAY=$XVFB_DISPLAY
}

# The first start creates the prefix (about 10 s). Windows get placed where
# the program puts them, without the pause Wine makes for an absent window
# manager, once the X11 driver does not manage them.
ensure_prefix() {
  local stamp="$WINEPREFIX/.vestrel-ready"
  [ -f "$stamp" ] && return 0
  mkdir -p "$(dirname "$WINEPREFIX")"
  exec 9>"$WINEPREFIX.lock"
  flock 9
  if [ ! -f "$stamp" ]; then
    wineboot --init >/dev/null 2>&1 || true
    wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f >/dev/null 2>&1
    wineserver -w
    touch "$stamp"
  fi
  flock -u 9
  exec 9>&-
}

[ -n "${DISPLAY:-}" ] || start_xvfb
ensure_prefix
exec wine "$@"
