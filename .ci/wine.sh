#!/usr/bin/env bash
# Runs the Windows backend for real: the probe and the Windows test programs
# (tests/windows), cross-built by .ci/cross-windows.sh, under Wine on a
# headless Xvfb screen. Installs Wine and Xvfb first where they are missing.
#
#   .ci/wine.sh                     uses build/mingw (built first if missing)
#   LUMIGRAB_CROSS_BUILD=DIR ...    the build directory of cross-windows.sh
#
# Every Wine step runs under `timeout` and ends with `wineserver -k`: a program
# that hangs, or a child process that outlives it, must not hold up the run.
set -euo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${LUMIGRAB_CROSS_BUILD:-$repo/build/mingw}
screen=1280x720

printf '\n===== Windows backend under Wine =====\n'
started=$SECONDS

# 64-bit Wine only: the `wine` launcher with wine64 needs no i386 architecture.
# Direct3D runs on Mesa's software OpenGL; Wine's X11 driver reads the screen
# through the X extension libraries.
packages=(wine wine64 xvfb xauth libgl1-mesa-dri libgl1 libegl1
  libxrandr2 libxinerama1 libxcomposite1 libxrender1 libxi6 libxcursor1 libxfixes3 libxxf86vm1)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' \
    || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

if [ ! -f "$build/lumigrab_windows_tests.exe" ]; then
  LUMIGRAB_CROSS_BUILD=$build bash "$repo/.ci/cross-windows.sh"
fi

export WINEPREFIX=$build/wineprefix
export WINEDEBUG=-all
# No Mono or Gecko installer dialogs while the prefix is made.
export WINEDLLOVERRIDES="mscoree,mshtml="
export LUMIGRAB_TEST_SCREEN=$screen

display_file=$(mktemp)
xvfb_pid=
cleanup() {
  timeout 30 wineserver -k 2>/dev/null || true
  if [ -n "$xvfb_pid" ]; then
    kill "$xvfb_pid" 2>/dev/null || true
    wait "$xvfb_pid" 2>/dev/null || true
  fi
  rm -f "$display_file"
}
trap cleanup EXIT

# Xvfb picks a free display and writes its number to the descriptor.
Xvfb -displayfd 3 -screen 0 "${screen}x24" -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$display_file" ] && break
  sleep 0.1
done
if [ ! -s "$display_file" ]; then
  echo "wine: Xvfb did not start" >&2
  exit 1
fi
export DISPLAY=:$(head -n1 "$display_file")

# One Wine step: at most `limit` seconds, and no Wine process left behind.
wine_step() {
  local limit=$1
  shift
  local status=0
  timeout --kill-after=10 "$limit" "$@" || status=$?
  timeout 30 wineserver -k 2>/dev/null || true
  return "$status"
}

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "making the Wine prefix $WINEPREFIX"
  wine_step 180 wine wineboot --init >/dev/null 2>&1
fi
# A crashing program would otherwise open the debugger's dialog on the
# invisible screen and wait for it forever.
wine_step 60 wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
  >/dev/null 2>&1

# The stand-in capture component goes into the system directory only while
# the tests run, and only once they have seen the fallback find nothing.
rm -f "$WINEPREFIX/drive_c/windows/system32/Windows.Graphics.Capture.dll"

failed=0
echo
echo "probe:"
wine_step 120 wine "$build/lumigrab_probe.exe" || failed=1
echo
echo "Windows tests:"
wine_step 300 wine "$build/lumigrab_windows_tests.exe" || failed=1

echo
echo "wine: $((SECONDS - started)) s"
if [ "$failed" -ne 0 ]; then
  echo "wine: a Windows program failed under Wine" >&2
  exit 1
fi
