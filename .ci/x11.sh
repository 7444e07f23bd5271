#!/usr/bin/env bash
# Builds lumigrab with the x11 backend and runs its tests (tests/x11) against
# a real X server: an Xvfb of its own with a wide screen split into two RandR
# monitors. Xvfb runs with -noreset: without it the server resets when its
# last client leaves, and the monitor definitions go with the reset.
#
#   bash .ci/x11.sh                  # build into build/x11-ci, run the suite
#   LUMIGRAB_X11_BUILD=DIR ...       # build into DIR instead
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${LUMIGRAB_X11_BUILD:-$root/build/x11-ci}
source "$root/tests/python-env.sh"

# The backend needs no X headers to build: it loads these libraries at run time.
packages=(xvfb x11-xserver-utils libxcb1 libxcb-randr0 libxcb-shm0 libxcb-damage0
          libxcb-composite0 libxcb-xfixes0)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
    missing+=("$package")
done
if ((${#missing[@]})); then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
"$python" -m pip install --quiet --disable-pip-version-check -r "$root/tests/requirements.txt" \
  python-xlib

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMIGRAB_BACKEND=x11 \
  -DLUMIGRAB_WERROR=ON -DPython_EXECUTABLE="$python" >/dev/null
cmake --build "$build"

# Xvfb picks a free display and writes its number to the descriptor.
display_file=$(mktemp)
Xvfb -displayfd 3 -noreset -nolisten tcp -screen 0 3840x1080x24 3>"$display_file" \
  >/dev/null 2>&1 &
xvfb=$!
trap 'kill "$xvfb" 2>/dev/null || true; wait "$xvfb" 2>/dev/null || true; rm -f "$display_file"' EXIT
for _ in $(seq 100); do
  [[ -s $display_file ]] && break
  kill -0 "$xvfb" || { echo "Xvfb did not start" >&2; exit 1; }
  sleep 0.1
done
export DISPLAY=":$(head -n1 "$display_file")"
xrandr --setmonitor LEFT 1920/508x1080/286+0+0 screen >/dev/null
xrandr --setmonitor RIGHT 1920/508x1080/286+1920+0 none >/dev/null
xrandr --listmonitors

cd "$root"
LUMIGRAB_X11_TESTS=1 PYTHONPATH="$build${PYTHONPATH:+:$PYTHONPATH}" \
  "$python" -m pytest -q -p no:cacheprovider --confcutdir=tests/x11 tests/x11 "$@"
